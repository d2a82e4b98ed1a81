#include "accountstesting.h"
#include "chatfixture.h"
#include "scripteddialogs.h"

#include "accounts/loginserver.h"
#include "accounts/userswindow.h"
#include "console/accountswiring.h"
#include "console/mainwindow.h"
#include "platform/listener.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

using namespace AccountsTesting;

namespace {
// The console with the chat and the login service on one table.
struct Console
{
    Console() : login(chat.table, chat.config), window(*chat.chat, dialogs)
    {
        wireAccounts(window, login);
        if (!login.listen())
            qFatal("login service did not listen");
    }
    UsersWindow *usersWindow() const
    {
        return window.findChild<UsersWindow *>(QStringLiteral("frmStart"));
    }
    void click(const char *name)
    {
        QTest::mouseClick(window.findChild<QAbstractButton *>(QLatin1String(name)), Qt::LeftButton);
    }
    QString storePath() const { return chat.programFile(QStringLiteral("users.mdb")); }

    ChatFixture chat{false};
    ScriptedDialogs dialogs;
    LoginServer login;
    MainWindow window;
};

QByteArray newUserLine(const QByteArray &name)
{
    return "NEWUSER" + QByteArray(9, '\t') + name + "\tpw\t\t\t" + name + "@x\t\t\r\n";
}
} // namespace

class TestAccountsWiring : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void requirePasswordsSwitchesTheLoginService();
    void userSearchShowsTheUsersWindow();
    void registrationWritesTheCountLineOfAHiddenWindow();
    void storeProblemReachesTheLogViewOnce();
    void failedLoginAcceptIsShownToTheOperator();
};

void TestAccountsWiring::requirePasswordsSwitchesTheLoginService()
{
    Console c;
    auto *check = c.window.findChild<QCheckBox *>(QStringLiteral("Check1"));
    QVERIFY(!check->isChecked());
    QVERIFY(!c.login.passwordsRequired());
    c.click("Check1");
    QVERIFY(c.login.passwordsRequired());
    c.click("Check1");
    QVERIFY(!c.login.passwordsRequired());
}

void TestAccountsWiring::userSearchShowsTheUsersWindow()
{
    Console c;
    QVERIFY(!c.usersWindow());
    c.click("Command2");
    UsersWindow *users = c.usersWindow();
    QVERIFY(users);
    QVERIFY(users->isVisible());
    QCOMPARE(c.dialogs.messages().size(), 1); // the empty table, at load
    c.click("Command2");
    QCOMPARE(c.usersWindow(), users);
    QCOMPARE(c.dialogs.messages().size(), 1); // not loaded again
}

void TestAccountsWiring::registrationWritesTheCountLineOfAHiddenWindow()
{
    Console c;
    c.click("Check1");
    RawClient client;
    QVERIFY(client.connectTo(c.login.port()));
    client.send(newUserLine("bob"));
    QCOMPARE(client.readLines(1), QList<QByteArray>{"ACCEPT\r\n"});
    UsersWindow *users = c.usersWindow();
    QVERIFY(users);
    QVERIFY(!users->isVisible());
    QCOMPARE(users->findChild<QLineEdit *>(QStringLiteral("Text16"))->text(),
             QStringLiteral("Tarnwick has 1 registered user."));
    client.send(newUserLine("carol"));
    QCOMPARE(client.readLines(1), QList<QByteArray>{"ACCEPT\r\n"});
    QCOMPARE(c.usersWindow(), users);
    QCOMPARE(users->findChild<QLineEdit *>(QStringLiteral("Text16"))->text(),
             QStringLiteral("Tarnwick has 2 registered users."));
    QCOMPARE(c.dialogs.shown.size(), 0);
}

void TestAccountsWiring::storeProblemReachesTheLogViewOnce()
{
    Console c;
    writeFile(c.storePath(), foreignDatabaseBytes());
    c.click("Check1");
    RawClient client;
    QVERIFY(client.connectTo(c.login.port()));
    client.send("VALIDATE\tbob\tpw\r\nVALIDATE\tbob\tpw\r\n");
    QCOMPARE(client.readLines(2).size(), 2);
    c.window.flushOutput();
    QCOMPARE(c.window.outputText().count(c.storePath()), 1);
    QCOMPARE(c.dialogs.shown.size(), 0);
}

void TestAccountsWiring::failedLoginAcceptIsShownToTheOperator()
{
    Console c;
    Q_EMIT c.login.findChild<Listener *>()->connectionRequest(-7);
    QCOMPARE(c.dialogs.messages().size(), 1);
    QVERIFY(c.dialogs.messages().constFirst().text.endsWith(
        QLatin1String("Listening for connection ")));
}

QTEST_MAIN(TestAccountsWiring)
#include "tst_accountswiring.moc"
