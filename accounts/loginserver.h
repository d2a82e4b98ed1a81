#pragma once

#include "accounts/usersstore.h"
#include "core/abuselimits.h"
#include "core/chatlog.h"
#include "core/connectionpool.h"
#include "core/connectiontable.h"
#include "core/loglimits.h"
#include "core/messageline.h"
#include "core/serverconfig.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <memory>

class AddressLimits;
class BanStore;
class ConnectionPool;
class LoginThrottle;
class PasswordChecker;

// The login service (Winsock1, sockets Winsock(i)) over the connection table
// it shares with the chat service. Stateless: every request is answered on
// the connection it came in on, in the order of its requests; passwords are
// hashed and checked on the PasswordChecker's threads meanwhile.
//
//   client:  "NEWUSER" 15*( TAB field ) CR LF   (First .. emailme)
//            "VALIDATE" TAB name TAB password CR LF
//   server:  "NOPROB" TAB text | "DECLINE" | "ACCEPT" | "PASS" | "REJECTED", CR LF
//
// "NOPROB", "DECLINE" and "PASS" end the handling of the received chunk;
// after "ACCEPT" and "REJECTED" its next line is handled. Lines with fewer
// fields than their keyword needs, and unknown keywords, get no reply.
class LoginServer : public QObject
{
    Q_OBJECT
public:
    static inline const QByteArray NoPasswordsText = QByteArrayLiteral(
        "This server does not require the use of passwords. Therefore your information is not "
        "saved. Please Enter your name and anything in the password field to gain access in the "
        "future.");

    LoginServer(ConnectionTable &table, const ServerConfig &config, QObject *parent = nullptr);
    ~LoginServer() override;

    bool listen(QString *errorText = nullptr);
    quint16 port() const;

    // "Require Passwords"; read afresh for every request.
    void setPasswordsRequired(bool required) { m_passwordsRequired = required; }
    bool passwordsRequired() const { return m_passwordsRequired; }

    // The connection limits shared with the chat service and the password-
    // guessing and registration limits of this one.
    // When log.txt rotates and how many old logs are kept.
    void setLogRotation(const LogLimits &limits)
    {
        m_log.setRotation(limits.rotateBytes, limits.keep);
    }
    // The ban list is the chat service's, checked at accept here too.
    void setProtection(AddressLimits *addresses, const AbuseLimits &limits, BanStore *bans);

    bool isConnected(int index) const;
    QString usersDatabasePath() const;
    // The users store this service keeps open, for the operator's counts
    // and account commands too.
    UsersStore &users() { return m_users; }

    ConnectionPool &connections() { return *m_pool; }
    // Password guessing and registrations per address; nothing before the
    // protection is set.
    LoginThrottle *throttle() { return m_throttle.get(); }

    // Where passwords are hashed and checked; without one, on this thread.
    void setPasswordChecker(PasswordChecker *checker) { m_checker = checker; }

Q_SIGNALS:
    // The count line after a stored registration ("Tarnwick has N ...").
    void registeredUsersCounted(const QByteArray &summary);
    // What is wrong with the users database, once per problem, for the log view.
    void storeProblem(const QString &text);
    // A failed accept, for a message box.
    void operatorNotice(const QString &text);

private:
    using Outcome = HandlerOutcome;

    Outcome handleLine(const Sender &sender, const QByteArray &line);
    Outcome newUser(const Sender &sender, const Fields &fields);
    std::optional<bool> isTaken(UsersDatabase &users, const UserRecord &record);
    bool storeNewUser(const UserRecord &record);
    Outcome answerNewUser(const Sender &sender, bool stored);
    // The answer goes out after the check and the throttle's delay, the
    // connection's later lines held until then.
    Outcome validate(const Sender &sender, const Fields &fields);
    void declineRegistration(int index);
    UsersDatabase *store();
    void storeFailed(UsersDatabase &store);
    void reportStoreProblem(const QString &text);
    void send(int index, const QByteArray &line);

    ConnectionTable &m_table;
    ServerConfig m_config;
    ChatLog m_log;
    ConnectionPool *m_pool;
    UsersStore m_users;
    std::unique_ptr<LoginThrottle> m_throttle;
    PasswordChecker *m_checker = nullptr;
    bool m_passwordsRequired = false;
    QString m_reportedProblem;
};
