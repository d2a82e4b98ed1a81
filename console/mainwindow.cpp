#include "console/mainwindow.h"

#include "console/repaintpacer.h"
#include "core/codepage.h"
#include "core/connectiontable.h"
#include "operator/operatorclient.h"
#include "platform/dialogs.h"
#include "platform/formgeometry.h"
#include "platform/listener.h"
#include "platform/trayicon.h"

#include <algorithm>

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDate>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QLocale>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QStatusBar>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTime>
#include <QTimer>

namespace {

QGroupBox *frame(QWidget *parent, const char *name, const QString &caption, const QRect &geometry)
{
    auto *f = place<QGroupBox>(parent, name, geometry);
    f->setTitle(caption);
    return f;
}

// Protocol text for a widget: CR LF line breaks become the widget's own.
QString toWidgetText(const QByteArray &bytes)
{
    QByteArray text = bytes;
    text.replace("\r\n", "\n");
    return Codepage::toDisplay(text);
}

QByteArray fromWidgetText(const QString &text)
{
    QByteArray bytes = Codepage::fromDisplay(text);
    bytes.replace("\n", "\r\n");
    return bytes;
}

// The layouts are drawn for a narrow face; where the desktop's face is wider,
// a check box's caption is narrowed until it fits beside the box in its fixed
// width instead of being cut.
void fitCaption(QCheckBox *check)
{
    QStyleOptionButton option;
    option.initFrom(check);
    option.text = check->text();
    const int room =
        check->style()->subElementRect(QStyle::SE_CheckBoxContents, &option, check).width();
    QFont face = check->font();
    for (int stretch = QFont::Unstretched; stretch >= QFont::ExtraCondensed; stretch -= 5) {
        face.setStretch(stretch);
        if (QFontMetrics(face).horizontalAdvance(check->text()) <= room)
            break;
    }
    check->setFont(face);
}

} // namespace

QFont MainWindow::classicFont()
{
    // The layouts are drawn for a narrow 8-point face (11 pixels high).
    QFont face;
    face.setFamilies({QStringLiteral("Liberation Sans"), QStringLiteral("Nimbus Sans"),
                      QStringLiteral("Arial"), QStringLiteral("DejaVu Sans")});
    face.setPixelSize(11);
    return face;
}

MainWindow::MainWindow(OperatorClient &client, Dialogs &dialogs, QWidget *parent)
    : QMainWindow(parent), m_client(client), m_dialogs(dialogs), m_tray(new TrayIcon(this))
{
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("Tarnwick Server"));
    setFont(classicFont());
    buildWidgets();
    buildMenus();
    buildStatusBar();
    // One layout at one size, as the other windows: the window manager may
    // not stretch it.
    setFixedSize(sizeHint());

    m_outputFlush = new QTimer(this);
    m_outputFlush->setSingleShot(true);
    m_usersPacer = new RepaintPacer(m_users, ViewPace);
    connect(m_outputFlush, &QTimer::timeout, this, &MainWindow::appendOutputSlice);

    connect(&m_client, &OperatorClient::logLine, this, &MainWindow::onLogLine);
    connect(&m_client, &OperatorClient::notice, this, &MainWindow::onNotice);
    connect(&m_client, &OperatorClient::motdChanged, this, &MainWindow::onMotdChanged);
    connect(&m_client, &OperatorClient::userRowChanged, this, &MainWindow::onRowChanged);
    connect(&m_client, &OperatorClient::passwordsRequiredChanged, m_requirePasswords,
            &QCheckBox::setChecked);
    connect(&m_client, &OperatorClient::serverFileNameChanged, m_serverFileName, &QLabel::setText);
    connect(&m_client, &OperatorClient::serverFileProgress, this,
            &MainWindow::onServerFileProgress);
    connect(&m_client, &OperatorClient::serverFileProgressEnded, this,
            &MainWindow::onServerFileProgressEnded);
    connect(m_tray, &TrayIcon::restoreRequested, this, &MainWindow::onRestoreRequested);
    onMotdChanged(m_client.motd());
}

MainWindow::~MainWindow()
{
    unload();
}

