#include "operator/servercore.h"
#include "rawclient.h"
#include "testfolders.h"

#include <QJsonArray>
#include <QMap>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

// The numbers for monitoring as a scraper reads them from the endpoint: text
// that a strict reader of the exposition format accepts, counters moved by
// real clients, nothing of what clients sent, and an endpoint that serves on
// whatever a client sends it.
namespace {

// The samples of an exposition ("name{a=\"b\"}" to value), or the first fault
// found: the format 0.0.4 as Prometheus reads it, and the rules of its types.
struct Exposition
{
    QMap<QByteArray, double> samples;
    QString fault;

    explicit Exposition(const QByteArray &text)
    {
        static const QString name = QStringLiteral("[a-zA-Z_:][a-zA-Z0-9_:]*");
        static const QString label =
            QStringLiteral(R"([a-zA-Z_][a-zA-Z0-9_]*="(?:[^"\\\n]|\\[\\"n])*")");
        static const QRegularExpression comment(
            QStringLiteral(
                R"(^# (HELP (%1) (?:[^\\]|\\[\\n])*|TYPE (%1) (counter|gauge|histogram|summary|untyped))$)")
                .arg(name));
        static const QRegularExpression sample(
            QStringLiteral(
                R"(^(%1)(\{(?:%2(?:,%2)*)?\})? ([+-]?Inf|NaN|[+-]?[0-9.]+(?:[eE][+-]?[0-9]+)?)$)")
                .arg(name, label));
        QByteArray family;
        QByteArray type;
        double lastBucket = 0;
        if (!text.endsWith('\n'))
            fault = QStringLiteral("no line feed at the end");
        for (const QByteArray &line : text.chopped(fault.isEmpty() ? 1 : 0).split('\n')) {
            const QString where = QString::fromUtf8(line);
            const QRegularExpressionMatch isComment = comment.match(where);
            const QRegularExpressionMatch isSample = sample.match(where);
            const QByteArray typed = isComment.captured(3).toLatin1();
            if (fault.isEmpty() && !typed.isEmpty()) {
                if (samples.contains(typed + "#type"))
                    fault = QStringLiteral("type given twice: ") + where;
                family = typed;
                type = isComment.captured(4).toLatin1();
                samples.insert(family + "#type", 0);
                lastBucket = 0;
            }
            if (!fault.isEmpty() || isComment.hasMatch())
                continue;
            const QByteArray sampleName = isSample.captured(1).toLatin1();
            const QByteArray key = sampleName + isSample.captured(2).toLatin1();
            const QByteArray suffix = sampleName.mid(family.size());
            const double value = isSample.captured(3).endsWith(QLatin1String("Inf"))
                                     ? qInf()
                                     : isSample.captured(3).toDouble();
            const bool ofFamily =
                sampleName.startsWith(family) &&
                (suffix.isEmpty() ||
                 (type == "histogram" &&
                  (suffix == "_bucket" || suffix == "_sum" || suffix == "_count")));
            if (!isSample.hasMatch() || !ofFamily || samples.contains(key))
                fault = QStringLiteral("bad, stray or repeated sample: ") + where;
            else if (type == "counter" && (!sampleName.endsWith("_total") || value < 0))
                fault = QStringLiteral("counter without _total or below 0: ") + where;
            else if (suffix == "_bucket" && (!key.contains("le=\"") || value < lastBucket))
                fault = QStringLiteral("bucket without le or not cumulative: ") + where;
            else if (suffix == "_count" && value != samples.value(family + "_bucket{le=\"+Inf\"}"))
                fault = QStringLiteral("count is not the +Inf bucket: ") + where;
            lastBucket = suffix == "_bucket" ? value : lastBucket;
            samples.insert(key, value);
        }
        samples.removeIf([](auto sample) { return sample.key().endsWith("#type"); });
    }
};

struct Core : TestFolders
{
    explicit Core(const QByteArray &settings)
    {
        writeProgramFile(ServerSettings::FileName, settings);
        core = std::make_unique<ServerCore>(config);
    }
    std::unique_ptr<ServerCore> core;
    quint16 endpoint() const { return core->metricsEndpoint().port(); }
};

// The whole answer to `request`, once the endpoint has closed the connection.
QByteArray ask(quint16 port, const QByteArray &request)
{
    RawClient client;
    if (!client.connectTo(port))
        return {};
    client.send(request);
    client.waitForDisconnect();
    return client.drain(0);
}

const QByteArray Scrape = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";

Exposition scrape(quint16 port)
{
    const QByteArray answer = ask(port, Scrape);
    const qsizetype body = answer.indexOf("\r\n\r\n");
    if (!answer.startsWith("HTTP/1.1 200 OK\r\n") ||
        !answer.contains("Content-Type: text/plain; version=0.0.4; charset=utf-8\r\n") || body < 0)
        return Exposition("");
    return Exposition(answer.sliced(body + 4));
}

const QByteArray Limits = "[limits]\ntrustedAddresses=\nconnectionsPerAddress=1\n"
                          "[metrics]\nlisten=127.0.0.1:0\n";
} // namespace

