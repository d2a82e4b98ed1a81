#include "console/consoleapp.h"

#include "accounts/userswindow.h"
#include "admin/motdeditor.h"
#include "admin/sysopeditor.h"
#include "console/banswindow.h"
#include "console/mainwindow.h"
#include "console/operatorcommands.h"
#include "operator/operatorclient.h"
#include "operator/servicethread.h"
#include "platform/widgetdialogs.h"

#include <QGuiApplication>
#include <QScreen>

ConsoleApp::ConsoleApp(const ServerConfig &config, Dialogs *script, QObject *parent)
    : QObject(parent), m_services(std::make_unique<ServiceThread>(config)),
      m_client(std::make_unique<OperatorClient>(m_services->api(), m_services->mailbox())),
      m_script(script), m_consoleDialogs(std::make_unique<WidgetDialogs>()),
      m_motdEditor([this] { return makeMotdEditor(); }),
      m_sysopEditor([this] { return makeSysopEditor(); }),
      m_usersWindow([this] { return makeUsersWindow(); }),
      m_bansWindow([this] { return makeBansWindow(); })
{
    Dialogs &consoleDialogs = m_script ? *m_script : *m_consoleDialogs;
    m_window = std::make_unique<MainWindow>(*m_client, consoleDialogs);
    m_consoleDialogs->setWindow(m_window.get());
    new OperatorCommands(*m_window, *m_client, consoleDialogs); // owned by the window

    connect(m_window.get(), &MainWindow::updateMotdRequested, this,
            [this] { m_motdEditor.showOrRaise(); });
    connect(m_window.get(), &MainWindow::editSysopListRequested, this,
            [this] { m_sysopEditor.showOrRaise(); });
    connect(m_window.get(), &MainWindow::userSearchRequested, this,
            [this] { m_usersWindow.showOrRaise(); });
    connect(m_window.get(), &MainWindow::bansRequested, this,
            [this] { m_bansWindow.showOrRaise(); });
    // The count line after a registration; a missing window is made, unshown.
    connect(m_client.get(), &OperatorClient::registeredUsersCounted, this,
            [this](const QByteArray &summary) {
                if (UsersWindow *users = m_usersWindow.ensure())
                    users->setCountLine(summary);
            });
    connect(m_window.get(), &MainWindow::exitRequested, m_client.get(), &OperatorClient::shutdown);
    connect(m_window.get(), &MainWindow::closed, m_client.get(), &OperatorClient::shutdown);
    connect(m_client.get(), &OperatorClient::shutdownRequested, this,
            &ConsoleApp::onShutdownRequested);
}

ConsoleApp::~ConsoleApp()
{
    disconnect(m_client.get(), nullptr, this, nullptr);
    // The windows first, as they use the client; the service thread is
    // joined before the client goes.
    m_window.reset();
    m_services.reset();
}

MotdEditor *ConsoleApp::motdEditor() const
{
    return m_motdEditor.window();
}

SysopEditor *ConsoleApp::sysopEditor() const
{
    return m_sysopEditor.window();
}

UsersWindow *ConsoleApp::usersWindow() const
{
    return m_usersWindow.window();
}

BansWindow *ConsoleApp::bansWindow() const
{
    return m_bansWindow.window();
}

QStringList ConsoleApp::start()
{
    m_window->load();
    return m_services->start();
}

Dialogs &ConsoleApp::dialogsForNewWindow()
{
    if (m_script)
        return *m_script;
    return *new WindowDialogs(m_window.get());
}

void ConsoleApp::adoptDialogs(Dialogs &dialogs, QWidget *window)
{
    if (auto *own = dynamic_cast<WindowDialogs *>(&dialogs))
        own->adopt(window);
}

MotdEditor *ConsoleApp::makeMotdEditor()
{
    Dialogs &dialogs = dialogsForNewWindow();
    auto editor = std::make_unique<MotdEditor>(*m_client, dialogs, m_window.get());
    // A file that cannot be read is told over the console, and the editor is
    // never shown.
    if (!editor->load()) {
        delete dynamic_cast<WindowDialogs *>(&dialogs);
        return nullptr;
    }
    adoptDialogs(dialogs, editor.get());
    return editor.release();
}

SysopEditor *ConsoleApp::makeSysopEditor()
{
    Dialogs &dialogs = dialogsForNewWindow();
    auto *editor = new SysopEditor(*m_client, dialogs, m_window.get());
    editor->load();
    adoptDialogs(dialogs, editor);
    return editor;
}

UsersWindow *ConsoleApp::makeUsersWindow()
{
    Dialogs &dialogs = dialogsForNewWindow();
    auto *users = new UsersWindow(m_client->usersDatabasePath(), dialogs, m_window.get());
    if (const QScreen *screen = QGuiApplication::primaryScreen()) {
        QRect frame = users->frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        users->move(frame.topLeft());
    }
    users->load();
    adoptDialogs(dialogs, users);
    return users;
}

BansWindow *ConsoleApp::makeBansWindow()
{
    Dialogs &dialogs = dialogsForNewWindow();
    auto *bans = new BansWindow(*m_client, dialogs, m_window.get());
    bans->load();
    adoptDialogs(dialogs, bans);
    return bans;
}

// The control socket has been closed on the service thread meanwhile.
void ConsoleApp::onShutdownRequested()
{
    m_window->unload();
    Q_EMIT quitRequested();
}
