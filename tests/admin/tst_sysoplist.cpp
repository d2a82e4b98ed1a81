#include "admin/sysoplist.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using Records = QList<SysopRecord>;
Q_DECLARE_METATYPE(Records)

class TestSysopList : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void credentialsMatchExactly_data();
    void credentialsMatchExactly();
    void saveReplacesTheFileWhole();
};

namespace {
const SysopRecord Ann{"Ann", "ann@x.org", "pw1"};
const SysopRecord Bob{"Bob", "bob@x.org", "pw2"};
} // namespace

void TestSysopList::credentialsMatchExactly_data()
{
    QTest::addColumn<QByteArray>("email");
    QTest::addColumn<QByteArray>("password");
    QTest::addColumn<bool>("expected");
    QTest::newRow("second record") << QByteArray("bob@x.org") << QByteArray("pw2") << true;
    QTest::newRow("e-mail case") << QByteArray("BOB@x.org") << QByteArray("pw2") << false;
    QTest::newRow("password case") << QByteArray("ann@x.org") << QByteArray("PW1") << false;
    QTest::newRow("two records' fields") << QByteArray("ann@x.org") << QByteArray("pw2") << false;
    QTest::newRow("empty password") << QByteArray("cy@x.org") << QByteArray() << false;
    QTest::newRow("empty credentials") << QByteArray() << QByteArray() << false;
}

void TestSysopList::credentialsMatchExactly()
{
    QFETCH(QByteArray, email);
    QFETCH(QByteArray, password);
    QTemporaryDir dir;
    QFile file(dir.filePath("sysops.dat"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("\r\nAnn\tann@x.org\tpw1\r\nBob\tbob@x.org\tpw2\r\nCy\tcy@x.org\t\r\nDee\r\n");
    file.close();
    QTEST(SysopList::isSysop(file.fileName(), email, password), "expected");
}

void TestSysopList::saveReplacesTheFileWhole()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("sysops.dat");
    QVERIFY(SysopList::save(path, {Ann, {"\xA5Jos\xE9", "", ""}}));
    QVERIFY(SysopList::save(path, {Bob, {"\xA5Jos\xE9", "", ""}}));
    QCOMPARE(SysopList::load(path), Records({Bob, {"\xA5Jos\xE9", "", ""}}));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"sysops.dat"});
    // A record the format cannot hold leaves the old file as it was.
    QString error;
    QVERIFY(!SysopList::save(path, {{"A\tnn", "a@x", "p"}}, &error));
    QVERIFY(!error.isEmpty());
    QCOMPARE(SysopList::load(path), Records({Bob, {"\xA5Jos\xE9", "", ""}}));
}

QTEST_GUILESS_MAIN(TestSysopList)
#include "tst_sysoplist.moc"
