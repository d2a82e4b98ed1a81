#include "operator/operatorapi.h"

#include "accounts/loginserver.h"
#include "accounts/usersdatabase.h"
#include "admin/motdfile.h"
#include "admin/sysoplist.h"
#include "core/chatserver.h"
#include "core/codepage.h"
#include "core/passwordhash.h"
#include "core/securitylog.h"
#include "platform/dialogs.h"
#include "platform/listener.h"
#include "serverfile/serverfilemaker.h"

#include <QDir>
#include <QFileInfo>

#include <utility>

namespace {
const QByteArray FromServer = QByteArrayLiteral("\tThe Server\t");
const QString MotdFileName = OwnedFiles::Motd;

QList<SysopRecord> toRecords(const QList<SysopEntry> &entries)
{
    QList<SysopRecord> records;
    for (const SysopEntry &entry : entries)
        records.append({entry.name, entry.email, entry.password});
    return records;
}

QList<SysopEntry> toEntries(const QList<SysopRecord> &records)
{
    QList<SysopEntry> entries;
    for (const SysopRecord &record : records)
        entries.append({record.name, record.email, record.password});
    return entries;
}
} // namespace

// The server-file maker asks for the name and reports failures through a
// dialog interface: here the name the caller gave, with the failure kept for
// the result. The console asks its boxes itself, before and after.
class OperatorApi::ServerFileDialogs : public Dialogs
{
public:
    struct Run
    {
        QString name;
        QString failure;
    };
    Run run;

    QString inputBox(const QString &, const QString &, const QString &) override
    {
        return run.name;
    }
    void messageBox(const QString &text, const QString &, Icon) override { run.failure = text; }
    bool askYesNo(const QString &, const QString &, Icon, bool) override { return false; }
};

OperatorApi::OperatorApi(ChatServer &chat, LoginServer &login, QObject *parent)
    : QObject(parent), m_chat(chat), m_login(login), m_table(chat.table()), m_config(chat.config()),
      m_serverFileDialogs(std::make_unique<ServerFileDialogs>()),
      m_serverFile(new ServerFileMaker(
          m_config, *m_serverFileDialogs, [] { return Listener::localAddress(); }, this))
{
    connect(&m_chat, &ChatServer::outputLine, this, &OperatorApi::logLine);
    connect(&m_chat, &ChatServer::operatorNotice, this,
            [this](const QString &text) { Q_EMIT notice(text, Severity::Info); });
    connect(&m_chat, &ChatServer::motdChanged, this, &OperatorApi::motdChanged);
    connect(&m_table, &ConnectionTable::rowChanged, this, &OperatorApi::userRowChanged);
    // The users store's problems go to the log view, a failed accept to a box.
    connect(&m_login, &LoginServer::storeProblem, &m_chat,
            [this](const QString &text) { m_chat.addOutputLine(Codepage::fromDisplay(text)); });
    connect(&m_login, &LoginServer::operatorNotice, &m_chat, &ChatServer::notifyOperator);
    connect(&m_login, &LoginServer::registeredUsersCounted, this,
            &OperatorApi::registeredUsersCounted);

    connect(m_serverFile, &ServerFileMaker::nameChanged, this, &OperatorApi::serverFileNameChanged);
    connect(m_serverFile, &ServerFileMaker::barShown, this,
            [this] { Q_EMIT serverFileProgress(0); });
    connect(m_serverFile, &ServerFileMaker::barAdvanced, this, &OperatorApi::serverFileProgress);
    connect(m_serverFile, &ServerFileMaker::barHidden, this, &OperatorApi::serverFileProgressEnded);
    m_login.setPasswordsRequired(m_passwordsRequired);
}

OperatorApi::~OperatorApi() = default;

void OperatorApi::noteStarted(bool chatListening, bool loginListening,
                              std::chrono::milliseconds uptime)
{
    m_chatListening = chatListening;
    m_loginListening = loginListening;
    m_uptimeBefore = uptime;
    m_running.start();
}

std::chrono::milliseconds OperatorApi::uptime() const
{
    return m_uptimeBefore +
           std::chrono::milliseconds(m_running.isValid() ? m_running.elapsed() : 0);
}