void MainWindow::buildWidgets()
{
    auto *client = new QWidget(this);
    client->setObjectName(QStringLiteral("clientArea"));
    client->setFixedSize(8295 / 15, 6255 / 15);
    setCentralWidget(client);

    QGroupBox *usersFrame =
        frame(client, "Frame1", QStringLiteral("Users Online"), twips(0, 0, 2055, 3735));
    m_users = place<QListWidget>(usersFrame, "lstUsers", twips(120, 240, 1815, 3375));
    m_users->setUniformItemSizes(true); // one line of one font per row
    for (int i = 0; i < ConnectionTable::Size; ++i)
        m_users->addItem(Codepage::toDisplay(m_client.row(i)));
    // No row is current until the operator picks one; otherwise the list
    // would mark its first row when it gets the focus.
    m_users->setCurrentIndex(QModelIndex());

    QGroupBox *commands =
        frame(client, "Frame2", QStringLiteral("Server Commands"), twips(2160, 0, 2055, 3735));
    const struct
    {
        const char *name;
        const char *caption;
        int top;
        void (MainWindow::*signal)();
    } buttons[] = {
        {"cmdUpdateMOTD", "Update MOTD", 240, &MainWindow::updateMotdRequested},
        {"cmdSysop", "Edit Sysop List", 600, &MainWindow::editSysopListRequested},
        {"Command1", "NOTIFY", 1080, &MainWindow::announceRequested},
        {"cmdGetIP", "Get Users IP", 1560, &MainWindow::showAddressRequested},
        {"cmdBanUser", "Ban User", 2040, &MainWindow::banRequested},
        {"Command2", "User Search", 2520, &MainWindow::userSearchRequested},
    };
    for (const auto &b : buttons) {
        QPushButton *command =
            button(commands, b.name, QLatin1String(b.caption), twips(120, b.top, 1755, 375));
        connect(command, &QPushButton::clicked, this, b.signal);
    }
    m_requirePasswords = place<QCheckBox>(commands, "Check1", twips(120, 2880, 1695, 255));
    m_requirePasswords->setText(QStringLiteral("Require Passwords"));
    fitCaption(m_requirePasswords);
    m_requirePasswords->setChecked(m_client.passwordsRequired());
    connect(m_requirePasswords, &QCheckBox::toggled, &m_client,
            &OperatorClient::setPasswordsRequired);
    m_barFrame = place<QFrame>(commands, "ShowPrBar", twips(120, 3120, 1785, 225));
    m_barFrame->setFrameShape(QFrame::StyledPanel);
    m_bar = place<QLabel>(m_barFrame, "PrBar", QRect(0, 0, 0, 180 / 15));
    QPixmap barImage(332, 12);
    barImage.fill(QColor(0, 0, 128));
    m_bar->setPixmap(barImage);
    m_bar->setScaledContents(true);
    m_bar->hide();
    m_serverFileName = place<QLabel>(commands, "Label2", twips(240, 3360, 1695, 255));

    QGroupBox *motdFrame =
        frame(client, "Frame4", QStringLiteral("MOTD"), twips(4320, 0, 3975, 3615));
    m_motd = place<QPlainTextEdit>(motdFrame, "Text1", twips(120, 240, 3735, 3255));
    connect(m_motd, &QPlainTextEdit::textChanged, this, &MainWindow::onMotdEdited);

    m_output = place<QPlainTextEdit>(client, "txtOutput", twips(0, 3720, 8295, 1935));
    m_output->setReadOnly(true);
    m_output->setUndoRedoEnabled(false);

    m_input = place<QLineEdit>(client, "txtInput", twips(0, 5640, 8295, 285));
    QPalette palette = m_input->palette();
    palette.setColor(QPalette::Base, QColor(224, 224, 224));
    m_input->setPalette(palette);
    connect(m_input, &QLineEdit::returnPressed, this, &MainWindow::onInputEntered);

    // Holds the tray image below the visible area, as the tray's owner.
    auto *trayOwner = place<QLabel>(client, "Picture1", twips(5160, 6480, 255, 255));
    trayOwner->hide();
}

void MainWindow::buildMenus()
{
    auto item = [this](QMenu *menu, const char *name, const QString &caption,
                       void (MainWindow::*signal)()) {
        QAction *action = menu->addAction(caption);
        action->setObjectName(QLatin1String(name));
        connect(action, &QAction::triggered, this, signal);
    };
    QMenu *file = menuBar()->addMenu(QStringLiteral("&File"));
    file->setObjectName(QStringLiteral("mnuFile"));
    // The menu opens with its separator; Qt would hide a leading one.
    file->setSeparatorsCollapsible(false);
    file->addSeparator();
    item(file, "mnumkserver", QStringLiteral("Make Server File"),
         &MainWindow::makeServerFileRequested);
    item(file, "Exit", QStringLiteral("E&xit"), &MainWindow::exitRequested);

    QMenu *options = menuBar()->addMenu(QStringLiteral("&Options"));
    options->setObjectName(QStringLiteral("mnuOptions"));
    item(options, "KickUser", QStringLiteral("K&ick User"), &MainWindow::kickRequested);
    item(options, "mnuBanUser", QStringLiteral("Ban User"), &MainWindow::banRequested);
    options->addSeparator();
    item(options, "mnuGetIP", QStringLiteral("Get IP"), &MainWindow::showAddressRequested);
    // Later items go after the ones operators know by their place.
    options->addSeparator();
    item(options, "mnuBans", QStringLiteral("&Bans..."), &MainWindow::bansRequested);
}

