#include "connectionpool.h"

#include "addresslimits.h"
#include "banstore.h"
#include "platform/clientsocket.h"
#include "platform/listener.h"
#include "securitylog.h"

#include <QTimer>

#include <algorithm>

#include <utility>

using namespace std::chrono_literals;

ConnectionPool::ConnectionPool(ConnectionTable &table, Handlers handlers, QObject *parent)
    : QObject(parent), m_table(table), m_handlers(std::move(handlers)),
      m_listener(new Listener(this))
{
    connect(m_listener, &Listener::connectionRequest, this, &ConnectionPool::onConnectionRequest);
}

ConnectionPool::~ConnectionPool()
{
    for (int i = 0; i < ConnectionTable::Size; ++i)
        detach(i);
}

void ConnectionPool::setProtection(const Protection &protection)
{
    const bool floodChanged = protection.floodBurst != m_protection.floodBurst ||
                              protection.floodLinesPerSecond != m_protection.floodLinesPerSecond;
    m_protection = protection;
    if (!floodChanged)
        return;
    for (Entry &entry : m_entries) {
        if (entry.transport)
            entry.gate = FloodGate(protection.floodBurst, protection.floodLinesPerSecond);
    }
}

bool ConnectionPool::listen(quint16 port, QString *errorText)
{
    m_listener->setLocalPort(port);
    return m_listener->listen(errorText);
}

quint16 ConnectionPool::port() const
{
    return m_listener->boundPort();
}

qintptr ConnectionPool::listenerDescriptor() const
{
    return m_listener->descriptor();
}

bool ConnectionPool::adoptListener(qintptr descriptor, QString *errorText)
{
    return m_listener->adopt(descriptor, errorText);
}

bool ConnectionPool::isAnswerHeld() const
{
    return std::any_of(m_entries.cbegin(), m_entries.cend(),
                       [](const Entry &entry) { return entry.afterRest || entry.paused; });
}

void ConnectionPool::endDrainingConnections()
{
    for (int i = 0; i < ConnectionTable::Size; ++i) {
        if (m_entries[i].transport && m_entries[i].peerGone)
            dropHeldLines(Sender{i, m_table.slot(i).connection});
    }
}

std::optional<UpgradeSnapshot::Connection>
ConnectionPool::handOver(int index, std::chrono::steady_clock::time_point now) const
{
    const Entry &entry = m_entries[index];
    if (!entry.transport || entry.peerGone)
        return std::nullopt;
    const std::optional<Transport::HandOver> socket = entry.transport->handOver();
    if (!socket)
        return std::nullopt;
    const ConnectionSlot &slot = m_table.slot(index);
    UpgradeSnapshot::Connection carried;
    carried.index = index;
    carried.descriptor = qint32(socket->descriptor);
    carried.address = entry.address;
    carried.name = slot.name;
    carried.operatorFlag = slot.operatorFlag;
    carried.row = m_table.row(index);
    carried.joined = entry.joined;
    carried.ban = entry.ban;
    for (const HeldChunk &chunk : entry.held)
        carried.heldLines += chunk.lines;
    carried.pendingLine = entry.framer.pending();
    carried.discardingLine = entry.framer.isDiscarding();
    carried.unreadInput = socket->unreadInput;
    carried.unsentOutput = socket->unsentOutput;
    carried.flood = entry.gate.state(now);
    if (entry.resting && entry.restUntil > now)
        carried.restMs =
            std::chrono::ceil<std::chrono::milliseconds>(entry.restUntil - now).count();
    return carried;
}

