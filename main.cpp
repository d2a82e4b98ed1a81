#include "console/consoleapp.h"
#include "console/mainwindow.h"
#include "core/serverconfig.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tarnwick Server"));
    QApplication::setFont(MainWindow::classicFont());
    // Minimised into the tray, the window must not end the program.
    QApplication::setQuitOnLastWindowClosed(false);

    ConsoleApp console(ServerConfig::forThisProcess());
    QObject::connect(&console, &ConsoleApp::quitRequested, &app, &QApplication::quit);
    console.window().show();
    console.start();
    return app.exec();
}
