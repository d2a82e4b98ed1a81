#include "core/lineframer.h"

#include <QTest>

class TestLineFramer : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void framing_data();
    void framing();
    void overlongLineIsDiscardedAndConnectionGoesOn();
    void capHoldsHoweverTheLineArrives();
    void clearDropsThePendingLine();
};

using Chunks = QList<QByteArray>;
using Lines = QList<QByteArray>;

void TestLineFramer::framing_data()
{
    QTest::addColumn<Chunks>("chunks");
    QTest::addColumn<Lines>("lines");
    QTest::addColumn<QByteArray>("pending");

    QTest::newRow("one line") << Chunks{"MOTD\r\n"} << Lines{"MOTD"} << QByteArray();
    QTest::newRow("several lines in one chunk")
        << Chunks{"MSG\thi\r\nMessage\ta: \tb\r\n"} << Lines{"MSG\thi", "Message\ta: \tb"}
        << QByteArray();
    QTest::newRow("line cut at chunk end is completed by the next chunk")
        << Chunks{"Name\tbob\r\nMO", "TD\r\n"} << Lines{"Name\tbob", "MOTD"} << QByteArray();
    QTest::newRow("CR and LF in different chunks")
        << Chunks{"MOTD\r", "\nSOUND\tx\r\n"} << Lines{"MOTD", "SOUND\tx"} << QByteArray();
    QTest::newRow("a lone CR stays inside the line")
        << Chunks{"a\rb\r\n"} << Lines{"a\rb"} << QByteArray();
    QTest::newRow("a lone LF stays inside the line")
        << Chunks{"a\nb\r\n"} << Lines{"a\nb"} << QByteArray();
    QTest::newRow("CR LF alone is one empty line") << Chunks{"\r\n"} << Lines{""} << QByteArray();
    QTest::newRow("unfinished line waits") << Chunks{"Name\tbo"} << Lines{} << QByteArray("Name\tbo");
    QTest::newRow("byte by byte")
        << Chunks{"P", "M", "\t", "x", "\r", "\n"} << Lines{"PM\tx"} << QByteArray();
    QTest::newRow("8-bit bytes pass unchanged")
        << Chunks{QByteArray("\xA5" "Bob\r\n")} << Lines{QByteArray("\xA5" "Bob")} << QByteArray();
}

void TestLineFramer::framing()
{
    QFETCH(Chunks, chunks);
    QFETCH(Lines, lines);
    QFETCH(QByteArray, pending);
    LineFramer framer;
    Lines got;
    for (const QByteArray &chunk : chunks)
        got += framer.append(chunk);
    QCOMPARE(got, lines);
    QCOMPARE(framer.pending(), pending);
}

void TestLineFramer::overlongLineIsDiscardedAndConnectionGoesOn()
{
    LineFramer framer(16);
    QVERIFY(framer.append("0123456789").isEmpty());
    QVERIFY(framer.append("0123456789").isEmpty()); // over the cap: thrown away
    QVERIFY(framer.isDiscarding());
    QVERIFY(framer.pending().size() <= 1);
    QVERIFY(framer.append("still the same long line").isEmpty());
    // Its end, cut between CR and LF, finishes the discarded line only.
    QVERIFY(framer.append("tail\r").isEmpty());
    QCOMPARE(framer.append("\nMOTD\r\n"), Lines{"MOTD"});
    QVERIFY(!framer.isDiscarding());
    QCOMPARE(framer.append("short\r\n"), Lines{"short"});
}

void TestLineFramer::capHoldsHoweverTheLineArrives()
{
    LineFramer framer(16);
    // In one chunk: the long line goes, the short one stays.
    QCOMPARE(framer.append("0123456789abcdefX\r\nok\r\n"), Lines{"ok"});
    // Exactly at the cap, with the CR arriving apart from its LF.
    QCOMPARE(framer.append("0123456789abcdef\r"), Lines{});
    QCOMPARE(framer.append("\n"), Lines{"0123456789abcdef"});
}

void TestLineFramer::clearDropsThePendingLine()
{
    LineFramer framer;
    framer.append("Name\tbo");
    framer.clear();
    QCOMPARE(framer.append("b\r\n"), Lines{"b"});
}

QTEST_APPLESS_MAIN(TestLineFramer)
#include "tst_lineframer.moc"
