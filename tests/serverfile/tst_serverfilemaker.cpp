#include "scripteddialogs.h"
#include "serverfile/serverfilemaker.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>

class TestServerFileMaker : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void encodedBytes_data();
    void encodedBytes();
    void carries_data();
    void carries();
    void replacesFileAndLabel();
    void progressPeriod_data();
    void progressPeriod();
    void barGrowth_data();
    void barGrowth();
    void invalidNameWritesNothing_data();
    void invalidNameWritesNothing();
    void unwritableFolderIsReported();
    void failedRenameLeavesNothingHalfWritten();
    void secondRunWhileEncodingIsRefused();
};

namespace {

const QByteArray Address = QByteArrayLiteral("10.0.0.5");

// Each byte raised by one, a byte that wraps to zero carrying into the next,
// never beyond the four bytes that start at the byte being raised.
QByteArray reference(const QByteArray &plain)
{
    QByteArray bytes = plain + QByteArray(3, '\0');
    for (qsizetype p = 0; p < plain.size(); ++p) {
        for (qsizetype k = p; k < p + 4; ++k) {
            bytes[k] = char(uchar(bytes[k]) + 1);
            if (bytes[k] != '\0')
                break;
        }
    }
    return bytes;
}

struct Maker
{
    QTemporaryDir folder;
    ScriptedDialogs dialogs;
    ServerConfig config;
    std::unique_ptr<ServerFileMaker> maker;

    Maker()
    {
        config.programFolder = folder.path();
        config.workingDirectory = folder.path();
        maker = std::make_unique<ServerFileMaker>(config, dialogs, [] { return Address; });
    }

    bool make(const QString &answer, const QString &selectedRow = QString())
    {
        dialogs.inputAnswers.append(answer);
        return maker->make(selectedRow);
    }

    QByteArray read(const QString &fileName) const
    {
        QFile file(QDir(folder.path()).filePath(fileName));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }

    QStringList entries() const
    {
        return QDir(folder.path())
            .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    }
};

} // namespace

void TestServerFileMaker::encodedBytes_data()
{
    QTest::addColumn<QString>("answer");
    QTest::addColumn<QByteArray>("nameBytes");
    QTest::addColumn<QString>("fileName");
    QTest::newRow("abc") << QStringLiteral("abc") << QByteArray("abc") << QStringLiteral("abc.tkl");
    QTest::newRow("default") << QStringLiteral("My Server") << QByteArray("My Server")
                             << QStringLiteral("My Server.tkl");
    QTest::newRow("empty answer") << QString() << QByteArray() << QStringLiteral(".tkl");
    QTest::newRow("code page") << QStringLiteral("Caf\u00E9 \u20AC") << QByteArray("Caf\xE9 \x80")
                               << QStringLiteral("Caf\u00E9 \u20AC.tkl");
}

void TestServerFileMaker::encodedBytes()
{
    QFETCH(QString, answer);
    QFETCH(QByteArray, nameBytes);
    QFETCH(QString, fileName);
    Maker m;
    QVERIFY(m.make(answer));

    const QByteArray plain = nameBytes + "\r\n\"" + Address + "\"\r\n";
    const QByteArray encoded = m.read(fileName);
    QCOMPARE(encoded.size(), plain.size() + 3);
    QCOMPARE(encoded, reference(plain));
    QCOMPARE(m.entries(), QStringList{fileName});
    QVERIFY(m.dialogs.messages().isEmpty());
}

void TestServerFileMaker::carries_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("head");
    // 0xFF becomes 0x00 and the CR after it goes up by two.
    QTest::newRow("FF") << QStringLiteral("\u00FF") << QByteArray("\x00\x0F\x0B", 3);
    // FF FF FF 7F is raised to 00 00 00 80 without overflow, then each byte
    // gets its own increase.
    QTest::newRow("FF FF FF 7F") << QStringLiteral("\u00FF\u00FF\u00FF\u007F")
                                 << QByteArray("\x00\x01\x01\x81\x0E", 5);
    // Four bytes FF wrap to zero: the carry ends with the window.
    QTest::newRow("FF FF FF FF") << QStringLiteral("\u00FF\u00FF\u00FF\u00FF")
                                 << QByteArray("\x00\x01\x01\x01\x0E", 5);
}

