#include "admin/sysoplist.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

using Records = QList<SysopRecord>;

class TestSysopList : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void credentialsMatchExactly_data();
    void credentialsMatchExactly();
    void saveReplacesTheFileWhole();
};

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
    const QString path = dir.filePath("sysops.dat");
    QVERIFY(SysopList::save(path, {{"Ann", "ann@x.org", "pw1"},
                                   {"Bob", "bob@x.org", "pw2"},
                                   {"Cy", "cy@x.org", ""},
                                   {"Dee", "", ""}}));
    QTEST(SysopList::isSysop(path, email, password), "expected");
}

void TestSysopList::saveReplacesTheFileWhole()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("sysops.dat");
    const Records records{{"Bob", "bob@x.org", "pw2"}, {"\xA5Jos\xE9", "", ""}};
    QVERIFY(SysopList::save(path, {{"Ann", "ann@x.org", "a much longer password"}}));
    QVERIFY(SysopList::save(path, records));
    QCOMPARE(SysopList::load(path), records);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"sysops.dat"});
    // A record the format cannot hold leaves the old file as it was.
    QString error;
    QVERIFY(!SysopList::save(path, {{"A\tnn", "a@x", "p"}}, &error));
    QVERIFY(!error.isEmpty());
    QCOMPARE(SysopList::load(path), records);
}

QTEST_GUILESS_MAIN(TestSysopList)
#include "tst_sysoplist.moc"
