#include "scripteddialogs.h"

#include "core/codepage.h"
#include "serverfile/serverfilemaker.h"

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>

namespace {

// Each byte raised by one, a byte that wraps to zero carrying into the next,
// never beyond the four bytes that start at the byte being raised.
QByteArray reference(const QString &name)
{
    const QByteArray plain = Codepage::fromDisplay(name) + "\r\n\"10.0.0.5\"\r\n";
    QByteArray bytes = plain + QByteArray(3, '\0');
    for (qsizetype p = 0; p < plain.size(); ++p) {
        for (qsizetype k = p; k < p + 4 && ++bytes[k] == '\0'; ++k) {
        }
    }
    return bytes;
}

struct Maker
{
    bool make(const QString &answer)
    {
        dialogs.inputAnswers.append(answer);
        return maker.make(QString());
    }
    QByteArray read(const QString &fileName) const
    {
        QFile file(QDir(folder.path()).filePath(fileName));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }
    QStringList entries() const
    {
        return QDir(folder.path())
            .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    }

    QTemporaryDir folder;
    ScriptedDialogs dialogs;
    ServerConfig config{folder.path(), folder.path()};
    ServerFileMaker maker{config, dialogs, [] { return QByteArray("10.0.0.5"); }};
    QSignalSpy names{&maker, &ServerFileMaker::nameChanged};
};

} // namespace

class TestServerFileMaker : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void encodedInPlaceOfAnOlderFile_data();
    void encodedInPlaceOfAnOlderFile();
    void progressPeriodRoundsHalfToEven();
    void refusedNameOrFolderLeavesNothing_data();
    void refusedNameOrFolderLeavesNothing();
    void failedRenameLeavesTheFolderAsItWas();
    void secondRunWhileEncodingIsRefused();
};

void TestServerFileMaker::encodedInPlaceOfAnOlderFile_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("head"); // worked out by hand
    QTest::newRow("code page") << QStringLiteral("Caf\u00E9 \u20AC") << QByteArray("Dbg\xEA!\x81");
    QTest::newRow("empty name") << QString() << QByteArray("\x0E\x0B#");
    // The CR after FF goes up by two.
    QTest::newRow("FF") << QStringLiteral("\u00FF") << QByteArray("\x00\x0F\x0B", 3);
    // Raised as a 32-bit unsigned number: 00 00 00 80, then each byte again.
    QTest::newRow("FF FF FF 7F") << QStringLiteral("\u00FF\u00FF\u00FF\u007F")
                                 << QByteArray("\x00\x01\x01\x81\x0E", 5);
    // The carry ends with the four bytes.
    QTest::newRow("FF FF FF FF") << QStringLiteral("\u00FF\u00FF\u00FF\u00FF")
                                 << QByteArray("\x00\x01\x01\x01\x0E", 5);
}

void TestServerFileMaker::encodedInPlaceOfAnOlderFile()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, head);
    Maker m;
    const QString fileName = name + QStringLiteral(".tkl");
    QFile older(QDir(m.folder.path()).filePath(fileName));
    QVERIFY(older.open(QIODevice::WriteOnly) && older.write(QByteArray(1000, 'x')) == 1000);
    older.close();

    QVERIFY(m.make(name));
    QCOMPARE(m.read(fileName), reference(name));
    QCOMPARE(m.read(fileName).left(head.size()), head);
    QCOMPARE(m.entries(), QStringList{fileName});
    QCOMPARE(m.names.size(), 1);
    QCOMPARE(m.names.first().first().toString(), name);
    QVERIFY(m.dialogs.messages().isEmpty());
}

void TestServerFileMaker::progressPeriodRoundsHalfToEven()
{
    const QList<std::pair<qint64, qint64>> periods{{0, 0},   {50, 0},  {51, 1}, {150, 2},
                                                   {250, 2}, {251, 3}, {350, 4}};
    for (const auto &[length, period] : periods)
        QCOMPARE(ServerFileMaker::progressPeriod(length), period);
}

void TestServerFileMaker::refusedNameOrFolderLeavesNothing_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("folderGone");
    QTest::newRow("slash") << QStringLiteral("../escape") << false;
    QTest::newRow("backslash") << QStringLiteral("a\\b") << false;
    QTest::newRow("colon") << QStringLiteral("a:b") << false;
    QTest::newRow("no program folder") << QStringLiteral("abc") << true;
}

void TestServerFileMaker::refusedNameOrFolderLeavesNothing()
{
    QFETCH(QString, name);
    QFETCH(bool, folderGone);
    Maker m;
    if (folderGone)
        QVERIFY(m.folder.remove());
    QSignalSpy shown(&m.maker, &ServerFileMaker::barShown);

    QVERIFY(!m.make(name));
    QCOMPARE(m.dialogs.messages().size(), 1);
    QCOMPARE(m.dialogs.messages().first().icon, Dialogs::Icon::Critical);
    QVERIFY(m.entries().isEmpty());
    QVERIFY(QDir(m.folder.path() + QStringLiteral("/..")).entryList({"*.tkl"}).isEmpty());
    QCOMPARE(m.names.size(), 0);
    QCOMPARE(shown.size(), 0);
}

void TestServerFileMaker::failedRenameLeavesTheFolderAsItWas()
{
    Maker m;
    QSignalSpy hidden(&m.maker, &ServerFileMaker::barHidden);
    QVERIFY(m.make(QStringLiteral("First")));
    // A folder where the file should go: the encoded file cannot replace it.
    QVERIFY(QDir(m.folder.path()).mkdir(QStringLiteral("Taken.tkl")));

    QVERIFY(!m.make(QStringLiteral("Taken")));
    QCOMPARE(m.dialogs.messages().size(), 1);
    QCOMPARE(m.entries(), (QStringList{"First.tkl", "Taken.tkl"}));
    // The label goes back to the last file that was made; the bar is gone.
    QCOMPARE(m.names.last().first().toString(), QStringLiteral("First"));
    QCOMPARE(hidden.size(), 2);
}

void TestServerFileMaker::secondRunWhileEncodingIsRefused()
{
    Maker m;
    bool secondMade = true;
    // Runs from the encoding's first yield.
    QTimer::singleShot(0, this, [&] { secondMade = m.maker.make(QString()); });
    QThread::msleep(5); // past the yield's throttle

    QVERIFY(m.make(QStringLiteral("abc")));
    QVERIFY(!secondMade);
    QCOMPARE(m.dialogs.shown.size(), 2); // the name, then the refusal
    QCOMPARE(m.dialogs.messages().first().icon, Dialogs::Icon::Warning);
    QCOMPARE(m.read(QStringLiteral("abc.tkl")), reference(QStringLiteral("abc")));
    QCOMPARE(m.entries(), QStringList{"abc.tkl"});
}

QTEST_MAIN(TestServerFileMaker)
#include "tst_serverfilemaker.moc"