void MainWindow::buildStatusBar()
{
    auto *status = place<QStatusBar>(centralWidget(), "StatusBar1", twips(0, 6000, 8295, 255));
    status->setSizeGripEnabled(false);
    auto panel = [status](const char *name, const QString &text, int stretch) {
        auto *label = new QLabel(text, status);
        label->setObjectName(QLatin1String(name));
        label->setFrameShape(QFrame::Panel);
        label->setFrameShadow(QFrame::Sunken);
        status->addPermanentWidget(label, stretch);
        return label;
    };
    m_date = panel("panelDate", QString(), 0);
    m_time = panel("panelTime", QString(), 0);
    panel("panelText", QString(), 1);
    m_scroll = panel("panelScroll", QStringLiteral("SCRL"), 0);
    m_num = panel("panelNum", QStringLiteral("NUM"), 0);
    m_caps = panel("panelCaps", QStringLiteral("CAPS"), 0);
    m_clock = new QTimer(this);
    m_clock->setInterval(1000);
    connect(m_clock, &QTimer::timeout, this, &MainWindow::updateClock);
    m_clock->start();
    updateClock();
    // The lock keys change outside the window too: look a few times a second.
    m_keyLockPoll = new QTimer(this);
    m_keyLockPoll->setInterval(250);
    connect(m_keyLockPoll, &QTimer::timeout, this, &MainWindow::updateKeyLocks);
    m_keyLockPoll->start();
    updateKeyLocks();
}

void MainWindow::updateClock()
{
    const QLocale locale = QLocale::system();
    m_date->setText(locale.toString(QDate::currentDate(), QLocale::ShortFormat));
    m_time->setText(locale.toString(QTime::currentTime(), QLocale::ShortFormat));
}

void MainWindow::setKeyLocksSource(std::function<std::optional<KeyLocks>()> source)
{
    m_keyLocks = std::move(source);
    updateKeyLocks();
}

void MainWindow::updateKeyLocks()
{
    const std::optional<KeyLocks> locks = m_keyLocks();
    if (!locks)
        return;
    m_scroll->setEnabled(locks->scroll);
    m_num->setEnabled(locks->num);
    m_caps->setEnabled(locks->caps);
}

void MainWindow::load()
{
    m_tray->create();
    setWindowTitle(QStringLiteral("Tarnwick Server - ") +
                   QString::fromLatin1(Listener::localAddress()));
}

void MainWindow::unload()
{
    m_tray->remove();
}

int MainWindow::selectedIndex() const
{
    const QList<QListWidgetItem *> selected = m_users->selectedItems();
    return selected.isEmpty() ? -1 : m_users->row(selected.constFirst());
}

QString MainWindow::selectedRowText() const
{
    const int index = selectedIndex();
    return index < 0 ? QString() : m_users->item(index)->text();
}

bool MainWindow::isTrayAvailable() const
{
    return m_tray->available();
}

void MainWindow::onLogLine(const QByteArray &text)
{
    // The view is filled in batches, at most one per view pace: a busy room
    // must not cost a widget update per line. The first line after a quiet
    // spell shows in the next turn.
    m_pendingOutput.append(text); // made display text when it goes in
    if (m_pendingOutput.size() > LogViewLines) {
        m_pendingOutput.removeFirst();
        m_batchLeft = std::max<qsizetype>(0, m_batchLeft - 1);
    }
    if (m_batchLeft == 0 && !m_outputFlush->isActive()) {
        const qint64 since =
            m_sinceOutputFlush.isValid() ? m_sinceOutputFlush.elapsed() : ViewPace.count();
        m_outputFlush->start(
            std::chrono::milliseconds(std::max<qint64>(0, ViewPace.count() - since)));
    }
}

void MainWindow::flushOutput()
{
    m_outputFlush->stop();
    appendOutput(m_pendingOutput.size());
    m_batchLeft = 0;
    holdOutputPaint(false);
}

// Appending costs a few microseconds a line, so a busy room's batch goes into
// the view in slices, one per event-loop turn: the window's input and the
// operator's commands run between them rather than waiting for thousands of
// lines at once. The view is painted once,
// when the whole batch is in; lines that arrive meanwhile wait for the next.
void MainWindow::appendOutputSlice()
{
    if (m_batchLeft == 0)
        m_batchLeft = m_pendingOutput.size();
    const qsizetype lines = std::min(m_batchLeft, OutputSliceLines);
    const bool more = m_batchLeft > lines;
    if (more)
        holdOutputPaint(true);
    appendOutput(lines);
    m_batchLeft -= lines;
    if (more) {
        m_outputFlush->start(0);
        return;
    }
    holdOutputPaint(false); // paints, if the slices held it back
    if (!m_pendingOutput.isEmpty())
        m_outputFlush->start(ViewPace);
}

