#pragma once

#include "platform/dialogs.h"

#include <QList>
#include <QString>

#include <functional>

// Answers dialogs from a script and records every dialog that was shown.
class ScriptedDialogs : public Dialogs
{
public:
    struct Shown
    {
        enum Kind
        {
            Input,
            Message,
            Question
        } kind;
        QString text;
        QString title;
        QString defaultAnswer;
        Icon icon = Icon::None;
    };

    QList<QString> inputAnswers; // taken in order; empty (Cancel) when none left
    QList<bool> questionAnswers; // taken in order; the default button when none left
    QList<Shown> shown;
    // Run while a box is "open" (to test what happens meanwhile); an input
    // box's is given the number of dialogs shown before it.
    std::function<void()> whileMessageOpen;
    std::function<void(int)> whileInputOpen;

    QString inputBox(const QString &prompt, const QString &title,
                     const QString &defaultAnswer) override
    {
        if (whileInputOpen)
            whileInputOpen(int(shown.size()));
        shown.append({Shown::Input, prompt, title, defaultAnswer});
        return inputAnswers.isEmpty() ? QString() : inputAnswers.takeFirst();
    }

    void messageBox(const QString &text, const QString &title, Icon icon) override
    {
        shown.append({Shown::Message, text, title, QString(), icon});
        if (whileMessageOpen)
            whileMessageOpen();
    }

    bool askYesNo(const QString &text, const QString &title, Icon icon, bool noIsDefault) override
    {
        shown.append({Shown::Question, text, title, QString(), icon});
        return questionAnswers.isEmpty() ? !noIsDefault : questionAnswers.takeFirst();
    }

    QList<Shown> messages() const
    {
        QList<Shown> result;
        for (const Shown &s : shown) {
            if (s.kind == Shown::Message)
                result.append(s);
        }
        return result;
    }
};
