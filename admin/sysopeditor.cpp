#include "admin/sysopeditor.h"

#include "admin/sysoplist.h"
#include "core/codepage.h"
#include "core/passwordhash.h"
#include "operator/operatorclient.h"
#include "platform/dialogs.h"
#include "platform/formgeometry.h"

#include <QDir>
#include <QGroupBox>
#include <QHeaderView>
#include <QPushButton>
#include <QTreeWidget>

namespace {

const QString Caption = QStringLiteral("Tarnwick Mod Lists");
constexpr int ColumnTwips = 2540;
// Each cell keeps the record's bytes; the text shown is their display form.
constexpr int BytesRole = Qt::UserRole;

constexpr int PasswordColumn = 2;

// A hashed password is never shown as if it were one.
void setCell(QTreeWidgetItem *item, int column, const QByteArray &bytes)
{
    const bool hashed = column == PasswordColumn && PasswordHash::isHash(bytes);
    item->setText(column, hashed ? QStringLiteral("(stored hashed)") : Codepage::toDisplay(bytes));
    item->setData(column, BytesRole, bytes);
}

QByteArray cell(const QTreeWidgetItem *item, int column)
{
    return item->data(column, BytesRole).toByteArray();
}

} // namespace

SysopEditor::SysopEditor(OperatorClient &client, Dialogs &dialogs, QWidget *parent)
    : QWidget(parent, Qt::Window), m_client(client), m_dialogs(dialogs)
{
    setObjectName(QStringLiteral("frmSysop"));
    setWindowTitle(Caption);
    // The layout is drawn for an 8-point face (11 pixels).
    QFont face = font();
    face.setPixelSize(11);
    setFont(face);
    setFixedSize(5910 / 15, 3045 / 15);

    auto *frame = new QGroupBox(QStringLiteral("System Operator List"), this);
    frame->setObjectName(QStringLiteral("Frame1"));
    frame->setGeometry(twips(60, 60, 5775, 2895));

    m_list = new QTreeWidget(frame);
    m_list->setObjectName(QStringLiteral("lvSysops"));
    m_list->setGeometry(twips(120, 240, 5535, 2055));
    m_list->setColumnCount(3);
    m_list->setHeaderLabels({QStringLiteral("User's name/description"),
                             QStringLiteral("Users E-Mail"), QStringLiteral("User's Password")});
    for (int column = 0; column < 3; ++column)
        m_list->setColumnWidth(column, ColumnTwips / 15);
    m_list->header()->setStretchLastSection(false);
    m_list->setRootIsDecorated(false);
    m_list->setUniformRowHeights(true);
    m_list->setSortingEnabled(false);
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    m_list->setSelectionBehavior(QAbstractItemView::SelectRows);

    auto *add = button(frame, "cmdAdd", QStringLiteral("Add"), twips(120, 2400, 1215, 375));
    // "Save && Close": the doubled ampersand of the caption shows as one.
    auto *save =
        button(frame, "cmdClose", QStringLiteral("Save && Close"), twips(1620, 2400, 1215, 375));
    auto *remove =
        button(frame, "cmdRemove", QStringLiteral("Remove"), twips(3120, 2400, 1215, 375));
    auto *removeAll =
        button(frame, "cmdRemoveAll", QStringLiteral("Remove All"), twips(4440, 2400, 1215, 375));
    connect(add, &QPushButton::clicked, this, &SysopEditor::addRecord);
    connect(save, &QPushButton::clicked, this, &SysopEditor::saveAndClose);
    connect(remove, &QPushButton::clicked, this, &SysopEditor::removeSelected);
    connect(removeAll, &QPushButton::clicked, this, &SysopEditor::removeAll);
    connect(m_list, &QTreeWidget::itemDoubleClicked, this, &SysopEditor::changePassword);
}

// A double click on a row sets its password anew; it is hashed on saving when
// the users store holds hashes.
void SysopEditor::changePassword(QTreeWidgetItem *item)
{
    const QString answer = m_dialogs.inputBox(QStringLiteral("Enter a new password for this user."),
                                              QStringLiteral("Enter Password"), QString());
    if (answer.isEmpty())
        return;
    const QByteArray password = storableAnswer(answer);
    if (!password.isEmpty())
        setCell(item, PasswordColumn, password);
}