class TestMetrics : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void countersMoveWithTrafficAndTellNothingOfIt();
    void endpointAnswersEveryRequest_data();
    void endpointAnswersEveryRequest();
    void endpointStaysOffRemoteAddressesUnlessAllowed();
};

void TestMetrics::countersMoveWithTrafficAndTellNothingOfIt()
{
    Core c(Limits);
    QVERIFY(c.core->start().isEmpty());
    c.core->api().setPasswordsRequired(true);
    const Exposition before = scrape(c.endpoint());
    QVERIFY2(before.fault.isEmpty(), qPrintable(before.fault));
    for (const char *bad :
         {"# TYPE a gauge\na{b=\"\"\"} 1\n", "a 1\n", "# TYPE a_total counter\na_total 1",
          "# TYPE a gauge\n# TYPE a gauge\n", "# HELP a \\x\n"})
        QVERIFY2(!Exposition(bad).fault.isEmpty(), bad); // the reader itself is strict
    for (const char *name :
         {"tarnwick_messages_relayed_total", "tarnwick_connections_refused_total{reason=\"limit\"}",
          "tarnwick_login_failures_total", "tarnwick_build_info{version=\"" TARNWICK_VERSION "\"}",
          "process_resident_memory_bytes", "process_open_fds", "process_start_time_seconds"})
        QVERIFY2(before.samples.contains(name), name);

    const quint16 chat = c.core->chat().port();
    const auto ann = RawClient::joined(chat, "Annabel", QStringLiteral("127.0.0.2"));
    const auto bob = RawClient::joined(chat, "Bobbins", QStringLiteral("127.0.0.3"));
    ann->sendLine("Message\tAnnabel: \tsecret words");
    QVERIFY(bob->waitForLine("Message\tAnnabel: \tsecret words\t\r\n", 3000));
    const auto guesser = RawClient::connected(c.core->login().port(), QStringLiteral("127.0.0.4"));
    guesser->sendLine("VALIDATE\tAnnabel\twrong password");
    QVERIFY(guesser->waitForLine("REJECTED\r\n", 3000));
    RawClient second; // over connectionsPerAddress
    second.connectTo(chat, QStringLiteral("127.0.0.2"));
    QVERIFY(second.waitForDisconnect());

    const QByteArray text = ask(c.endpoint(), Scrape);
    const Exposition after(text.sliced(text.indexOf("\r\n\r\n") + 4));
    QVERIFY2(after.fault.isEmpty(), qPrintable(after.fault));
    const auto moved = [&](const QByteArray &key) {
        return after.samples.value(key) - before.samples.value(key);
    };
    QCOMPARE(after.samples["tarnwick_users"], 2);
    QCOMPARE(after.samples["tarnwick_connections{service=\"chat\"}"], 2);
    QCOMPARE(after.samples["tarnwick_connections{service=\"login\"}"], 1);
    QCOMPARE(after.samples["tarnwick_free_slots"], ConnectionTable::Size - 3);
    QCOMPARE(moved("tarnwick_joins_total"), 2);
    QCOMPARE(moved("tarnwick_messages_relayed_total"), 1);
    QCOMPARE(moved("tarnwick_messages_total{group=\"public\"}"), 1);
    QCOMPARE(moved("tarnwick_connections_refused_total{reason=\"limit\"}"), 1);
    QCOMPARE(moved("tarnwick_connections_accepted_total"), 3);
    QCOMPARE(moved("tarnwick_login_failures_total"), 1);
    QVERIFY(moved("tarnwick_lines_received_total") >= 6); // two joins' lines, message, VALIDATE
    QCOMPARE(moved("tarnwick_line_lag_seconds_count"), moved("tarnwick_lines_received_total"));
    QVERIFY(moved("tarnwick_sent_bytes_total") > 0 && moved("tarnwick_received_bytes_total") > 0);
    for (const char *secret :
         {"Annabel", "Bobbins", "secret", "wrong", "127.0.0.2", "127.0.0.3", "127.0.0.4"})
        QVERIFY2(!text.contains(secret), secret);

    // `ctl metrics --json`: the same samples, as JSON.
    QStringList jsonNames;
    for (const QJsonValue &family : c.core->metrics().json()["metrics"].toArray()) {
        for (const QJsonValue &sample : family["samples"].toArray())
            jsonNames.append(sample["name"].toString());
    }
    QStringList textNames;
    for (const QByteArray &key : after.samples.keys())
        textNames.append(QString::fromLatin1(key.split('{').constFirst()));
    jsonNames.sort();
    textNames.sort();
    QCOMPARE(jsonNames, textNames);
}

