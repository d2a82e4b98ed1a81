#pragma once

#include <QByteArray>
#include <QMainWindow>
#include <QStringList>

#include "platform/keylocks.h"

#include <functional>
#include <optional>

class ChatServer;
class ConnectionTable;
class Dialogs;
class QCheckBox;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QPushButton;
class QStatusBar;
class QTimer;
class TrayIcon;

// The operator's console, frmMain: who is online, the room's log, the MOTD, the
// "Server Commands" buttons, the menus, the status bar and the tray icon.
class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    static constexpr int LogViewLines = 5000;
    // The face every window of the program uses.
    static QFont classicFont();

    MainWindow(ChatServer &chat, Dialogs &dialogs, QWidget *parent = nullptr);
    ~MainWindow() override;

    // A service the window starts at load, in order: its name for messages,
    // its port and how to start it.
    struct Service
    {
        QString name;
        quint16 port;
        std::function<bool(QString *)> listen;
    };
    void addService(const Service &service);

    // Form_Load: tray icon, listeners, title, MOTD. Returns the failures it
    // reported to the operator.
    QStringList load();
    // Form_Unload: drops every chat connection without notice, removes the icon.
    void unload();

    // Appends buffered log-view lines now (they are otherwise shown in batches).
    void flushOutput();
    QString outputText() const;

    Dialogs &dialogs() { return m_dialogs; }
    ChatServer &chat() { return m_chat; }
    bool isTrayAvailable() const;
    // Where the SCRL/NUM/CAPS panels read the lock keys (the display server by
    // default); a panel is greyed while its key is off.
    void setKeyLocksSource(std::function<std::optional<KeyLocks>()> source);

Q_SIGNALS:
    void closed();

protected:
    void changeEvent(QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void buildWidgets();
    void buildMenus();
    void buildStatusBar();
    void onOutputLine(const QByteArray &text);
    void trimOutput();
    void onOperatorNotice(const QString &text);
    void onRowChanged(int index, const QByteArray &text);
    void onMotdChanged(const QByteArray &text);
    void onMotdEdited();
    void onInputEntered();
    void onRestoreRequested();
    void updateClock();
    void updateKeyLocks();

    ChatServer &m_chat;
    ConnectionTable &m_table;
    Dialogs &m_dialogs;
    TrayIcon *m_tray;
    QList<Service> m_services;

    QListWidget *m_users = nullptr;
    QPlainTextEdit *m_motd = nullptr;
    QPlainTextEdit *m_output = nullptr;
    QLineEdit *m_input = nullptr;
    QLabel *m_date = nullptr;
    QLabel *m_time = nullptr;
    QTimer *m_clock = nullptr;
    QLabel *m_scroll = nullptr;
    QLabel *m_num = nullptr;
    QLabel *m_caps = nullptr;
    QTimer *m_keyLockPoll = nullptr;
    std::function<std::optional<KeyLocks>()> m_keyLocks = &currentKeyLocks;
    QTimer *m_outputFlush = nullptr;
    QStringList m_pendingOutput;
    bool m_settingMotd = false;
    bool m_noticeOpen = false;
    bool m_unloaded = false;
};
