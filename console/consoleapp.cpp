#include "console/consoleapp.h"

#include "accounts/userswindow.h"
#include "admin/motdeditor.h"
#include "admin/sysopeditor.h"
#include "console/banswindow.h"
#include "console/mainwindow.h"
#include "console/operatorcommands.h"
#include "core/codepage.h"
#include "platform/widgetdialogs.h"

#include <QGuiApplication>
#include <QScreen>

ConsoleApp::ConsoleApp(const ServerConfig &config, Dialogs *script, QObject *parent)
    : QObject(parent), m_core(config), m_log(LogStream::Style::Silent), m_host(m_core, m_log),
      m_script(script), m_consoleDialogs(std::make_unique<WidgetDialogs>()),
      m_motdEditor([this] { return makeMotdEditor(); }),
      m_sysopEditor([this] { return makeSysopEditor(); }),
      m_usersWindow([this] { return makeUsersWindow(); }),
      m_bansWindow([this] { return makeBansWindow(); })
{
    // The saved settings before the window: "Require Passwords" starts as saved.
    m_host.applySettings();
    Dialogs &consoleDialogs = m_script ? *m_script : *m_consoleDialogs;
    m_window = std::make_unique<MainWindow>(api(), consoleDialogs);
    m_consoleDialogs->setWindow(m_window.get());
    new OperatorCommands(*m_window, api(), consoleDialogs); // owned by the window

    connect(m_window.get(), &MainWindow::updateMotdRequested, this,
            [this] { m_motdEditor.showOrRaise(); });
    connect(m_window.get(), &MainWindow::editSysopListRequested, this,
            [this] { m_sysopEditor.showOrRaise(); });
    connect(m_window.get(), &MainWindow::userSearchRequested, this,
            [this] { m_usersWindow.showOrRaise(); });
    connect(m_window.get(), &MainWindow::bansRequested, this,
            [this] { m_bansWindow.showOrRaise(); });
    // The count line after a registration; a missing window is made, unshown.
    connect(&m_core.login(), &LoginServer::registeredUsersCounted, this,
            [this](const QByteArray &summary) {
                if (UsersWindow *users = m_usersWindow.ensure())
                    users->setCountLine(summary);
            });
    connect(m_window.get(), &MainWindow::exitRequested, &api(), &OperatorApi::shutdown);
    connect(m_window.get(), &MainWindow::closed, &api(), &OperatorApi::shutdown);
    connect(&api(), &OperatorApi::shutdownRequested, this, &ConsoleApp::onShutdownRequested);
}

ConsoleApp::~ConsoleApp()
{
    disconnect(&api(), nullptr, this, nullptr);
    // The windows go first: they use the core.
    m_window.reset();
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
    const QStringList failures = m_core.start();
    openControlSocket();
    return failures;
}

void ConsoleApp::openControlSocket()
{
    QString reason;
    if (m_host.lockFolder(&reason) == FolderLock::Outcome::Locked &&
        m_host.openControlSocket(&reason))
        return;
    // The window serves all the same; only the shell cannot reach it.
    m_core.chat().addOutputLine(
        Codepage::fromDisplay(reason + QStringLiteral(" This server has no control socket.")));
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
    auto editor = std::make_unique<MotdEditor>(api(), dialogs, m_window.get());
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
    auto *editor = new SysopEditor(api(), dialogs, m_window.get());
    editor->load();
    adoptDialogs(dialogs, editor);
    return editor;
}

UsersWindow *ConsoleApp::makeUsersWindow()
{
    Dialogs &dialogs = dialogsForNewWindow();
    auto *users = new UsersWindow(m_core.login().usersDatabasePath(), dialogs, m_window.get());
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
    auto *bans = new BansWindow(api(), dialogs, m_window.get());
    bans->load();
    adoptDialogs(dialogs, bans);
    return bans;
}

void ConsoleApp::onShutdownRequested()
{
    m_host.closeControlSocket();
    m_window->unload();
    Q_EMIT quitRequested();
}
