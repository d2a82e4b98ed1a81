#pragma once

#include "console/singlewindow.h"
#include "core/serverconfig.h"

#include <QObject>
#include <QStringList>

#include <memory>

class BansWindow;
class Dialogs;
class MainWindow;
class MotdEditor;
class OperatorClient;
class ServiceThread;
class SysopEditor;
class UsersWindow;
class WidgetDialogs;

// The windowed program: the services on a thread of their own, the console
// on this one as a client of the operator API, the operator's commands behind
// its buttons and menus, and the windows it opens (MOTD editor, sysop editor,
// users window, bans), one of each at a time. main() and the window tests
// build exactly this.
class ConsoleApp : public QObject
{
    Q_OBJECT
public:
    // `script` answers every dialog in place of a person (tests). Without it
    // the boxes are real ones, each parented to the window that asks, so the
    // focus goes back there when it closes.
    explicit ConsoleApp(const ServerConfig &config, Dialogs *script = nullptr,
                        QObject *parent = nullptr);
    ~ConsoleApp() override;

    // Form_Load: the tray icon and title, then the services (login first),
    // motd.txt and the settings file's problems. Returns the failures, each
    // also shown to the operator. Then the control socket, when no other
    // server holds the folder (the log view tells when not).
    QStringList start();

    ServiceThread &services() { return *m_services; }
    OperatorClient &client() { return *m_client; }
    MainWindow &window() { return *m_window; }

    // The windows while they exist.
    MotdEditor *motdEditor() const;
    SysopEditor *sysopEditor() const;
    UsersWindow *usersWindow() const;
    BansWindow *bansWindow() const;

Q_SIGNALS:
    // File > Exit or the console's close box: every chat connection has been
    // closed; the program should end.
    void quitRequested();

private:
    // The boxes for a window about to be made: until it is loaded they are
    // parented to the console that asked for it.
    Dialogs &dialogsForNewWindow();
    // From then on they belong to `window`.
    void adoptDialogs(Dialogs &dialogs, QWidget *window);
    MotdEditor *makeMotdEditor();
    SysopEditor *makeSysopEditor();
    UsersWindow *makeUsersWindow();
    BansWindow *makeBansWindow();
    void onShutdownRequested();

    std::unique_ptr<ServiceThread> m_services;
    // Outlives the service thread, which posts to it.
    std::unique_ptr<OperatorClient> m_client;
    Dialogs *m_script;
    std::unique_ptr<WidgetDialogs> m_consoleDialogs;
    std::unique_ptr<MainWindow> m_window;
    SingleWindow<MotdEditor> m_motdEditor;
    SingleWindow<SysopEditor> m_sysopEditor;
    SingleWindow<UsersWindow> m_usersWindow;
    SingleWindow<BansWindow> m_bansWindow;
};
