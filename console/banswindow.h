#pragma once

#include <QWidget>

class Dialogs;
class OperatorClient;
class QLineEdit;
class QTreeWidget;

// frmBans: the ban list with what is known of each ban (address or range,
// reason, set by, set at, expires), a ban to add and the selected ones to
// lift. It works through the operator client, with the control commands, and
// follows changes made elsewhere while it is open.
class BansWindow : public QWidget
{
    Q_OBJECT
public:
    BansWindow(OperatorClient &client, Dialogs &dialogs, QWidget *parent = nullptr);

    // Reads the list again; a list that cannot be read is told once.
    void load();

private:
    void add();
    void removeSelected();

    OperatorClient &m_client;
    Dialogs &m_dialogs;
    QTreeWidget *m_list;
    QLineEdit *m_target;
    QLineEdit *m_duration;
    QLineEdit *m_reason;
};
