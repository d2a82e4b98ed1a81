#include "operator/operatorclient.h"

#include <QTimer>

#include <functional>
#include <utility>

OperatorClient::OperatorClient(OperatorApi &api, Mailbox &serviceMailbox, QObject *parent)
    : QObject(parent), m_api(&api), m_service(serviceMailbox)
{
    qRegisterMetaType<OperatorResult>();
    qRegisterMetaType<OperatorApi::Severity>();
    m_rows.fill(ConnectionTable::EmptyRow);
    attach();
}

OperatorClient::~OperatorClient() = default;

template <typename... Arguments>
void OperatorClient::relay(void (OperatorApi::*signal)(Arguments...),
                           void (OperatorClient::*slot)(Arguments...))
{
    connect(m_api, signal, m_api, [this, slot](Arguments... arguments) {
        postHeldLogLines();
        m_inbox.post([this, slot, ... values = std::decay_t<Arguments>(arguments)] {
            (this->*slot)(values...);
        });
    });
}

// The snapshot and the subscription in one step on the service thread: no
// event can fall between them, and every later one arrives behind it.
void OperatorClient::attach()
{
    query([this](OperatorApi &api) {
        for (const UserEntry &user : api.users())
            m_rows[user.index] = user.row;
        m_motd = api.motd();
        m_passwordsRequired = api.passwordsRequired();
        m_usersDatabasePath = api.usersDatabasePath();
        m_sysopsPath = api.sysopsPath();
        connect(m_api, &OperatorApi::logLine, m_api,
                [this](const QByteArray &text) { relayLogLine(text); });
        relay(&OperatorApi::notice, &OperatorClient::notice);
        relay(&OperatorApi::userRowChanged, &OperatorClient::onRowChanged);
        relay(&OperatorApi::motdChanged, &OperatorClient::onMotdChanged);
        relay(&OperatorApi::passwordsRequiredChanged, &OperatorClient::onPasswordsRequiredChanged);
        relay(&OperatorApi::serverFileNameChanged, &OperatorClient::serverFileNameChanged);
        relay(&OperatorApi::serverFileProgress, &OperatorClient::onServerFileProgress);
        relay(&OperatorApi::serverFileProgressEnded, &OperatorClient::onServerFileProgressEnded);
        relay(&OperatorApi::bansChanged, &OperatorClient::bansChanged);
        relay(&OperatorApi::registeredUsersCounted, &OperatorClient::registeredUsersCounted);
        relay(&OperatorApi::shutdownRequested, &OperatorClient::shutdownRequested);
    });
}

// On the service thread. A busy room logs a line per message; handing each
// over on its own would wake this client's thread for every one, and on a
// small machine that thread then competes with the room for a processor. The
// first line after a quiet spell goes at once, the ones that follow within a
// pace go together at its end. Every other event and every answer takes the
// held lines along first, so this client sees everything in the order it
// happened.
void OperatorClient::relayLogLine(const QByteArray &text)
{
    m_heldLogLines.append(text);
    if (!m_holdingLogLines)
        startLogLineHold();
}

void OperatorClient::startLogLineHold()
{
    postHeldLogLines();
    m_holdingLogLines = true;
    QTimer::singleShot(LogLinePace, m_api, [this] { endLogLineHold(); });
}

void OperatorClient::endLogLineHold()
{
    m_holdingLogLines = false;
    if (!m_heldLogLines.isEmpty())
        startLogLineHold();
}

void OperatorClient::postHeldLogLines()
{
    if (m_heldLogLines.isEmpty())
        return;
    m_inbox.post([this, lines = std::exchange(m_heldLogLines, {})] {
        for (const QByteArray &line : lines)
            Q_EMIT logLine(line);
    });
}

template <typename Result>
void OperatorClient::request(std::function<Result(OperatorApi &)> call, QObject *context,
                             Reply<Result> reply)
{
    // The context is only looked at on this thread.
    const QPointer<QObject> guard(context);
    m_service.post([this, call = std::move(call), guard, reply = std::move(reply)] {
        Result result = call(*m_api);
        postHeldLogLines();
        m_inbox.post([guard, reply, result = std::move(result)] {
            if (guard)
                reply(result);
        });
    });
}

void OperatorClient::send(std::function<void(OperatorApi &)> call)
{
    m_service.post([this, call = std::move(call)] { call(*m_api); });
}

void OperatorClient::query(const std::function<void(OperatorApi &)> &call)
{
    m_service.call([this, &call] {
        call(*m_api);
        postHeldLogLines();
    });
}

void OperatorClient::sync()
{
    query([](OperatorApi &) {});
}

