#pragma once

#include "accounts/userswindow.h"
#include "admin/motdeditor.h"
#include "admin/sysopeditor.h"
#include "chatfixture.h"
#include "console/consoleapp.h"
#include "console/mainwindow.h"
#include "operator/operatorclient.h"
#include "operator/servercore.h"
#include "operator/servicethread.h"
#include "scripteddialogs.h"
#include "testfolders.h"

#include <QCoreApplication>

#include <memory>
#include <type_traits>

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
    // The services run on their own thread: a test reaches them inside
    // onService() only, which runs `job` there and waits for its result.
    template <typename Job> auto onService(Job job)
    {
        if constexpr (std::is_void_v<decltype(job())>) {
            app().services().run(job);
        } else {
            decltype(job()) result{};
            app().services().run([&] { result = job(); });
            return result;
        }
    }
    OperatorApi &api() { return app().services().api(); }
    ChatServer &chat() { return app().services().core().chat(); }
    ConnectionTable &table() { return app().services().core().table(); }
    // What the services did before now has reached the window: one round
    // trip through the service thread, then what it posted here.
    void settle()
    {
        app().client().sync();
        QCoreApplication::sendPostedEvents();
    }
    quint16 chatPort()
    {
        return onService([this] { return chat().port(); });
    }

    // A button or menu item of the console, by its name.
    void click(const char *name);
    void select(int row); // -1: none
    template <typename Widget> Widget *find(const char *name)
    {
        return window().findChild<Widget *>(QLatin1String(name));
    }
    QStringList takeMessages();
    QStringList logLines();

    // A connected client; its accept has run on return.
    std::unique_ptr<RawClient> connect(const QString &from = QStringLiteral("127.0.0.1"))
    {
        return RawClient::connected(chatPort(), from);
    }
    // Connects and joins under `name`; returns once the join has run to its
    // end, with everything it sent this client read away.
    std::unique_ptr<RawClient> join(const QByteArray &name,
                                    const QString &from = QStringLiteral("127.0.0.1"))
    {
        return RawClient::joined(chatPort(), name, from);
    }
    // The first row equal to `text`, -1 when none.
    int rowOf(const QByteArray &text)
    {
        return onService([&] { return table().findRowExactly(text); });
    }

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

// Runs `action`, which opens one real modal box now or from the event loop,
// and closes that box.
ShownBox closeBoxOpenedBy(const std::function<void()> &action);
