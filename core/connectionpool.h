#pragma once

#include "connectiontable.h"
#include "floodgate.h"
#include "lineframer.h"
#include "messageline.h"
#include "upgradesnapshot.h"

#include <QByteArray>
#include <QObject>
#include <QSharedPointer>
#include <QString>

#include <array>
#include <chrono>
#include <functional>
#include <optional>

class AddressLimits;
class BanStore;
class Listener;
class Transport;

// What the other connections are told when one is dropped.
struct Farewell
{
    QByteArray lines; // sent to every connected index, the leaving one too while it is

    static Farewell toNobody() { return {}; }
    static Farewell toEveryone(const QByteArray &lines) { return {lines}; }
};

// One service's connections over the connection table it shares with the
// other service: its listener, and per entry the connection, its line framer
// and its peer's address. It accepts into the lowest free entry (refusing at
// once when none is free), cuts what arrives into lines for the service, and
// is the one place where a connection ends.
//
// Every line is handled to its end before anything else runs, so every
// connection sees the room's lines in one order. A connection gets at most
// LinesPerTurn lines per turn; the rest of its lines wait, in order, until the
// other connections that have something waiting had their turn.
class ConnectionPool : public QObject
{
    Q_OBJECT
public:
    struct Handlers
    {
        // Each chunk as it arrived, before framing, with the start of a line
        // the framer still holds from earlier chunks. Optional.
        std::function<void(const Sender &, const QByteArray &chunk, const QByteArray &pending)>
            chunkArrived;
        // Each complete line, without its CR LF.
        std::function<HandlerOutcome(const Sender &, const QByteArray &line)> lineArrived;
        // The peer closed the connection, or it failed; the service drops it.
        std::function<void(int index)> connectionLost;
        // A request could not be accepted; the text is for the operator.
        std::function<void(const QString &text)> acceptFailed;
    };

    // Abuse limits of the service. Connections over the address limits are
    // closed right after accept, before they take an entry; lines past the
    // flood allowance wait framed and are handled later, in order.
    struct Protection
    {
        AddressLimits *addresses = nullptr; // shared by both services; nothing: no limit
        QByteArray service;                 // "chat" or "login", for the security log
        int floodBurst = 0;                 // either 0: no flood control
        int floodLinesPerSecond = 0;
        // A peer that left with lines held back: how long they are still
        // handled; zero: until the last.
        std::chrono::seconds drainAfterClose{0};
        // A connection that has not joined (markJoined) by then is closed
        // without a word; zero: never.
        std::chrono::seconds joinTimeout{0};
        // The ban list checked at accept; nothing: not there.
        BanStore *bans = nullptr;
        // The first line of a banned address that is still handled (refused
        // as the service always did); nothing else of it is.
        std::function<bool(const QByteArray &line)> handledWhenBanned;
    };
    // A banned address keeps its slot no longer than this.
    static constexpr std::chrono::seconds BannedStay{5};
    // Lines of one connection handled in one turn of the event loop.
    static constexpr int LinesPerTurn = 64;
    // While a connection has more output waiting than this, nobody's lines are
    // handled (TCP then slows the senders): the room goes at the pace of its
    // slowest reader. A reader that stays behind longer than RoomPatience is
    // waited for no more; it is dropped when it reaches the output cap.
    static constexpr qint64 RoomHighWater = 256 * 1024;
    static constexpr std::chrono::milliseconds RoomPatience{2000};

    ConnectionPool(ConnectionTable &table, Handlers handlers, QObject *parent = nullptr);
    ~ConnectionPool() override;

    // Also for the connections already there: their flood allowance starts
    // anew when its counts change.
    void setProtection(const Protection &protection);

    bool listen(quint16 port, QString *errorText);
    quint16 port() const;
    // The listening socket, carried across an upgrade; -1 when not listening.
    qintptr listenerDescriptor() const;
    bool adoptListener(qintptr descriptor, QString *errorText);

    // An upgrade takes the connections as they are between two events. A
    // held answer (a delayed login or moderator answer, or one waiting for a
    // password check) is code, not state: the upgrade waits until none is held.
    bool isAnswerHeld() const;
    // Connections whose peer left while their lines were held back have no
    // socket to carry: they end now, as when their drain time is up.
    void endDrainingConnections();
    // The connection on `index` as an upgrade carries it (its entry and slot,
    // its socket and buffers); nothing when there is none.
    std::optional<UpgradeSnapshot::Connection>
    handOver(int index, std::chrono::steady_clock::time_point now) const;
    // Takes over a connection of the program before the upgrade on its index.
    bool adopt(const UpgradeSnapshot::Connection &carried,
               std::chrono::steady_clock::time_point now, QString *errorText);

    // Takes the lowest free entry for `transport` the way a connection request
    // does; -1 (and the transport closed) when all entries are taken.
    int accept(const QSharedPointer<Transport> &transport);

