#include "headless/programupgrade.h"

#include "operator/controlhost.h"
#include "operator/controlserver.h"
#include "operator/servercore.h"
#include "platform/servicenotify.h"

#include <QFile>
#include <QTimer>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

using namespace std::chrono_literals;

namespace {
bool setCloseOnExec(int descriptor, bool close)
{
    const int flags = ::fcntl(descriptor, F_GETFD);
    return flags >= 0 &&
           ::fcntl(descriptor, F_SETFD, close ? flags | FD_CLOEXEC : flags & ~FD_CLOEXEC) == 0;
}

bool writeAll(int descriptor, const QByteArray &bytes)
{
    qsizetype written = 0;
    while (written < bytes.size()) {
        const ssize_t n =
            ::write(descriptor, bytes.constData() + written, size_t(bytes.size() - written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        written += n;
    }
    return true;
}

// At most UpgradeSnapshot::MaxBytes and one more, so a larger one is seen.
QByteArray readAll(int descriptor)
{
    QByteArray bytes;
    char buffer[65536];
    while (bytes.size() <= UpgradeSnapshot::MaxBytes) {
        const ssize_t n = ::read(descriptor, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        bytes.append(buffer, n);
    }
    return bytes;
}
} // namespace

std::optional<ProgramUpgrade::Arrival> ProgramUpgrade::receive()
{
    const char *value = std::getenv(StateVariable);
    if (!value)
        return std::nullopt;
    bool isNumber = false;
    const int memory = QByteArray(value).toInt(&isNumber);
    ::unsetenv(StateVariable);
    QByteArray bytes;
    if (isNumber && memory > 2) {
        ::lseek(memory, 0, SEEK_SET);
        bytes = readAll(memory);
        ::close(memory);
    }
    Arrival arrival;
    if (bytes.size() > UpgradeSnapshot::MaxBytes)
        arrival.failure =
            QStringLiteral("it is larger than %1 bytes").arg(UpgradeSnapshot::MaxBytes);
    else
        arrival.snapshot = UpgradeSnapshot::decode(bytes, &arrival.failure);
    if (arrival.snapshot) {
        // Inherited for the exec only, as everything else the server opens.
        for (const qint32 descriptor : arrival.snapshot->descriptors())
            setCloseOnExec(descriptor, true);
        if (arrival.snapshot->replyDescriptor >= 0)
            setCloseOnExec(arrival.snapshot->replyDescriptor, true);
        return arrival;
    }
    const std::optional<UpgradeSnapshot::Envelope> envelope = UpgradeSnapshot::readEnvelope(bytes);
    if (envelope && envelope->replyDescriptor > 2) {
        ControlServer::answerCarried(
            envelope->replyDescriptor,
            ControlResult::failure(
                QStringLiteral("The new program could not read the server's state (%1): every "
                               "connection was closed and it started afresh.")
                    .arg(arrival.failure)));
    }
    // Nothing else is open yet: whatever is beyond standard error came from
    // the program before. Closed, as a shutdown closes every client.
    ::close_range(3, ~0U, 0);
    return arrival;
}

ProgramUpgrade::ProgramUpgrade(ServerCore &core, ControlHost &host, const QString &program,
                               const QStringList &arguments, QObject *parent)
    : QObject(parent), m_core(core), m_host(host), m_program(program), m_arguments(arguments)
{
}

void ProgramUpgrade::request(ControlCall &call)
{
    if (m_call) {
        call.finish(ControlResult::failure(QStringLiteral("An upgrade is already under way.")));
        return;
    }
    m_call = &call;
    m_giveUpAt = std::chrono::steady_clock::now() + AnswerPatience;
    // Between two events every handler has run to its end: the state is whole.
    QMetaObject::invokeMethod(this, &ProgramUpgrade::tryHandOver, Qt::QueuedConnection);
}

void ProgramUpgrade::fail(const QString &reason)
{
    if (m_call)
        m_call->finish(ControlResult::failure(reason));
    m_call = nullptr;
}

void ProgramUpgrade::tryHandOver()
{
    if (!m_call || m_call->clientDescriptor() < 0) {
        m_call = nullptr; // the client left: nobody wants it any more
        return;
    }
    if (m_core.isAnswerHeld()) {
        if (std::chrono::steady_clock::now() >= m_giveUpAt) {
            fail(QStringLiteral("A delayed login answer is still held back; try again later."));
            return;
        }
        QTimer::singleShot(20ms, this, &ProgramUpgrade::tryHandOver);
        return;
    }
    if (::access(QFile::encodeName(m_program).constData(), X_OK) != 0) {
        fail(QStringLiteral("The program %1 cannot be executed: %2")
                 .arg(m_program, QString::fromLocal8Bit(std::strerror(errno))));
        return;
    }
    notifyServiceReloading();
    UpgradeSnapshot snapshot;
    snapshot.previousVersion = TARNWICK_VERSION;
    snapshot.previousProgram = m_program;
    m_core.handOver(snapshot);
    snapshot.controlListener = qint32(m_host.control().descriptor());
    snapshot.replyDescriptor = qint32(m_call->clientDescriptor());
    execute(snapshot);
    const QString reason = QString::fromLocal8Bit(std::strerror(errno));
    notifyServiceReady();
    fail(QStringLiteral("The program %1 could not be started: %2; the server goes on unchanged.")
             .arg(m_program, reason));
}

void ProgramUpgrade::execute(const UpgradeSnapshot &snapshot)
{
    const int memory = ::memfd_create("tarnwick-upgrade", MFD_CLOEXEC);
    if (memory < 0)
        return;
    if (!writeAll(memory, snapshot.encode()) || ::lseek(memory, 0, SEEK_SET) != 0) {
        const int error = errno;
        ::close(memory);
        errno = error;
        return;
    }
    QList<qint32> carried = snapshot.descriptors();
    carried << snapshot.replyDescriptor << memory;
    for (const qint32 descriptor : std::as_const(carried))
        setCloseOnExec(descriptor, false);
    ::setenv(StateVariable, QByteArray::number(memory).constData(), 1);

    const QByteArray program = QFile::encodeName(m_program);
    QList<QByteArray> encoded;
    for (const QString &argument : std::as_const(m_arguments))
        encoded.append(argument.toLocal8Bit());
    std::vector<char *> arguments{const_cast<char *>(program.constData())};
    for (QByteArray &argument : encoded)
        arguments.push_back(argument.data());
    arguments.push_back(nullptr);
    std::fflush(stderr);
    ::execv(program.constData(), arguments.data());

    // Still here: nothing was handed over.
    const int error = errno;
    ::unsetenv(StateVariable);
    for (const qint32 descriptor : std::as_const(carried))
        setCloseOnExec(descriptor, true);
    ::close(memory);
    errno = error;
}
