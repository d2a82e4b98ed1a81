#include "chat/commandcontext.h"

#include "core/passwordchecker.h"
#include "core/passwordhash.h"

#include "admin/sysoplist.h"
#include "core/chatserver.h"
#include "core/codepage.h"
#include "core/connectionpool.h"
#include "core/loginthrottle.h"
#include "core/securitylog.h"

#include <QCoreApplication>
#include <QFileInfo>

CommandContext::CommandContext(ChatServer &server)
    : m_server(server), m_records(server.config().workingDirectory)
{
}

ConnectionTable &CommandContext::table()
{
    return m_server.table();
}

const QByteArray &CommandContext::motd() const
{
    return m_server.motd();
}

bool CommandContext::isConnected(int index) const
{
    return m_server.isConnected(index);
}

void CommandContext::send(int index, const QByteArray &line)
{
    m_server.send(index, line);
}

void CommandContext::sendToNamed(const QByteArray &name, const QByteArray &line)
{
    const ConnectionTable &rows = m_server.table();
    const FoldedName folded(name);
    for (int i = rows.findRow(folded); i >= 0; i = rows.findRow(folded, i + 1))
        m_server.send(i, line);
}

void CommandContext::broadcastMessage(const QByteArray &text)
{
    m_server.broadcastMessage(text);
}

QByteArray CommandContext::remoteAddress(int index) const
{
    return m_server.remoteAddress(index);
}

QByteArray CommandContext::addressOf(const Sender &sender) const
{
    return m_server.lastAddress(sender.index);
}

bool CommandContext::isStillHere(const Sender &sender) const
{
    return m_server.isStillHere(sender);
}

void CommandContext::disconnectUser(int index)
{
    m_server.disconnectUser(index);
}

void CommandContext::refuse(int index)
{
    m_server.dropQuietly(index);
}

QList<Ban> CommandContext::activeBans()
{
    const QString path = m_server.config().programFile(QLatin1String(BanRules::ListFile));
    QString error;
    QString expiryError;
    const QList<Ban> bans =
        m_server.bans().inForce(QDateTime::currentDateTimeUtc(), &error, &expiryError);
    if (error.isEmpty()) {
        m_server.clearFileProblem(path);
        if (!expiryError.isEmpty())
            m_server.reportFileProblem(
                path, QStringLiteral("Cannot lift the expired bans: %1.").arg(expiryError));
    } else {
        const QString prefix = path + QStringLiteral(": ");
        if (error.startsWith(prefix))
            error.remove(0, prefix.size());
        m_server.reportFileProblem(
            path, QStringLiteral("Cannot read the ban list %1: %2. %3")
                      .arg(path, error,
                           m_server.bans().hasRead()
                               ? QStringLiteral("The bans as read last count until it can be "
                                                "read again.")
                               : QStringLiteral("No address is banned until it can be read.")));
    }
    return bans;
}

// ban.txt gets its line as it always has, one per ban, repeats included; an
// address also gets its side line (who, why and, when the operator set one,
// the expiry).
void CommandContext::ban(const QByteArray &address, const QByteArray &name, const QByteArray &by,
                         const QByteArray &reason)
{
    const QString path = m_server.config().programFile(QLatin1String(BanRules::ListFile));
    const std::chrono::seconds duration = m_server.moderatorBanDuration();
    BanRules::Request request{address, std::nullopt, reason, by};
    if (duration > std::chrono::seconds::zero())
        request.duration = duration;
    QString errorText;
    QString detailsError;
    if (!m_server.bans().addLine(request, QDateTime::currentDateTimeUtc(), &errorText,
                                 &detailsError)) {
        m_server.addOutputLine("The ban of " + address + " could not be stored in " +
                               Codepage::fromDisplay(path) + ": " +
                               Codepage::fromDisplay(errorText));
    } else if (!detailsError.isEmpty() && request.duration) {
        m_server.addOutputLine("The ban of " + address +
                               " never expires: " + Codepage::fromDisplay(detailsError));
    }
    ++m_server.table().counters().bans;
    m_server.reportSecurityEvent(SecurityLog::ban(address, name, by, duration));
}

