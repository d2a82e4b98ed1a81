#include "chat/ipnoticegate.h"

bool IpNoticeGate::mayOpenBox() const
{
    return !m_open && (!m_sinceLastText.isValid() || m_sinceLastText.elapsed() >= QuietMs);
}

void IpNoticeGate::boxClosed()
{
    m_open = false;
    m_sinceLastText.start();
}
