#include "chat/ipnoticegate.h"

bool IpNoticeGate::mayOpenBox() const
{
    return !m_sinceLastText.isValid() || m_sinceLastText.elapsed() >= QuietMs;
}
