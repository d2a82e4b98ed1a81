#include "core/serversettings.h"
#include "filefault.h"
#include "testfolders.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <optional>

#include <sys/stat.h>

// tarnwick-server.ini: what a start takes from each kind of file and what it
// tells of the lines it does not understand; that a change rewrites only its
// own line; and that a file that cannot be read is never written.
class TestServerSettings : public FolderTest
{
    Q_OBJECT
private Q_SLOTS:
    void readsWhatItUnderstandsAndTellsTheRest_data();
    void readsWhatItUnderstandsAndTellsTheRest();
    void changeRewritesOnlyItsLine_data();
    void changeRewritesOnlyItsLine();
    void unusableFileIsNeverWritten_data();
    void unusableFileIsNeverWritten();

private:
    QString path() const { return m_folder->filePath(ServerSettings::FileName); }
    // Nothing but the settings file, if any: no lock or temporary file left.
    QStringList folderEntries() const
    {
        return QDir(m_folder->path())
            .entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden);
    }
};

Q_DECLARE_METATYPE(AbuseLimits)
Q_DECLARE_METATYPE(LogLimits)

namespace {
ino_t inode(const QString &path)
{
    struct stat status = {};
    return ::stat(QFile::encodeName(path).constData(), &status) == 0 ? status.st_ino : 0;
}
} // namespace

void TestServerSettings::readsWhatItUnderstandsAndTellsTheRest_data()
{
    QTest::addColumn<QByteArray>("file"); // null: no file
    QTest::addColumn<bool>("passwordsRequired");
    QTest::addColumn<AbuseLimits>("limits");
    QTest::addColumn<LogLimits>("logLimits");
    QTest::addColumn<QStringList>("problems"); // the start of each after the path
    const auto row = [](const char *name, const QByteArray &file, bool required,
                        const AbuseLimits &limits, const QStringList &problems,
                        const LogLimits &logLimits = {}) {
        QTest::newRow(name) << file << required << limits << logLimits << problems;
    };
    // The defaults are whatever the server chose; each row names what the
    // file changes.
    const AbuseLimits defaults;
    AbuseLimits burst7;
    burst7.floodBurst = 7;

    row("no file: a fresh install", QByteArray(), false, defaults, {});
    row("empty file", "", false, defaults, {});
    row("everything set",
        "[passwords]\nrequired=true\n[limits]\nconnectionsPerAddress=3\n"
        "newConnectionsPerMinute=0\nfloodBurst=5\nfloodLinesPerSecond=2\n"
        "floodSecondsAfterClose=0\nloginFailuresBeforeDelay=3\n"
        "newUsersPer10Minutes=1\nrecordFileBytes=4096\nrecordFiles=7\n"
        "trustedAddresses=10.0.0.0/8, 192.168.1.7\nmoderatorBanDuration=7d\n"
        "joinSeconds=9\n[log]\nrotateBytes=0\nkeep=2\n",
        true,
        {.connectionsPerAddress = 3,
         .newConnectionsPerMinute = 0,
         .joinSeconds = 9,
         .floodBurst = 5,
         .floodLinesPerSecond = 2,
         .floodSecondsAfterClose = 0,
         .loginFailuresBeforeDelay = 3,
         .newUsersPer10Minutes = 1,
         .trustedAddresses = {*AddressRange::parse("10.0.0.0/8"),
                              *AddressRange::parse("192.168.1.7")},
         .moderatorBanDuration = std::chrono::days(7),
         .recordFileBytes = 4096,
         .recordFiles = 7},
        {}, {.rotateBytes = 0, .keep = 2});
    row("written by hand: comments, blanks, letter case, quotes, CR LF",
        "; the host's note\r\n# another\r\n\r\n[passwords]\r\nrequired = True \r\n"
        " [ limits ]\r\n\tfloodBurst = \"7\"\r\n",
        true, burst7, {});
    AbuseLimits noneTrusted;
    noneTrusted.trustedAddresses.clear();
    row("empty trusted list: loopback limited too", "[limits]\ntrustedAddresses=\n", false,
        noneTrusted, {});

    // Each problem has its line; the understood lines around it still count.
    row("unknown section", "[passwords]\nrequired=true\n[extra]\nfloodBurst=3\n", true, defaults,
        {"line 3: [extra] is not a section of this file; the lines under it are ignored"});
    row("unknown key", "[limits]\nper-address=3\nfloodBurst=7\n", false, burst7,
        {"line 2: \"per-address\" is not a setting of [limits]; ignored"});
    row("line without =", "[limits]\nfloodBurst 5\nfloodBurst=7\n", false, burst7,
        {"line 2: \"floodBurst 5\" is neither a setting (key=value), a [section] nor a comment"});
    row("unterminated section: its lines are ignored",
        "[passwords\nrequired=true\n[limits]\nfloodBurst=7\n", false, burst7,
        {"line 1: \"[passwords\" has no closing ]; the lines under it are ignored"});
    row("text after a section", "[limits] all\nfloodBurst=7\n", false, burst7,
        {"line 1: \"all\" after [limits] means nothing; ignored"});
    row("setting before any section", "required=true\n[limits]\nfloodBurst=7\n", false, burst7,
        {"line 1: \"required=true\" comes before any [section]; ignored"});
    row("key twice: the last counts", "[limits]\nfloodBurst=3\nfloodBurst=7\n", false, burst7,
        {"line 2: floodBurst is set again on line 3, which counts; this line is ignored"});
    row("not true or false", "[passwords]\nrequired=maybe\n", false, defaults,
        {"line 2: required: \"maybe\" is not true or false; false applies"});
    AbuseLimits rate3;
    rate3.floodLinesPerSecond = 3;
    row("not whole numbers of 0 or more: defaults",
        "[limits]\nfloodBurst=lots\nconnectionsPerAddress=-1\nfloodLinesPerSecond=3\n", false,
        rate3,
        {"line 2: floodBurst: \"lots\" is not a whole number from 0 to 2147483647; 20 applies",
         "line 3: connectionsPerAddress: \"-1\" is not a whole number"});
    row("too large", "[log]\nkeep=2147483648\n", false, defaults,
        {"line 2: keep: \"2147483648\" is not a whole number from 0 to 2147483647; 5 applies"});
    AbuseLimits oneTrusted;
    oneTrusted.trustedAddresses = {*AddressRange::parse("10.1.0.0/16")};
    row("bad range left out, the others kept",
        "[limits]\ntrustedAddresses=10.0.0.0/33 10.1.0.0/16\n", false, oneTrusted,
        {"line 2: trustedAddresses: \"10.0.0.0/33\": the prefix length"});
    row("bad ban duration: never expires", "[limits]\nmoderatorBanDuration=forever\n", false,
        defaults, {"line 2: moderatorBanDuration: \"forever\" is not a duration"});
    row("binary garbage", QByteArray("\x00\xff[\x01=\n[passwords\nrequired", 24), false, defaults,
        {"line 1: \"\\x00\\xff[\\x01=\" comes before any [section]",
         "line 2: \"[passwords\" has no closing ]"});
}

