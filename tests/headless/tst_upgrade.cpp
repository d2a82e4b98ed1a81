#include "notifysocket.h"
#include "platform/servicenotify.h"
#include "programrun.h"
#include "rawclient.h"
#include "testfolders.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <numeric>
#include <poll.h>
#include <sys/stat.h>

// `ctl upgrade` on the real headless program, started from a copy that the
// test replaces as a package manager does (a new file renamed over the old).
class TestUpgrade : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void roomCarriesOnAcrossAnUpgrade();
    void programThatCannotRunLeavesTheServerAsItWas();
    void stateOfAnotherFormatStartsAfresh();

private:
    QString program() const { return m_bin->filePath("tarnwick-serverd"); }
    ProgramRun ctl(const QStringList &arguments) { return m_server->ctl(arguments); }
    // Puts `bytes` in the program's place: written beside it, then renamed.
    void replaceProgram(const QByteArray &bytes, QFile::Permissions permissions);

    std::unique_ptr<QTemporaryDir> m_bin;
    std::unique_ptr<HostedServer> m_server;
};

namespace {
QByteArray serverProgram()
{
    QFile file(QStringLiteral(TARNWICK_SERVERD_PATH));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// One relayed line of the sender, and its number; -1 for any other line.
int relayedNumber(QByteArrayView line)
{
    static const QByteArray prefix = "Message\tAnn:\tn=";
    if (!line.startsWith(prefix) || !line.endsWith("\t\r\n"))
        return -1;
    return line.sliced(prefix.size(), line.size() - prefix.size() - 3).toInt();
}

// What a client received, in order: the sender's numbers and anything else.
struct Received
{
    QList<int> numbers;
    QList<QByteArray> others;

    void add(QByteArrayView line)
    {
        if (const int n = relayedNumber(line); n >= 0)
            numbers.append(n);
        else
            others.append(line.toByteArray());
    }
};

QList<int> upTo(int count)
{
    QList<int> numbers(count);
    std::iota(numbers.begin(), numbers.end(), 0);
    return numbers;
}

// Waits for readable input on any of the first `count` clients, for at most `ms`.
void waitForInput(const std::vector<std::unique_ptr<RawClient>> &clients, std::size_t count, int ms)
{
    std::vector<pollfd> fds;
    for (std::size_t i = 0; i < count; ++i)
        fds.push_back({clients[i]->fd(), POLLIN, 0});
    ::poll(fds.data(), fds.size(), std::max(ms, 0));
}
} // namespace

void TestUpgrade::init()
{
    m_bin = std::make_unique<QTemporaryDir>();
    m_server = std::make_unique<HostedServer>(QStringLiteral(TARNWICK_SERVERD_PATH));
    m_server->started = program();
    QVERIFY(QFile::copy(QStringLiteral(TARNWICK_SERVERD_PATH), program()));
    QVERIFY(writeFile(m_server->dataFile("motd.txt"), "Welcome\r\n"));
    QVERIFY(writeFile(m_server->dataFile("sysops.dat"), "\r\nAnn\tann@example.org\tsecret\r\n"));
}

void TestUpgrade::replaceProgram(const QByteArray &bytes, QFile::Permissions permissions)
{
    const QString next = program() + ".new";
    QVERIFY(writeFile(next, bytes));
    QVERIFY(QFile::setPermissions(next, permissions));
    QVERIFY(::rename(QFile::encodeName(next).constData(),
                     QFile::encodeName(program()).constData()) == 0);
}

void TestUpgrade::roomCarriesOnAcrossAnUpgrade()
{
    NotifySocket notify(m_server->workingFile("notify"));
    QVERIFY(m_server->start());
    const qint64 pid = m_server->process.processId();

    // user0 (a moderator) sends as "Ann:"; user1 is a moderator too; two are
    // away, two in a game; Hal has half a line sent; Sam reads nothing until
    // the end.
    std::vector<std::unique_ptr<RawClient>> room;
    const auto joined = [&room](const QByteArray &name, int receiveBuffer = 0) {
        room.push_back(std::make_unique<RawClient>(RawClient::Mode::Polled));
        RawClient &client = *room.back();
        return client.connectTo(3069, QStringLiteral("127.0.0.1"), receiveBuffer) &&
               client.join(name);
    };
    for (int i = 0; i < 18; ++i)
        QVERIFY(joined("user" + QByteArray::number(i)));
    QVERIFY(joined("Hal"));
    QVERIFY(joined("Sam", 4096));
    RawClient &ann = *room[0];
    RawClient &hal = *room[18];
    RawClient &sam = *room[19];
    const QByteArray settings[] = {"RequestOP\tuser0\tann@example.org\tsecret",
                                   "RequestOP\tuser1\tann@example.org\tsecret",
                                   "[AW]\tuser2",
                                   "[AW]\tuser3",
                                   "INGAME\tuser4",
                                   "INGAME\tuser5"};
    // Each is handled before its sender's next line, whose relay Ann waits for.
    for (int i = 0; i < 6; ++i) {
        const QByteArray done = "Message\tuser" + QByteArray::number(i) + ":\tdone";
        room[i]->send(settings[i] + "\r\n" + done + "\r\n");
        QVERIFY(room[i]->flush());
        QVERIFY(ann.waitForLine(done + "\t\r\n", 10'000));
    }
    // A burst Sam does not read: it waits in the server as unsent output.
    const QByteArray filler(900, 'x');
    for (int i = 0; i < 150; ++i)
        ann.sendLine("Message\tAnn:\t" + filler);
    ann.sendLine("Message\tAnn:\tready");
    // Everyone but Sam reads up to it; Ann's burst leaves as the server takes it.
    std::vector<bool> sawReady(19, false);
    QElapsedTimer waited;
    waited.start();
    while (std::count(sawReady.begin(), sawReady.end(), false) > 2 && waited.elapsed() < 20'000) {
        ann.flush();
        for (int i = 0; i < 19; ++i) {
            room[i]->readAvailable([&](QByteArrayView line) {
                sawReady[i] = sawReady[i] || line == "Message\tAnn:\tready\t\r\n";
            });
        }
        waitForInput(room, 19, 5);
    }
    QVERIFY(!sawReady[4] && !sawReady[5] &&
            std::count(sawReady.begin(), sawReady.end(), true) == 17);
    hal.send("Message\tHal:\tpart");
    QVERIFY(hal.flush());
    const QByteArray users = ctl({"users"}).out;
    QVERIFY2(users.contains("\xA5"
                            "user0\t") &&
                 users.contains("user2 [AW]") && users.contains("user4 [IG]"),
             users);

    // The new program is in place (as after a package upgrade); 200 lines a
    // second from Ann, and the upgrade starts after 200 of them.
    replaceProgram(serverProgram(), QFile::ReadOwner | QFile::ExeOwner);
    constexpr int Lines = 600;
    QElapsedTimer clock;
    clock.start();
    std::vector<Received> received(room.size());
    QProcess upgrade;
    bool upgradeEnded = false;
    int sent = 0;
    const auto allReceived = [&] {
        for (std::size_t i = 0; i < 19; ++i) {
            const Received &got = received[i];
            if (i != 4 && i != 5 && (got.numbers.size() < Lines || got.others.isEmpty()))
                return false;
        }
        return true;
    };
    while (!allReceived() && clock.elapsed() < 60'000) {
        const qint64 due = sent * 5;
        if (sent < Lines && clock.elapsed() >= due) {
            ann.sendLine("Message\tAnn:\tn=" + QByteArray::number(sent++));
            if (sent == 200)
                upgrade.start(QStringLiteral(TARNWICK_SERVERD_PATH),
                              {"ctl", "--data-dir", m_server->data.path(), "upgrade"});
        }
        ann.flush();
        if (sent >= 200 && !upgradeEnded && upgrade.waitForFinished(0)) {
            upgradeEnded = true;
            hal.send("ial\r\n");
        }
        hal.flush();
        for (std::size_t i = 0; i < 19; ++i)
            room[i]->readAvailable([&](QByteArrayView line) { received[i].add(line); });
        waitForInput(room, 19, int(sent < Lines ? due + 5 - clock.elapsed() : 5));
    }
    QVERIFY2(upgradeEnded || upgrade.waitForFinished(30'000), "ctl upgrade did not end");
    QCOMPARE(upgrade.exitCode(), 0);
    QVERIFY2(upgrade.readAllStandardOutput().contains("Upgraded from version 1.0.0"),
             upgrade.readAllStandardError());

    // Every line once, in order; nobody left, joined or was told anything else.
    const QList<QByteArray> halsLine{"Message\tHal:\tpartial\t\r\n"};
    for (std::size_t i = 0; i < 19; ++i) {
        const bool inGame = i == 4 || i == 5;
        QCOMPARE(received[i].numbers, inGame ? QList<int>() : upTo(Lines));
        QCOMPARE(received[i].others, inGame ? QList<QByteArray>() : halsLine);
    }
    // Sam, who read nothing meanwhile, gets all of it too.
    QList<QByteArray> samsLines;
    QVERIFY(sam.waitForLine("Message\tAnn:\tn=599\t\r\n", 20'000, &samsLines));
    const qsizetype ready = samsLines.indexOf("Message\tAnn:\tready\t\r\n");
    QVERIFY(ready >= 0);
    QCOMPARE(samsLines.first(ready).count("Message\tAnn:\t" + filler + "\t\r\n"), 150);
    Received sams;
    for (const QByteArray &line : samsLines.sliced(ready + 1))
        sams.add(line);
    QCOMPARE(sams.numbers, upTo(Lines));
    QCOMPARE(sams.others, halsLine);

    QCOMPARE(ctl({"users"}).out, users);
    QCOMPARE(m_server->process.processId(), pid);
    struct stat exe = {};
    struct stat file = {};
    const QByteArray exePath = "/proc/" + QByteArray::number(pid) + "/exe";
    QVERIFY(::stat(exePath.constData(), &exe) == 0 &&
            ::stat(QFile::encodeName(program()).constData(), &file) == 0);
    QCOMPARE(exe.st_ino, file.st_ino);
    const QJsonObject status =
        QJsonDocument::fromJson(ctl({"--json", "status"}).out).object().value("data").toObject();
    QCOMPARE(status.value("upgradedFrom").toString(), "1.0.0");
    QVERIFY(status.value("upgradedAt").isString());
    QVERIFY(m_server->errors().contains("Upgraded from version 1.0.0"));
    if (serviceNotifySupported()) {
        const QList<QByteArray> expected{"READY=1", "RELOADING=1", "READY=1"};
        QCOMPARE(notify.firstLines(), expected);
    }
}

// Each program that cannot run leaves the same process serving the same room;
// the one that can then takes over, and the grace of a kick the old program
// started still ends the kicked client's stay.
void TestUpgrade::programThatCannotRunLeavesTheServerAsItWas()
{
    QVERIFY(
        writeFile(m_server->dataFile("tarnwick-server.ini"), "[limits]\nleaveGraceSeconds=2\n"));
    QVERIFY(m_server->start());
    const auto bob = RawClient::joined(3069, "bob");
    const auto eve = RawClient::joined(3069, "eve");
    for (const QByteArray reason :
         {"No such file or directory", "Permission denied", "Exec format error"}) {
        QByteArray bytes = serverProgram();
        QFile::Permissions permissions = QFile::ReadOwner | QFile::ExeOwner;
        if (reason.startsWith("Permission")) {
            permissions = QFile::ReadOwner | QFile::WriteOwner;
        } else if (reason.startsWith("Exec")) {
            // The ELF header's machine: x86-64 (62) becomes AArch64 (183), anything else x86-64.
            const char machine = bytes[18] == 62 ? char(183) : char(62);
            bytes[18] = machine;
            bytes[19] = 0;
        }
        replaceProgram(bytes, permissions);
        if (reason.startsWith("No such"))
            QVERIFY(QFile::remove(program()));

        const ProgramRun refused = ctl({"upgrade"});
        QCOMPARE(refused.exitCode, 1);
        QVERIFY2(refused.err.contains(reason), refused.err);
        // No line lost, nobody gone.
        bob->sendLine("Message\tbob:\tstill here");
        QCOMPARE(eve->readLines(1), QList<QByteArray>{"Message\tbob:\tstill here\t\r\n"});
    }
    QCOMPARE(ctl({"users"}).out, QByteArray("0\tbob\t127.0.0.1\n1\teve\t127.0.0.1\n"));
    RawClient carol;
    QVERIFY(carol.connectTo(3069) && carol.join("carol"));
    QVERIFY(!m_server->errors().contains("Upgraded"));

    QCOMPARE(ctl({"kick", "eve"}).exitCode, 0);
    replaceProgram(serverProgram(), QFile::ReadOwner | QFile::ExeOwner);
    QCOMPARE(ctl({"upgrade"}).exitCode, 0);
    // Eve stays put; the grace the old program started still ends her stay.
    QVERIFY(eve->waitForDisconnect(10'000));
    QVERIFY(bob->waitForLine("REMOVEUSER\teve\r\n", 3000));
    QCOMPARE(ctl({"users"}).out, QByteArray("0\tbob\t127.0.0.1\n2\tcarol\t127.0.0.1\n"));
}

void TestUpgrade::stateOfAnotherFormatStartsAfresh()
{
    QVERIFY(m_server->start());
    RawClient bob;
    QVERIFY(bob.connectTo(3069) && bob.join("bob"));
    // The new program finds a format version it does not know in the state.
    QVERIFY(QFile::copy(program(), m_bin->filePath("next-serverd")));
    replaceProgram("#!/bin/sh\n"
                   "printf '\\377\\377\\377\\377' | dd of=/proc/self/fd/$TARNWICK_UPGRADE_STATE "
                   "bs=1 seek=4 conv=notrunc status=none\n"
                   "exec \"$(dirname \"$0\")/next-serverd\" \"$@\"\n",
                   QFile::ReadOwner | QFile::ExeOwner);

    const ProgramRun told = ctl({"upgrade"});
    QCOMPARE(told.exitCode, 1);
    QVERIFY2(told.err.contains("could not read the server's state (it is of format 4294967295"),
             told.err);
    // Closed without a word, as at a shutdown; the new program serves afresh.
    QVERIFY(bob.waitForDisconnect());
    QVERIFY(bob.drain(0).isEmpty());
    QVERIFY(m_server->waitUntilServing());
    const auto again = RawClient::joined(3069, "bob");
    QCOMPARE(ctl({"users"}).out, QByteArray("0\tbob\t127.0.0.1\n"));
    QVERIFY2(m_server->errors().contains("could not be read (it is of format"), m_server->errors());
}

QTEST_GUILESS_MAIN(TestUpgrade)
#include "tst_upgrade.moc"
