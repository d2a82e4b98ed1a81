#include "simulatedtransport.h"

#include "core/connectionpool.h"

#include <utility>

QSharedPointer<SimulatedTransport> SimulatedTransport::connectTo(ConnectionPool &pool,
                                                                 const QByteArray &address)
{
    QSharedPointer<SimulatedTransport> transport = own(new SimulatedTransport(address));
    transport->m_index = pool.accept(transport);
    return transport;
}

void SimulatedTransport::receive(const QByteArray &bytes)
{
    if (!isConnected())
        return;
    m_input += bytes;
    reportDataArrival();
}

void SimulatedTransport::peerClose()
{
    reportPeerClosed();
}

QByteArray SimulatedTransport::takeSent()
{
    return std::exchange(m_sent, QByteArray());
}

QByteArray SimulatedTransport::takeReceived()
{
    return std::exchange(m_input, QByteArray());
}

void SimulatedTransport::endConnection(Ending ending)
{
    m_input.clear();
    // What was sent before our own close stays readable, as on a socket; an
    // abort loses it.
    if (ending == Ending::Abort)
        m_sent.clear();
}
