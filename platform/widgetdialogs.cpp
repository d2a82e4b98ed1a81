#include "platform/widgetdialogs.h"

#include <QApplication>
#include <QFontMetrics>
#include <QGridLayout>
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

// A message box is as wide as its text; a short text ("127.0.0.1") would cut
// its title down to a few letters. Title bars use a bold face.
void makeRoomForTitle(QMessageBox &box)
{
    QFont titleFont = QApplication::font("QMdiSubWindowTitleBar");
    titleFont.setBold(true);
    const int width =
        QFontMetrics(titleFont).horizontalAdvance(box.windowTitle()) + WidgetDialogs::TitleBarRoom;
    if (auto *grid = qobject_cast<QGridLayout *>(box.layout())) {
        grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Fixed, QSizePolicy::Fixed),
                      grid->rowCount(), 0, 1, grid->columnCount());
    }
}
} // namespace

QString WidgetDialogs::inputBox(const QString &prompt, const QString &title,
                                const QString &defaultAnswer)
{
    bool ok = false;
    const QString answer = QInputDialog::getText(m_window, titleOrDefault(title), prompt,
                                                 QLineEdit::Normal, defaultAnswer, &ok);
    return ok ? answer : QString();
}

void WidgetDialogs::messageBox(const QString &text, const QString &title, Icon icon)
{
    QMessageBox box(toBoxIcon(icon), titleOrDefault(title), text, QMessageBox::Ok, m_window);
    makeRoomForTitle(box);
    box.exec();
}

bool WidgetDialogs::askYesNo(const QString &text, const QString &title, Icon icon, bool noIsDefault)
{
    QMessageBox box(toBoxIcon(icon), titleOrDefault(title), text,
                    QMessageBox::Yes | QMessageBox::No, m_window);
    box.setDefaultButton(noIsDefault ? QMessageBox::No : QMessageBox::Yes);
    makeRoomForTitle(box);
    return box.exec() == QMessageBox::Yes;
}
