#include "chatfixture.h"
#include "scripteddialogs.h"

#include "accounts/loginserver.h"
#include "accounts/userswindow.h"
#include "console/accountswiring.h"
#include "console/mainwindow.h"
#include "platform/listener.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTest>

class TestAccountsWiring : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void registrationsReachTheUsersWindowTheOperatorOpens();
};

void TestAccountsWiring::registrationsReachTheUsersWindowTheOperatorOpens()
{
    ChatFixture chat(false);
    ScriptedDialogs dialogs;
    LoginServer login(chat.table, chat.config);
    MainWindow window(*chat.chat, dialogs);
    wireAccounts(window, login);
    QVERIFY(login.listen());
    const auto click = [&](const char *name) {
        QTest::mouseClick(window.findChild<QAbstractButton *>(QLatin1String(name)), Qt::LeftButton);
    };
    const auto usersWindow = [&] { return window.findChild<UsersWindow *>("frmStart"); };
    const auto countLine = [&] { return usersWindow()->findChild<QLineEdit *>("Text16")->text(); };
    const auto newUser = [](const QByteArray &name) -> QByteArray {
        return "NEWUSER" + QByteArray(9, '\t') + name + "\tpw\t\t\t" + name + "@x\t\t\r\n";
    };

    // "Require Passwords", then registrations: the count line goes to a
    // window that is loaded but not shown.
    click("Check1");
    RawClient client;
    QVERIFY(client.connectTo(login.port()));
    client.send(newUser("bob"));
    QCOMPARE(client.readLines(1), QList<QByteArray>{"ACCEPT\r\n"});
    UsersWindow *users = usersWindow();
    QVERIFY(users && !users->isVisible());
    QCOMPARE(countLine(), QStringLiteral("Tarnwick has 1 registered user."));
    client.send(newUser("cy"));
    QCOMPARE(client.readLines(1), QList<QByteArray>{"ACCEPT\r\n"});
    QCOMPARE(countLine(), QStringLiteral("Tarnwick has 2 registered users."));

    // "User Search" shows that window; once closed, it makes a new one.
    click("Command2");
    QCOMPARE(usersWindow(), users);
    QVERIFY(users->isVisible());
    users->close();
    QTRY_VERIFY(!usersWindow());
    click("Command2");
    QVERIFY(usersWindow() && usersWindow()->isVisible());
    QCOMPARE(countLine(), QStringLiteral("Tarnwick has 2 registered users."));
    QCOMPARE(dialogs.shown.size(), 0);

    // A failed login accept is told to the operator.
    Q_EMIT login.findChild<Listener *>()->connectionRequest(-7);
    QCOMPARE(dialogs.messages().size(), 1);
}

QTEST_MAIN(TestAccountsWiring)
#include "tst_accountswiring.moc"
