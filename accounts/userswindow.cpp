#include "accounts/userswindow.h"

#include "accounts/usersdatabase.h"
#include "core/codepage.h"
#include "core/passwordhash.h"
#include "platform/dialogs.h"
#include "platform/formgeometry.h"
#include "platform/listener.h"

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace {

const QString UserNotFoundText = QStringLiteral("User not found");
const QString HashedText = QStringLiteral("stored hashed, cannot be shown");

struct BoxLayout
{
    const char *name;
    UserRecord::Column column;
    const char *caption; // nullptr: no label
    int labelLeft, labelTop, labelWidth;
    int left, top, width;
};

// The record boxes of the "Results " group, in GetData's order.
constexpr BoxLayout RecordBoxes[] = {
    {"Text2", UserRecord::UserName, "User Name", 240, 360, 855, 1200, 360, 1935},
    {"Text3", UserRecord::First, "First Name", 240, 1440, 855, 1320, 1440, 1695},
    {"Text4", UserRecord::Last, "Last Name", 3360, 1440, 975, 4200, 1440, 1575},
    {"Text5", UserRecord::Address1, "Address", 360, 1800, 735, 1320, 1800, 5295},
    {"Text6", UserRecord::Address2, nullptr, 0, 0, 0, 1320, 2160, 5295},
    {"Text7", UserRecord::City, "City: ", 840, 2880, 615, 1200, 2880, 1215},
    {"Text8", UserRecord::State, "State", 2520, 2880, 495, 3000, 2880, 1095},
    {"Text9", UserRecord::Zip, "Zipcode", 4200, 2880, 735, 4800, 2880, 975},
    {"Text10", UserRecord::Country, "Country", 6000, 2880, 735, 6600, 2880, 1215},
    {"Text11", UserRecord::Password, "Password", 3840, 360, 855, 4800, 360, 1335},
    {"Text12", UserRecord::Provider, "Internet Porider", 480, 3600, 1215, 1800, 3600, 1935},
    {"Text13", UserRecord::Connection, "Connection Speed", 4320, 3600, 1455, 5760, 3600, 1215},
    {"Text14", UserRecord::mailinglist, "Mailing List", 360, 4680, 975, 1560, 4680, 1095},
    {"Text15", UserRecord::emailme, "New Release", 3600, 4680, 1095, 4920, 4680, 1215},
    {"Text17", UserRecord::Email, "Email", 480, 4320, 615, 1320, 4320, 2895},
};

constexpr int LabelHeight = 255;
constexpr int BoxHeight = 285;

QGroupBox *group(QWidget *parent, const char *name, const QString &caption, const QRect &geometry)
{
    auto *box = new QGroupBox(caption, parent);
    box->setObjectName(QLatin1String(name));
    box->setGeometry(geometry);
    return box;
}

void label(QWidget *parent, const QString &caption, int left, int top, int width)
{
    auto *text = new QLabel(caption, parent);
    text->setGeometry(twips(left, top, width, LabelHeight));
}

} // namespace

UsersWindow::UsersWindow(const QString &databasePath, Dialogs &dialogs, QWidget *parent)
    : QWidget(parent, Qt::Window), m_databasePath(databasePath), m_dialogs(dialogs)
{
    setObjectName(QStringLiteral("frmStart"));
    // The layout is drawn for an 8-point face (11 pixels).
    QFont face = font();
    face.setPixelSize(11);
    setFont(face);
    setFixedSize(9300 / 15, 6285 / 15);
    buildWidgets();
}

UsersWindow::~UsersWindow() = default;

void UsersWindow::buildWidgets()
{
    QGroupBox *searchGroup =
        group(this, "Frame1", QStringLiteral("User Search "), twips(0, 120, 9255, 735));
    label(searchGroup, QStringLiteral("User Name"), 120, 360, 975);
    m_searchName = addBox(searchGroup, "Text1", twips(1080, 360, 2055, BoxHeight));
    QPushButton *searchButton =
        button(searchGroup, "Command1", QStringLiteral("Search"), twips(3360, 360, 1335, 255));
    label(searchGroup, QStringLiteral("Total Users"), 5040, 360, 855);
    m_countLine = addBox(searchGroup, "Text16", twips(6000, 360, 3015, BoxHeight));

    QGroupBox *results =
        group(this, "Frame2", QStringLiteral("Results "), twips(0, 960, 9255, 5295));
    for (const BoxLayout &layout : RecordBoxes) {
        if (layout.caption)
            label(results, QLatin1String(layout.caption), layout.labelLeft, layout.labelTop,
                  layout.labelWidth);
        m_recordBoxes[layout.column] =
            addBox(results, layout.name, twips(layout.left, layout.top, layout.width, BoxHeight));
    }
    QLineEdit *password = m_recordBoxes[UserRecord::Password];
    password->setEchoMode(QLineEdit::Password);
    password->setStyleSheet(QStringLiteral("lineedit-password-character: 42;"));
    label(results, QStringLiteral("User ID#"), 6720, 360, 855);
    m_userId = addBox(results, "Text18", twips(7440, 360, 975, BoxHeight));
    QPushButton *previous =
        button(results, "Command3", QStringLiteral("<"), twips(8520, 360, 255, 255));
    QPushButton *next =
        button(results, "Command4", QStringLiteral(">"), twips(8880, 360, 255, 255));
    QPushButton *passwordButton =
        button(results, "Command6", QStringLiteral("Set Password"), twips(7680, 4440, 1455, 255));
    QPushButton *clearButton =
        button(results, "Command5", QStringLiteral("Clear"), twips(7680, 4680, 1455, 255));
    QPushButton *addButton =
        button(results, "Command2", QStringLiteral("Add New User"), twips(7680, 4920, 1455, 255));

    connect(searchButton, &QPushButton::clicked, this, &UsersWindow::search);
    // Enter in the name box searches, as in any search field.
    connect(m_searchName, &QLineEdit::returnPressed, this, &UsersWindow::search);
    connect(previous, &QPushButton::clicked, this, [this] { step(Direction::Previous); });
    connect(next, &QPushButton::clicked, this, [this] { step(Direction::Next); });
    connect(clearButton, &QPushButton::clicked, this, &UsersWindow::clear);
    connect(addButton, &QPushButton::clicked, this, &UsersWindow::addNewUser);
    connect(passwordButton, &QPushButton::clicked, this, &UsersWindow::setPassword);
}

