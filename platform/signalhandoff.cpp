#include "platform/signalhandoff.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
int g_sockets[2] = {-1, -1}; // [0] written by the handler, [1] read by the loop

void handleSignal(int signalNumber)
{
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    // A full pipe only loses a repeat of a signal that is already pending.
    [[maybe_unused]] const ssize_t written = ::write(g_sockets[0], &byte, 1);
    errno = savedErrno;
}
} // namespace

SignalHandoff::SignalHandoff(QObject *parent) : QObject(parent)
{
    Q_ASSERT(g_sockets[0] < 0);
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, g_sockets) != 0) {
        m_errorText = QString::fromLocal8Bit(std::strerror(errno));
        g_sockets[0] = g_sockets[1] = -1;
        return;
    }
    m_notifier = new QSocketNotifier(g_sockets[1], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &SignalHandoff::readPending);
}

SignalHandoff::~SignalHandoff()
{
    for (auto it = m_callbacks.cbegin(); it != m_callbacks.cend(); ++it)
        std::signal(it.key(), SIG_DFL);
    if (g_sockets[0] >= 0) {
        ::close(g_sockets[0]);
        ::close(g_sockets[1]);
        g_sockets[0] = g_sockets[1] = -1;
    }
}

bool SignalHandoff::isReady(QString *errorText) const
{
    if (errorText)
        *errorText = m_errorText;
    return m_notifier != nullptr;
}

bool SignalHandoff::watch(int signalNumber, std::function<void()> callback)
{
    if (!m_notifier)
        return false;
    m_callbacks.insert(signalNumber, std::move(callback));
    struct sigaction action = {};
    action.sa_handler = handleSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return ::sigaction(signalNumber, &action, nullptr) == 0;
}

void SignalHandoff::readPending()
{
    unsigned char byte = 0;
    while (::read(g_sockets[1], &byte, 1) == 1) {
        const auto callback = m_callbacks.value(byte);
        if (callback)
            callback();
    }
}
