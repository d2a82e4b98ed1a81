#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>

class Dialogs;
class QWidget;
class UsersWindow;

// Keeps frmStart: created (and loaded) on first need, destroyed by its close
// box, created again by the next need.
class UsersWindowHost : public QObject
{
    Q_OBJECT
public:
    UsersWindowHost(const QString &databasePath, Dialogs &dialogs, QWidget *windowParent,
                    QObject *parent = nullptr);
    ~UsersWindowHost() override;

    // "User Search": shows the window without blocking; an existing one is
    // only made visible, not loaded again.
    void show();
    // Writes the count line; a missing window is created and loaded, unshown.
    void setCountLine(const QByteArray &summary);
    // The window if it exists.
    UsersWindow *window() const;

private:
    UsersWindow *ensureWindow();

    QString m_databasePath;
    Dialogs &m_dialogs;
    QPointer<QWidget> m_windowParent;
    QPointer<UsersWindow> m_window;
};
