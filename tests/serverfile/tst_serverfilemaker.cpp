#include "scripteddialogs.h"

#include "core/codepage.h"
#include "serverfile/serverfilemaker.h"

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

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
    void refusedFileLeavesTheFolderAsItWas_data();
    void refusedFileLeavesTheFolderAsItWas();
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
}

void TestServerFileMaker::encodedInPlaceOfAnOlderFile()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, head);
    Maker m;
    QFile file(QDir(m.folder.path()).filePath(name + QStringLiteral(".tkl")));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(QByteArray(1000, 'x')) == 1000);
    file.close();
    QVERIFY(m.make(name));
    QVERIFY(m.dialogs.messages().isEmpty());
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray encoded = file.readAll();
    QCOMPARE(encoded, reference(name));
    QCOMPARE(encoded.left(head.size()), head);
    QCOMPARE(m.entries(), QStringList{QFileInfo(file).fileName()});
}

void TestServerFileMaker::progressPeriodRoundsHalfToEven()
{
    const QList<std::pair<qint64, qint64>> periods{{0, 0},   {50, 0},  {51, 1}, {150, 2},
                                                   {250, 2}, {251, 3}, {350, 4}};
    for (const auto &[length, period] : periods)
        QCOMPARE(ServerFileMaker::progressPeriod(length), period);
}

// Obstacle 1: the program folder is gone; 2: a folder takes the file's place,
// so the encoded file cannot be renamed into it.
void TestServerFileMaker::refusedFileLeavesTheFolderAsItWas_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("obstacle");
    QTest::newRow("slash") << QStringLiteral("../escape") << 0;
    QTest::newRow("no program folder") << QStringLiteral("abc") << 1;
    QTest::newRow("a folder in its place") << QStringLiteral("abc") << 2;
}

void TestServerFileMaker::refusedFileLeavesTheFolderAsItWas()
{
    QFETCH(QString, name);
    QFETCH(int, obstacle);
    Maker m;
    QVERIFY(obstacle != 1 || m.folder.remove());
    QVERIFY(obstacle != 2 || QDir(m.folder.path()).mkdir(name + QStringLiteral(".tkl")));
    const QStringList before = m.entries();
    QSignalSpy shown(&m.maker, &ServerFileMaker::barShown);
    QSignalSpy hidden(&m.maker, &ServerFileMaker::barHidden);

    QVERIFY(!m.make(name));
    QCOMPARE(m.dialogs.messages().size(), 1);
    QCOMPARE(m.dialogs.messages().first().icon, Dialogs::Icon::Critical);
    QCOMPARE(m.entries(), before);
    QVERIFY(QDir(m.folder.path() + QStringLiteral("/..")).entryList({"*.tkl"}).isEmpty());
    // The label shows no new name and the bar is gone.
    QVERIFY(m.names.isEmpty() || m.names.constLast().constFirst().toString().isEmpty());
    QCOMPARE(shown.size(), hidden.size());
}

QTEST_MAIN(TestServerFileMaker)
#include "tst_serverfilemaker.moc"
