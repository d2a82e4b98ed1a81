#include "platform/widgetdialogs.h"

#include <QCoreApplication>
#include <QInputDialog>
#include <QMessageBox>

namespace {
QMessageBox::Icon toBoxIcon(Dialogs::Icon icon)
{
    switch (icon) {
    case Dialogs::Icon::Information:
        return QMessageBox::Information;
    case Dialogs::Icon::Question:
        return QMessageBox::Question;
    case Dialogs::Icon::Warning:
        return QMessageBox::Warning;
    case Dialogs::Icon::Critical:
        return QMessageBox::Critical;
    case Dialogs::Icon::None:
        break;
    }
    return QMessageBox::NoIcon;
}

QString titleOrDefault(const QString &title)
{
    return title.isEmpty() ? QCoreApplication::applicationName() : title;
}
} // namespace

QString WidgetDialogs::inputBox(const QString &prompt, const QString &title,
                                const QString &defaultAnswer)
{
    bool ok = false;
    const QString answer = QInputDialog::getText(m_parent, titleOrDefault(title), prompt,
                                                 QLineEdit::Normal, defaultAnswer, &ok);
    return ok ? answer : QString();
}

void WidgetDialogs::messageBox(const QString &text, const QString &title, Icon icon)
{
    QMessageBox box(toBoxIcon(icon), titleOrDefault(title), text, QMessageBox::Ok, m_parent);
    box.exec();
}

bool WidgetDialogs::askYesNo(const QString &text, const QString &title, Icon icon, bool noIsDefault)
{
    QMessageBox box(toBoxIcon(icon), titleOrDefault(title), text,
                    QMessageBox::Yes | QMessageBox::No, m_parent);
    box.setDefaultButton(noIsDefault ? QMessageBox::No : QMessageBox::Yes);
    return box.exec() == QMessageBox::Yes;
}