void TestMetrics::endpointAnswersEveryRequest_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("status");
    const auto row = [](const char *name, const QByteArray &request,
                        const QByteArray &status = "400") {
        QTest::newRow(name) << request << status;
    };
    row("bare line feeds", "GET /metrics HTTP/1.1\nHost: a\n\n");
    row("HTTP/1.1 without Host", "GET /metrics HTTP/1.1\r\n\r\n");
    row("unknown version", "GET /metrics HTTP/2.0\r\nHost: a\r\n\r\n");
    row("lower-case method", "get /metrics HTTP/1.0\r\n\r\n");
    row("target without slash", "GET metrics HTTP/1.0\r\n\r\n");
    row("header without colon", "GET /metrics HTTP/1.0\r\nHost a\r\n\r\n");
    row("folded header", "GET /metrics HTTP/1.0\r\nA: b\r\n c\r\n\r\n");
    row("control byte in a value", "GET /metrics HTTP/1.0\r\nA: \x01\r\n\r\n");
    row("a body", "GET /metrics HTTP/1.1\r\nHost: a\r\nContent-Length: 4\r\n\r\nbody");
    row("two Hosts", "GET /metrics HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n");
    row("oversized head",
        "GET /metrics HTTP/1.1\r\nHost: a\r\nA: " + QByteArray(9000, 'x') + "\r\n\r\n");
    row("endless request line", "GET /" + QByteArray(100'000, 'x'));
    row("binary", QByteArray("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11));
    row("other method", "POST /metrics HTTP/1.0\r\n\r\n", "405");
    row("other path", "GET /admin HTTP/1.0\r\n\r\n", "404");
    row("HTTP/1.0 scrape", "GET /metrics HTTP/1.0\r\n\r\n", "200");
}

// Each answer ends the connection; the endpoint serves on, and its
// connections take no chat slot.
void TestMetrics::endpointAnswersEveryRequest()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, status);
    Core c(Limits);
    QVERIFY(c.core->start().isEmpty());
    RawClient idle;
    QVERIFY(idle.connectTo(c.endpoint()));
    QVERIFY(ask(c.endpoint(), request).startsWith(QByteArray("HTTP/1.1 " + status + ' ')));
    QCOMPARE(c.core->api().status().freeSlots, ConnectionTable::Size);
    QVERIFY(scrape(c.endpoint()).fault.isEmpty());
}

void TestMetrics::endpointStaysOffRemoteAddressesUnlessAllowed()
{
    Core refused("[metrics]\nlisten=0.0.0.0:0\n");
    QSignalSpy notices(&refused.core->api(), &OperatorApi::notice);
    QVERIFY(refused.core->start().isEmpty());
    QVERIFY(!refused.core->metricsEndpoint().isListening());
    QCOMPARE(notices.size(), 1);
    QVERIFY(notices[0][0].toString().contains(QStringLiteral("allowRemote=true")));

    Core allowed("[metrics]\nlisten=0.0.0.0:0\nallowRemote=true\n");
    QVERIFY(allowed.core->start().isEmpty());
    QVERIFY(scrape(allowed.endpoint()).fault.isEmpty());
}

QTEST_GUILESS_MAIN(TestMetrics)
#include "tst_metrics.moc"