QList<SysopEntry> SysopEditor::records() const
{
    QList<SysopEntry> result;
    for (int i = 0; i < m_list->topLevelItemCount(); ++i) {
        const QTreeWidgetItem *item = m_list->topLevelItem(i);
        result.append({cell(item, 0), cell(item, 1), cell(item, PasswordColumn)});
    }
    return result;
}

void SysopEditor::load()
{
    QString error;
    const std::optional<QList<SysopEntry>> loaded = m_client.sysops(&error);
    if (!loaded) {
        // Saving would replace records nobody has seen: this window never does.
        m_unreadable = true;
        m_dialogs.messageBox(
            error + QStringLiteral("\nThe list starts empty and cannot be saved over it."), Caption,
            Dialogs::Icon::Warning);
        return;
    }
    for (const SysopEntry &entry : *loaded)
        appendRow(entry);
}

void SysopEditor::appendRow(const SysopEntry &record)
{
    auto *item = new QTreeWidgetItem(m_list);
    setCell(item, 0, record.name);
    setCell(item, 1, record.email);
    setCell(item, PasswordColumn, record.password);
}

QByteArray SysopEditor::storableAnswer(const QString &answer)
{
    const QByteArray bytes = Codepage::fromDisplay(answer);
    if (SysopList::isStorable(bytes) && Codepage::toDisplay(bytes) == answer)
        return bytes;
    m_dialogs.messageBox(QStringLiteral("\"%1\" cannot be stored in the sysop list: it may not "
                                        "contain a tab, a line break or a character outside "
                                        "the Western (Windows-1252) character set.")
                             .arg(answer),
                         Caption, Dialogs::Icon::Warning);
    return QByteArray();
}

void SysopEditor::addRecord()
{
    struct Question
    {
        QString prompt;
        QString title;
    };
    const Question questions[] = {
        {QStringLiteral("Enter the username for a description of the sysop."),
         QStringLiteral("Enter description/name")},
        {QStringLiteral("Enter the user's E-Mail address."),
         QStringLiteral("Enter E-Mail address")},
        {QStringLiteral("Enter a password for this user."), QStringLiteral("Enter Password")},
    };
    QByteArray answers[3];
    for (int i = 0; i < 3; ++i) {
        const QString answer =
            m_dialogs.inputBox(questions[i].prompt, questions[i].title, QString());
        if (answer.isEmpty())
            return;
        answers[i] = storableAnswer(answer);
        if (answers[i].isEmpty())
            return;
    }
    appendRow({answers[0], answers[1], answers[2]});
}

void SysopEditor::removeSelected()
{
    const QList<QTreeWidgetItem *> selected = m_list->selectedItems();
    if (selected.isEmpty())
        return;
    QTreeWidgetItem *item = selected.constFirst();
    const QString text = QStringLiteral("Are you sure you want to remove the user '") +
                         item->text(0) + QStringLiteral("' from the list?");
    if (m_dialogs.askYesNo(text, QStringLiteral("Remove user?"), Dialogs::Icon::Question, false))
        delete item;
}

void SysopEditor::removeAll()
{
    if (m_dialogs.askYesNo(
            QStringLiteral("Warning: Are you sure you want to remove ALL users from the list?"),
            QStringLiteral("Remove ALL users?"), Dialogs::Icon::Warning, true))
        m_list->clear();
}

void SysopEditor::saveAndClose()
{
    if (m_unreadable) {
        m_dialogs.messageBox(QStringLiteral("The sysop list %1 could not be read, so it is not "
                                            "replaced. Repair the file, then open the list again.")
                                 .arg(QDir::toNativeSeparators(m_client.sysopsPath())),
                             Caption, Dialogs::Icon::Critical);
        return;
    }
    m_client.setSysops(records(), this, [this](const OperatorResult &saved) {
        if (!saved.ok) {
            m_dialogs.messageBox(saved.error, Caption, Dialogs::Icon::Critical);
            return;
        }
        close();
    });
}
