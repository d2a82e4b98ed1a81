#pragma once

#include "accounts/userswindow.h"
#include "admin/motdeditor.h"
#include "admin/sysopeditor.h"
#include "chatfixture.h"
#include "console/consoleapp.h"
#include "console/mainwindow.h"
#include "scripteddialogs.h"
#include "testfolders.h"

#include <memory>

// The program as main() builds it, on ephemeral ports, in a program folder
// and a working directory of its own, with every dialog answered from a
// script (or, for the tests of the boxes themselves, real ones).
class ConsoleFixture : public TestFolders
{
public:
    enum class Start
    {
        Now,  // listening and with motd.txt read, as after start-up
        Later // the test calls start() itself
    };
    enum class Boxes
    {
        Scripted,
        Real
    };

    explicit ConsoleFixture(Start start = Start::Now, Boxes boxes = Boxes::Scripted);
    ~ConsoleFixture();

    ScriptedDialogs dialogs;

    // Made on first use, so that a test can change `config` before.
    ConsoleApp &app();
    QStringList start() { return app().start(); }
    // The program ended and started again on the same folders.
    QStringList restart();
    MainWindow &window() { return app().window(); }
    OperatorApi &api() { return app().api(); }
    ChatServer &chat() { return app().core().chat(); }
    ConnectionTable &table() { return app().core().table(); }

    // A button or menu item of the console, by its name.
    void click(const char *name);
    void select(int row); // -1: none
    template <typename Widget> Widget *find(const char *name)
    {
        return window().findChild<Widget *>(QLatin1String(name));
    }
    // The texts of the message boxes shown since the last call.
    QStringList takeMessages();
    QStringList logLines();

    // A connected client; its accept has run on return.
    std::unique_ptr<RawClient> connect(const QString &from = QStringLiteral("127.0.0.1"))
    {
        return RawClient::connected(chat().port(), from);
    }
    // Connects and joins under `name`; returns once the join has run to its
    // end, with everything it sent this client read away.
    std::unique_ptr<RawClient> join(const QByteArray &name,
                                    const QString &from = QStringLiteral("127.0.0.1"))
    {
        return RawClient::joined(chat().port(), name, from);
    }
    // The first row equal to `text`, -1 when none.
    int rowOf(const QByteArray &text) { return rowIn(table(), text); }

private:
    Boxes m_boxes;
    std::unique_ptr<ConsoleApp> m_app;
};

// The next real modal box as it was shown, closed after it was looked at.
struct ShownBox
{
    QString title;
    QString text;
    QWidget *parent = nullptr;
    int width = 0;
};

// Runs `action`, which opens one real modal box, and closes that box.
ShownBox closeBoxOpenedBy(const std::function<void()> &action);
