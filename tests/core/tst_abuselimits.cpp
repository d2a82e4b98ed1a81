#include "core/addresslimits.h"
#include "core/addressrange.h"
#include "core/floodgate.h"
#include "core/loginthrottle.h"
#include "core/securitylog.h"

#include <QTest>

using namespace std::chrono_literals;
using TimePoint = std::chrono::steady_clock::time_point;
using Reason = AddressLimits::Reason;
using Sender = FloodGate::Sender;

namespace {
const TimePoint start = TimePoint{} + 1h;

QList<AddressRange> ranges(const QStringList &texts)
{
    QList<AddressRange> out;
    for (const QString &text : texts)
        out.append(*AddressRange::parse(text.toLatin1()));
    return out;
}

QByteArray addressNumber(int n)
{
    return "10." + QByteArray::number((n >> 16) & 0xff) + '.' +
           QByteArray::number((n >> 8) & 0xff) + '.' + QByteArray::number(n & 0xff);
}
} // namespace

class TestAbuseLimits : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void addressRanges_data();
    void addressRanges();
    void admission_data();
    void admission();
    void floodGate_data();
    void floodGate();
    void floodLosesNoLineAndLogsOncePerEpisode();
    void loginDelay_data();
    void loginDelay();
    void registrations_data();
    void registrations();
    void memoryFollowsRecentTrafficOnly();
    void securityLines_data();
    void securityLines();
};

void TestAbuseLimits::addressRanges_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("written"); // empty: refused
    QTest::addColumn<QString>("errorPart");
    QTest::addColumn<QByteArray>("inside");
    QTest::addColumn<QByteArray>("outside");
    QTest::newRow("address") << QByteArray("1.2.3.4") << QByteArray("1.2.3.4") << QString()
                             << QByteArray("1.2.3.4") << QByteArray("1.2.3.5");
    QTest::newRow("/32 is the address")
        << QByteArray("1.2.3.4/32") << QByteArray("1.2.3.4") << QString() << QByteArray("1.2.3.4")
        << QByteArray("1.2.3.3");
    QTest::newRow("/16") << QByteArray("10.1.0.0/16") << QByteArray("10.1.0.0/16") << QString()
                         << QByteArray("10.1.255.7") << QByteArray("10.2.0.0");
    QTest::newRow("/0 covers all") << QByteArray("0.0.0.0/0") << QByteArray("0.0.0.0/0")
                                   << QString() << QByteArray("255.255.255.255") << QByteArray("x");
    const auto refused = [](const char *name, const char *text, const QString &errorPart) {
        QTest::newRow(name) << QByteArray(text) << QByteArray() << errorPart << QByteArray()
                            << QByteArray();
    };
    const QString notAnAddress = QStringLiteral("is not an IPv4 address");
    refused("part over 255", "1.2.3.256", notAnAddress);
    refused("leading zero", "01.2.3.4", notAnAddress);
    refused("three parts", "1.2.3", notAnAddress);
    refused("trailing dot", "1.2.3.4.", notAnAddress);
    refused("name", "localhost", notAnAddress);
    refused("prefix 33", "10.0.0.0/33", "prefix length after / must be a number from 0 to 32");
    refused("empty prefix", "10.0.0.0/", "prefix length");
    refused("host bits set", "10.1.2.0/16",
            "bits set beyond its /16 prefix; the range is 10.1.0.0/16");
}

void TestAbuseLimits::addressRanges()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, written);
    QFETCH(QString, errorPart);
    QString error;
    const std::optional<AddressRange> range = AddressRange::parse(text, &error);
    if (written.isEmpty()) {
        QVERIFY(!range);
        QVERIFY2(error.contains(errorPart), qPrintable(error));
        return;
    }
    QVERIFY2(range, qPrintable(error));
    QCOMPARE(range->text(), written);
    QFETCH(QByteArray, inside);
    QFETCH(QByteArray, outside);
    QVERIFY(range->contains(QByteArrayView(inside)));
    QVERIFY(!range->contains(QByteArrayView(outside)));
}