// The text and its scroll bar, not the frame around them: painting the frame
// repaints what lies under it.
void MainWindow::holdOutputPaint(bool hold)
{
    m_output->viewport()->setUpdatesEnabled(!hold);
    m_output->verticalScrollBar()->setUpdatesEnabled(!hold);
}

void MainWindow::appendOutput(qsizetype lines)
{
    if (lines <= 0)
        return;
    QString text;
    for (qsizetype i = 0; i < lines; ++i) {
        if (i > 0)
            text += QLatin1Char('\n');
        text += toWidgetText(m_pendingOutput.at(i));
    }
    m_output->appendPlainText(text);
    m_pendingOutput.remove(0, lines);
    m_sinceOutputFlush.start();
    trimOutput();
}

// Drops the oldest lines beyond LogViewLines. The cut is placed by position
// inside one edit block, so the lines that leave are never laid out: an append
// costs the same however long the server has run. (The document's own block
// limit walks the cursor over every line it removes, shaping each one.)
void MainWindow::trimOutput()
{
    QTextDocument *document = m_output->document();
    const int excess = document->blockCount() - LogViewLines;
    if (excess <= 0)
        return;
    QTextCursor cursor(document);
    cursor.beginEditBlock();
    cursor.setPosition(0);
    cursor.setPosition(document->findBlockByNumber(excess).position(), QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
    cursor.endEditBlock();
}

QString MainWindow::outputText() const
{
    return m_output->toPlainText();
}

void MainWindow::onNotice(const QString &text, OperatorApi::Severity severity)
{
    // One box at a time: further notices go to the log view meanwhile, so a
    // flood cannot pile up dialogs.
    if (m_noticeOpen) {
        onLogLine(Codepage::fromDisplay(text));
        return;
    }
    m_noticeOpen = true;
    switch (severity) {
    case OperatorApi::Severity::Info:
        m_dialogs.messageBox(text, QString(), Dialogs::Icon::None);
        break;
    case OperatorApi::Severity::Warning:
        m_dialogs.messageBox(text, QString(), Dialogs::Icon::Warning);
        break;
    case OperatorApi::Severity::Error:
        m_dialogs.messageBox(text, QStringLiteral("Tarnwick Server"), Dialogs::Icon::Critical);
        break;
    }
    m_noticeOpen = false;
}

void MainWindow::onRowChanged(int index, const QByteArray &text)
{
    if (QListWidgetItem *item = m_users->item(index)) {
        item->setText(Codepage::toDisplay(text));
        m_usersPacer->changed();
    }
}

void MainWindow::onMotdChanged(const QByteArray &text)
{
    const QString shown = toWidgetText(text);
    if (m_motd->toPlainText() == shown)
        return;
    m_settingMotd = true;
    m_motd->setPlainText(shown);
    m_settingMotd = false;
}

void MainWindow::onMotdEdited()
{
    if (m_settingMotd)
        return;
    // The join sends what the MOTD box holds.
    m_client.setRunningMotd(fromWidgetText(m_motd->toPlainText()));
}

void MainWindow::onInputEntered()
{
    const QByteArray text = Codepage::fromDisplay(m_input->text());
    m_input->clear();
    m_client.say(text);
}

void MainWindow::onServerFileProgress(double fraction)
{
    const int width = qMin(m_barFrame->width(), qRound(fraction * m_barFrame->width()));
    m_bar->resize(width, m_bar->height());
    m_bar->show();
}

void MainWindow::onServerFileProgressEnded()
{
    m_bar->hide();
    m_bar->resize(0, m_bar->height());
}

void MainWindow::changeEvent(QEvent *event)
{
    QMainWindow::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange)
        return;
    // Hide into the tray only when there is a tray to come back from. Any
    // other size change puts the window back to its one fixed layout.
    if (isMinimized()) {
        if (m_tray->available())
            QTimer::singleShot(0, this, &QWidget::hide);
    } else if (windowState() & (Qt::WindowMaximized | Qt::WindowFullScreen)) {
        QTimer::singleShot(0, this, &QWidget::showNormal);
    }
}

void MainWindow::onRestoreRequested()
{
    showNormal();
    raise();
    activateWindow();
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    QMainWindow::closeEvent(event);
    Q_EMIT closed();
}
