#include "admin/sysoplist.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

Q_DECLARE_METATYPE(QList<SysopRecord>)

namespace {
QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
}
} // namespace

class TestSysopList : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void parse_data();
    void parse();
    void saveFailureKeepsOldFile_data();
    void saveFailureKeepsOldFile();
    void isSysop_data();
    void isSysop();
};

void TestSysopList::parse_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QList<SysopRecord>>("records");

    const SysopRecord ann{"Ann", "ann@x.org", "pw1"};
    const SysopRecord bob{"Bob", "bob@x.org", "pw2"};
    QTest::newRow("empty file") << QByteArray() << QList<SysopRecord>();
    QTest::newRow("only the first line") << QByteArray("\r\n") << QList<SysopRecord>();
    QTest::newRow("two records") << QByteArray("\r\nAnn\tann@x.org\tpw1\r\nBob\tbob@x.org\tpw2\r\n")
                                 << QList<SysopRecord>{ann, bob};
    QTest::newRow("record on the first line is skipped")
        << QByteArray("Ann\tann@x.org\tpw1\r\nBob\tbob@x.org\tpw2\r\n") << QList<SysopRecord>{bob};
    QTest::newRow("unterminated last record is skipped")
        << QByteArray("\r\nAnn\tann@x.org\tpw1\r\nBob\tbob@x.org\tpw2") << QList<SysopRecord>{ann};
    QTest::newRow("one field") << QByteArray("\r\nAnn\r\n") << QList<SysopRecord>{{"Ann", "", ""}};
    QTest::newRow("two fields") << QByteArray("\r\nAnn\tann@x.org\r\n")
                                << QList<SysopRecord>{{"Ann", "ann@x.org", ""}};
    QTest::newRow("more than three fields")
        << QByteArray("\r\nAnn\tann@x.org\tpw1\textra\tmore\r\n") << QList<SysopRecord>{ann};
    QTest::newRow("blank lines add no row")
        << QByteArray("\r\nAnn\tann@x.org\tpw1\r\n\r\n\r\nBob\tbob@x.org\tpw2\r\n")
        << QList<SysopRecord>{ann, bob};
    QTest::newRow("a lone LF is no line end") << QByteArray("\r\nAnn\nX\tann@x.org\tpw1\r\n")
                                              << QList<SysopRecord>{{"Ann\nX", "ann@x.org", "pw1"}};
    QTest::newRow("a lone CR is no line end") << QByteArray("\r\nAnn\tann@x.org\tp\rw\r\n")
                                              << QList<SysopRecord>{{"Ann", "ann@x.org", "p\rw"}};
    QTest::newRow("8-bit text as is") << QByteArray("\r\n\xA5Jos\xE9\tj@x.org\t\xFC\xDF\r\n")
                                      << QList<SysopRecord>{{"\xA5Jos\xE9", "j@x.org", "\xFC\xDF"}};
}

void TestSysopList::parse()
{
    QFETCH(QByteArray, content);
    QFETCH(QList<SysopRecord>, records);
    QCOMPARE(SysopList::parse(content), records);
}

void TestSysopList::saveFailureKeepsOldFile_data()
{
    QTest::addColumn<bool>("folderMissing");
    QTest::addColumn<QList<SysopRecord>>("records");
    QTest::newRow("folder missing") << true << QList<SysopRecord>{{"Ann", "a@x", "p"}};
    QTest::newRow("TAB in a field") << false << QList<SysopRecord>{{"A\tnn", "a@x", "p"}};
    QTest::newRow("LF in a field") << false << QList<SysopRecord>{{"Ann", "a@x\n", "p"}};
    QTest::newRow("CR in a field") << false << QList<SysopRecord>{{"Ann", "a@x", "\rp"}};
}

void TestSysopList::saveFailureKeepsOldFile()
{
    QFETCH(bool, folderMissing);
    QFETCH(QList<SysopRecord>, records);
    QTemporaryDir dir;
    const QString path =
        folderMissing ? dir.filePath("gone/sysops.dat") : dir.filePath("sysops.dat");
    const QByteArray old = "\r\nOld\told@x\told\r\n";
    if (!folderMissing)
        writeFile(path, old);
    QString error;
    QVERIFY(!SysopList::save(path, records, &error));
    QVERIFY(!error.isEmpty());
    QCOMPARE(readFile(path), folderMissing ? QByteArray() : old);
}

void TestSysopList::isSysop_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QByteArray>("email");
    QTest::addColumn<QByteArray>("password");
    QTest::addColumn<bool>("expected");

    const QByteArray list = "\r\nAnn\tann@x.org\tpw1\r\nBob\tbob@x.org\tSecret\r\n";
    QTest::newRow("first record") << list << QByteArray("ann@x.org") << QByteArray("pw1") << true;
    QTest::newRow("second record")
        << list << QByteArray("bob@x.org") << QByteArray("Secret") << true;
    QTest::newRow("e-mail in other case")
        << list << QByteArray("BOB@x.org") << QByteArray("Secret") << false;
    QTest::newRow("password in other case")
        << list << QByteArray("bob@x.org") << QByteArray("secret") << false;
    QTest::newRow("fields of two records")
        << list << QByteArray("ann@x.org") << QByteArray("Secret") << false;
    QTest::newRow("name is not an e-mail")
        << list << QByteArray("Ann") << QByteArray("pw1") << false;
    QTest::newRow("record on the first line")
        << QByteArray("Ann\tann@x.org\tpw1\r\n") << QByteArray("ann@x.org") << QByteArray("pw1")
        << false;
    QTest::newRow("unterminated last record")
        << QByteArray("\r\nAnn\tann@x.org\tpw1") << QByteArray("ann@x.org") << QByteArray("pw1")
        << false;
    QTest::newRow("after a blank line") << QByteArray("\r\n\r\nAnn\tann@x.org\tpw1\r\n")
                                        << QByteArray("ann@x.org") << QByteArray("pw1") << true;
    QTest::newRow("extra fields ignored") << QByteArray("\r\nAnn\tann@x.org\tpw1\tx\r\n")
                                          << QByteArray("ann@x.org") << QByteArray("pw1") << true;
    QTest::newRow("record without password")
        << QByteArray("\r\nAnn\tann@x.org\r\n") << QByteArray("ann@x.org") << QByteArray() << false;
    QTest::newRow("saved short record, empty credentials")
        << QByteArray("\r\nAnn\t\t\r\n") << QByteArray() << QByteArray() << false;
    QTest::newRow("empty password") << QByteArray("\r\nAnn\tann@x.org\t\r\n")
                                    << QByteArray("ann@x.org") << QByteArray() << false;
}

void TestSysopList::isSysop()
{
    QFETCH(QByteArray, content);
    QFETCH(QByteArray, email);
    QFETCH(QByteArray, password);
    QFETCH(bool, expected);
    QTemporaryDir dir;
    const QString path = dir.filePath("sysops.dat");
    writeFile(path, content);
    QCOMPARE(SysopList::isSysop(path, email, password), expected);
}

QTEST_GUILESS_MAIN(TestSysopList)
#include "tst_sysoplist.moc"
