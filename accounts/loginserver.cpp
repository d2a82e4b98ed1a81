#include "accounts/loginserver.h"

#include "accounts/usersdatabase.h"
#include "core/loginthrottle.h"
#include "core/securitylog.h"
#include "platform/ownedfiles.h"

namespace {
constexpr qsizetype NewUserFieldCount = 16;
constexpr qsizetype ValidateFieldCount = 3;
const QByteArray Decline = QByteArrayLiteral("DECLINE\r\n");
const QByteArray Accept = QByteArrayLiteral("ACCEPT\r\n");
const QByteArray Pass = QByteArrayLiteral("PASS\r\n");
const QByteArray Rejected = QByteArrayLiteral("REJECTED\r\n");
} // namespace

LoginServer::LoginServer(ConnectionTable &table, const ServerConfig &config, QObject *parent)
    : QObject(parent), m_table(table), m_config(config), m_log(config.workingFile(OwnedFiles::Log)),
      m_pool(new ConnectionPool(
          table,
          {// Opened (and so created) at every receive, though nothing is written.
           [this](const Sender &, const QByteArray &, const QByteArray &) { m_log.touch(); },
           [this](const Sender &sender, const QByteArray &line) {
               return handleLine(sender, line);
           },
           [this](int index) { m_pool->drop(index, Farewell::toNobody()); },
           [this](const QString &text) { Q_EMIT operatorNotice(text); }},
          this)),
      m_users(config.programFile(UsersDatabase::FileName))
{
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
    return m_users.path();
}

void LoginServer::setProtection(AddressLimits *addresses, const AbuseLimits &limits, BanStore *bans)
{
    m_pool->setProtection(
        {addresses, "login", 0, 0, {}, std::chrono::seconds(limits.joinSeconds), bans, {}});
    m_throttle = std::make_unique<LoginThrottle>(limits.loginFailuresBeforeDelay,
                                                 limits.newUsersPer10Minutes);
}

LoginServer::Outcome LoginServer::handleLine(const Sender &sender, const QByteArray &line)
{
    const Fields fields = line.split('\t');
    if (fields.constFirst() == "NEWUSER")
        return newUser(sender, fields);
    if (fields.constFirst() == "VALIDATE")
        return validate(sender, fields);
    return Outcome::NextLine;
}

LoginServer::Outcome LoginServer::newUser(const Sender &sender, const Fields &fields)
{
    const int index = sender.index;
    if (fields.size() < NewUserFieldCount)
        return Outcome::NextLine;
    m_pool->markJoined(sender);
    if (!m_passwordsRequired) {
        send(index, "NOPROB\t" + NoPasswordsText + "\r\n");
        return Outcome::Stop;
    }
    const QByteArray &address = m_pool->lastAddress(index);
    if (m_throttle && !m_throttle->admitRegistration(address, std::chrono::steady_clock::now())) {
        m_pool->reportSecurityEvent(
            SecurityLog::registrationRefused(address, fields[1 + UserRecord::UserName]));
        declineRegistration(index);
        return Outcome::Stop;
    }
    UsersDatabase *users = store();
    if (!users) {
        declineRegistration(index);
        return Outcome::Stop;
    }
    const QByteArray &name = fields[1 + UserRecord::UserName];
    const QByteArray &email = fields[1 + UserRecord::Email];
    const std::optional<bool> taken = users->isNameOrEmailTaken(name, email);
    if (!taken || *taken) {
        if (!taken)
            storeFailed(*users);
        declineRegistration(index);
        return Outcome::Stop;
    }
    UserRecord record;
    for (int i = 0; i < UserRecord::ColumnCount; ++i)
        record.values[i] = fields[1 + i];
    if (!users->addUser(record)) {
        storeFailed(*users);
        declineRegistration(index);
        return Outcome::Stop;
    }
    m_reportedProblem.clear();
    ++m_table.counters().registrationsAccepted;

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

// Without passwords nothing is counted or delayed: every name passes.
LoginServer::Outcome LoginServer::validate(const Sender &sender, const Fields &fields)
{
    const int index = sender.index;
    if (fields.size() < ValidateFieldCount)
        return Outcome::NextLine;
    m_pool->markJoined(sender);
    if (!m_passwordsRequired) {
        ++m_table.counters().loginSuccesses;
        send(index, Pass);
        return Outcome::Stop;
    }
    const QByteArray &address = m_pool->lastAddress(index);
    const auto now = std::chrono::steady_clock::now();
    const auto delay =
        m_throttle
            ? std::chrono::ceil<std::chrono::milliseconds>(m_throttle->answerDelay(address, now))
            : std::chrono::milliseconds::zero();
    std::optional<bool> valid;
    if (UsersDatabase *users = store()) {
        valid = users->checkCredentials(fields[1], fields[2]);
        if (!valid)
            storeFailed(*users);
    }
    if (valid && *valid) {
        ++m_table.counters().loginSuccesses;
        if (m_throttle)
            m_throttle->succeeded(address);
        answerValidate(sender, fields[1], Pass, delay);
        return Outcome::Stop;
    }
    if (m_throttle)
        m_throttle->failed(address, now);
    ++m_table.counters().loginFailures;
    m_pool->reportSecurityEvent(SecurityLog::loginFailed(address, fields[1]));
    answerValidate(sender, fields[1], Rejected, delay);
    return Outcome::NextLine;
}

void LoginServer::answerValidate(const Sender &sender, const QByteArray &name,
                                 const QByteArray &line, std::chrono::milliseconds delay)
{
    if (delay <= std::chrono::milliseconds::zero()) {
        send(sender.index, line);
        return;
    }
    m_pool->reportSecurityEvent(
        SecurityLog::loginDelayed(m_pool->lastAddress(sender.index), name, delay));
    m_pool->holdInput(sender, delay, [this, sender, line] { send(sender.index, line); });
}

void LoginServer::declineRegistration(int index)
{
    ++m_table.counters().registrationsRefused;
    send(index, Decline);
}

UsersDatabase *LoginServer::store()
{
    QString errorText;
    UsersDatabase *users = m_users.open(&errorText);
    if (!users)
        reportStoreProblem(errorText);
    return users;
}

void LoginServer::storeFailed(UsersDatabase &users)
{
    reportStoreProblem(users.errorText());
    m_users.close();
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
