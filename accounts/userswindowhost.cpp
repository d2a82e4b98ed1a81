#include "accounts/userswindowhost.h"

#include "accounts/userswindow.h"

#include <QGuiApplication>
#include <QScreen>

UsersWindowHost::UsersWindowHost(const QString &databasePath, Dialogs &dialogs,
                                 QWidget *windowParent, QObject *parent)
    : QObject(parent), m_databasePath(databasePath), m_dialogs(dialogs),
      m_windowParent(windowParent)
{
}

UsersWindowHost::~UsersWindowHost()
{
    delete m_window;
}

UsersWindow *UsersWindowHost::ensureWindow()
{
    if (m_window)
        return m_window;
    m_window = new UsersWindow(m_databasePath, m_dialogs, m_windowParent);
    if (const QScreen *screen = QGuiApplication::primaryScreen()) {
        QRect frame = m_window->frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        m_window->move(frame.topLeft());
    }
    m_window->load();
    return m_window;
}

void UsersWindowHost::show()
{
    UsersWindow *window = ensureWindow();
    if (!window)
        return;
    window->show();
    window->raise();
    window->activateWindow();
}

void UsersWindowHost::setCountLine(const QByteArray &summary)
{
    if (UsersWindow *window = ensureWindow())
        window->setCountLine(summary);
}

UsersWindow *UsersWindowHost::window() const
{
    return m_window;
}
