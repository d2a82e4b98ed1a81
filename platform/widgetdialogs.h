#pragma once

#include "platform/dialogs.h"

#include <QObject>
#include <QPointer>
#include <QWidget>

// Dialogs shown with Qt's modal input and message boxes, parented to one
// window: when a box closes, the focus goes back to that window.
class WidgetDialogs : public Dialogs
{
public:
    explicit WidgetDialogs(QWidget *window = nullptr) : m_window(window) {}
    QWidget *window() const { return m_window; }
    void setWindow(QWidget *window) { m_window = window; }

    QString inputBox(const QString &prompt, const QString &title,
                     const QString &defaultAnswer) override;
    void messageBox(const QString &text, const QString &title, Icon icon) override;
    bool askYesNo(const QString &text, const QString &title, Icon icon, bool noIsDefault) override;

    // Room a title bar needs beside its title: the window icon and buttons.
    static constexpr int TitleBarRoom = 120;

private:
    QPointer<QWidget> m_window;
};

// The boxes of one window, destroyed with it. Until the window exists (while
// it is made and loaded) they are parented to the window that asked for it.
class WindowDialogs : public QObject, public WidgetDialogs
{
public:
    explicit WindowDialogs(QWidget *asker) : QObject(asker), WidgetDialogs(asker) {}
    void adopt(QWidget *window)
    {
        QObject::setParent(window);
        setWindow(window);
    }
};
