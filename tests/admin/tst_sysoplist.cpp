#include "admin/sysoplist.h"

#include <QTest>

class TestSysopList : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void credentialsMatchExactly_data();
    void credentialsMatchExactly();
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
    const QByteArray content = SysopList::serialize({{"Ann", "ann@x.org", "pw1"},
                                                     {"Bob", "bob@x.org", "pw2"},
                                                     {"Cy", "cy@x.org", ""},
                                                     {"Dee", "", ""}});
    QTEST(SysopList::isSysop(content, email, password), "expected");
}

QTEST_GUILESS_MAIN(TestSysopList)
#include "tst_sysoplist.moc"
