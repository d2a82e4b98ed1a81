#include "console/consoleapp.h"
#include "console/mainwindow.h"
#include "core/serverconfig.h"
#include "headless/commandline.h"
#include "headless/launcher.h"
#include "operator/controlhost.h"

#include <QApplication>
#include <QMessageBox>

#include <algorithm>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
constexpr int WindowThreadNice = 10; // added to the nice value the program started with
constexpr int MaxNice = 19;
} // namespace

int main(int argc, char *argv[])
{
    // Everything the server creates is its owner's alone (the users store's
    // side files too), whatever the shell's umask.
    ::umask(0077);
    // --help, --version, bad usage, --headless and ctl are served without any
    // window code: the last two hand this process over to tarnwick-serverd.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    const Invocation invocation = parseCommandLine(arguments);
    if (invocation.mode != Invocation::Mode::Window)
        return runWithoutWindow(invocation, argc, argv);

    // The services' thread runs Qt's own poll loop rather than GLib's: one
    // pass costs less, so a relayed line leaves sooner, and nothing on that
    // thread needs GLib. The window's thread keeps GLib, on which desktop
    // integration (platform themes) may rely. Set before any thread exists.
    if (!qEnvironmentVariableIsSet("QT_NO_THREADED_GLIB"))
        qputenv("QT_NO_THREADED_GLIB", "1");
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tarnwick Server"));
    QApplication::setFont(MainWindow::classicFont());
    // Minimised into the tray, the window must not end the program.
    QApplication::setQuitOnLastWindowClosed(false);

    const ServerConfig config = ServerConfig::forThisProcess(invocation.dataFolder);
    if (const QString why = ControlHost::whyFoldersUnsafe(config); !why.isEmpty()) {
        QMessageBox::critical(nullptr, QApplication::applicationName(), why);
        return Invocation::Failed;
    }
    ConsoleApp console(config);
    // The room before the window: the services' thread, started above, keeps
    // the normal priority; this thread only draws, and when both want a
    // processor it gives way, so a repaint never holds up a relayed line.
    // Threads started from here later are the window's and inherit it.
    const auto self = static_cast<id_t>(::gettid());
    ::setpriority(PRIO_PROCESS, self,
                  std::min(MaxNice, ::getpriority(PRIO_PROCESS, self) + WindowThreadNice));
    QObject::connect(&console, &ConsoleApp::quitRequested, &app, &QApplication::quit);
    console.window().show();
    console.start();
    return app.exec();
}
