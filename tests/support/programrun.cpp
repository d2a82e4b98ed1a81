#include "programrun.h"

#include "serverprocess.h"
#include "testfolders.h"

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
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(working.path());
    process.setStandardErrorFile(workingFile(QStringLiteral("server.err")));
    process.start(started, options + QStringList{QStringLiteral("--data-dir"), data.path()});
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