bool ConnectionPool::adopt(const UpgradeSnapshot::Connection &carried,
                           std::chrono::steady_clock::time_point now, QString *errorText)
{
    const int index = carried.index;
    if (!m_table.take(index)) {
        *errorText = QStringLiteral("entry %1 is taken").arg(index);
        return false;
    }
    Transport::HandOver socket{carried.descriptor, carried.unreadInput, carried.unsentOutput};
    const QSharedPointer<ClientSocket> transport =
        ClientSocket::adopt(socket, carried.address, errorText);
    if (!transport) {
        m_table.release(index);
        return false;
    }
    attach(index, transport);
    Entry &entry = m_entries[index];
    if (m_protection.addresses) {
        m_protection.addresses->connectionOpened(entry.address);
        entry.counted = true;
    }
    entry.gate.restore(carried.flood, now);
    entry.framer.restore(carried.pendingLine, carried.discardingLine);
    if (!carried.heldLines.isEmpty())
        entry.held.append({carried.heldLines, entry.nextChunk++, now});
    entry.joined = carried.joined;
    entry.ban = carried.ban;
    ConnectionSlot &slot = m_table.slot(index);
    slot.name = carried.name;
    slot.operatorFlag = carried.operatorFlag;
    m_table.setRow(index, carried.row);
    const Sender sender{index, slot.connection};
    if (!entry.joined)
        startJoinClock(index);
    if (carried.restMs >= 0)
        rest(sender, std::chrono::milliseconds(carried.restMs));
    else
        queueTurn(sender, 0ms);
    return true;
}

bool ConnectionPool::isConnected(int index) const
{
    if (!ConnectionTable::isValidIndex(index))
        return false;
    const Entry &entry = m_entries[index];
    return entry.transport && (entry.peerGone || entry.transport->isConnected());
}

bool ConnectionPool::send(int index, const QByteArray &line)
{
    if (!ConnectionTable::isValidIndex(index) || !m_entries[index].transport)
        return false;
    // The transport refuses itself once it is no longer open.
    Transport &transport = *m_entries[index].transport;
    ServiceCounters &counters = m_table.counters();
    const bool open = transport.isConnected();
    if (!transport.send(line)) {
        counters.sendBufferDrops += open;
        return false;
    }
    ++counters.linesSent;
    counters.bytesSent += quint64(line.size());
    return true;
}

QByteArray ConnectionPool::remoteAddress(int index) const
{
    return isConnected(index) ? m_entries[index].address : QByteArray();
}

bool ConnectionPool::isStillHere(const Sender &sender) const
{
    return m_table.slot(sender.index).connection == sender.connection;
}

int ConnectionPool::takeFree()
{
    return m_table.takeFree([this](int i) { return !isConnected(i); });
}

int ConnectionPool::accept(const QSharedPointer<Transport> &transport)
{
    const int index = takeFree();
    if (index < 0) {
        transport->close();
        return -1;
    }
    attach(index, transport);
    startJoinClock(index);
    return index;
}

void ConnectionPool::onConnectionRequest(qintptr requestId)
{
    const int index = takeFree();
    if (index < 0) {
        // All 50 entries are taken (by both services): refused now, not kept waiting.
        Listener::reject(requestId);
        ++m_table.counters().refused[std::size_t(ServiceCounters::Refusal::Full)];
        return;
    }
    QString errorText;
    const QSharedPointer<ClientSocket> socket = ClientSocket::accept(requestId, &errorText);
    if (!socket) {
        Listener::reject(requestId);
        m_table.release(index);
        m_handlers.acceptFailed(errorText + QStringLiteral("Listening for connection "));
        return;
    }
    AddressLimits *limits = m_protection.addresses;
    const QByteArray &address = socket->remoteAddress();
    if (limits) {
        const AddressLimits::Admission admission =
            limits->admit(address, std::chrono::steady_clock::now());
        if (!admission.allowed) {
            // Closed before the client can read anything: no line of the protocol fits.
            socket->close();
            m_table.release(index);
            const auto refusal = admission.reason == AddressLimits::Reason::TooManyNew
                                     ? ServiceCounters::Refusal::NewPerMinute
                                     : ServiceCounters::Refusal::Limit;
            ++m_table.counters().refused[std::size_t(refusal)];
            reportSecurityEvent(SecurityLog::connectionRefused(
                address, m_protection.service, AddressLimits::reasonName(admission.reason)));
            return;
        }
    }
    attach(index, socket);
    ++m_table.counters().accepted;
    if (limits) {
        limits->connectionOpened(address);
        m_entries[index].counted = true;
    }
    startJoinClock(index);
}

