#include "core/banlist.h"
#include "core/codepage.h"
#include "core/lineframer.h"

#include <QTest>

using Lines = QList<QByteArray>;

class TestTextRules : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void framing_data();
    void framing();
    void overlongLineIsDiscardedHoweverItArrives();
    void folding_data();
    void folding();
    void everyByteReachesUtf8AsShown();
    void banItems_data();
    void banItems();
};

void TestTextRules::framing_data()
{
    QTest::addColumn<Lines>("chunks");
    QTest::addColumn<Lines>("lines");
    QTest::newRow("lines cut at chunk ends, also between CR and LF")
        << Lines{"Name\tbob\r\nMO", "TD\r", "\nSOUND\tx\r\n"}
        << Lines{"Name\tbob", "MOTD", "SOUND\tx"};
    QTest::newRow("lone CR and LF stay inside the line")
        << Lines{"a\rb\nc\r\n"} << Lines{"a\rb\nc"};
}

void TestTextRules::framing()
{
    QFETCH(Lines, chunks);
    LineFramer framer;
    Lines got;
    for (const QByteArray &chunk : chunks)
        got += framer.append(chunk);
    QTEST(got, "lines");
}

void TestTextRules::overlongLineIsDiscardedHoweverItArrives()
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

void TestTextRules::folding_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("upper");
    QTest::newRow("ascii") << QByteArray("bob [aw]1\t") << QByteArray("BOB [AW]1\t");
    QTest::newRow("accented letters") << QByteArray("\xE9\xE0\xFE") << QByteArray("\xC9\xC0\xDE");
    QTest::newRow("s caron, oe, z caron, y diaeresis")
        << QByteArray("\x9A\x9C\x9E\xFF") << QByteArray("\x8A\x8C\x8E\x9F");
    QTest::newRow("no letters: division sign, yen mark, sharp s")
        << QByteArray("\xF7\xA5\xDF") << QByteArray("\xF7\xA5\xDF");
}

void TestTextRules::folding()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, upper);
    QCOMPARE(Codepage::toUpper(text), upper);
    QCOMPARE(Codepage::toUpper(Codepage::toLower(upper)), upper);
    QVERIFY(Codepage::equalsIgnoringCase(text, upper));
    QVERIFY(!Codepage::equalsIgnoringCase(text, upper + ' '));
}

void TestTextRules::everyByteReachesUtf8AsShown()
{
    // The log stream's short cut for plain ASCII must give what the window shows.
    QByteArray all;
    for (int b = 1; b < 256; ++b)
        all += char(b);
    for (const QByteArray &text : {all, QByteArray("Message\tplain\t"), all.right(1), QByteArray()})
        QCOMPARE(Codepage::toUtf8(text), Codepage::toDisplay(text).toUtf8());
}

void TestTextRules::banItems_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<Lines>("items");
    QTest::newRow("lines and commas") << QByteArray("\"1.2.3.4\"\r\n\"5.6.7.8\",\"9.9.9.9\"")
                                      << Lines{"1.2.3.4", "5.6.7.8", "9.9.9.9"};
    QTest::newRow("unquoted trimmed, quoted kept, blank lines skipped")
        << QByteArray(" 1.2.3.4 \n\r\n\" 5.6.7.8\"\r\n") << Lines{"1.2.3.4", " 5.6.7.8"};
    QTest::newRow("unclosed quote runs to the end")
        << QByteArray("\"1.2.3.4\r\n") << Lines{"1.2.3.4\r\n"};
    QTest::newRow("comma inside quotes, text after the closing quote dropped")
        << QByteArray("\"a,b\"x\r\n") << Lines{"a,b"};
    QTest::newRow("quote inside a bare item") << QByteArray("ab\"c\r\n\"d") << Lines{"ab\"c", "d"};
}

void TestTextRules::banItems()
{
    QFETCH(QByteArray, content);
    QFETCH(Lines, items);
    QCOMPARE(BanList::parseItems(content), items);
    // Written back as the server writes them, they read as the same items.
    QCOMPARE(BanList::parseItems(BanList::formatItems(items)), items);
}

QTEST_APPLESS_MAIN(TestTextRules)
#include "tst_textrules.moc"
