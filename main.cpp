#include "accounts/loginserver.h"
#include "admin/sysoplist.h"
#include "chat/chatcommands.h"
#include "console/accountswiring.h"
#include "console/mainwindow.h"
#include "console/operatorcommands.h"
#include "console/sysopeditoropener.h"
#include "core/chatserver.h"
#include "core/connectiontable.h"
#include "core/serverconfig.h"
#include "headless/commandline.h"
#include "headless/launcher.h"
#include "platform/widgetdialogs.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    // --help, --version, bad usage, --headless and ctl are served without any
    // window code: the last two hand this process over to tarnwick-serverd.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    const Invocation invocation = parseCommandLine(arguments);
    if (invocation.mode != Invocation::Mode::Window)
        return runWithoutWindow(invocation, argc, argv);

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tarnwick Server"));
    QApplication::setFont(MainWindow::classicFont());
    // Minimised into the tray, the window must not end the program.
    QApplication::setQuitOnLastWindowClosed(false);

    const ServerConfig config = ServerConfig::forThisProcess(invocation.dataFolder);
    ConnectionTable table;
    ChatServer chat(table, config);
    registerChatCommands(chat);
    LoginServer login(table, config);

    WidgetDialogs dialogs;
    MainWindow window(chat, dialogs);
    dialogs.setParent(&window);
    new OperatorCommands(window); // owned by the window
    new SysopEditorOpener(window, dialogs, config.programFile(QLatin1String(SysopList::FileName)));
    wireAccounts(window, login);
    // The login listener starts before the chat one.
    window.addService({QStringLiteral("login service"), config.loginPort,
                       [&login](QString *error) { return login.listen(error); }});
    window.addService({QStringLiteral("chat service"), config.chatPort,
                       [&chat](QString *error) { return chat.listen(error); }});
    QObject::connect(&window, &MainWindow::closed, &app, &QApplication::quit);
    window.show();
    window.load();
    return app.exec();
}
