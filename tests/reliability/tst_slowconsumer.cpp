#include "programrun.h"
#include "rawclient.h"
#include "testfolders.h"

#include <QElapsedTimer>
#include <QTest>

#include <poll.h>

#include <memory>
#include <vector>

// A joined client that never reads while the others talk: the others get every
// line, the silent one is dropped once its unsent output passes the cap and
// everyone is told it left, and the server's memory stays bounded.
class TestSlowConsumer : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void readersGetEveryLineWhileTheSilentOneIsDropped();
};

namespace {
constexpr int Readers = 6;
constexpr int Messages = 50'000;
// Messages a reader may have on the way before it waits for its own to return.
constexpr int Window = 20;
constexpr qint64 RssAllowanceKb = 64 * 1024;

QByteArray readerName(int k)
{
    return "Reader" + QByteArray::number(k);
}

QByteArray messageText(int id)
{
    // Long enough that the silent client's backlog passes the cap well before the end.
    return QByteArray::number(id) + ' ' + QByteArray(190, char('a' + id % 26));
}

QByteArray relayedLine(int id)
{
    return "Message\t" + readerName(id % Readers) + ": \t" + messageText(id) + "\t\r\n";
}

const QList<QByteArray> SlothLeft = leavingLines("Sloth");

struct Reader
{
    RawClient connection{RawClient::Mode::Polled};
    std::vector<bool> seen = std::vector<bool>(Messages, false);
    int received = 0;
    int duplicates = 0;
    int malformed = 0;
    int sent = 0;
    int echoed = 0;
    QList<QByteArray> other; // every line that is not a chat line
};
} // namespace

void TestSlowConsumer::readersGetEveryLineWhileTheSilentOneIsDropped()
{
    HostedServer server(QStringLiteral(TARNWICK_SERVER_PATH));
    // The readers send as fast as the window lets them: flood control would
    // only slow the run down.
    QVERIFY(writeFile(server.dataFile("tarnwick-server.ini"), "[limits]\nfloodBurst=0\n"));
    QVERIFY(server.start({}, offscreenWindow()));

    std::vector<std::unique_ptr<Reader>> readers;
    for (int k = 0; k < Readers; ++k) {
        readers.push_back(std::make_unique<Reader>());
        QVERIFY(readers.back()->connection.connectTo(3069) &&
                readers.back()->connection.join(readerName(k)));
    }
    RawClient sloth{RawClient::Mode::Polled};
    QVERIFY(sloth.connectTo(3069, "127.0.0.1", 4096) && sloth.join("Sloth"));
    for (auto &reader : readers)
        QVERIFY(reader->connection.waitForLine("ADDUSER\tSloth\r\n", 10000));
    const qint64 idleKb = server.statusKb("VmRSS");
    QVERIFY(idleKb > 0);

    QElapsedTimer clock;
    clock.start();
    qint64 peakSampledKb = idleKb;
    qint64 lastSample = 0;
    qint64 slothDroppedAtMs = -1;
    int done = 0;
    std::vector<pollfd> waiting(Readers);
    while (done < Readers && clock.elapsed() < 240'000) {
        for (int k = 0; k < Readers; ++k) {
            Reader &r = *readers[k];
            const int quota = Messages / Readers + (k < Messages % Readers ? 1 : 0);
            QByteArray batch;
            while (r.sent < quota && r.sent - r.echoed < Window) {
                const int id = r.sent * Readers + k;
                batch += "Message\t" + readerName(k) + ": \t" + messageText(id) + "\r\n";
                ++r.sent;
            }
            if (!batch.isEmpty())
                r.connection.send(batch);
            r.connection.flush();
            waiting[k] = {r.connection.fd(),
                          short(POLLIN | (r.connection.hasUnsent() ? POLLOUT : 0)), 0};
        }
        ::poll(waiting.data(), nfds_t(waiting.size()), 10);
        done = 0;
        for (int k = 0; k < Readers; ++k) {
            Reader &r = *readers[k];
            QList<QByteArray> lines;
            r.connection.readAvailable(
                [&lines](QByteArrayView line) { lines.append(line.toByteArray()); });
            for (const QByteArray &line : std::as_const(lines)) {
                if (!line.startsWith("Message\t")) {
                    r.other.append(line);
                    if (line == SlothLeft.constFirst() && slothDroppedAtMs < 0)
                        slothDroppedAtMs = clock.elapsed();
                    continue;
                }
                const int id = line.split('\t').value(2).split(' ').constFirst().toInt();
                if (id < 0 || id >= Messages || line != relayedLine(id)) {
                    ++r.malformed;
                    continue;
                }
                if (r.seen[id]) {
                    ++r.duplicates;
                    continue;
                }
                r.seen[id] = true;
                ++r.received;
                if (id % Readers == k)
                    ++r.echoed;
            }
            QVERIFY2(!r.connection.peerEnded(), "a reader that keeps up was dropped");
            if (r.received == Messages)
                ++done;
        }
        if (clock.elapsed() - lastSample >= 200) {
            lastSample = clock.elapsed();
            peakSampledKb = qMax(peakSampledKb, server.statusKb("VmRSS"));
        }
    }
    const qint64 elapsedMs = clock.elapsed();
    // The leaving lines may still be on their way to a reader that finished first.
    for (auto &reader : readers) {
        if (!reader->other.contains(SlothLeft.constLast()))
            reader->connection.waitForLine(SlothLeft.constLast(), 5000, &reader->other);
    }
    const qint64 peakKb = qMax(peakSampledKb, server.statusKb("VmHWM"));
    qInfo("%d messages to %d readers in %lld ms; the silent client was dropped after %lld ms; "
          "VmRSS idle %lld KiB, peak %lld KiB (growth %lld KiB)",
          Messages, Readers, elapsedMs, slothDroppedAtMs, idleKb, peakKb, peakKb - idleKb);

    for (int k = 0; k < Readers; ++k) {
        const Reader &r = *readers[k];
        QCOMPARE(r.malformed, 0);
        QCOMPARE(r.duplicates, 0);
        QCOMPARE(r.received, Messages);
        // Told once that the silent client left, and of nothing else.
        QCOMPARE(r.other, SlothLeft);
    }
    QVERIFY(slothDroppedAtMs >= 0);
    QVERIFY2(sloth.waitForDisconnect(10000), "the silent client is still connected");
    QVERIFY(server.isRunning());
    QVERIFY2(peakKb - idleKb <= RssAllowanceKb, "resident memory grew by more than 64 MB");

    // Its entry and row are free again: a newcomer hears of the readers only.
    RawClient fresh{RawClient::Mode::Polled};
    QVERIFY(fresh.connectTo(3069));
    QList<QByteArray> expected;
    for (int k = 0; k < Readers; ++k)
        expected.append("ADDUSER\t" + readerName(k) + "\r\n");
    expected.append("ADDUSER\tFresh\r\n");
    // Reader k has entry k, the newcomer the lowest free one: Sloth's.
    QCOMPARE(addUserLinesOfJoin(fresh, "Fresh", "MOTD\t\r\n"), expected);
}

QTEST_GUILESS_MAIN(TestSlowConsumer)
#include "tst_slowconsumer.moc"