ServerStatus OperatorApi::status() const
{
    ServerStatus status{};
    status.chatPort = m_chatListening ? m_chat.port() : m_config.chatPort;
    status.loginPort = m_loginListening ? m_login.port() : m_config.loginPort;
    status.chatListening = m_chatListening;
    status.loginListening = m_loginListening;
    for (int i = 0; i < ConnectionTable::Size; ++i) {
        status.users += m_table.isRowEmpty(i) ? 0 : 1;
        status.freeSlots += m_table.slot(i).free ? 1 : 0;
    }
    status.uptimeSeconds = uptime().count() / 1000;
    status.passwordsRequired = m_passwordsRequired;
    // Counted on the login service's store; a missing one is not created for it.
    UsersStore &store = m_login.users();
    // A store made by this server stores hashes.
    if (!QFileInfo::exists(store.path())) {
        status.registeredUsers = 0;
        status.passwordsHashed = true;
    } else if (UsersDatabase *users = store.open(nullptr)) {
        status.registeredUsers = users->count();
        status.passwordsHashed = users->storesHashes();
        if (!status.registeredUsers || !status.passwordsHashed)
            store.close();
    }
    return status;
}

QList<UserEntry> OperatorApi::users() const
{
    QList<UserEntry> entries;
    for (int i = 0; i < ConnectionTable::Size; ++i) {
        if (!m_table.isRowEmpty(i))
            entries.append({i, m_table.row(i), m_table.slot(i).name, m_chat.remoteAddress(i)});
    }
    return entries;
}

std::optional<OperatorTarget> OperatorApi::findUser(const QByteArray &name) const
{
    for (int i = 0; i < ConnectionTable::Size; ++i) {
        if (m_chat.isConnected(i) && Codepage::equalsIgnoringCase(m_table.slot(i).name, name))
            return OperatorTarget{i, m_table.slot(i).connection, m_chat.remoteAddress(i)};
    }
    return std::nullopt;
}

QByteArray OperatorApi::addressOf(int index) const
{
    return m_chat.remoteAddress(index);
}

void OperatorApi::announce(const QByteArray &text)
{
    const QByteArray line = "MSGBOX\t" + text + "\r\n";
    for (int i = 0; i < ConnectionTable::Size; ++i) {
        if (m_table.isRowEmpty(i))
            continue;
        m_chat.send(i, line);
    }
}

OperatorResult OperatorApi::sendNotice(Notice notice, const OperatorTarget &target,
                                       const QByteArray &reason)
{
    // The index may hold somebody else by now.
    if (!m_chat.isStillHere(Sender{target.index, target.connection}))
        return OperatorResult::failure(QStringLiteral("The user has left the chat."));
    const QByteArray keyword =
        notice == Notice::Ban ? QByteArrayLiteral("BANUSER") : QByteArrayLiteral("Kicked");
    m_chat.send(target.index, keyword + FromServer + reason + "\r\n");
    m_chat.endIfPeerLeft(target.index);
    m_chat.closeAfterGrace(Sender{target.index, target.connection});
    return {};
}

OperatorResult OperatorApi::kick(const OperatorTarget &target, const QByteArray &reason)
{
    if (m_chat.isStillHere(Sender{target.index, target.connection})) {
        ++m_table.counters().kicks;
        m_chat.reportSecurityEvent(
            SecurityLog::kick(target.address, m_table.slot(target.index).name, "console"));
    }
    return sendNotice(Notice::Kick, target, reason);
}

OperatorResult OperatorApi::ban(const OperatorTarget &target, const QByteArray &reason)
{
    return ban(target, reason, std::nullopt);
}

OperatorResult OperatorApi::ban(const OperatorTarget &target, const QByteArray &reason,
                                std::optional<std::chrono::seconds> duration)
{
    OperatorResult result;
    QString error;
    if (!m_chat.bans().add({target.address, duration, reason, "console"},
                           QDateTime::currentDateTimeUtc(), &error)) {
        result = OperatorResult::failure(
            QStringLiteral("The address %1 could not be stored in ban.txt, so it is not banned: %2")
                .arg(QString::fromLatin1(target.address), error));
    }
    const bool here = m_chat.isStillHere(Sender{target.index, target.connection});
    ++m_table.counters().bans;
    m_chat.reportSecurityEvent(
        SecurityLog::ban(target.address, here ? m_table.slot(target.index).name : "", "console",
                         duration.value_or(std::chrono::seconds::zero())));
    // Told and thrown out as the operator asked, even when the line could not
    // be stored; a user who has left is banned all the same.
    sendNotice(Notice::Ban, target, reason);
    Q_EMIT bansChanged();
    return result;
}

OperatorResult OperatorApi::kick(const QByteArray &name, const QByteArray &reason)
{
    const std::optional<OperatorTarget> target = findUser(name);
    if (!target)
        return OperatorResult::failure(QStringLiteral("No one in the chat has that name!"));
    return kick(*target, reason);
}

