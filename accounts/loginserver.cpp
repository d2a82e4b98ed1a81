#include "accounts/loginserver.h"

#include "accounts/usersdatabase.h"
#include "core/loginthrottle.h"
#include "core/passwordchecker.h"
#include "core/passwordhash.h"
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
    UserRecord record;
    for (int i = 0; i < UserRecord::ColumnCount; ++i)
        record.values[i] = fields[1 + i];
    UsersDatabase *users = store();
    const std::optional<bool> taken = users ? isTaken(*users, record) : std::nullopt;
    std::optional<bool> hashed;
    if (taken && !*taken) {
        hashed = users->storesHashes();
        if (!hashed)
            storeFailed(*users);
    }
    if (!hashed) {
        declineRegistration(index);
        return Outcome::Stop;
    }
    if (!*hashed)
        return answerNewUser(sender, storeNewUser(record));
    if (!m_checker) {
        record[UserRecord::Password] = PasswordHash::make(record[UserRecord::Password]);
        return answerNewUser(sender,
                             !record[UserRecord::Password].isEmpty() && storeNewUser(record));
    }
    // The hash is made off this thread; the connection's later lines wait.
    m_pool->pauseInput(sender);
    m_checker->hash(
        record[UserRecord::Password], [this, sender, record](const QByteArray &hash) mutable {
            record[UserRecord::Password] = hash;
            const bool stored = !hash.isEmpty() && storeNewUser(record);
            m_pool->resumeInput(sender, stored ? Outcome::NextLine : Outcome::Stop,
                                std::chrono::milliseconds::zero(), [this, sender, stored] {
                                    if (stored)
                                        send(sender.index, Accept);
                                    else
                                        declineRegistration(sender.index);
                                });
        });
    return Outcome::NextLine;
}

std::optional<bool> LoginServer::isTaken(UsersDatabase &users, const UserRecord &record)
{
    const std::optional<bool> taken =
        users.isNameOrEmailTaken(record[UserRecord::UserName], record[UserRecord::Email]);
    if (!taken)
        storeFailed(users);
    return taken;
}

// Checked again: another registration of the name may have been stored while
// this one's hash was made.
bool LoginServer::storeNewUser(const UserRecord &record)
{
    UsersDatabase *users = store();
    const std::optional<bool> taken = users ? isTaken(*users, record) : std::nullopt;
    if (!taken || *taken)
        return false;
    if (!users->addUser(record)) {
        storeFailed(*users);
        return false;
    }
    m_reportedProblem.clear();
    ++m_table.counters().registrationsAccepted;

    // Counted through the same store: the record is committed, so a fresh
    // open would count the same.
    const std::optional<qint64> count = users->count();
    if (!count)
        storeFailed(*users);
    else
        Q_EMIT registeredUsersCounted(UsersDatabase::countSummary(*count));
    return true;
}

LoginServer::Outcome LoginServer::answerNewUser(const Sender &sender, bool stored)
{
    // The window that shows the count may have run a modal box meanwhile.
    if (!m_pool->isStillHere(sender))
        return Outcome::Stop;
    if (stored)
        send(sender.index, Accept);
    else
        declineRegistration(sender.index);
    return stored ? Outcome::NextLine : Outcome::Stop;
}

// Without passwords nothing is counted or delayed: every name passes. The
// throttle counts the outcome when it is known, also for a connection that
// has left by then.
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
    const QByteArray address = m_pool->lastAddress(index);
    const auto delay = m_throttle
                           ? std::chrono::ceil<std::chrono::milliseconds>(
                                 m_throttle->answerDelay(address, std::chrono::steady_clock::now()))
                           : std::chrono::milliseconds::zero();
    std::optional<QList<QByteArray>> stored;
    if (UsersDatabase *users = store()) {
        stored = users->storedPasswords(fields[1]);
        if (!stored)
            storeFailed(*users);
    }
    const QByteArray name = fields[1];
    const auto decided = [this, address, name, delay](bool valid) {
        ++(valid ? m_table.counters().loginSuccesses : m_table.counters().loginFailures);
        if (m_throttle && valid)
            m_throttle->succeeded(address);
        else if (m_throttle)
            m_throttle->failed(address, std::chrono::steady_clock::now());
        if (!valid)
            m_pool->reportSecurityEvent(SecurityLog::loginFailed(address, name));
        if (delay > std::chrono::milliseconds::zero())
            m_pool->reportSecurityEvent(SecurityLog::loginDelayed(address, name, delay));
        return valid ? Outcome::Stop : Outcome::NextLine;
    };
    if (!stored || !m_checker) {
        const Outcome outcome = decided(stored && PasswordHash::matchesAny(fields[2], *stored));
        const QByteArray &line = outcome == Outcome::Stop ? Pass : Rejected;
        if (delay <= std::chrono::milliseconds::zero())
            send(index, line);
        else
            m_pool->holdInput(sender, delay, [this, sender, line] { send(sender.index, line); });
        return outcome;
    }
    m_pool->pauseInput(sender);
    m_checker->check(fields[2], *stored, [this, sender, decided, delay](bool valid) {
        const Outcome outcome = decided(valid);
        m_pool->resumeInput(sender, outcome, delay,
                            [this, sender, valid] { send(sender.index, valid ? Pass : Rejected); });
    });
    return Outcome::NextLine;
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
