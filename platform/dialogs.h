#pragma once

#include <QString>

// Modal input and message boxes. The console and the windows ask through this
// interface only, so a test can answer in place of a person.
class Dialogs
{
public:
    enum class Icon
    {
        None,
        Information,
        Question,
        Warning,
        Critical
    };

    virtual ~Dialogs() = default;

    // Cancel gives an empty answer.
    virtual QString inputBox(const QString &prompt, const QString &title,
                             const QString &defaultAnswer) = 0;
    // An empty title means the program's default title.
    virtual void messageBox(const QString &text, const QString &title, Icon icon) = 0;
    // Yes/No question; true for Yes. noIsDefault makes No the default button.
    virtual bool askYesNo(const QString &text, const QString &title, Icon icon,
                          bool noIsDefault) = 0;
};
