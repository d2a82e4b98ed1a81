#pragma once

#include <QObject>
#include <QString>

class Dialogs;
class MainWindow;
class OperatorClient;

// The console's own commands that ask the operator first: announce, look up
// an address, kick, ban and make the server file. Each is the dialogue of
// modal boxes the console shows, all on the window's thread, with the
// operator client's commands in between: a box waiting for the operator holds
// nothing of the services.
class OperatorCommands : public QObject
{
    Q_OBJECT
public:
    OperatorCommands(MainWindow &window, OperatorClient &client, Dialogs &dialogs);

private:
    enum class Action
    {
        Kick,
        Ban
    };

    void announce();
    void showAddress();
    void kickOrBan(Action action);
    void makeServerFile();

    MainWindow &m_window;
    OperatorClient &m_client;
    Dialogs &m_dialogs;
};