void TestAbuseLimits::admission_data()
{
    QTest::addColumn<int>("openLimit");
    QTest::addColumn<int>("newLimit");
    QTest::addColumn<QStringList>("trusted");
    QTest::addColumn<int>("stillOpen"); // connections that came at the start and stay
    QTest::addColumn<int>("closed");    // connections that came at the start and left
    QTest::addColumn<int>("secondsLater");
    // Limits of 10 open and 20 new a minute for 10.0.0.1, unless a row says
    // otherwise; every row's next connection gets in. The refusals at the
    // limits: tst_abuseprotection, connectionLimits.
    const auto row = [](const char *name, int stillOpen, int closed, int secondsLater,
                        const QStringList &trusted = {}, int openLimit = 10, int newLimit = 20) {
        QTest::newRow(name) << openLimit << newLimit << trusted << stillOpen << closed
                            << secondsLater;
    };
    row("one of 10 left: room again", 9, 1, 1);
    row("a minute after 20: room again", 0, 20, 60);
    row("trusted range: exempt from both", 30, 30, 1, {"10.0.0.0/8"});
    row("0: no limit on open connections", 15, 0, 1, {}, 0);
    row("0: no limit on new connections", 0, 40, 1, {}, 10, 0);
}

void TestAbuseLimits::admission()
{
    QFETCH(int, openLimit);
    QFETCH(int, newLimit);
    QFETCH(QStringList, trusted);
    QFETCH(int, stillOpen);
    QFETCH(int, closed);
    QFETCH(int, secondsLater);

    const QByteArray address = "10.0.0.1";
    AddressLimits limits(openLimit, newLimit, ranges(trusted));
    for (int i = 0; i < stillOpen + closed; ++i) {
        QVERIFY(limits.admit(address, start).allowed);
        limits.connectionOpened(address);
        if (i >= stillOpen)
            limits.connectionClosed(address);
    }
    const TimePoint later = start + std::chrono::seconds(secondsLater);
    const AddressLimits::Admission admission = limits.admit(address, later);
    QVERIFY(admission.allowed);
    QCOMPARE(admission.reason, Reason::None);
    QVERIFY(limits.admit("10.9.9.9", later).allowed);
}

void TestAbuseLimits::floodGate_data()
{
    QTest::addColumn<int>("burst");
    QTest::addColumn<int>("perSecond");
    QTest::addColumn<Sender>("sender");
    QTest::addColumn<int>("waiting");
    QTest::addColumn<int>("millisecondsLater");
    QTest::addColumn<int>("handledAtOnce");
    QTest::addColumn<int>("handledLater"); // of the rest, when asked again
    QTest::newRow("a burst of 20 passes at once") << 20 << 5 << Sender::User << 20 << 0 << 20 << 0;
    QTest::newRow("the 21st waits a fifth of a second")
        << 20 << 5 << Sender::User << 21 << 199 << 20 << 0;
    QTest::newRow("then it is handled") << 20 << 5 << Sender::User << 21 << 200 << 20 << 1;
    QTest::newRow("5 a second after the burst")
        << 20 << 5 << Sender::User << 100 << 1000 << 20 << 5;
    QTest::newRow("a quiet spell gives the burst back, no more")
        << 20 << 5 << Sender::User << 100 << 60000 << 20 << 20;
    QTest::newRow("rate 0: off") << 20 << 0 << Sender::User << 1000 << 0 << 1000 << 0;
    QTest::newRow("burst 0: off") << 0 << 5 << Sender::User << 1000 << 0 << 1000 << 0;
}

void TestAbuseLimits::floodGate()
{
    QFETCH(int, burst);
    QFETCH(int, perSecond);
    QFETCH(Sender, sender);
    QFETCH(int, waiting);
    QFETCH(int, millisecondsLater);

    FloodGate gate(burst, perSecond);
    const FloodGate::Grant first = gate.grant(waiting, start, sender);
    QTEST(int(first.lines), "handledAtOnce");
    QCOMPARE(first.retryAfter > 0ms, first.lines < waiting);
    const qsizetype rest = waiting - first.lines;
    const FloodGate::Grant second =
        gate.grant(rest, start + std::chrono::milliseconds(millisecondsLater), sender);
    QTEST(int(second.lines), "handledLater");
}

