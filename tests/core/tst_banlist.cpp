#include "core/banlist.h"

#include <QTest>

using Items = QList<QByteArray>;

class TestBanList : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void items_data();
    void items();
};

void TestBanList::items_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<Items>("expected");
    QTest::newRow("lines and commas") << QByteArray("\"1.2.3.4\"\r\n\"5.6.7.8\",\"9.9.9.9\"")
                                      << Items{"1.2.3.4", "5.6.7.8", "9.9.9.9"};
    QTest::newRow("unquoted trimmed, quoted kept, blank lines skipped")
        << QByteArray(" 1.2.3.4 \n\r\n\" 5.6.7.8\"\r\n") << Items{"1.2.3.4", " 5.6.7.8"};
    QTest::newRow("unclosed quote runs to the end")
        << QByteArray("\"1.2.3.4\r\n") << Items{"1.2.3.4\r\n"};
}

void TestBanList::items()
{
    QFETCH(QByteArray, content);
    QFETCH(Items, expected);
    QCOMPARE(BanList::parseItems(content), expected);
}

QTEST_APPLESS_MAIN(TestBanList)
#include "tst_banlist.moc"
