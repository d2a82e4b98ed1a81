#include "core/lineframer.h"

#include <QTest>

using Lines = QList<QByteArray>;

class TestLineFramer : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void framing_data();
    void framing();
    void overlongLineIsDiscardedHoweverItArrives();
};

void TestLineFramer::framing_data()
{
    QTest::addColumn<Lines>("chunks");
    QTest::addColumn<Lines>("lines");
    QTest::addColumn<QByteArray>("pending");
    QTest::newRow("several lines in one chunk")
        << Lines{"MSG\thi\r\nMessage\ta: \tb\r\n"} << Lines{"MSG\thi", "Message\ta: \tb"}
        << QByteArray();
    QTest::newRow("line cut at chunk end")
        << Lines{"Name\tbob\r\nMO", "TD\r\n"} << Lines{"Name\tbob", "MOTD"} << QByteArray();
    QTest::newRow("CR and LF in different chunks")
        << Lines{"MOTD\r", "\nSOUND\tx\r\n"} << Lines{"MOTD", "SOUND\tx"} << QByteArray();
    QTest::newRow("lone CR and LF stay inside the line")
        << Lines{"a\rb\nc\r\n"} << Lines{"a\rb\nc"} << QByteArray();
    QTest::newRow("unfinished line waits")
        << Lines{"Name\tbo"} << Lines{} << QByteArray("Name\tbo");
}

void TestLineFramer::framing()
{
    QFETCH(Lines, chunks);
    QFETCH(Lines, lines);
    QFETCH(QByteArray, pending);
    LineFramer framer;
    Lines got;
    for (const QByteArray &chunk : chunks)
        got += framer.append(chunk);
    QCOMPARE(got, lines);
    QCOMPARE(framer.pending(), pending);
}

void TestLineFramer::overlongLineIsDiscardedHoweverItArrives()
{
    LineFramer framer(16);
    QCOMPARE(framer.append("0123456789abcdefX\r\nok\r\n"), Lines{"ok"});
    QVERIFY(framer.append("0123456789").isEmpty());
    QVERIFY(framer.append("0123456789").isEmpty());
    QVERIFY(framer.pending().size() <= 1); // over the cap: nothing kept
    // Its end, cut between CR and LF, finishes the discarded line only.
    QVERIFY(framer.append("tail\r").isEmpty());
    QCOMPARE(framer.append("\nMOTD\r\n"), Lines{"MOTD"});
    QCOMPARE(framer.append("0123456789abcdef\r"), Lines{});
    QCOMPARE(framer.append("\n"), Lines{"0123456789abcdef"});
}

QTEST_APPLESS_MAIN(TestLineFramer)
#include "tst_lineframer.moc"
