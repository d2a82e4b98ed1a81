#include "platform/transport.h"

#include <QAbstractSocket>
#include <QCoreApplication>
#include <QEvent>
#include <QPointer>
#include <QThread>

#include <algorithm>
#include <utility>
#include <vector>

namespace {
// The transports with output queued in this turn, and the one event that
// flushes them.
class OutputFlusher : public QObject
{
public:
    // One per thread, flushed by that thread's loop: the windowed program
    // serves on a thread of its own. It goes with the application, or with
    // its thread when that ends first.
    static OutputFlusher &instance()
    {
        thread_local QPointer<OutputFlusher> flusher;
        if (!flusher) {
            QObject *application = QCoreApplication::instance();
            QThread *thread = QThread::currentThread();
            const bool main = application && application->thread() == thread;
            flusher = new OutputFlusher(main ? application : nullptr);
            if (!main)
                connect(thread, &QThread::finished, flusher, &QObject::deleteLater);
        }
        return *flusher;
    }

    std::vector<Transport *> waiting;
    bool posted = false;

    void post()
    {
        if (posted)
            return;
        posted = true;
        QCoreApplication::postEvent(this, new QEvent(FlushEvent));
    }

protected:
    bool event(QEvent *e) override
    {
        if (e->type() != FlushEvent)
            return QObject::event(e);
        posted = false;
        Transport::flushQueuedOutput();
        return true;
    }

private:
    static constexpr QEvent::Type FlushEvent = QEvent::User;

    using QObject::QObject;
};
} // namespace

Transport::~Transport()
{
    if (m_flushListed) {
        std::vector<Transport *> &waiting = OutputFlusher::instance().waiting;
        std::replace(waiting.begin(), waiting.end(), this, static_cast<Transport *>(nullptr));
    }
}

void Transport::queueFlush()
{
    if (m_flushListed)
        return;
    m_flushListed = true;
    OutputFlusher &flusher = OutputFlusher::instance();
    flusher.waiting.push_back(this);
    flusher.post();
}

void Transport::flushQueuedOutput()
{
    std::vector<Transport *> &waiting = OutputFlusher::instance().waiting;
    // Indexed: a flush does not emit, but anything listed meanwhile still goes.
    for (std::size_t i = 0; i < waiting.size(); ++i) {
        Transport *transport = waiting[i];
        if (!transport)
            continue;
        transport->m_flushListed = false;
        transport->flushOutput();
    }
    waiting.clear();
}

bool Transport::send(const QByteArray &bytes)
{
    if (!isConnected())
        return false;
    if (pendingOutput() + bytes.size() > OutputCap) {
        m_state = State::Failing;
        endConnection(Ending::Abort);
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (m_state != State::Failing)
                    return; // closed by us meanwhile
                reportEnd(End::Failed, int(QAbstractSocket::SocketResourceError),
                          QStringLiteral("Output limit exceeded"));
            },
            Qt::QueuedConnection);
        return false;
    }
    write(bytes);
    return true;
}

void Transport::close()
{
    const State before = std::exchange(m_state, State::Ended);
    if (before == State::Open)
        endConnection(Ending::LetOutputLeave);
}

void Transport::reportDataArrival()
{
    const QSharedPointer<Transport> held = sharedFromThis();
    if (isConnected())
        Q_EMIT dataArrival();
}

void Transport::reportPeerClosed()
{
    reportEnd(End::PeerClosed, 0, QString());
}

void Transport::reportFailure(int errorNumber, const QString &description)
{
    reportEnd(End::Failed, errorNumber, description);
}

void Transport::reportEnd(End end, int errorNumber, const QString &description)
{
    const QSharedPointer<Transport> held = sharedFromThis();
    if (m_state == State::Open && hasReceived())
        Q_EMIT dataArrival();
    if (m_state == State::Ended)
        return;
    m_state = State::Ended;
    if (end == End::Failed)
        Q_EMIT failed(errorNumber, description);
    else
        Q_EMIT closed();
}

void Transport::disposeOf(Transport *transport)
{
    // Nobody can read or close it any more: a connection still open ends here.
    if (std::exchange(transport->m_state, State::Ended) == State::Open)
        transport->endConnection(Ending::Abort);
    transport->dispose();
}