void TestServerFileMaker::carries()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, head);
    Maker m;
    QVERIFY(m.make(name));
    const QByteArray encoded = m.read(name + QStringLiteral(".tkl"));
    QCOMPARE(encoded.left(head.size()), head);
    QVERIFY(encoded.endsWith(QByteArray(3, '\0')));
}

void TestServerFileMaker::replacesFileAndLabel()
{
    Maker m;
    QSignalSpy names(m.maker.get(), &ServerFileMaker::nameChanged);
    QFile old(QDir(m.folder.path()).filePath(QStringLiteral("Old.tkl")));
    QVERIFY(old.open(QIODevice::WriteOnly));
    old.write(QByteArray(1000, 'x'));
    old.close();

    QVERIFY(m.make(QStringLiteral("Old")));
    QVERIFY(m.make(QStringLiteral("New")));
    QCOMPARE(m.read(QStringLiteral("Old.tkl")), reference("Old\r\n\"10.0.0.5\"\r\n"));
    QCOMPARE(names.size(), 2);
    QCOMPARE(names.last().first().toString(), QStringLiteral("New"));
}

void TestServerFileMaker::progressPeriod_data()
{
    QTest::addColumn<qint64>("length");
    QTest::addColumn<qint64>("period");
    QTest::newRow("0") << qint64(0) << qint64(0);
    QTest::newRow("50 half to even 0") << qint64(50) << qint64(0);
    QTest::newRow("51") << qint64(51) << qint64(1);
    QTest::newRow("150 half to even 2") << qint64(150) << qint64(2);
    QTest::newRow("250 half to even 2") << qint64(250) << qint64(2);
    QTest::newRow("251") << qint64(251) << qint64(3);
    QTest::newRow("350 half to even 4") << qint64(350) << qint64(4);
}

void TestServerFileMaker::progressPeriod()
{
    QFETCH(qint64, length);
    QFETCH(qint64, period);
    QCOMPARE(ServerFileMaker::progressPeriod(length), period);
}

void TestServerFileMaker::barGrowth_data()
{
    // The plain file is the name plus 14 bytes for the address 10.0.0.5.
    QTest::addColumn<int>("nameLength");
    QTest::addColumn<int>("steps");
    QTest::addColumn<double>("filled");
    QTest::newRow("L 14, every position, by 1/14") << 0 << 14 << 1.0;
    QTest::newRow("L 50, every position, by 1/50") << 36 << 50 << 1.0;
    QTest::newRow("L 51, every 2nd, by 1/51") << 37 << 25 << 25.0 / 51;
    QTest::newRow("L 100, every 2nd, by 1/100") << 86 << 50 << 0.5;
    QTest::newRow("L 101, every 2nd, by 1/100") << 87 << 50 << 0.5;
    QTest::newRow("L 250, every 3rd") << 236 << 83 << 0.83;
    QTest::newRow("L 251, every 4th") << 237 << 62 << 0.62;
}

void TestServerFileMaker::barGrowth()
{
    QFETCH(int, nameLength);
    QFETCH(int, steps);
    QFETCH(double, filled);
    Maker m;
    QStringList events;
    QList<double> fractions;
    connect(m.maker.get(), &ServerFileMaker::barShown, this, [&] { events << "shown"; });
    connect(m.maker.get(), &ServerFileMaker::barHidden, this, [&] { events << "hidden"; });
    connect(m.maker.get(), &ServerFileMaker::barAdvanced, this, [&](double fraction) {
        if (events.last() != "advanced")
            events << "advanced";
        fractions << fraction;
    });

    QVERIFY(m.make(QString(nameLength, QLatin1Char('n'))));
    QCOMPARE(events, (QStringList{"shown", "advanced", "hidden"}));
    QCOMPARE(fractions.size(), steps);
    QVERIFY(qAbs(fractions.last() - filled) < 1e-9);
    QVERIFY(std::is_sorted(fractions.cbegin(), fractions.cend()));
}

