#include "accounts/loginserver.h"

#include "accounts/usersdatabase.h"

namespace {
constexpr qsizetype NewUserFieldCount = 16;
constexpr qsizetype ValidateFieldCount = 3;
const QByteArray Decline = QByteArrayLiteral("DECLINE\r\n");
const QByteArray Accept = QByteArrayLiteral("ACCEPT\r\n");
const QByteArray Pass = QByteArrayLiteral("PASS\r\n");
const QByteArray Rejected = QByteArrayLiteral("REJECTED\r\n");
} // namespace

LoginServer::LoginServer(ConnectionTable &table, const ServerConfig &config, QObject *parent)
    : QObject(parent), m_table(table), m_config(config),
      m_log(config.workingFile(QStringLiteral("log.txt"))),
      m_pool(new ConnectionPool(
          table,
          {// Opened (and so created) at every receive, though nothing is written.
           [this](const Sender &, const QByteArray &, const QByteArray &) { m_log.touch(); },
           [this](const Sender &sender, const QByteArray &line) {
               return handleLine(sender.index, line);
           },
           [this](int index) { m_pool->drop(index, Farewell::toNobody()); },
           [this](const QString &text) { Q_EMIT operatorNotice(text); }},
          this))
{
    UsersDatabase::prepareForOwner();
}

LoginServer::~LoginServer() = default;

bool LoginServer::listen(QString *errorText)
{
    return m_pool->listen(m_config.loginPort, errorText);
}

quint16 LoginServer::port() const
{
    return m_pool->port();
}

bool LoginServer::isConnected(int index) const
{
    return m_pool->isConnected(index);
}

QString LoginServer::usersDatabasePath() const
{
    return m_config.programFile(UsersDatabase::FileName);
}

LoginServer::Outcome LoginServer::handleLine(int index, const QByteArray &line)
{
    const Fields fields = line.split('\t');
    if (fields.constFirst() == "NEWUSER")
        return newUser(index, fields);
    if (fields.constFirst() == "VALIDATE")
        return validate(index, fields);
    return Outcome::NextLine;
}

LoginServer::Outcome LoginServer::newUser(int index, const Fields &fields)
{
    if (fields.size() < NewUserFieldCount)
        return Outcome::NextLine;
    if (!m_passwordsRequired) {
        send(index, "NOPROB\t" + NoPasswordsText + "\r\n");
        return Outcome::Stop;
    }
    UsersDatabase *users = store();
    if (!users) {
        send(index, Decline);
        return Outcome::Stop;
    }
    const QByteArray &name = fields[1 + UserRecord::UserName];
    const QByteArray &email = fields[1 + UserRecord::Email];
    const std::optional<bool> taken = users->isNameOrEmailTaken(name, email);
    if (!taken || *taken) {
        if (!taken)
            storeFailed(*users);
        send(index, Decline);
        return Outcome::Stop;
    }
    UserRecord record;
    for (int i = 0; i < UserRecord::ColumnCount; ++i)
        record.values[i] = fields[1 + i];
    if (!users->addUser(record)) {
        storeFailed(*users);
        send(index, Decline);
        return Outcome::Stop;
    }
    m_reportedProblem.clear();

    // Counted through the same store: the record is committed, so a fresh
    // open would count the same.
    const std::optional<qint64> count = users->count();
    if (!count)
        storeFailed(*users);
    const quint64 connection = m_table.slot(index).connection;
    if (count)
        Q_EMIT registeredUsersCounted(UsersDatabase::countSummary(*count));
    // The window that shows the count may have run a modal box meanwhile.
    if (m_table.slot(index).connection != connection)
        return Outcome::Stop;
    send(index, Accept);
    return Outcome::NextLine;
}

LoginServer::Outcome LoginServer::validate(int index, const Fields &fields)
{
    if (fields.size() < ValidateFieldCount)
        return Outcome::NextLine;
    if (!m_passwordsRequired) {
        send(index, Pass);
        return Outcome::Stop;
    }
    std::optional<bool> valid;
    if (UsersDatabase *users = store()) {
        valid = users->checkCredentials(fields[1], fields[2]);
        if (!valid)
            storeFailed(*users);
    }
    if (valid && *valid) {
        send(index, Pass);
        return Outcome::Stop;
    }
    send(index, Rejected);
    return Outcome::NextLine;
}

// The store stays open between requests: a fresh open for each would read
// the index pages in again and, as the file's last user, copy its log back
// into it every time. It is opened again when the file was replaced or
// deleted, and after a failure.
UsersDatabase *LoginServer::store()
{
    if (m_store && !m_store->isFileStillThere())
        m_store.reset();
    if (!m_store) {
        QString errorText;
        m_store = UsersDatabase::open(usersDatabasePath(), &errorText);
        if (!m_store)
            reportStoreProblem(errorText);
    }
    return m_store.get();
}

void LoginServer::storeFailed(UsersDatabase &users)
{
    reportStoreProblem(users.errorText());
    if (m_store.get() == &users)
        m_store.reset();
}

// Once per problem: a client retrying must not flood the log view. A stored
// registration shows the store works again.
void LoginServer::reportStoreProblem(const QString &text)
{
    if (text == m_reportedProblem)
        return;
    m_reportedProblem = text;
    Q_EMIT storeProblem(text);
}

void LoginServer::send(int index, const QByteArray &line)
{
    m_pool->send(index, line);
}
