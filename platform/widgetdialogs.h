#pragma once

#include "platform/dialogs.h"

class QWidget;

// Dialogs shown with Qt's modal input and message boxes.
class WidgetDialogs : public Dialogs
{
public:
    explicit WidgetDialogs(QWidget *parent = nullptr) : m_parent(parent) {}
    void setParent(QWidget *parent) { m_parent = parent; }

    QString inputBox(const QString &prompt, const QString &title,
                     const QString &defaultAnswer) override;
    void messageBox(const QString &text, const QString &title, Icon icon) override;
    bool askYesNo(const QString &text, const QString &title, Icon icon, bool noIsDefault) override;

private:
    QWidget *m_parent;
};