OperatorResult OperatorApi::ban(const QByteArray &name, const QByteArray &reason,
                                std::optional<std::chrono::seconds> duration)
{
    const std::optional<OperatorTarget> target = findUser(name);
    if (!target)
        return OperatorResult::failure(QStringLiteral("No one in the chat has that name!"));
    return ban(*target, reason, duration);
}

std::optional<QList<Ban>> OperatorApi::bans(QString *error)
{
    QString reason;
    const QList<Ban> inForce = m_chat.bans().inForce(QDateTime::currentDateTimeUtc(), &reason);
    if (!reason.isEmpty()) {
        if (error)
            *error = QStringLiteral("The ban list could not be read: ") + reason;
        return std::nullopt;
    }
    return inForce;
}

OperatorResult OperatorApi::banAddress(const QByteArray &target,
                                       std::optional<std::chrono::seconds> duration,
                                       const QByteArray &reason)
{
    QString error;
    if (!m_chat.bans().add({target, duration, reason, "console"}, QDateTime::currentDateTimeUtc(),
                           &error)) {
        return OperatorResult::failure(
            QStringLiteral("%1 is not banned: %2").arg(QString::fromLatin1(target), error));
    }
    ++m_table.counters().bans;
    m_chat.reportSecurityEvent(
        SecurityLog::ban(target, {}, "console", duration.value_or(std::chrono::seconds::zero())));
    Q_EMIT bansChanged();
    return {};
}

OperatorResult OperatorApi::unban(const QByteArray &target)
{
    BanStore &store = m_chat.bans();
    QString error;
    if (!store.refresh(&error))
        return OperatorResult::failure(QStringLiteral("The ban list could not be read: ") + error);
    const QByteArray wanted =
        AddressRange::parse(target) ? AddressRange::parse(target)->text() : target;
    bool listed = false;
    for (const Ban &ban : store.bans())
        listed = listed || ban.target == target || (ban.range && ban.range->text() == wanted);
    if (!listed)
        return OperatorResult::failure(
            QStringLiteral("%1 is not in the ban list.").arg(QString::fromLatin1(target)));
    if (!store.remove(target, &error))
        return OperatorResult::failure(QStringLiteral("The ban of %1 could not be lifted: %2")
                                           .arg(QString::fromLatin1(target), error));
    Q_EMIT bansChanged();
    return {};
}

void OperatorApi::say(const QByteArray &text)
{
    m_chat.broadcastMessage("Server: " + text);
}

QByteArray OperatorApi::motd() const
{
    return m_chat.motd();
}

OperatorResult OperatorApi::setMotd(const QByteArray &text)
{
    const QString path = m_config.workingFile(MotdFileName);
    QString error;
    if (!MotdFile::save(path, text, &error)) {
        return OperatorResult::failure(
            QStringLiteral("The message of the day could not be saved to %1: %2").arg(path, error));
    }
    m_chat.setMotd(text);
    return {};
}

void OperatorApi::setRunningMotd(const QByteArray &text)
{
    m_chat.setMotd(text);
}

OperatorResult OperatorApi::reloadMotd()
{
    QString error;
    if (!m_chat.loadMotd(&error)) {
        return OperatorResult::failure(
            QStringLiteral("The message of the day could not be read from motd.txt: ") + error);
    }
    return {};
}

std::optional<QByteArray> OperatorApi::readMotdFile(QString *error) const
{
    const QString path = m_config.workingFile(MotdFileName);
    QString reason;
    std::optional<QByteArray> content = MotdFile::load(path, &reason);
    if (!content && error) {
        *error = QStringLiteral("The message of the day could not be read from %1: %2")
                     .arg(path, reason);
    }
    return content;
}

QString OperatorApi::sysopsPath() const
{
    return m_chat.sysops().path();
}

std::optional<QList<SysopEntry>> OperatorApi::sysops(QString *error) const
{
    // Held in memory as the moderator requests read it; a list that cannot
    // be read now is refused here, so that no change is saved over it.
    QString reason;
    const std::optional<QByteArray> content = m_chat.sysops().content(&reason);
    if (!reason.isEmpty() || !content) {
        if (error) {
            *error = QStringLiteral("The sysop list %1 could not be read: %2")
                         .arg(QDir::toNativeSeparators(sysopsPath()), reason);
        }
        return std::nullopt;
    }
    return toEntries(SysopList::parse(*content));
}

