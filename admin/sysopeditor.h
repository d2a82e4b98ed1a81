#pragma once

#include "admin/sysoplist.h"

#include <QList>
#include <QString>
#include <QWidget>

class Dialogs;
class QPushButton;
class QTreeWidget;

// frmSysop: the sysop list editor. The rows of lvSysops are the only copy of
// the edits; the file is read when the window is created and written only by
// "Save && Close". The title-bar close box drops the edits.
class SysopEditor : public QWidget
{
    Q_OBJECT
public:
    SysopEditor(Dialogs &dialogs, const QString &path, QWidget *parent = nullptr);

    QList<SysopRecord> records() const;

private:
    void load();
    void addRecord();
    void removeSelected();
    void removeAll();
    void saveAndClose();
    void appendRow(const SysopRecord &record);
    // The operator's answer as file text; empty after telling why it cannot be
    // stored.
    QByteArray storableAnswer(const QString &answer);

    Dialogs &m_dialogs;
    QString m_path;
    QTreeWidget *m_list;
    // The file could not be read: it is never replaced from this window.
    bool m_unreadable = false;
};
