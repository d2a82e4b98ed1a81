#include "operator/servercore.h"
#include "rawclient.h"
#include "testfolders.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>

// What the operator can do, as a program without windows does it: every call
// reaches the clients and the files the way the console's commands do.
namespace {

struct Core : TestFolders
{
    ServerCore &started()
    {
        if (!core.start().isEmpty())
            qFatal("the server did not start");
        return core;
    }
    OperatorApi &api() { return core.api(); }

    ServerCore core{config};
};

} // namespace

class TestOperatorApi : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void startTellsEachFailure();
    void statusCountsUsersAndSlots();
    void sysopsAddedAndRemoved();
};

void TestOperatorApi::startTellsEachFailure()
{
    QTcpServer taken;
    QVERIFY(taken.listen(QHostAddress::AnyIPv4));
    Core c;
    c.config.chatPort = taken.serverPort();
    ServerCore core(c.config);
    QVERIFY(QDir(c.config.programFolder).mkdir(QStringLiteral("motd.txt")));
    QSignalSpy notices(&core.api(), &OperatorApi::notice);
    const QStringList failures = core.start();
    QCOMPARE(failures.size(), 2);
    QVERIFY(
        failures[0].startsWith(QStringLiteral("The chat service could not listen on TCP port %1: ")
                                   .arg(c.config.chatPort)));
    QVERIFY(failures[1].startsWith(
        QStringLiteral("The message of the day could not be read from motd.txt: ")));
    QCOMPARE(notices.size(), 2);
    const ServerStatus status = core.api().status();
    QVERIFY(status.loginListening && !status.chatListening);
}

void TestOperatorApi::statusCountsUsersAndSlots()
{
    Core c;
    c.started();
    const auto ann = RawClient::joined(c.core.chat().port(), "Ann");
    const auto bob = RawClient::joined(c.core.chat().port(), "Bob", QStringLiteral("127.0.0.2"));
    const auto login = RawClient::connected(c.core.login().port());
    QTRY_COMPARE(c.api().status().freeSlots, ConnectionTable::Size - 3);
    const ServerStatus status = c.api().status();
    QCOMPARE(status.users, 2);
    QVERIFY(status.chatPort != 0 && status.loginPort != 0);
    QCOMPARE(status.registeredUsers, std::optional<qint64>(0));
    QVERIFY(!QFile::exists(c.config.programFile(QStringLiteral("users.mdb"))));
}

void TestOperatorApi::sysopsAddedAndRemoved()
{
    Core c;
    QVERIFY(c.api().addSysop({"Ann", "ann@x.org", "pw1"}).ok);
    QVERIFY(c.api().addSysop({"Bob", "bob@x.org", "pw2"}).ok);
    QVERIFY(c.api().addSysop({"Ann again", "ann@x.org", "pw3"}).ok);
    QVERIFY(!c.api().addSysop({"Cy", "cy@x.org", "p\tw"}).ok);
    QVERIFY(c.api().removeSysop("ann@x.org").ok);
    QVERIFY(c.api().addSysop({"Dee", "dee@x.org", "pw4"}).ok);
    const std::optional<QList<SysopEntry>> left = c.api().sysops(nullptr);
    QVERIFY(left && left->size() == 2 && left->at(0).email == "bob@x.org" &&
            left->at(1).email == "dee@x.org");
}

QTEST_GUILESS_MAIN(TestOperatorApi)
#include "tst_operatorapi.moc"
