#pragma once

#include "admin/sysopeditor.h"

#include <QObject>
#include <QPointer>
#include <QString>

class Dialogs;
class QWidget;

// "Edit Sysop List" (cmdSysop) of the console: shows frmSysop without blocking,
// or brings the open one forward without reloading it.
class SysopEditorOpener : public QObject
{
    Q_OBJECT
public:
    SysopEditorOpener(QWidget &console, Dialogs &dialogs, const QString &path);

    void open();
    SysopEditor *editor() const { return m_editor; }

private:
    QWidget &m_console;
    Dialogs &m_dialogs;
    QString m_path;
    QPointer<SysopEditor> m_editor;
};
