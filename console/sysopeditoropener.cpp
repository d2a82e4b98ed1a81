#include "console/sysopeditoropener.h"

#include <QPushButton>

SysopEditorOpener::SysopEditorOpener(QWidget &console, Dialogs &dialogs, const QString &path)
    : QObject(&console), m_console(console), m_dialogs(dialogs), m_path(path)
{
    auto *button = console.findChild<QPushButton *>(QStringLiteral("cmdSysop"));
    if (!button) {
        qWarning("SysopEditorOpener: the console has no cmdSysop button");
        return;
    }
    connect(button, &QPushButton::clicked, this, &SysopEditorOpener::open);
}

void SysopEditorOpener::open()
{
    if (!m_editor)
        m_editor = new SysopEditor(m_dialogs, m_path, &m_console);
    m_editor->show();
    m_editor->raise();
    m_editor->activateWindow();
}