void OperatorClient::say(const QByteArray &text)
{
    send([text](OperatorApi &api) { api.say(text); });
}

void OperatorClient::announce(const QByteArray &text)
{
    send([text](OperatorApi &api) { api.announce(text); });
}

void OperatorClient::setRunningMotd(const QByteArray &text)
{
    send([text](OperatorApi &api) { api.setRunningMotd(text); });
}

void OperatorClient::setPasswordsRequired(bool required)
{
    send([required](OperatorApi &api) { api.setPasswordsRequired(required); });
}

void OperatorClient::shutdown()
{
    send([](OperatorApi &api) { api.shutdown(); });
}

void OperatorClient::findUser(const QByteArray &name, QObject *context,
                              Reply<std::optional<OperatorTarget>> reply)
{
    request<std::optional<OperatorTarget>>([name](OperatorApi &api) { return api.findUser(name); },
                                           context, std::move(reply));
}

void OperatorClient::addressOf(int index, QObject *context, Reply<QByteArray> reply)
{
    request<QByteArray>([index](OperatorApi &api) { return api.addressOf(index); }, context,
                        std::move(reply));
}

void OperatorClient::kick(const OperatorTarget &target, const QByteArray &reason)
{
    send([target, reason](OperatorApi &api) { api.kick(target, reason); });
}

void OperatorClient::ban(const OperatorTarget &target, const QByteArray &reason, QObject *context,
                         Reply<OperatorResult> reply)
{
    request<OperatorResult>([target, reason](OperatorApi &api) { return api.ban(target, reason); },
                            context, std::move(reply));
}

void OperatorClient::banAddress(const QByteArray &target,
                                std::optional<std::chrono::seconds> duration,
                                const QByteArray &reason, QObject *context,
                                Reply<OperatorResult> reply)
{
    request<OperatorResult>(
        [target, duration, reason](OperatorApi &api) {
            return api.banAddress(target, duration, reason);
        },
        context, std::move(reply));
}

void OperatorClient::unban(const QByteArray &target, QObject *context, Reply<OperatorResult> reply)
{
    request<OperatorResult>([target](OperatorApi &api) { return api.unban(target); }, context,
                            std::move(reply));
}

void OperatorClient::setMotd(const QByteArray &text, QObject *context, Reply<OperatorResult> reply)
{
    request<OperatorResult>([text](OperatorApi &api) { return api.setMotd(text); }, context,
                            std::move(reply));
}

void OperatorClient::setSysops(const QList<SysopEntry> &entries, QObject *context,
                               Reply<OperatorResult> reply)
{
    request<OperatorResult>([entries](OperatorApi &api) { return api.setSysops(entries); }, context,
                            std::move(reply));
}

void OperatorClient::makeServerFile(const QString &name, QObject *context,
                                    Reply<OperatorResult> reply)
{
    ++m_serverFileRequests;
    request<OperatorResult>([name](OperatorApi &api) { return api.makeServerFile(name); }, this,
                            [this, guard = QPointer<QObject>(context),
                             reply = std::move(reply)](const OperatorResult &result) {
                                --m_serverFileRequests;
                                if (guard)
                                    reply(result);
                            });
}

std::optional<QByteArray> OperatorClient::readMotdFile(QString *error)
{
    std::optional<QByteArray> content;
    query([&](OperatorApi &api) { content = api.readMotdFile(error); });
    return content;
}

std::optional<QList<SysopEntry>> OperatorClient::sysops(QString *error)
{
    std::optional<QList<SysopEntry>> entries;
    query([&](OperatorApi &api) { entries = api.sysops(error); });
    return entries;
}

std::optional<QList<Ban>> OperatorClient::bans(QString *error)
{
    std::optional<QList<Ban>> list;
    query([&](OperatorApi &api) { list = api.bans(error); });
    return list;
}

void OperatorClient::onRowChanged(int index, const QByteArray &row)
{
    if (!ConnectionTable::isValidIndex(index))
        return;
    m_rows[index] = row;
    Q_EMIT userRowChanged(index, row);
}

void OperatorClient::onMotdChanged(const QByteArray &text)
{
    m_motd = text;
    Q_EMIT motdChanged(text);
}

void OperatorClient::onPasswordsRequiredChanged(bool required)
{
    m_passwordsRequired = required;
    Q_EMIT passwordsRequiredChanged(required);
}

void OperatorClient::onServerFileProgress(double fraction)
{
    m_serverFileBarShown = true;
    Q_EMIT serverFileProgress(fraction);
}

void OperatorClient::onServerFileProgressEnded()
{
    m_serverFileBarShown = false;
    Q_EMIT serverFileProgressEnded();
}
