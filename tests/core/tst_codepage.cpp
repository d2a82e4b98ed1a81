#include "core/codepage.h"

#include <QTest>

class TestCodepage : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void upperCase_data();
    void upperCase();
    void equalityIgnoresCaseOnly();
    void displayRoundTripsEveryAssignedByte();
};

void TestCodepage::upperCase_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("upper");
    QTest::newRow("ascii") << QByteArray("bob [aw]") << QByteArray("BOB [AW]");
    QTest::newRow("accented letters") << QByteArray("\xE9\xE0\xFE") << QByteArray("\xC9\xC0\xDE");
    QTest::newRow("division sign is no letter") << QByteArray("\xF7") << QByteArray("\xF7");
    QTest::newRow("s caron, oe, z caron, y diaeresis")
        << QByteArray("\x9A\x9C\x9E\xFF") << QByteArray("\x8A\x8C\x8E\x9F");
    QTest::newRow("yen mark and sharp s stay") << QByteArray("\xA5\xDF") << QByteArray("\xA5\xDF");
    QTest::newRow("digits and tabs stay") << QByteArray("a1\tb") << QByteArray("A1\tB");
}

void TestCodepage::upperCase()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, upper);
    QCOMPARE(Codepage::toUpper(text), upper);
    QCOMPARE(Codepage::toUpper(Codepage::toLower(upper)), upper);
}

void TestCodepage::equalityIgnoresCaseOnly()
{
    QVERIFY(Codepage::equalsIgnoringCase("Bob", "bOB"));
    QVERIFY(Codepage::equalsIgnoringCase("Ren\xE9", "REN\xC9"));
    QVERIFY(!Codepage::equalsIgnoringCase("Bob", "Bob "));
    QVERIFY(!Codepage::equalsIgnoringCase("\xA5" "Bob", "Bob"));
}

void TestCodepage::displayRoundTripsEveryAssignedByte()
{
    QByteArray all;
    for (int c = 1; c < 256; ++c)
        all += char(c);
    const QString shown = Codepage::toDisplay(all);
    QCOMPARE(shown.size(), all.size());
    QCOMPARE(shown.at(0x80 - 1), QChar(0x20AC)); // euro sign
    QCOMPARE(shown.at(0xA5 - 1), QChar(0x00A5)); // the moderator mark
    QCOMPARE(Codepage::fromDisplay(shown), all);
}

QTEST_APPLESS_MAIN(TestCodepage)
#include "tst_codepage.moc"
