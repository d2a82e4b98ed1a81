#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QEvent>
#include <QList>
#include <QMainWindow>
#include <QString>

#include "operator/operatorapi.h"
#include "platform/keylocks.h"

#include <chrono>
#include <functional>
#include <optional>

class Dialogs;
class OperatorClient;
class QCheckBox;
class QFrame;
class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QTimer;
class RepaintPacer;
class TrayIcon;

// The operator's console, frmMain: who is online, the room's log, the MOTD, the
// "Server Commands" buttons, the menus, the status bar and the tray icon. It
// shows what the operator client reports and hands the commands that need a
// dialogue on as signals; the rest (input line, MOTD box, "Require Passwords")
// it passes to the client itself.
class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    static constexpr int LogViewLines = 5000;
    // The log view and the user list repaint at most this often while the room
    // is busy; the first change after a quiet spell shows at once.
    static constexpr std::chrono::milliseconds ViewPace{200};
    static constexpr qsizetype OutputSliceLines = 100;
    // The face every window of the program uses.
    static QFont classicFont();

    MainWindow(OperatorClient &client, Dialogs &dialogs, QWidget *parent = nullptr);
    ~MainWindow() override;

    // Form_Load's share of the window: the tray icon and the title.
    void load();
    // Form_Unload's: removes the tray icon.
    void unload();

    // The selected row of lstUsers, -1 for none; its text, empty for none.
    int selectedIndex() const;
    QString selectedRowText() const;

    // Appends buffered log-view lines now (they are otherwise shown in batches).
    void flushOutput();
    QString outputText() const;

    bool isTrayAvailable() const;
    // Where the SCRL/NUM/CAPS panels read the lock keys (the display server by
    // default); a panel is greyed while its key is off.
    void setKeyLocksSource(std::function<std::optional<KeyLocks>()> source);

Q_SIGNALS:
    // The operator's commands, one per button or menu item (both for the ones
    // that have the two).
    void updateMotdRequested();     // cmdUpdateMOTD
    void editSysopListRequested();  // cmdSysop
    void announceRequested();       // Command1 "NOTIFY"
    void showAddressRequested();    // cmdGetIP, mnuGetIP
    void banRequested();            // cmdBanUser, mnuBanUser
    void bansRequested();           // mnuBans
    void kickRequested();           // KickUser
    void userSearchRequested();     // Command2
    void makeServerFileRequested(); // mnumkserver
    void exitRequested();           // Exit
    // The close box: the program ends.
    void closed();

protected:
    void changeEvent(QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void buildWidgets();
    void buildMenus();
    void buildStatusBar();
    void onLogLine(const QByteArray &text);
    void appendOutputSlice();
    void appendOutput(qsizetype lines);
    void holdOutputPaint(bool hold);
    void trimOutput();
    void onNotice(const QString &text, OperatorApi::Severity severity);
    void onRowChanged(int index, const QByteArray &text);
    void onMotdChanged(const QByteArray &text);
    void onMotdEdited();
    void onInputEntered();
    void onRestoreRequested();
    void onServerFileProgress(double fraction);
    void onServerFileProgressEnded();
    void updateClock();
    void updateKeyLocks();

    OperatorClient &m_client;
    Dialogs &m_dialogs;
    TrayIcon *m_tray;

    QListWidget *m_users = nullptr;
    QCheckBox *m_requirePasswords = nullptr;
    QFrame *m_barFrame = nullptr;
    QLabel *m_bar = nullptr;
    QLabel *m_serverFileName = nullptr;
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
    QElapsedTimer m_sinceOutputFlush;
    RepaintPacer *m_usersPacer = nullptr;
    QList<QByteArray> m_pendingOutput;
    qsizetype m_batchLeft = 0; // lines of the batch going in that are still pending
    bool m_settingMotd = false;
    bool m_noticeOpen = false;
};
