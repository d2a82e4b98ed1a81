#include "platform/transport.h"

#include <QAbstractSocket>

#include <utility>

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
