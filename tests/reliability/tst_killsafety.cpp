#include "privatespace.h"
#include "programrun.h"
#include "testfolders.h"
#include "userrecords.h"

#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTcpSocket>
#include <QTest>

// The real program killed (SIGKILL) at random moments while clients register
// and the operator writes the sysop list and the MOTD: no acknowledged
// registration is lost, the users store passes SQLite's integrity check, and
// every file is wholly one version the server wrote. TARNWICK_KILL_ROUNDS
// sets the number of kills (default 12).
class TestKillSafety : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void nothingAcknowledgedIsLostNothingIsTorn();

private:
    QString file(const QString &name) const { return m_server.dataFile(name); }
    QProcess *ctl(const QStringList &arguments, const QByteArray &input);
    HostedServer m_server{QStringLiteral(TARNWICK_SERVER_PATH)};
};

void TestKillSafety::initTestCase()
{
    if (!PrivateSpace::entered())
        QSKIP("needs root: a private network namespace");
    QVERIFY(writeFile(file("tarnwick-server.ini"),
                      "[passwords]\nrequired=true\n[limits]\nnewUsersPer10Minutes=0\n"
                      "newConnectionsPerMinute=0\n"));
    QVERIFY(writeFile(file("sysops.dat"), "\r\nAnn\tann@example.org\tpw\r\n"));
}

QProcess *TestKillSafety::ctl(const QStringList &arguments, const QByteArray &input)
{
    auto *process = new QProcess(this);
    process->setWorkingDirectory(m_server.working.path());
    process->start(m_server.program,
                   QStringList{"ctl", "--data-dir", m_server.data.path()} + arguments);
    process->write(input);
    process->closeWriteChannel();
    connect(process, &QProcess::finished, process, &QObject::deleteLater);
    return process;
}

void TestKillSafety::nothingAcknowledgedIsLostNothingIsTorn()
{
    const int rounds = qEnvironmentVariableIntValue("TARNWICK_KILL_ROUNDS");
    QStringList acknowledged;
    int sent = 0;
    int writes = 0;
    for (int round = 0; round < (rounds > 0 ? rounds : 12); ++round) {
        QVERIFY(m_server.start());
        QTcpSocket client;
        QTRY_VERIFY_WITH_TIMEOUT(
            (client.abort(), client.connectToHost("127.0.0.1", 3068), client.waitForConnected(200)),
            20000);
        // One registration after another, each acknowledged before the next.
        const auto next = [&] {
            const QByteArray number = QByteArray::number(++sent);
            client.write(newUserLine("user" + number, "u" + number + "@x"));
        };
        QObject::connect(&client, &QTcpSocket::readyRead, &client, [&] {
            while (client.canReadLine()) {
                if (client.readLine() == "ACCEPT\r\n")
                    acknowledged.append("user" + QString::number(sent));
                next();
            }
        });
        next();
        // The operator writes meanwhile: whole versions only may be seen.
        for (int i = 0; i < 4; ++i, ++writes) {
            ctl({"motd", "set"}, "version " + QByteArray::number(writes) + '\n');
            ctl({"sysops", "add", "Op" + QString::number(writes), "op@example.org"}, "pw\n");
        }
        QTest::qWait(int(QRandomGenerator::global()->bounded(100, 600)));
        m_server.process.kill();
        QVERIFY(m_server.process.waitForFinished());
    }
    QVERIFY(!acknowledged.isEmpty());
    qInfo("%lld registrations acknowledged, %d control writes", qsizetype(acknowledged.size()),
          writes * 2);

    QSqlDatabase store = QSqlDatabase::addDatabase("QSQLITE", "check");
    store.setDatabaseName(file("users.mdb"));
    QVERIFY(store.open());
    QSqlQuery query(store);
    QVERIFY(query.exec("PRAGMA integrity_check") && query.next());
    QCOMPARE(query.value(0).toString(), QString("ok"));
    QVERIFY(query.exec("SELECT UserName FROM Login1"));
    QStringList stored;
    while (query.next())
        stored.append(query.value(0).toString());
    for (const QString &name : std::as_const(acknowledged))
        QVERIFY2(stored.contains(name), qPrintable(name));

    const QByteArray motd = readFile(file("motd.txt"));
    QVERIFY2(motd.isEmpty() ||
                 (motd.startsWith("version ") && motd.endsWith("\r\n") && motd.count('\n') == 1),
             motd.constData());
    const QByteArray sysops = readFile(file("sysops.dat"));
    QVERIFY(sysops.startsWith("\r\nAnn\tann@example.org\tpw\r\n") && sysops.endsWith("\r\n"));
    for (const QByteArray &line : sysops.split('\n').mid(1, sysops.count('\n') - 1))
        QVERIFY2(line.count('\t') == 2, line.constData());
}

PRIVATE_SPACE_TEST_MAIN(TestKillSafety)

#include "tst_killsafety.moc"
