#include "chat/ipnoticegate.h"

#include "core/chatserver.h"

IpNoticeGate &IpNoticeGate::of(ChatServer &server)
{
    auto *gate = server.findChild<IpNoticeGate *>(QString(), Qt::FindDirectChildrenOnly);
    return gate ? *gate : *new IpNoticeGate(&server);
}

bool IpNoticeGate::mayOpenBox() const
{
    return !m_open && (!m_sinceLastText.isValid() || m_sinceLastText.elapsed() >= QuietMs);
}

void IpNoticeGate::boxClosed()
{
    m_open = false;
    m_sinceLastText.start();
}
