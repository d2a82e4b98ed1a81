#pragma once

#include <QObject>

class QIcon;
class QSystemTrayIcon;

// The notification-area icon: the program's icon and a fixed tip; a left-button press on it
// asks for the window back. Desktops without a tray get no icon, and then
// available() is false so the window must not hide itself.
class TrayIcon : public QObject
{
    Q_OBJECT
public:
    explicit TrayIcon(QObject *parent = nullptr);
    ~TrayIcon() override;

    void create(); // CreateIcon
    void remove(); // DeleteIcon
    bool available() const;

    static QIcon serverIcon();

Q_SIGNALS:
    void restoreRequested();

private:
    QSystemTrayIcon *m_icon = nullptr;
};