void TestServerSettings::readsWhatItUnderstandsAndTellsTheRest()
{
    QFETCH(QByteArray, file);
    QFETCH(QStringList, problems);
    if (!file.isNull())
        QVERIFY(writeFile(path(), file));
    ServerSettings settings(path());
    QVERIFY(settings.load());
    QTEST(settings.passwordsRequired(), "passwordsRequired");
    QTEST(settings.limits(), "limits");
    QTEST(settings.logLimits(), "logLimits");
    QCOMPARE(settings.problemCount(), problems.size());
    for (qsizetype i = 0; i < problems.size(); ++i) {
        const QString told = settings.problems()[i];
        QVERIFY2(
            told.startsWith(QStringLiteral("The settings file %1, %2").arg(path(), problems[i])),
            qPrintable(told));
    }
    // Reading never writes.
    QCOMPARE(folderEntries(),
             file.isNull() ? QStringList() : QStringList{ServerSettings::FileName});
    QCOMPARE(readFile(path()), file.isNull() ? QByteArray() : file);
}

void TestServerSettings::changeRewritesOnlyItsLine_data()
{
    QTest::addColumn<QByteArray>("before"); // null: no file
    QTest::addColumn<bool>("required");
    QTest::addColumn<QByteArray>("after");
    QTest::newRow("no file: made")
        << QByteArray() << true << QByteArray("[passwords]\nrequired=true\n");
    QTest::newRow("empty file") << QByteArray("") << false
                                << QByteArray("[passwords]\nrequired=false\n");
    QTest::newRow("the value alone changes; comments, problems and CR LF kept")
        << QByteArray("; the host's note\r\n[limits]\r\nper-address=3\r\n[passwords\r\n"
                      "required=false\r\n[passwords]\r\n  required = False \r\n# end\r\n")
        << true
        << QByteArray("; the host's note\r\n[limits]\r\nper-address=3\r\n[passwords\r\n"
                      "required=false\r\n[passwords]\r\n  required = true \r\n# end\r\n");
    QTest::newRow("the line that counts of two")
        << QByteArray("[passwords]\nrequired=true\nrequired=maybe\n") << false
        << QByteArray("[passwords]\nrequired=true\nrequired=false\n");
    QTest::newRow("added at the end of its section")
        << QByteArray("[passwords]\r\nnote=1\r\n\r\n[limits]\r\nfloodBurst=3") << true
        << QByteArray("[passwords]\r\nnote=1\r\nrequired=true\r\n\r\n[limits]\r\nfloodBurst=3");
    QTest::newRow("section added after a last line without its end")
        << QByteArray("[limits]\nfloodBurst=3") << true
        << QByteArray("[limits]\nfloodBurst=3\n\n[passwords]\nrequired=true\n");
    QTest::newRow("already so: not written")
        << QByteArray("[passwords]\nrequired=true\n[oops\n") << true
        << QByteArray("[passwords]\nrequired=true\n[oops\n");
}