QLineEdit *UsersWindow::addBox(QWidget *group, const char *name, const QRect &geometry)
{
    auto *box = new QLineEdit(group);
    box->setObjectName(QLatin1String(name));
    box->setGeometry(geometry);
    return box;
}

void UsersWindow::load()
{
    setWindowTitle(QStringLiteral("Tarnwick Server - ") +
                   QString::fromLatin1(Listener::localAddress()));
    if (!openStore())
        return;
    if (m_store->isAfterLast()) {
        m_dialogs.messageBox(Codepage::toDisplay(UsersDatabase::NoRecordsText), QString(),
                             Dialogs::Icon::None);
        return;
    }
    if (const std::optional<qint64> count = m_store->count())
        setCountLine(UsersDatabase::countSummary(*count));
    else
        showStoreProblem(m_store->errorText());
}

void UsersWindow::setCountLine(const QByteArray &text)
{
    m_countLine->setText(Codepage::toDisplay(text));
}

bool UsersWindow::openStore()
{
    QString errorText;
    m_store = UsersDatabase::open(m_databasePath, &errorText);
    if (!m_store)
        showStoreProblem(errorText);
    return m_store != nullptr;
}

void UsersWindow::search()
{
    if (!openStore())
        return;
    const std::optional<bool> found =
        m_store->findByName(Codepage::fromDisplay(m_searchName->text()));
    if (!found) {
        showStoreProblem(m_store->errorText());
        return;
    }
    if (!*found) {
        m_dialogs.messageBox(UserNotFoundText, QString(), Dialogs::Icon::None);
        return;
    }
    getData();
}

void UsersWindow::getData()
{
    if (!m_store)
        return;
    if (const std::optional<UserRecord> record = m_store->current())
        showRecord(*record);
    else if (!m_store->errorText().isEmpty())
        showStoreProblem(m_store->errorText());
}

// A hashed password cannot be shown: its box stays empty and says so, and
// what the operator types there is a new password.
void UsersWindow::showRecord(const UserRecord &record)
{
    for (const BoxLayout &layout : RecordBoxes)
        m_recordBoxes[layout.column]->setText(Codepage::toDisplay(record[layout.column]));
    QLineEdit *password = m_recordBoxes[UserRecord::Password];
    if (PasswordHash::isHash(record[UserRecord::Password])) {
        password->clear();
        password->setPlaceholderText(HashedText);
    } else {
        password->setPlaceholderText(QString());
    }
}

void UsersWindow::setPassword()
{
    const QByteArray password = Codepage::fromDisplay(m_recordBoxes[UserRecord::Password]->text());
    if (!m_store || !m_store->setPassword(password)) {
        showStoreProblem(m_store ? m_store->errorText() : QStringLiteral("No user is shown."));
        return;
    }
    getData();
}

// Previous and Next: a refused move, or one that leaves no record to show,
// puts a fresh cursor on the first record and leaves the boxes as they were.
void UsersWindow::step(Direction direction)
{
    std::optional<UserRecord> record;
    if (m_store) {
        const bool moved =
            direction == Direction::Next ? m_store->moveNext() : m_store->movePrevious();
        if (moved)
            record = m_store->current();
    }
    if (!record) {
        openStore();
        return;
    }
    showRecord(*record);
}

void UsersWindow::addNewUser()
{
    if (!m_store && !openStore())
        return;
    UserRecord record;
    for (int column = 0; column < UserRecord::ColumnCount; ++column)
        record.values[column] = Codepage::fromDisplay(m_recordBoxes[column]->text());
    const std::optional<QByteArray> password = m_store->storedForm(record[UserRecord::Password]);
    if (password)
        record[UserRecord::Password] = *password;
    if (!password || !m_store->addUser(record))
        showStoreProblem(m_store->errorText());
}

void UsersWindow::clear()
{
    for (QLineEdit *box : m_recordBoxes)
        box->clear();
    m_userId->clear();
}

void UsersWindow::showStoreProblem(const QString &text)
{
    m_dialogs.messageBox(text, QString(), Dialogs::Icon::Critical);
}
