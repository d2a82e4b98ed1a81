#include "core/codepage.h"

#include <QTest>

class TestCodepage : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void folding_data();
    void folding();
};

void TestCodepage::folding_data()
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

void TestCodepage::folding()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, upper);
    QCOMPARE(Codepage::toUpper(text), upper);
    QCOMPARE(Codepage::toUpper(Codepage::toLower(upper)), upper);
    QVERIFY(Codepage::equalsIgnoringCase(text, upper));
    QVERIFY(!Codepage::equalsIgnoringCase(text, upper + ' '));
}

QTEST_APPLESS_MAIN(TestCodepage)
#include "tst_codepage.moc"