void TestServerSettings::changeRewritesOnlyItsLine()
{
    QFETCH(QByteArray, before);
    QFETCH(bool, required);
    QFETCH(QByteArray, after);
    // Started before the file was edited by hand: the change keeps the edit.
    ServerSettings settings(path());
    QVERIFY(settings.load());
    if (!before.isNull())
        QVERIFY(writeFile(path(), before));
    const ino_t original = inode(path());

    QString error;
    QVERIFY2(settings.setPasswordsRequired(required, &error), qPrintable(error));
    QCOMPARE(readFile(path()), after);
    QCOMPARE(inode(path()) == original, before == after);
    QCOMPARE(folderEntries(), QStringList{ServerSettings::FileName});
    ServerSettings restarted(path());
    QVERIFY(restarted.load());
    QCOMPARE(restarted.passwordsRequired(), required);
}

void TestServerSettings::unusableFileIsNeverWritten_data()
{
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<QString>("error");
    QTest::newRow("a directory in its place") << Fault::Directory << "cannot be read";
    QTest::newRow("disk error") << Fault::DiskError << "cannot be read";
    QTest::newRow("readable, in a folder that takes no new file")
        << Fault::Immutable << "could not be written";
}

void TestServerSettings::unusableFileIsNeverWritten()
{
    QFETCH(Fault, fault);
    QFETCH(QString, error);
    const QByteArray content = "[passwords]\nrequired=false\n";
    const bool readable = fault == Fault::Immutable;
    std::optional<ImmutableGuard> guard;
    if (readable) {
        QVERIFY(writeFile(path(), content));
        guard.emplace(m_folder->path());
        if (!FileFault::setImmutable(m_folder->path(), true))
            QSKIP("this file system does not take the immutable flag");
    } else {
        QVERIFY(FileFault::apply(path(), fault));
    }
    const QByteArray snapshot = FileFault::snapshot(path());
    ServerSettings settings(path());
    QCOMPARE(settings.load(), readable);
    QCOMPARE(settings.problemCount(), readable ? 0 : 1);
    if (!readable)
        QVERIFY2(settings.readError().contains(path()), qPrintable(settings.readError()));

    QString told;
    QVERIFY(!settings.setPasswordsRequired(true, &told));
    QVERIFY2(told.startsWith(QStringLiteral("The settings file %1 %2").arg(path(), error)),
             qPrintable(told));
    QCOMPARE(settings.saveError(), told);
    QVERIFY(settings.passwordsRequired()); // in force all the same
    QCOMPARE(FileFault::snapshot(path()), snapshot);
}

QTEST_GUILESS_MAIN(TestServerSettings)
#include "tst_serversettings.moc"
