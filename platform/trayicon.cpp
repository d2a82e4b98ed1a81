#include "platform/trayicon.h"

#include <QIcon>
#include <QSystemTrayIcon>

QIcon TrayIcon::serverIcon()
{
    // The same drawing as the desktop entry's icon. The pixel sizes come first
    // so that a Qt without its SVG plugin still has a sharp tray icon.
    QIcon icon;
    for (const int size : {16, 22, 32, 48})
        icon.addFile(QStringLiteral(":/icons/tarnwick-server-%1.png").arg(size), QSize(size, size));
    icon.addFile(QStringLiteral(":/icons/tarnwick-server.svg"));
    return icon;
}

TrayIcon::TrayIcon(QObject *parent) : QObject(parent) {}

TrayIcon::~TrayIcon()
{
    remove();
}

void TrayIcon::create()
{
    if (m_icon || !QSystemTrayIcon::isSystemTrayAvailable())
        return;
    m_icon = new QSystemTrayIcon(serverIcon(), this);
    m_icon->setToolTip(QStringLiteral("Tarnwick Server"));
    connect(m_icon, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger)
                    Q_EMIT restoreRequested();
            });
    m_icon->show();
}

void TrayIcon::remove()
{
    if (!m_icon)
        return;
    m_icon->hide();
    delete m_icon;
    m_icon = nullptr;
}

bool TrayIcon::available() const
{
    return m_icon != nullptr && m_icon->isVisible();
}
