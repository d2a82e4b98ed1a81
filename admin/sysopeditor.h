#pragma once

#include "operator/operatorapi.h"

class OperatorClient;

#include <QList>
#include <QString>
#include <QWidget>

class Dialogs;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

// frmSysop: the sysop list editor. The rows of lvSysops are the only copy of
// the edits; the file is read by load() and written only by "Save && Close",
// both through the operator client. The title-bar close box drops the edits.
class SysopEditor : public QWidget
{
    Q_OBJECT
public:
    SysopEditor(OperatorClient &client, Dialogs &dialogs, QWidget *parent = nullptr);

    // Fills the rows from the file; a file that cannot be read is told and
    // leaves the list empty (and never saved over).
    void load();
    QList<SysopEntry> records() const;

private:
    void addRecord();
    void removeSelected();
    void removeAll();
    void changePassword(QTreeWidgetItem *item);
    void saveAndClose();
    void appendRow(const SysopEntry &record);
    // The operator's answer as file text; empty after telling why it cannot be
    // stored.
    QByteArray storableAnswer(const QString &answer);

    OperatorClient &m_client;
    Dialogs &m_dialogs;
    QTreeWidget *m_list;
    // The file could not be read: it is never replaced from this window.
    bool m_unreadable = false;
};