// Slots are for people: one that stays silent, or a banned address, does not
// keep one.
void ConnectionPool::startJoinClock(int index)
{
    Entry &entry = m_entries[index];
    if (m_protection.bans) {
        if (const std::optional<Ban> ban =
                m_protection.bans->match(entry.address, QDateTime::currentDateTimeUtc()))
            entry.ban = ban->target;
    }
    std::chrono::seconds limit = m_protection.joinTimeout;
    if (!entry.ban.isEmpty() && (limit == 0s || limit > BannedStay))
        limit = BannedStay;
    if (limit == 0s)
        return;
    const Sender sender{index, m_table.slot(index).connection};
    QTimer::singleShot(limit, this, [this, sender] {
        if (isStillHere(sender) && !m_entries[sender.index].joined)
            closeUnjoined(sender.index);
    });
}

void ConnectionPool::closeUnjoined(int index)
{
    const Entry &entry = m_entries[index];
    if (!entry.ban.isEmpty())
        ++m_table.counters().refused[std::size_t(ServiceCounters::Refusal::Banned)];
    reportSecurityEvent(
        entry.ban.isEmpty()
            ? SecurityLog::joinTimeout(entry.address, m_protection.service)
            : SecurityLog::bannedConnection(entry.address, m_protection.service, entry.ban));
    drop(index, Farewell::toNobody());
}

void ConnectionPool::markJoined(const Sender &sender)
{
    if (isStillHere(sender))
        m_entries[sender.index].joined = true;
}

void ConnectionPool::attach(int index, const QSharedPointer<Transport> &transport)
{
    detach(index);
    Entry &entry = m_entries[index];
    entry.transport = transport;
    entry.framer.clear();
    entry.address = transport->remoteAddress();
    entry.gate = FloodGate(m_protection.floodBurst, m_protection.floodLinesPerSecond);
    entry.joined = false;
    entry.ban.clear();
    Transport *t = transport.get();
    connect(t, &Transport::dataArrival, this, [this, index] { onDataArrival(index); });
    connect(t, &Transport::closed, this, [this, index] { onConnectionLost(index); });
    connect(t, &Transport::failed, this, [this, index] { onConnectionLost(index); });
}

// Our own close: nothing the connection does afterwards reaches the service.
void ConnectionPool::detach(int index)
{
    Entry &entry = m_entries[index];
    if (!entry.transport)
        return;
    if (std::exchange(entry.counted, false) && m_protection.addresses)
        m_protection.addresses->connectionClosed(entry.address);
    entry.held.clear();
    entry.peerGone = false;
    entry.resting = false;
    entry.paused = false;
    entry.turnQueued = false;
    entry.behindSince.reset();
    entry.afterRest = {};
    entry.transport->disconnect(this);
    entry.transport->close();
    entry.transport.reset();
    entry.framer.clear();
}

void ConnectionPool::drop(int index, const Farewell &farewell)
{
    if (!farewell.lines.isEmpty()) {
        for (int i = 0; i < ConnectionTable::Size; ++i)
            send(i, farewell.lines);
    }
    m_table.setRow(index, ConnectionTable::EmptyRow);
    detach(index);
    m_table.release(index);
}

void ConnectionPool::onDataArrival(int index)
{
    // A connection whose next turn is queued takes what came then, in order.
    if (!m_entries[index].turnQueued)
        receive(Sender{index, m_table.slot(index).connection});
}

// A chunk is taken only when every line before it is handled: while lines
// wait for the flood allowance, a held answer or the next turn, the socket's
// read buffer fills up to its cap and TCP slows the sender.
void ConnectionPool::receive(const Sender &sender)
{
    Entry &entry = m_entries[sender.index];
    // Held until this turn is done: a handler may drop the connection.
    const QSharedPointer<Transport> transport = entry.transport;
    int budget = LinesPerTurn;
    while (isStillHere(sender) && !entry.resting) {
        if (entry.peerGone && drainTimeIsUp(entry)) {
            // A client that left a flood behind keeps no slot for long.
            dropHeldLines(sender);
            return;
        }
        if (!entry.held.isEmpty()) {
            if (budget == 0) {
                queueTurn(sender, 0ms);
                return;
            }
            if (budget == LinesPerTurn && roomIsBehind()) {
                queueTurn(sender, 1ms);
                return;
            }
            budget -= handleHeld(sender, budget);
            continue;
        }
        if (!transport->hasReceived()) {
            if (entry.peerGone)
                m_handlers.connectionLost(sender.index);
            return;
        }
        const QByteArray chunk = transport->takeReceived();
        const auto arrival = ServiceCounters::Enabled ? std::chrono::steady_clock::now()
                                                      : std::chrono::steady_clock::time_point();
        m_table.counters().bytesReceived += quint64(chunk.size());
        if (m_handlers.chunkArrived)
            m_handlers.chunkArrived(sender, chunk, entry.framer.pending());
        QList<QByteArray> lines = entry.framer.append(chunk);
        if (!lines.isEmpty() && isStillHere(sender))
            entry.held.append({std::move(lines), entry.nextChunk++, arrival});
    }
}

