#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>

class ChatServer;
class ConnectionTable;
class Dialogs;
class MainWindow;
class MotdEditor;
class QLabel;
class QListWidget;
class ServerFileMaker;

// The console's own commands behind the "Server Commands" buttons and the
// menus: announce, look up an address, kick, ban, the MOTD editor and the
// server file. They send on the chat sockets; none of them changes the
// connection table.
class OperatorCommands : public QObject
{
    Q_OBJECT
public:
    explicit OperatorCommands(MainWindow &window);
    ~OperatorCommands() override;

    ServerFileMaker &serverFileMaker() { return *m_serverFile; }

private:
    enum class Action
    {
        Kick,
        Ban
    };

    void announce();
    void showAddress();
    void kick() { kickOrBan(Action::Kick); }
    void ban() { kickOrBan(Action::Ban); }
    void kickOrBan(Action action);
    void openMotdEditor();
    void makeServerFile();

    // The selected row of lstUsers, -1 for none.
    int selectedIndex() const;
    QString selectedRowText() const;
    int findConnectedByName(const QByteArray &name) const;

    void onBarShown();
    void onBarAdvanced(double fraction);
    void onBarHidden();

    MainWindow &m_window;
    ChatServer &m_chat;
    ConnectionTable &m_table;
    Dialogs &m_dialogs;
    QListWidget *m_users;
    QWidget *m_barFrame;
    QLabel *m_bar;
    QLabel *m_serverName;
    ServerFileMaker *m_serverFile;
    QPointer<MotdEditor> m_motdEditor;
};
