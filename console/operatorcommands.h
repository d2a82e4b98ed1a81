#pragma once

#include <QObject>
#include <QString>

class Dialogs;
class MainWindow;
class OperatorApi;

// The console's own commands that ask the operator first: announce, look up
// an address, kick, ban and make the server file. Each is the dialogue of
// modal boxes the console shows, then one call of the operator API.
class OperatorCommands : public QObject
{
    Q_OBJECT
public:
    OperatorCommands(MainWindow &window, OperatorApi &api, Dialogs &dialogs);

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
    OperatorApi &m_api;
    Dialogs &m_dialogs;
};