    // A valid index that holds a connected connection. One whose peer left
    // while lines of it were held back for the flood allowance counts as
    // connected until the last of them is handled; what is sent to it is
    // dropped.
    bool isConnected(int index) const;
    // Queues one whole line; nothing when the index is not connected.
    bool send(int index, const QByteArray &line);
    // The peer's address while connected, else empty.
    QByteArray remoteAddress(int index) const;
    // The address of the connection that holds the entry or held it last.
    const QByteArray &lastAddress(int index) const { return m_entries[index].address; }
    bool isStillHere(const Sender &sender) const;
    // The peer has left; the connection only finishes the lines held back from it.
    bool hasPeerLeft(int index) const
    {
        return ConnectionTable::isValidIndex(index) && m_entries[index].peerGone;
    }

    // The connection has joined: it may stay as long as it likes.
    void markJoined(const Sender &sender);

    // The lines after the one being handled wait `delay`; then `then` runs
    // (when the connection is still there) and they are handled.
    void holdInput(const Sender &sender, std::chrono::milliseconds delay,
                   const std::function<void()> &then);

    // The lines after the one being handled wait until resumeInput: an
    // answer worked out elsewhere (a password check) keeps its place.
    void pauseInput(const Sender &sender);
    // Ends the pause: `outcome` is the paused line's (Stop drops the rest of
    // its chunk); `then` runs after `delay` (at once when zero), and the
    // lines after it are handled. Nothing when the connection is gone.
    void resumeInput(const Sender &sender, HandlerOutcome outcome, std::chrono::milliseconds delay,
                     const std::function<void()> &then);

    // One line of the security log (SecurityLog), for the host's tools.
    void reportSecurityEvent(const QByteArray &line) { Q_EMIT securityEvent(line); }

    // Ends the connection on `index`: the farewell goes out, the entry's row is
    // emptied, the connection closed (its last lines still leave), its unframed
    // bytes dropped and the entry given back to the table.
    void drop(int index, const Farewell &farewell);

Q_SIGNALS:
    void securityEvent(const QByteArray &line);

private:
    // The framed lines of one chunk that are not handled yet.
    struct HeldChunk
    {
        QList<QByteArray> lines;
        quint64 number = 0;
        std::chrono::steady_clock::time_point arrival;
    };
    struct Entry
    {
        QSharedPointer<Transport> transport;
        LineFramer framer;
        QByteArray address;
        // Counted by the address limits while it holds the entry.
        bool counted = false;
        FloodGate gate{0, 0};
        QList<HeldChunk> held;
        quint64 nextChunk = 0;
        bool resting = false; // a resume timer is armed; nothing is handled until it fires
        std::chrono::steady_clock::time_point restUntil;
        bool turnQueued = false; // its budget was spent: it goes on in its next turn
        // Its unsent output passed RoomHighWater at that time (and has not
        // fallen below it since); unset: it is not behind.
        std::optional<std::chrono::steady_clock::time_point> behindSince;
        std::function<void()> afterRest;
        quint64 handlingChunk = 0; // the chunk of the line being handled
        quint64 pausedChunk = 0;   // the chunk of the line paused on (pauseInput)
        bool paused = false;       // between pauseInput and resumeInput: an answer is due
        // The peer left with lines held back; the connection ends after them,
        // or when drainAfterClose has passed since peerGoneAt.
        bool peerGone = false;
        std::chrono::steady_clock::time_point peerGoneAt;
        bool joined = false;
        QByteArray ban; // the ban.txt item that covered the address at accept
    };

    bool drainTimeIsUp(const Entry &entry) const;
    void dropHeldLines(const Sender &sender);
    int takeFree();
    void attach(int index, const QSharedPointer<Transport> &transport);
    // Bans and the join time start with the connection.
    void startJoinClock(int index);
    void closeUnjoined(int index);
    void detach(int index);
    void onConnectionRequest(qintptr requestId);
    void onDataArrival(int index);
    void receive(const Sender &sender);
    // Handles held lines as far as the flood allowance and `budget` go;
    // returns how many were handled.
    int handleHeld(const Sender &sender, int budget);
    // Lines of the chunk `number` that were not handled go back to the front.
    void putBack(Entry &entry, quint64 number, const QList<QByteArray> &lines);
    void queueTurn(const Sender &sender, std::chrono::milliseconds delay);
    // Some reader is behind and still waited for.
    bool roomIsBehind();
    void rest(const Sender &sender, std::chrono::steady_clock::duration delay);
    void onConnectionLost(int index);

    ConnectionTable &m_table;
    Handlers m_handlers;
    Listener *m_listener;
    Protection m_protection;
    std::array<Entry, ConnectionTable::Size> m_entries;
};