// A flooder asked again each time it is told to gets every line through, in
// bursts no larger than allowed, and is logged once per episode.
void TestAbuseLimits::floodLosesNoLineAndLogsOncePerEpisode()
{
    FloodGate gate(20, 5);
    TimePoint now = start;
    for (int episode = 1; episode <= 2; ++episode) {
        qsizetype waiting = 100;
        int slowedEvents = 0;
        int asks = 0;
        while (waiting > 0) {
            const FloodGate::Grant grant = gate.grant(waiting, now, Sender::User);
            QVERIFY(grant.lines <= 20);
            QVERIFY(asks == 0 || grant.lines >= 1); // asked when told: progress
            waiting -= grant.lines;
            slowedEvents += grant.slowedNow;
            now += grant.retryAfter;
            QVERIFY(++asks < 1000);
        }
        QCOMPARE(slowedEvents, 1);
        now += 10s; // quiet: the episode is over
    }
}

void TestAbuseLimits::loginDelay_data()
{
    QTest::addColumn<int>("threshold");
    QTest::addColumn<int>("failures");
    QTest::addColumn<int>("spacing"); // seconds between failures
    QTest::addColumn<bool>("thenSuccess");
    QTest::addColumn<int>("quietSeconds"); // after the last failure
    QTest::addColumn<int>("delayMilliseconds");
    QTest::newRow("5 failures: 1 s") << 5 << 5 << 1 << false << 1 << 1000;
    QTest::newRow("9 failures: 16 s") << 5 << 9 << 1 << false << 1 << 16000;
    QTest::newRow("10 failures: at most 30 s") << 5 << 10 << 1 << false << 1 << 30000;
    QTest::newRow("6 failures, 59 s quiet: still 2 s") << 5 << 6 << 1 << false << 59 << 2000;
    QTest::newRow("5 failures over more than a minute: none") << 5 << 5 << 15 << false << 1 << 0;
    QTest::newRow("a success resets") << 5 << 8 << 1 << true << 1 << 0;
    QTest::newRow("a quiet minute resets") << 5 << 8 << 1 << false << 60 << 0;
    QTest::newRow("0: off") << 0 << 20 << 1 << false << 1 << 0;
}

void TestAbuseLimits::loginDelay()
{
    QFETCH(int, threshold);
    QFETCH(int, failures);
    QFETCH(int, spacing);
    QFETCH(bool, thenSuccess);
    QFETCH(int, quietSeconds);
    QFETCH(int, delayMilliseconds);

    LoginThrottle throttle(threshold, 10);
    const QByteArray guesser = "10.0.0.1";
    TimePoint now = start;
    for (int i = 0; i < failures; ++i) {
        if (i > 0)
            now += std::chrono::seconds(spacing);
        throttle.failed(guesser, now);
    }
    if (thenSuccess)
        throttle.succeeded(guesser);
    now += std::chrono::seconds(quietSeconds);
    QCOMPARE(throttle.answerDelay(guesser, now), std::chrono::milliseconds(delayMilliseconds));
    QCOMPARE(throttle.answerDelay("10.0.0.2", now), 0ms);
}

void TestAbuseLimits::registrations_data()
{
    QTest::addColumn<int>("limit");
    QTest::addColumn<int>("requests");
    QTest::addColumn<int>("spacing"); // seconds
    QTest::addColumn<int>("admitted");
    QTest::newRow("12 over eleven minutes") << 10 << 12 << 60 << 12;
    QTest::newRow("0: off") << 0 << 50 << 1 << 50;
}

void TestAbuseLimits::registrations()
{
    QFETCH(int, limit);
    QFETCH(int, requests);
    QFETCH(int, spacing);
    LoginThrottle throttle(5, limit);
    int admitted = 0;
    for (int i = 0; i < requests; ++i)
        admitted +=
            throttle.admitRegistration("10.0.0.1", start + std::chrono::seconds(i * spacing));
    QTEST(admitted, "admitted");
    QVERIFY(
        throttle.admitRegistration("10.0.0.2", start + std::chrono::seconds(requests * spacing)));
}

