#pragma once

#include <QByteArray>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>
#include <QTemporaryDir>

// A program run to its end as a host runs it from a shell: its input given,
// its exit code (-1 when it crashed or had to be killed) and output kept.
struct ProgramRun
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

ProgramRun
runProgram(const QString &program, const QStringList &arguments, const QString &workingDirectory,
           const QByteArray &input = {},
           const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment());

// This environment without a display and outside the journal, as a host's
// shell runs a service.
QProcessEnvironment withoutDisplay();

// This environment without a display, but for the window: it draws offscreen.
QProcessEnvironment offscreenWindow();

// The real program started as a host starts it, on a data folder and a
// working directory of its own, operated through `ctl` and watched from
// outside through /proc. Its standard error goes to a file (a pipe nobody
// reads could hold it up). Killed if still running when dropped.
struct HostedServer
{
    explicit HostedServer(const QString &program);
    ~HostedServer();

    // Waits for the fixed ports to be free, starts `started` on the data
    // folder and waits until `ctl status` answers. A program copied into the
    // data folder is not told the folder: it finds its files beside itself.
    bool start(const QStringList &options = {QStringLiteral("--headless")},
               const QProcessEnvironment &environment = withoutDisplay());
    bool waitUntilServing();
    ProgramRun ctl(const QStringList &arguments, const QByteArray &input = {}) const;
    QString dataFile(const QString &name) const { return data.filePath(name); }
    QString workingFile(const QString &name) const { return working.filePath(name); }
    // All the program wrote to standard error so far.
    QByteArray errors() const;
    // Not ended (and reaped once it has).
    bool isRunning();
    // A "Vm..." line of /proc/<pid>/status in KiB (VmRSS, VmHWM); -1 unknown.
    qint64 statusKb(const char *field) const;
    // The number of open sockets (connections, listeners, the control
    // socket); -1 unknown. Files and threads' wake-up descriptors, which the
    // program opens when first needed and a thread pool lets go when idle,
    // do not count.
    int openSockets() const;
    // Waits (up to timeoutMs) until the socket count is at most `count` and
    // returns the last count seen.
    int waitForSocketsAtMost(int count, int timeoutMs) const;

    const QString program; // the one `ctl` runs
    QString started;       // the one the host installed; `program` unless replaced
    QTemporaryDir data;
    QTemporaryDir working;
    QString runsIn = working.path(); // its working directory
    QProcess process;
};
