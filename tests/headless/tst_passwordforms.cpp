#include "core/passwordhash.h"
#include "programrun.h"
#include "rawclient.h"
#include "testfolders.h"
#include "userrecords.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTest>

// Stored passwords as the real program keeps them: users.mdb and sysops.dat
// read directly, clients on the fixed ports, conversion through `ctl`.
class TestPasswordForms : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void freshStoreHoldsOnlyHashes();
    void plainStoreWorksUntilConverted();
    void plainAndHashedSysopsBothGrantModeratorRights();

private:
    ProgramRun ctl(const QStringList &arguments, const QByteArray &input = QByteArray())
    {
        return m_server->ctl(arguments, input);
    }
    QString dataFile(const QString &name) const { return m_server->dataFile(name); }
    // user_version, then UserName TAB Password per row, as another program reads the file.
    QList<QByteArray> storedRows();
    QByteArray answer(const QByteArray &request);
    // Everything the server wrote to standard error and the log.
    QByteArray everythingLogged();

    std::unique_ptr<HostedServer> m_server;
};

void TestPasswordForms::init()
{
    m_server = std::make_unique<HostedServer>(QStringLiteral(TARNWICK_SERVER_PATH));
    QVERIFY(writeFile(dataFile("tarnwick-server.ini"), "[passwords]\nrequired=true\n"));
}

QList<QByteArray> TestPasswordForms::storedRows()
{
    QList<QByteArray> rows;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "reader");
        db.setDatabaseName(dataFile("users.mdb"));
        QSqlQuery query(db);
        if (db.open() && query.exec("PRAGMA user_version") && query.next())
            rows.append(query.value(0).toByteArray());
        if (query.exec("SELECT UserName, Password FROM Login1 ORDER BY rowid")) {
            while (query.next())
                rows.append(query.value(0).toByteArray() + '\t' + query.value(1).toByteArray());
        }
    }
    QSqlDatabase::removeDatabase("reader");
    return rows;
}