// 100,000 addresses pass by, each only once: what is remembered is bounded
// by the traffic of the last windows, and nothing is left once they are over.
void TestAbuseLimits::memoryFollowsRecentTrafficOnly()
{
    AddressLimits limits(10, 20, {});
    LoginThrottle throttle(5, 10);
    constexpr int Addresses = 100000;
    constexpr auto Spacing = 100ms;
    // Per minute 600 addresses come; registrations are kept ten minutes, and
    // what left its window may wait for the next once-a-minute sweep.
    constexpr qsizetype ConnectionBound = 2 * 600;
    constexpr qsizetype LoginBound = 11 * 600 + 2 * 600;
    qsizetype mostConnections = 0;
    qsizetype mostLogin = 0;
    TimePoint now = start;
    for (int n = 0; n < Addresses; ++n, now += Spacing) {
        const QByteArray address = addressNumber(n);
        QVERIFY(limits.admit(address, now).allowed);
        limits.connectionOpened(address);
        throttle.failed(address, now);
        QVERIFY(throttle.admitRegistration(address, now));
        if (n >= 3)
            limits.connectionClosed(addressNumber(n - 3)); // a few stay a while
        mostConnections = std::max(mostConnections, limits.entryCount());
        mostLogin = std::max(mostLogin, throttle.entryCount());
    }
    QVERIFY2(mostConnections <= ConnectionBound, qPrintable(QString::number(mostConnections)));
    QVERIFY2(mostLogin <= LoginBound, qPrintable(QString::number(mostLogin)));

    for (int n = Addresses - 3; n < Addresses; ++n)
        limits.connectionClosed(addressNumber(n));
    now += 30min;
    limits.admit("10.255.255.255", now);
    throttle.answerDelay("10.255.255.255", now);
    QCOMPARE(limits.entryCount(), 1);
    QCOMPARE(throttle.entryCount(), 0);
}

void TestAbuseLimits::securityLines_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QByteArray>("expected");
    const auto row = [](const char *name, const QByteArray &line, const QByteArray &expected) {
        QTest::newRow(name) << line << "security[tarnwick]: addr=" + expected;
    };
    row("login failed", SecurityLog::loginFailed("1.2.3.4", "Bob"),
        "1.2.3.4 event=login-failed name=\"Bob\"");
    row("login delayed", SecurityLog::loginDelayed("1.2.3.4", "Bob", 2000ms),
        "1.2.3.4 event=login-delayed name=\"Bob\" delay=2000ms");
    row("a name posing as fields stays one quoted field",
        SecurityLog::moderatorRefused("1.2.3.4", "x\" addr=6.6.6.6 event=login-failed \\"),
        "1.2.3.4 event=moderator-refused name=\"x\\\" addr=6.6.6.6 event=login-failed \\\\\"");
    row("line ends, tabs and 8-bit bytes escaped",
        SecurityLog::floodSlowed("1.2.3.4", "\xa5"
                                            "Bob\r\nsecurity[tarnwick]: addr=6.6.6.6\t"),
        "1.2.3.4 event=flood-slowed name=\"\\xa5Bob\\x0d\\x0asecurity[tarnwick]: "
        "addr=6.6.6.6\\x09\"");
    row("long name cut", SecurityLog::registrationRefused("1.2.3.4", QByteArray(150, 'a')),
        "1.2.3.4 event=registration-refused name=\"" + QByteArray(100, 'a') + "...\"");
    row("banned join names its ban", SecurityLog::bannedJoin("10.1.2.3", "Bob", "10.1.0.0/16"),
        "10.1.2.3 event=banned-join name=\"Bob\" ban=\"10.1.0.0/16\"");
    row("kick",
        SecurityLog::kick("1.2.3.4", "Bob",
                          "\xa5"
                          "Ann"),
        "1.2.3.4 event=kick name=\"Bob\" by=\"\\xa5Ann\"");
    row("range ban for a week", SecurityLog::ban("10.1.0.0/16", QByteArray(), "console", 604800s),
        "10.1.0.0/16 event=ban by=\"console\" for=7d");
    row("limit refusal, no address known",
        SecurityLog::connectionRefused("", "chat", "connectionsPerAddress"),
        "- event=connection-refused service=chat limit=connectionsPerAddress");
    row("odd bytes in an address",
        SecurityLog::connectionRefused("1.2.3.4 x", "login", "newConnectionsPerMinute"),
        "1.2.3.4\\x20\\x78 event=connection-refused service=login limit=newConnectionsPerMinute");
}

void TestAbuseLimits::securityLines()
{
    QFETCH(QByteArray, line);
    QTEST(line, "expected");
}

QTEST_APPLESS_MAIN(TestAbuseLimits)
#include "tst_abuselimits.moc"