void ConnectionPool::queueTurn(const Sender &sender, std::chrono::milliseconds delay)
{
    m_entries[sender.index].turnQueued = true;
    const auto turn = [this, sender] {
        if (!isStillHere(sender))
            return;
        m_entries[sender.index].turnQueued = false;
        receive(sender);
    };
    if (delay == 0ms)
        QMetaObject::invokeMethod(this, turn, Qt::QueuedConnection);
    else
        QTimer::singleShot(delay, this, turn);
}

bool ConnectionPool::roomIsBehind()
{
    const auto now = std::chrono::steady_clock::now();
    bool waiting = false;
    for (Entry &entry : m_entries) {
        if (!entry.transport || entry.transport->unsentBytes() <= RoomHighWater) {
            entry.behindSince.reset();
            continue;
        }
        if (!entry.behindSince)
            entry.behindSince = now;
        waiting = waiting || now - *entry.behindSince < RoomPatience;
    }
    return waiting;
}

void ConnectionPool::dropHeldLines(const Sender &sender)
{
    Entry &entry = m_entries[sender.index];
    qsizetype lines = 0;
    for (const HeldChunk &chunk : std::as_const(entry.held))
        lines += chunk.lines.size();
    reportSecurityEvent(
        SecurityLog::heldLinesDropped(entry.address, m_table.slot(sender.index).name, lines));
    entry.held.clear();
    m_handlers.connectionLost(sender.index);
}

bool ConnectionPool::drainTimeIsUp(const Entry &entry) const
{
    return m_protection.drainAfterClose > std::chrono::seconds::zero() &&
           std::chrono::steady_clock::now() - entry.peerGoneAt >= m_protection.drainAfterClose;
}

void ConnectionPool::putBack(Entry &entry, quint64 number, const QList<QByteArray> &lines)
{
    if (!entry.held.isEmpty() && entry.held.constFirst().number == number)
        entry.held.first().lines = lines + entry.held.constFirst().lines;
    else if (!lines.isEmpty())
        entry.held.prepend({lines, number, std::chrono::steady_clock::now()});
}