QByteArray TestPasswordForms::answer(const QByteArray &request)
{
    RawClient client;
    if (!client.connectTo(3068))
        return "no connection";
    client.send(request);
    return client.readLines(1, 10'000).value(0);
}

QByteArray TestPasswordForms::everythingLogged()
{
    return m_server->errors() + readFile(m_server->workingFile("log.txt"));
}

namespace {
QByteArray validate(const QByteArray &name, const QByteArray &password)
{
    return "VALIDATE\t" + name + '\t' + password + "\r\n";
}
} // namespace

// Registrations, the operator's accounts and checks on a store this server
// made: the file never holds a password a reader could use, and the answers
// keep each connection's order.
void TestPasswordForms::freshStoreHoldsOnlyHashes()
{
    QVERIFY(m_server->start());
    QCOMPARE(answer(newUserLine("ann", "ann@x", "zq-ann")), "ACCEPT\r\n");
    QCOMPARE(ctl({"accounts", "add", "--username", "bob"}, "zq-bob\n").exitCode, 0);
    const QList<QByteArray> rows = storedRows();
    QCOMPARE(rows.size(), 3);
    QCOMPARE(rows[0], "1");
    for (const QByteArray &row : rows.mid(1))
        QVERIFY2(row.contains("\t$y$") && !row.contains("zq-"), row);
    QVERIFY(ctl({"status"}).out.contains("Stored passwords: hashed\n"));

    // One chunk, three requests: a wrong password, a right one (its PASS ends
    // the chunk), and one that is never answered.
    const auto client = RawClient::connected(3068);
    client->send(validate("ann", "wrong") + validate("ann", "zq-ann") + validate("bob", "x"));
    QCOMPARE(client->readLines(2, 10'000), (QList<QByteArray>{"REJECTED\r\n", "PASS\r\n"}));
    QCOMPARE(answer(validate("bob", "zq-bob")), "PASS\r\n");
    QCOMPARE(answer(validate("bob", "zq-ann")), "REJECTED\r\n");

    // A client that leaves while its check runs costs nobody their answer.
    for (int i = 0; i < 5; ++i) {
        RawClient leaving;
        QVERIFY(leaving.connectTo(3068));
        leaving.send(validate("ann", "zq-ann"));
        leaving.abort();
    }
    QCOMPARE(answer(validate("ann", "zq-ann")), "PASS\r\n");
    QVERIFY(!ctl({"--json", "accounts", "find", "ann"}).out.contains("$y$"));
    QVERIFY(!everythingLogged().contains("zq-"));
}

// An older store keeps its plain passwords and its form, for registrations
// too, until the operator converts it; the same passwords pass afterwards.
void TestPasswordForms::plainStoreWorksUntilConverted()
{
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "older");
        db.setDatabaseName(dataFile("users.mdb"));
        QSqlQuery query(db);
        QVERIFY(db.open());
        QVERIFY(query.exec("CREATE TABLE Login1 (First TEXT, Last TEXT, Address1 TEXT, Address2 "
                           "TEXT, City TEXT, State TEXT, Zip TEXT, Country TEXT, UserName TEXT, "
                           "Password TEXT, Provider TEXT, Connection TEXT, Email TEXT, "
                           "mailinglist TEXT, emailme TEXT)"));
        QVERIFY(query.exec("INSERT INTO Login1 (UserName, Password) VALUES ('carol', 'zq-1'), "
                           "('dave', 'zq-2')"));
    }
    QSqlDatabase::removeDatabase("older");
    QVERIFY(m_server->start());
    QCOMPARE(answer(validate("carol", "zq-1")), "PASS\r\n");
    QCOMPARE(answer(newUserLine("erin", "erin@x", "zq-3")), "ACCEPT\r\n");
    QCOMPARE(storedRows(), (QList<QByteArray>{"0", "carol\tzq-1", "dave\tzq-2", "erin\tzq-3"}));
    QVERIFY(ctl({"status"}).out.contains("Stored passwords: plain: run `ctl passwords hash`\n"));
    // A client's value that looks like a hash of other parameters is plain
    // text: it sets no cost for the checks.
    const QByteArray odd = "$y$jFT$zq-salt$zq-value";
    QCOMPARE(answer(newUserLine("mallory", "mallory@x", odd)), "ACCEPT\r\n");
    QCOMPARE(answer(validate("mallory", odd)), "PASS\r\n");

    const ProgramRun converted = ctl({"--json", "passwords", "hash"});
    QCOMPARE(converted.exitCode, 0);
    QVERIFY2(!converted.out.contains("zq-") && !converted.out.contains("$y$"), converted.out);
    const QList<QByteArray> rows = storedRows();
    QCOMPARE(rows.size(), 5);
    QCOMPARE(rows[0], "1");
    for (const QByteArray &row : rows.mid(1))
        QVERIFY2(row.contains("\t$y$"), row);
    QVERIFY(ctl({"status"}).out.contains("Stored passwords: hashed\n"));
    for (const auto &[name, password] :
         {std::pair{"carol", "zq-1"}, std::pair{"dave", "zq-2"}, std::pair{"erin", "zq-3"},
          std::pair{"mallory", odd.constData()}})
        QCOMPARE(answer(validate(name, password)), "PASS\r\n");
    QCOMPARE(answer(validate("carol", "zq-2")), "REJECTED\r\n");
    QCOMPARE(answer(validate("dave", rows[2].mid(5))), "REJECTED\r\n"); // the hash itself
    QVERIFY(!everythingLogged().contains("zq-"));
}

// A hand-edited plain record and a hashed one both make a moderator; the
// file converts as a whole, and a sysop added later is stored hashed.
void TestPasswordForms::plainAndHashedSysopsBothGrantModeratorRights()
{
    QVERIFY(writeFile(dataFile("sysops.dat"), "\r\nAnn\tann@x\tzq-plain\r\nBob\tbob@x\t" +
                                                  PasswordHash::make("zq-hashed") + "\r\n"));
    QVERIFY(m_server->start());
    int joins = 0;
    const auto requestOp = [&joins](const QByteArray &email, const QByteArray &password) {
        RawClient client;
        const QByteArray name = "mod" + QByteArray::number(++joins);
        if (!client.connectTo(3069) || !client.join(name))
            return QByteArray("no join");
        client.sendLine("RequestOP\t" + name + '\t' + email + '\t' + password);
        for (const QByteArray &line : client.readLines(1, 10'000)) {
            if (line.contains("Granted") || line.contains("Denied"))
                return line.contains("Granted") ? QByteArray("granted") : QByteArray("denied");
        }
        return QByteArray("no answer");
    };
    QCOMPARE(requestOp("ann@x", "zq-plain"), "granted");
    QCOMPARE(requestOp("bob@x", "zq-hashed"), "granted");
    QCOMPARE(requestOp("bob@x", "zq-plain"), "denied");

    QCOMPARE(ctl({"sysops", "add", "Cy", "cy@x"}, "zq-added\n").exitCode, 0);
    QVERIFY(readFile(dataFile("sysops.dat")).contains("cy@x\t$y$"));
    QCOMPARE(ctl({"sysops", "hash"}).exitCode, 0);
    const QByteArray file = readFile(dataFile("sysops.dat"));
    QVERIFY2(file.startsWith("\r\nAnn\tann@x\t$y$") && !file.contains("zq-"), file);
    QCOMPARE(requestOp("ann@x", "zq-plain"), "granted");
    QCOMPARE(requestOp("cy@x", "zq-added"), "granted");
    QVERIFY(!ctl({"--json", "sysops"}).out.contains("$y$"));
    QVERIFY(!everythingLogged().contains("zq-"));
}

QTEST_GUILESS_MAIN(TestPasswordForms)
#include "tst_passwordforms.moc"
