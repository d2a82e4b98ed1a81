// tarnwick-serverd: the server without any window code, which
// `tarnwick-server --headless` and `tarnwick-server ctl` hand over to.
#include "core/serverconfig.h"
#include "headless/commandline.h"
#include "headless/controlclient.h"
#include "headless/headlessserver.h"

#include <QCoreApplication>

#include <sys/stat.h>

int main(int argc, char *argv[])
{
    // Everything the server creates is its owner's alone (the users store's
    // side files too), whatever the shell's umask.
    ::umask(0077);
    // Before anything opens a descriptor: after an upgrade, every one beyond
    // standard error is the program before's.
    const std::optional<ProgramUpgrade::Arrival> arrival = ProgramUpgrade::receive();
    // No window, so Qt's own poll loop rather than GLib's: one pass costs
    // less, so a relayed line leaves sooner.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Tarnwick Server"));
    const Invocation invocation = parseCommandLine(QCoreApplication::arguments());
    if (const std::optional<int> answered = answerWithoutRunning(invocation))
        return *answered;
    if (invocation.mode == Invocation::Mode::Control) {
        Invocation control = invocation;
        if (control.dataFolder.isEmpty())
            control.dataFolder = defaultControlFolder(QCoreApplication::applicationDirPath());
        return runControlClient(control);
    }
    HeadlessServer server(ServerConfig::forThisProcess(invocation.dataFolder),
                          LogStream::styleForStandardError());
    if (const int refused = server.start(arrival))
        return refused;
    return app.exec();
}
