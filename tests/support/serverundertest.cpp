#include "serverundertest.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>

#include <chrono>
#include <thread>

ServerUnderTest::ServerUnderTest()
{
    // TARNWICK_KEEP_FOLDERS keeps the folders (log, core file) for a look afterwards.
    if (qEnvironmentVariableIsSet("TARNWICK_KEEP_FOLDERS")) {
        programFolder.setAutoRemove(false);
        workingDirectory.setAutoRemove(false);
        qInfo("program folder %s, working directory %s", qPrintable(programFolder.path()),
              qPrintable(workingDirectory.path()));
    }
}

bool ServerUnderTest::start()
{
    const QString program = programFile(QStringLiteral("tarnwick-server"));
    if (!QFile::exists(program) && !QFile::copy(QStringLiteral(TARNWICK_SERVER_PATH), program)) {
        qWarning("could not copy the program");
        return false;
    }
    // Another run of the program may still hold the fixed ports for a while.
    if (!ServerProcess::waitUntilPortsFree({ChatPort, LoginPort}, 30'000)) {
        qWarning("the fixed ports stayed busy");
        return false;
    }
    ServerProcess::Launch launch;
    launch.program = QFile::encodeName(program).toStdString();
    launch.workingDirectory = QFile::encodeName(workingDirectory.path()).toStdString();
    launch.extraEnvironment.push_back("QT_QPA_PLATFORM=offscreen");
#ifdef TARNWICK_SANITIZED
    // Freed memory is held back for use-after-free checks; keep that pool
    // small so resident memory still shows what the program itself keeps.
    QByteArray sanitizerOptions = qgetenv("ASAN_OPTIONS");
    if (!sanitizerOptions.isEmpty())
        sanitizerOptions += ':';
    launch.extraEnvironment.push_back("ASAN_OPTIONS=" + sanitizerOptions.toStdString() +
                                      "quarantine_size_mb=16");
#endif
    std::string error;
    if (!ServerProcess::start(launch, &error)) {
        qWarning("%s", error.c_str());
        return false;
    }
    if (!waitUntilListening({ChatPort, LoginPort}, 60'000)) {
        qWarning("%s", isRunning()
                           ? "the ports did not open"
                           : ("the program ended at start-up: " + endDescription()).c_str());
        return false;
    }
    return true;
}

qint64 ServerUnderTest::statusKb(const char *field) const
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid()));
    if (pid() <= 0 || !status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(field) + ':';
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').constFirst().toLongLong();
    }
    return -1;
}

int ServerUnderTest::openSockets() const
{
    const bool known = pid() > 0 && QDir(QStringLiteral("/proc/%1/fd").arg(pid())).exists();
    return known ? int(socketsOf(pid()).size()) : -1;
}

int ServerUnderTest::waitForSocketsAtMost(int count, int timeoutMs) const
{
    const QDeadlineTimer deadline(timeoutMs);
    int seen = openSockets();
    while (seen > count && !deadline.hasExpired()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        seen = openSockets();
    }
    return seen;
}