int ConnectionPool::handleHeld(const Sender &sender, int budget)
{
    Entry &entry = m_entries[sender.index];
    HeldChunk &first = entry.held.first();
    const quint64 number = first.number;
    const auto arrival = first.arrival;
    ServiceCounters &counters = m_table.counters();
    QList<QByteArray> batch;
    if (first.lines.size() > budget) {
        batch = first.lines.first(budget);
        first.lines.remove(0, budget);
    } else {
        batch = std::move(first.lines);
        entry.held.removeFirst();
    }
    FloodGate::Grant grant{batch.size(), {}, false};
    if (m_protection.floodBurst > 0 && m_protection.floodLinesPerSecond > 0) {
        const ConnectionSlot &slot = m_table.slot(sender.index);
        grant = entry.gate.grant(batch.size(), std::chrono::steady_clock::now(),
                                 slot.operatorFlag ? FloodGate::Sender::Moderator
                                                   : FloodGate::Sender::User);
        counters.floodSlowed += grant.slowedNow;
        if (grant.slowedNow)
            reportSecurityEvent(SecurityLog::floodSlowed(entry.address, slot.name));
        if (grant.lines < batch.size())
            putBack(entry, number, batch.mid(grant.lines));
        batch.resize(grant.lines);
    }
    for (qsizetype i = 0; i < batch.size(); ++i) {
        if (!isStillHere(sender))
            return int(i);
        // A banned address is heard once at most, and only to be refused.
        const bool banned = !entry.ban.isEmpty() && !entry.joined;
        const auto &handledWhenBanned = m_protection.handledWhenBanned;
        if (banned && !(handledWhenBanned && handledWhenBanned(batch[i]))) {
            closeUnjoined(sender.index);
            return int(i);
        }
        entry.handlingChunk = number;
        const HandlerOutcome outcome = m_handlers.lineArrived(sender, batch[i]);
        ++counters.linesReceived;
        if constexpr (ServiceCounters::Enabled)
            counters.observeLag(std::chrono::steady_clock::now() - arrival);
        if (banned && isStillHere(sender) && !entry.joined) {
            closeUnjoined(sender.index);
            return int(i + 1);
        }
        if (outcome == HandlerOutcome::Stop) {
            // The rest of the chunk is dropped, held or not.
            if (isStillHere(sender) && !entry.held.isEmpty() &&
                entry.held.constFirst().number == number)
                entry.held.removeFirst();
            return int(i + 1);
        }
        if (entry.resting && isStillHere(sender)) {
            // The handler held the connection's input: the rest of the batch waits too.
            putBack(entry, number, batch.mid(i + 1));
            return int(i + 1);
        }
    }
    if (isStillHere(sender) && !entry.resting && grant.retryAfter > FloodGate::Duration::zero() &&
        !entry.held.isEmpty())
        rest(sender, grant.retryAfter);
    // A batch the flood allowance cut to nothing still spends a line of the
    // turn, so the turn ends.
    return std::max<int>(int(batch.size()), 1);
}

void ConnectionPool::holdInput(const Sender &sender, std::chrono::milliseconds delay,
                               const std::function<void()> &then)
{
    if (!isStillHere(sender))
        return;
    m_entries[sender.index].afterRest = then;
    rest(sender, delay);
}

void ConnectionPool::pauseInput(const Sender &sender)
{
    if (!isStillHere(sender))
        return;
    Entry &entry = m_entries[sender.index];
    entry.resting = true;
    entry.paused = true;
    entry.pausedChunk = entry.handlingChunk;
}

void ConnectionPool::resumeInput(const Sender &sender, HandlerOutcome outcome,
                                 std::chrono::milliseconds delay, const std::function<void()> &then)
{
    if (!isStillHere(sender))
        return;
    Entry &entry = m_entries[sender.index];
    entry.paused = false;
    if (outcome == HandlerOutcome::Stop && !entry.held.isEmpty() &&
        entry.held.constFirst().number == entry.pausedChunk)
        entry.held.removeFirst();
    if (delay > 0ms) {
        holdInput(sender, delay, then);
        return;
    }
    entry.resting = false;
    then();
    if (isStillHere(sender))
        onDataArrival(sender.index);
}

// One timer per connection at a time, guarded by the connection number: a
// connection that left meanwhile is not touched.
void ConnectionPool::rest(const Sender &sender, std::chrono::steady_clock::duration delay)
{
    m_entries[sender.index].resting = true;
    const auto wait = std::max<std::chrono::milliseconds>(
        1ms, std::chrono::ceil<std::chrono::milliseconds>(delay));
    m_entries[sender.index].restUntil = std::chrono::steady_clock::now() + wait;
    QTimer::singleShot(wait, this, [this, sender] {
        if (!isStillHere(sender))
            return;
        Entry &entry = m_entries[sender.index];
        entry.resting = false;
        if (const std::function<void()> then = std::exchange(entry.afterRest, {}))
            then();
        if (isStillHere(sender))
            onDataArrival(sender.index);
    });
}

void ConnectionPool::onConnectionLost(int index)
{
    Entry &entry = m_entries[index];
    if ((entry.gate.isSlowing() && !entry.held.isEmpty()) || entry.turnQueued) {
        // Closing must not lose the lines held back, nor skip their pace: the
        // next turn or the resume timer handles them, the bytes still unread
        // after them too, and the connection ends after the last.
        entry.peerGone = true;
        entry.peerGoneAt = std::chrono::steady_clock::now();
        return;
    }
    m_handlers.connectionLost(index);
}