// A password set now is stored hashed when the users store is: the list
// then holds no new plain password. Passwords already in the file (a hand
// edit's plain ones too) stay as they are.
OperatorResult OperatorApi::setSysops(const QList<SysopEntry> &entries)
{
    QList<SysopRecord> records = toRecords(entries);
    if (storesHashes()) {
        const QList<SysopRecord> kept =
            SysopList::parse(m_chat.sysops().content(nullptr).value_or(QByteArray()));
        for (SysopRecord &record : records) {
            const bool known = std::any_of(kept.cbegin(), kept.cend(), [&](const SysopRecord &k) {
                return k.email == record.email && k.password == record.password;
            });
            if (known || record.password.isEmpty() || PasswordHash::isHash(record.password))
                continue;
            record.password = PasswordHash::make(record.password);
            if (record.password.isEmpty())
                return OperatorResult::failure(QStringLiteral("A password cannot be hashed."));
        }
    }
    return saveSysops(records);
}

OperatorResult OperatorApi::hashSysops()
{
    QString error;
    const std::optional<QList<SysopEntry>> entries = sysops(&error);
    if (!entries)
        return OperatorResult::failure(error);
    const std::optional<QList<SysopRecord>> records = SysopList::hashed(toRecords(*entries));
    if (!records)
        return OperatorResult::failure(QStringLiteral("A password cannot be hashed."));
    return saveSysops(*records);
}

bool OperatorApi::storesHashes() const
{
    UsersStore &store = m_login.users();
    if (!QFileInfo::exists(store.path()))
        return true;
    UsersDatabase *users = store.open(nullptr);
    const std::optional<bool> hashed = users ? users->storesHashes() : std::nullopt;
    if (users && !hashed)
        store.close();
    return hashed.value_or(false);
}

OperatorResult OperatorApi::saveSysops(const QList<SysopRecord> &records)
{
    QString reason;
    if (!SysopList::save(sysopsPath(), records, &reason)) {
        m_chat.sysops().invalidate();
        return OperatorResult::failure(QStringLiteral("The sysop list could not be saved to %1: %2")
                                           .arg(QDir::toNativeSeparators(sysopsPath()), reason));
    }
    m_chat.sysops().noteWritten(SysopList::serialize(records));
    return {};
}

OperatorResult OperatorApi::addSysop(const SysopEntry &entry)
{
    if (!SysopList::isStorable(entry.name) || !SysopList::isStorable(entry.email) ||
        !SysopList::isStorable(entry.password)) {
        return OperatorResult::failure(
            QStringLiteral("A sysop's name, e-mail and password may not contain a tab or a line "
                           "break."));
    }
    if (entry.email.isEmpty() || entry.password.isEmpty())
        return OperatorResult::failure(QStringLiteral("A sysop needs an e-mail and a password."));
    QString error;
    std::optional<QList<SysopEntry>> entries = sysops(&error);
    if (!entries)
        return OperatorResult::failure(error);
    entries->append(entry);
    return setSysops(*entries);
}

OperatorResult OperatorApi::removeSysop(const QByteArray &email)
{
    QString error;
    std::optional<QList<SysopEntry>> entries = sysops(&error);
    if (!entries)
        return OperatorResult::failure(error);
    const qsizetype removed =
        entries->removeIf([&email](const SysopEntry &entry) { return entry.email == email; });
    if (removed == 0) {
        return OperatorResult::failure(
            QStringLiteral("No sysop has the e-mail address %1.").arg(Codepage::toDisplay(email)));
    }
    return setSysops(*entries);
}

void OperatorApi::setPasswordsRequired(bool required)
{
    m_login.setPasswordsRequired(required);
    if (m_passwordsRequired == required)
        return;
    m_passwordsRequired = required;
    Q_EMIT passwordsRequiredChanged(required);
}

OperatorResult OperatorApi::makeServerFile(const QString &name)
{
    // A second request while a file is being made is refused inside make()
    // without yielding; the run under way gets its own answers back.
    const ServerFileDialogs::Run outer = std::exchange(m_serverFileDialogs->run, {name, QString()});
    const bool made = m_serverFile->make(QString());
    const QString failure = std::exchange(m_serverFileDialogs->run, outer).failure;
    const OperatorResult result = made ? OperatorResult{} : OperatorResult::failure(failure);
    Q_EMIT serverFileFinished(result);
    return result;
}

QString OperatorApi::usersDatabasePath() const
{
    return m_login.usersDatabasePath();
}

void OperatorApi::shutdown()
{
    m_chat.shutdown();
    Q_EMIT shutdownRequested();
}
