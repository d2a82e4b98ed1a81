#include "core/banlist.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class TestBanList : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void items_data();
    void items();
    void appendWritesOneQuotedLine();
    void missingFileHasNoItems();
    void appendToUnwritablePlaceFailsWithReason();
};

using Items = QList<QByteArray>;

void TestBanList::items_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<Items>("expected");
    QTest::newRow("lines as written") << QByteArray("\"1.2.3.4\"\r\n\"5.6.7.8\"\r\n")
                                      << Items{"1.2.3.4", "5.6.7.8"};
    QTest::newRow("commas separate items") << QByteArray("\"1.2.3.4\",\"5.6.7.8\"\r\n")
                                           << Items{"1.2.3.4", "5.6.7.8"};
    QTest::newRow("unquoted items are trimmed") << QByteArray(" 1.2.3.4 , 5.6.7.8\n")
                                                << Items{"1.2.3.4", "5.6.7.8"};
    QTest::newRow("quoted item keeps its spaces") << QByteArray("\" 1.2.3.4\"\r\n")
                                                  << Items{" 1.2.3.4"};
    QTest::newRow("no final line end") << QByteArray("\"1.2.3.4\"") << Items{"1.2.3.4"};
    QTest::newRow("blank lines are skipped") << QByteArray("\r\n\r\n\"1.2.3.4\"\r\n")
                                             << Items{"1.2.3.4"};
    QTest::newRow("unclosed quote runs to the end") << QByteArray("\"1.2.3.4\r\n")
                                                    << Items{"1.2.3.4\r\n"};
    QTest::newRow("empty file") << QByteArray() << Items{};
}

void TestBanList::items()
{
    QFETCH(QByteArray, content);
    QFETCH(Items, expected);
    QCOMPARE(BanList::parseItems(content), expected);
}

void TestBanList::appendWritesOneQuotedLine()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("ban.txt");
    QVERIFY(BanList::append(path, "10.0.0.5"));
    QVERIFY(BanList::append(path, "10.0.0.5"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("\"10.0.0.5\"\r\n\"10.0.0.5\"\r\n"));
    QCOMPARE(BanList::readItems(path), (Items{"10.0.0.5", "10.0.0.5"}));
}

void TestBanList::missingFileHasNoItems()
{
    QTemporaryDir dir;
    QVERIFY(BanList::readItems(dir.filePath("ban.txt")).isEmpty());
}

void TestBanList::appendToUnwritablePlaceFailsWithReason()
{
    QTemporaryDir dir;
    QString reason;
    QVERIFY(!BanList::append(dir.filePath("no/such/ban.txt"), "1.2.3.4", &reason));
    QVERIFY(!reason.isEmpty());
}

QTEST_APPLESS_MAIN(TestBanList)
#include "tst_banlist.moc"
