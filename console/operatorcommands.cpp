#include "console/operatorcommands.h"

#include "admin/motdeditor.h"
#include "console/mainwindow.h"
#include "core/banlist.h"
#include "core/chatserver.h"
#include "core/codepage.h"
#include "platform/dialogs.h"
#include "platform/eventloop.h"
#include "platform/listener.h"
#include "serverfile/serverfilemaker.h"

#include <QAction>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>

namespace {
const QByteArray FromServer = QByteArrayLiteral("\tThe Server\t");

template <typename Type> Type *child(QObject &parent, const char *name)
{
    Type *object = parent.findChild<Type *>(QLatin1String(name));
    Q_ASSERT_X(object, "OperatorCommands", name);
    return object;
}
} // namespace

OperatorCommands::OperatorCommands(MainWindow &window)
    : QObject(&window), m_window(window), m_chat(window.chat()), m_table(window.chat().table()),
      m_dialogs(window.dialogs()), m_users(child<QListWidget>(window, "lstUsers")),
      m_barFrame(child<QWidget>(window, "ShowPrBar")), m_bar(child<QLabel>(window, "PrBar")),
      m_serverName(child<QLabel>(window, "Label2")),
      m_serverFile(new ServerFileMaker(
          m_chat.config(), m_dialogs, [] { return Listener::localAddress(); }, this))
{
    connect(child<QPushButton>(window, "Command1"), &QPushButton::clicked, this,
            &OperatorCommands::announce);
    connect(child<QPushButton>(window, "cmdGetIP"), &QPushButton::clicked, this,
            &OperatorCommands::showAddress);
    connect(child<QAction>(window, "mnuGetIP"), &QAction::triggered, this,
            &OperatorCommands::showAddress);
    connect(child<QAction>(window, "KickUser"), &QAction::triggered, this, &OperatorCommands::kick);
    connect(child<QPushButton>(window, "cmdBanUser"), &QPushButton::clicked, this,
            &OperatorCommands::ban);
    connect(child<QAction>(window, "mnuBanUser"), &QAction::triggered, this,
            &OperatorCommands::ban);
    connect(child<QPushButton>(window, "cmdUpdateMOTD"), &QPushButton::clicked, this,
            &OperatorCommands::openMotdEditor);
    connect(child<QAction>(window, "mnumkserver"), &QAction::triggered, this,
            &OperatorCommands::makeServerFile);

    connect(m_serverFile, &ServerFileMaker::nameChanged, m_serverName, &QLabel::setText);
    connect(m_serverFile, &ServerFileMaker::barShown, this, &OperatorCommands::onBarShown);
    connect(m_serverFile, &ServerFileMaker::barAdvanced, this, &OperatorCommands::onBarAdvanced);
    connect(m_serverFile, &ServerFileMaker::barHidden, this, &OperatorCommands::onBarHidden);
}

OperatorCommands::~OperatorCommands() = default;

int OperatorCommands::selectedIndex() const
{
    const QList<QListWidgetItem *> selected = m_users->selectedItems();
    return selected.isEmpty() ? -1 : m_users->row(selected.constFirst());
}

QString OperatorCommands::selectedRowText() const
{
    const int index = selectedIndex();
    return ConnectionTable::isValidIndex(index) ? Codepage::toDisplay(m_table.row(index))
                                                : QString();
}

// Whole names, ignoring case; a client that has not joined yet has the empty name.
int OperatorCommands::findConnectedByName(const QByteArray &name) const
{
    for (int i = 0; i < ConnectionTable::Size; ++i) {
        if (m_chat.isConnected(i) && Codepage::equalsIgnoringCase(m_table.slot(i).name, name))
            return i;
    }
    return -1;
}

void OperatorCommands::announce()
{
    const QString text =
        m_dialogs.inputBox(QStringLiteral("What would you like to say to the public?"),
                           QStringLiteral("What:"), QString());
    const QByteArray line = "MSGBOX\t" + Codepage::fromDisplay(text) + "\r\n";
    // Users in a game get it too. A send that fails is skipped.
    for (int i = 0; i < ConnectionTable::Size; ++i) {
        if (m_table.isRowEmpty(i))
            continue;
        m_chat.send(i, line);
        yieldEventLoop();
    }
}

void OperatorCommands::showAddress()
{
    const int index = selectedIndex();
    if (index < 0) {
        m_dialogs.messageBox(QStringLiteral("No user is selected."), QString(),
                             Dialogs::Icon::Information);
        return;
    }
    m_dialogs.messageBox(QString::fromLatin1(m_chat.remoteAddress(index)), QString(),
                         Dialogs::Icon::None);
}

void OperatorCommands::kickOrBan(Action action)
{
    const bool banning = action == Action::Ban;
    const QString selected = selectedRowText();
    const QString who =
        m_dialogs.inputBox(banning ? QStringLiteral("Who would you like to Banning?")
                                   : QStringLiteral("Who would you like to kick?"),
                           QStringLiteral("Who:") + selected, selected);
    const int index = findConnectedByName(Codepage::fromDisplay(who));
    if (index < 0) {
        m_dialogs.messageBox(QStringLiteral("No one in the chat has that name!"),
                             QStringLiteral("Note:"), Dialogs::Icon::Information);
        return;
    }
    // The sockets keep running while the reason is asked for: the user may
    // leave and somebody else may take the index meanwhile.
    const Sender target{index, m_table.slot(index).connection};
    const QByteArray address = m_chat.remoteAddress(index);
    const QString reason =
        m_dialogs.inputBox(banning ? QStringLiteral("For what reason are you Banning?")
                                   : QStringLiteral("For what reason are you kicking?"),
                           QStringLiteral("Reason:"), QString());

    if (banning) {
        // The address of the user the operator chose, even if they have left.
        QString error;
        if (!BanList::append(m_chat.config().programFile(QStringLiteral("ban.txt")), address,
                             &error)) {
            m_dialogs.messageBox(QStringLiteral("The address %1 could not be stored in ban.txt, "
                                                "so it is not banned: %2")
                                     .arg(QString::fromLatin1(address), error),
                                 QStringLiteral("Ban User"), Dialogs::Icon::Critical);
        }
    }
    if (!m_chat.isStillHere(target))
        return;
    const QByteArray keyword = banning ? QByteArrayLiteral("BANUSER") : QByteArrayLiteral("Kicked");
    m_chat.send(index, keyword + FromServer + Codepage::fromDisplay(reason) + "\r\n");
    yieldEventLoop();
}

void OperatorCommands::openMotdEditor()
{
    // A closed editor may still await its deletion: only an open one is reused.
    if (m_motdEditor && m_motdEditor->isVisible()) {
        if (m_motdEditor->isMinimized())
            m_motdEditor->showNormal();
        m_motdEditor->raise();
        m_motdEditor->activateWindow();
        return;
    }
    auto *editor = new MotdEditor(m_chat, m_dialogs, &m_window);
    editor->setAttribute(Qt::WA_DeleteOnClose);
    if (!editor->load()) {
        delete editor;
        return;
    }
    m_motdEditor = editor;
    editor->show();
}

void OperatorCommands::makeServerFile()
{
    m_serverFile->make(selectedRowText());
}

void OperatorCommands::onBarShown()
{
    m_bar->resize(0, m_bar->height());
    m_bar->show();
}

void OperatorCommands::onBarAdvanced(double fraction)
{
    const int width = qMin(m_barFrame->width(), qRound(fraction * m_barFrame->width()));
    m_bar->resize(width, m_bar->height());
}

void OperatorCommands::onBarHidden()
{
    m_bar->hide();
    m_bar->resize(0, m_bar->height());
}