void TestServerFileMaker::invalidNameWritesNothing_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("slash") << QStringLiteral("../escape");
    QTest::newRow("backslash") << QStringLiteral("a\\b");
    QTest::newRow("colon") << QStringLiteral("a:b");
    QTest::newRow("quote") << QStringLiteral("\"q\"");
    QTest::newRow("tab") << QStringLiteral("a\tb");
}

void TestServerFileMaker::invalidNameWritesNothing()
{
    QFETCH(QString, name);
    Maker m;
    QSignalSpy names(m.maker.get(), &ServerFileMaker::nameChanged);
    QSignalSpy shown(m.maker.get(), &ServerFileMaker::barShown);

    QVERIFY(!m.make(name));
    QCOMPARE(m.dialogs.messages().size(), 1);
    QCOMPARE(m.dialogs.messages().first().icon, Dialogs::Icon::Critical);
    QVERIFY(m.entries().isEmpty());
    QVERIFY(QDir(m.folder.path() + QStringLiteral("/..")).entryList({"*.tkl"}).isEmpty());
    QCOMPARE(names.size(), 0);
    QCOMPARE(shown.size(), 0);

    // The failed run is over: the next one works.
    QVERIFY(m.make(QStringLiteral("ok")));
}

void TestServerFileMaker::unwritableFolderIsReported()
{
    Maker m;
    m.config.programFolder = m.folder.filePath(QStringLiteral("missing"));
    m.maker = std::make_unique<ServerFileMaker>(m.config, m.dialogs, [] { return Address; });
    QSignalSpy names(m.maker.get(), &ServerFileMaker::nameChanged);

    QVERIFY(!m.make(QStringLiteral("abc")));
    QCOMPARE(m.dialogs.messages().size(), 1);
    QCOMPARE(m.dialogs.messages().first().icon, Dialogs::Icon::Critical);
    QVERIFY(m.entries().isEmpty());
    QCOMPARE(names.size(), 0);
}

void TestServerFileMaker::failedRenameLeavesNothingHalfWritten()
{
    Maker m;
    QSignalSpy names(m.maker.get(), &ServerFileMaker::nameChanged);
    QSignalSpy hidden(m.maker.get(), &ServerFileMaker::barHidden);
    QVERIFY(m.make(QStringLiteral("First")));
    // A folder where the file should go: it cannot be replaced.
    QVERIFY(QDir(m.folder.path()).mkdir(QStringLiteral("Taken.tkl")));

    QVERIFY(!m.make(QStringLiteral("Taken")));
    QCOMPARE(m.dialogs.messages().size(), 1);
    QCOMPARE(m.entries(), (QStringList{"First.tkl", "Taken.tkl"}));
    QVERIFY(QFileInfo(QDir(m.folder.path()).filePath(QStringLiteral("Taken.tkl"))).isDir());
    // The label goes back to the last file that was made; the bar is gone.
    QCOMPARE(names.last().first().toString(), QStringLiteral("First"));
    QCOMPARE(hidden.size(), 2);
}

void TestServerFileMaker::secondRunWhileEncodingIsRefused()
{
    Maker m;
    bool busyMeanwhile = false;
    bool secondMade = true;
    // Fires from the encoding's first yield.
    QTimer::singleShot(0, this, [&] {
        busyMeanwhile = m.maker->isBusy();
        secondMade = m.maker->make(QString());
    });
    QThread::msleep(5);

    QVERIFY(m.make(QStringLiteral("abc")));
    QVERIFY(busyMeanwhile);
    QVERIFY(!secondMade);
    QCOMPARE(m.dialogs.shown.size(), 2); // the name, then the refusal
    QCOMPARE(m.dialogs.messages().size(), 1);
    QCOMPARE(m.dialogs.messages().first().icon, Dialogs::Icon::Warning);
    QCOMPARE(m.read(QStringLiteral("abc.tkl")), reference("abc\r\n\"10.0.0.5\"\r\n"));
    QCOMPARE(m.entries(), QStringList{"abc.tkl"});
}

QTEST_MAIN(TestServerFileMaker)
#include "tst_serverfilemaker.moc"
