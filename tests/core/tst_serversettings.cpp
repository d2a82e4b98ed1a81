#include "core/serversettings.h"
#include "testfolders.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

// tarnwick-server.ini: what a start reads from each kind of file, that a
// change is saved at once, and that a file that was not understood is kept
// until the operator changes a setting.
class TestServerSettings : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void readsWhatTheFileHolds_data();
    void readsWhatTheFileHolds();
    void changeIsSavedAtOnceAndRestoredAtTheNextStart();
    void unusableFileIsKeptUntilASettingChanges();
    void failedSaveIsReported();

private:
    QString path() const { return m_folder->filePath(ServerSettings::FileName); }
    QByteArray content() const { return readFile(path()); }
    std::unique_ptr<QTemporaryDir> m_folder;
};

void TestServerSettings::init()
{
    m_folder = std::make_unique<QTemporaryDir>();
}

void TestServerSettings::readsWhatTheFileHolds_data()
{
    QTest::addColumn<QByteArray>("file"); // null: no file
    QTest::addColumn<bool>("usable");
    QTest::addColumn<bool>("passwordsRequired");
    QTest::newRow("no file: a fresh install") << QByteArray() << true << false;
    QTest::newRow("empty file") << QByteArray("") << true << false;
    QTest::newRow("other keys only") << QByteArray("[limits]\nper-address=3\n") << true << false;
    QTest::newRow("required") << QByteArray("[passwords]\nrequired=true\n") << true << true;
    QTest::newRow("not required") << QByteArray("[passwords]\nrequired=false\n") << true << false;
    QTest::newRow("written by hand")
        << QByteArray("[passwords]\r\nrequired = True \r\n") << true << true;
    QTest::newRow("value makes no sense")
        << QByteArray("[passwords]\nrequired=maybe\n") << false << false;
    QTest::newRow("binary garbage")
        << QByteArray("\x00\xff[\x01=\n[passwords\nrequired", 24) << false << false;
}

void TestServerSettings::readsWhatTheFileHolds()
{
    QFETCH(QByteArray, file);
    QFETCH(bool, usable);
    QFETCH(bool, passwordsRequired);
    if (!file.isNull())
        QVERIFY(writeFile(path(), file));
    ServerSettings settings(path());
    QString problem;
    QCOMPARE(settings.load(&problem), usable);
    QCOMPARE(settings.passwordsRequired(), passwordsRequired);
    QCOMPARE(problem.contains(path()), !usable);
    // Reading never writes.
    QCOMPARE(QFile::exists(path()), !file.isNull());
    if (!file.isNull())
        QCOMPARE(content(), file);
}

void TestServerSettings::changeIsSavedAtOnceAndRestoredAtTheNextStart()
{
    {
        ServerSettings settings(path());
        QVERIFY(settings.load());
        QVERIFY(settings.setPasswordsRequired(true));
        QVERIFY(content().contains("required=true"));
    }
    ServerSettings restarted(path());
    QVERIFY(restarted.load());
    QVERIFY(restarted.passwordsRequired());
    QVERIFY(restarted.setPasswordsRequired(false));
    QVERIFY(content().contains("required=false"));
}

void TestServerSettings::unusableFileIsKeptUntilASettingChanges()
{
    const QByteArray broken("[passwords]\nrequired=yes please\n# the host's note\n");
    QVERIFY(writeFile(path(), broken));
    ServerSettings settings(path());
    QVERIFY(!settings.load());
    QCOMPARE(content(), broken);
    QVERIFY(settings.setPasswordsRequired(true));
    ServerSettings restarted(path());
    QVERIFY(restarted.load());
    QVERIFY(restarted.passwordsRequired());
}

void TestServerSettings::failedSaveIsReported()
{
    // A folder where the file should be: it can be neither read nor written.
    QVERIFY(QDir(m_folder->path()).mkdir(ServerSettings::FileName));
    ServerSettings settings(path());
    QString problem;
    QVERIFY(!settings.load(&problem));
    QVERIFY2(problem.contains("cannot be read"), qPrintable(problem));
    QString error;
    QVERIFY(!settings.setPasswordsRequired(true, &error));
    QVERIFY2(error.contains(path()), qPrintable(error));
    QVERIFY(settings.passwordsRequired()); // in force until the server stops
}

QTEST_GUILESS_MAIN(TestServerSettings)
#include "tst_serversettings.moc"
