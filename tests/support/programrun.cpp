#include "programrun.h"

#include "serverprocess.h"
#include "testfolders.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>

#include <chrono>
#include <thread>

ProgramRun runProgram(const QString &program, const QStringList &arguments,
                      const QString &workingDirectory, const QByteArray &input,
                      const QProcessEnvironment &environment)
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(workingDirectory);
    process.start(program, arguments);
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(20000))
        process.kill();
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            process.readAllStandardOutput(), process.readAllStandardError()};
}

QProcessEnvironment withoutDisplay()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "JOURNAL_STREAM"})
        env.remove(QString::fromLatin1(name));
    return env;
}

QProcessEnvironment offscreenWindow()
{
    QProcessEnvironment env = withoutDisplay();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    return env;
}

HostedServer::HostedServer(const QString &program) : program(program), started(program)
{
    // TARNWICK_KEEP_FOLDERS keeps the folders (log, core file) for a look afterwards.
    if (qEnvironmentVariableIsSet("TARNWICK_KEEP_FOLDERS")) {
        data.setAutoRemove(false);
        working.setAutoRemove(false);
        qInfo("data folder %s, working directory %s", qPrintable(data.path()),
              qPrintable(working.path()));
    }
}

HostedServer::~HostedServer()
{
    process.kill();
    process.waitForFinished();
}

bool HostedServer::start(const QStringList &options, const QProcessEnvironment &environment)
{
    // Another run of the program may still hold the fixed ports for a moment.
    if (!ServerProcess::waitUntilPortsFree({3069, 3068}, 30'000))
        return false;
    QProcessEnvironment env = environment;
#ifdef TARNWICK_SANITIZED
    // Freed memory is held back for use-after-free checks; keep that pool
    // small so resident memory still shows what the program itself keeps.
    const QString sanitizerOptions = env.value(QStringLiteral("ASAN_OPTIONS"));
    env.insert(QStringLiteral("ASAN_OPTIONS"),
               (sanitizerOptions.isEmpty() ? QString() : sanitizerOptions + ':') +
                   QStringLiteral("quarantine_size_mb=16"));
#endif
    QStringList arguments = options;
    if (QFileInfo(started).absolutePath() != QFileInfo(data.path()).absoluteFilePath())
        arguments << QStringLiteral("--data-dir") << data.path();
    process.setProcessEnvironment(env);
    process.setWorkingDirectory(runsIn);
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(workingFile(QStringLiteral("server.err")));
    process.start(started, arguments);
    return process.waitForStarted() && waitUntilServing();
}

bool HostedServer::waitUntilServing()
{
    for (int i = 0; i < 200 && process.state() == QProcess::Running; ++i) {
        if (ctl({QStringLiteral("status")}).exitCode == 0)
            return true;
        QTest::qWait(50);
    }
    qWarning("%s", errors().constData());
    return false;
}

ProgramRun HostedServer::ctl(const QStringList &arguments, const QByteArray &input) const
{
    return runProgram(
        program,
        QStringList{QStringLiteral("ctl"), QStringLiteral("--data-dir"), data.path()} + arguments,
        working.path(), input, withoutDisplay());
}

QByteArray HostedServer::errors() const
{
    return readFile(workingFile(QStringLiteral("server.err")));
}

bool HostedServer::isRunning()
{
    return process.state() != QProcess::NotRunning && !process.waitForFinished(0);
}

qint64 HostedServer::statusKb(const char *field) const
{
    QFile status(QStringLiteral("/proc/%1/status").arg(process.processId()));
    if (process.processId() <= 0 || !status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(field) + ':';
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').constFirst().toLongLong();
    }
    return -1;
}

int HostedServer::openSockets() const
{
    const qint64 pid = process.processId();
    const bool known = pid > 0 && QDir(QStringLiteral("/proc/%1/fd").arg(pid)).exists();
    return known ? int(ServerProcess::socketsOf(pid_t(pid)).size()) : -1;
}

int HostedServer::waitForSocketsAtMost(int count, int timeoutMs) const
{
    const QDeadlineTimer deadline(timeoutMs);
    int seen = openSockets();
    while (seen > count && !deadline.hasExpired()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        seen = openSockets();
    }
    return seen;
}