void CommandContext::reportSecurityEvent(const QByteArray &line)
{
    m_server.reportSecurityEvent(line);
}

void CommandContext::checkSysop(const Sender &sender, const QByteArray &email,
                                const QByteArray &password, const std::function<void(bool)> &done)
{
    TextFileCache &sysops = m_server.sysops();
    const QString &path = sysops.path();
    QString errorText;
    const std::optional<QByteArray> content = sysops.content(&errorText);
    if (errorText.isEmpty()) {
        m_server.clearFileProblem(path);
    } else {
        m_server.reportFileProblem(
            path, QStringLiteral("Cannot read the sysop list %1: %2. %3")
                      .arg(path, errorText,
                           content ? QStringLiteral("The list as read last counts until it can "
                                                    "be read again.")
                                   : QStringLiteral("Nobody becomes a moderator until it can be "
                                                    "read.")));
    }
    const QList<QByteArray> candidates =
        content ? SysopList::passwordsOf(*content, email) : QList<QByteArray>();
    PasswordChecker *checker = m_server.passwordChecker();
    const bool hashed = std::any_of(candidates.cbegin(), candidates.cend(), PasswordHash::isHash);
    if (password.isEmpty() || !hashed || !checker) {
        done(!password.isEmpty() && PasswordHash::matchesAny(password, candidates));
        return;
    }
    ConnectionPool &pool = m_server.connections();
    pool.pauseInput(sender);
    checker->check(password, candidates, [&pool, sender, done](bool matched) {
        pool.resumeInput(sender, HandlerOutcome::NextLine, std::chrono::milliseconds::zero(),
                         [done, matched] { done(matched); });
    });
}

void CommandContext::answerModeratorRequest(const Sender &sender, const QByteArray &name,
                                            bool granted, const std::function<void()> &answer)
{
    LoginThrottle &throttle = m_server.moderatorThrottle();
    const QByteArray address = addressOf(sender);
    const auto now = std::chrono::steady_clock::now();
    const auto delay =
        std::chrono::ceil<std::chrono::milliseconds>(throttle.answerDelay(address, now));
    if (granted)
        throttle.succeeded(address);
    else
        throttle.failed(address, now);
    if (delay <= std::chrono::milliseconds::zero()) {
        answer();
        return;
    }
    reportSecurityEvent(SecurityLog::moderatorDelayed(address, name, delay));
    m_server.connections().holdInput(sender, delay, answer);
}

void CommandContext::markJoined(const Sender &sender)
{
    m_server.connections().markJoined(sender);
}

bool CommandContext::logEvent(const QByteArray &text)
{
    return m_server.logEvent(text);
}

void CommandContext::writeRecord(const Sender &sender, const QByteArray &name, const Fields &fields)
{
    const AbuseLimits &limits = m_server.limits();
    const QByteArray program =
        Codepage::fromDisplay(QFileInfo(QCoreApplication::applicationFilePath()).fileName());
    QString errorText;
    const QString path = m_records.pathOf(name);
    const auto refused = [&](const char *reason) {
        m_server.reportSecurityEvent(SecurityLog::recordRefused(addressOf(sender), name, reason));
    };
    switch (m_records.append(name, program, fields, {limits.recordFileBytes, limits.recordFiles},
                             &errorText)) {
    case RecordFiles::Outcome::Written:
        m_server.clearFileProblem(path);
        break;
    case RecordFiles::Outcome::NameRefused:
        m_server.addOutputLine(RecordFiles::refusalText(name));
        refused("name");
        break;
    case RecordFiles::Outcome::FileFull:
        refused("file-full");
        break;
    case RecordFiles::Outcome::FolderFull:
        refused("folder-full");
        break;
    case RecordFiles::Outcome::Failed:
        m_server.reportFileProblem(
            path, QStringLiteral("Cannot write the record file %1: %2.").arg(path, errorText));
        break;
    }
}

void CommandContext::addOutputLine(const QByteArray &text)
{
    m_server.addOutputLine(text);
}

void CommandContext::notifyOperator(const QByteArray &text)
{
    m_server.notifyOperator(Codepage::toDisplay(text));
}
