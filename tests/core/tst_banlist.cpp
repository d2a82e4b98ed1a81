#include "core/banlist.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using Items = QList<QByteArray>;

class TestBanList : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void items_data();
    void items();
    void appendWritesOneQuotedLine();
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

void TestBanList::appendWritesOneQuotedLine()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("ban.txt");
    QVERIFY(BanList::readItems(path).isEmpty());
    QVERIFY(BanList::append(path, "10.0.0.5"));
    QVERIFY(BanList::append(path, "10.0.0.5"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("\"10.0.0.5\"\r\n\"10.0.0.5\"\r\n"));
}

QTEST_APPLESS_MAIN(TestBanList)
#include "tst_banlist.moc"
