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
    QTest::newRow("line cut at chunk end")
        << Lines{"Name\tbob\r\nMO", "TD\r\n"} << Lines{"Name\tbob", "MOTD"};
    QTest::newRow("CR and LF in different chunks")
        << Lines{"MOTD\r", "\nSOUND\tx\r\n"} << Lines{"MOTD", "SOUND\tx"};
    QTest::newRow("lone CR and LF stay inside the line")
        << Lines{"a\rb\nc\r\n"} << Lines{"a\rb\nc"};
}

void TestLineFramer::framing()
{
    QFETCH(Lines, chunks);
    LineFramer framer;
    Lines got;
    for (const QByteArray &chunk : chunks)
        got += framer.append(chunk);
    QTEST(got, "lines");
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
