#include "core/textfile.h"
#include "testfolders.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

// The one writer of the server's files: links are not followed, new files are
// the owner's alone, and a rewrite keeps what a host appends meanwhile.
// Appends after a hand-written last line: tst_banrules. Full disks:
// tst_datafiles.
class TestTextFile : public FolderTest
{
    Q_OBJECT
private Q_SLOTS:
    void linkIsRefusedAndNewFilesAreTheOwnersAlone_data();
    void linkIsRefusedAndNewFilesAreTheOwnersAlone();
    void appendStopsAtTheSizeLimit();
    void rewriteKeepsLinesAppendedMeanwhile();

private:
    QString path(const char *name) const { return m_folder->filePath(QLatin1String(name)); }
};

void TestTextFile::linkIsRefusedAndNewFilesAreTheOwnersAlone_data()
{
    QTest::addColumn<int>("operation");
    int operation = 0;
    for (const char *name : {"read", "append", "replace", "rewrite", "create"})
        QTest::newRow(name) << operation++;
}

// Nothing is read or written through a link at the path; a file the call
// makes is the owner's alone whatever the umask, and nothing else is left.
void TestTextFile::linkIsRefusedAndNewFilesAreTheOwnersAlone()
{
    QFETCH(int, operation);
    QVERIFY(writeFile(path("target"), "secret\n"));
    QVERIFY(QFile::link(path("target"), path("ban.txt")));
    const auto keep = [](const QByteArray &content) { return std::optional(content + "x"); };
    const auto run = [&](const QString &file, QString *error) {
        return operation == 0
                   ? TextFile::read(file, TextFile::Missing::IsAnError, error).has_value()
               : operation == 1 ? TextFile::append(file, "\"1.2.3.4\"\r\n", error)
               : operation == 2 ? TextFile::replace(file, "x", {}, error)
               : operation == 3 ? TextFile::rewrite(file, keep, error)
                                : TextFile::create(file, "x", error);
    };
    QString error;
    QVERIFY(!run(path("ban.txt"), &error));
    QVERIFY2(!error.isEmpty(), qPrintable(error));
    QCOMPARE(readFile(path("target")), QByteArray("secret\n"));
    QVERIFY(QFileInfo(path("ban.txt")).isSymLink());
    if (operation == 0)
        return; // reading makes no file

    const mode_t old = ::umask(022);
    const bool made = run(path("new"), &error);
    ::umask(old);
    QVERIFY2(made, qPrintable(error));
    struct stat status = {};
    QCOMPARE(::stat(QFile::encodeName(path("new")).constData(), &status), 0);
    QCOMPARE(status.st_mode & 0777, mode_t(0600));
    QCOMPARE(QDir(m_folder->path()).entryList(QDir::Hidden | QDir::Files),
             (QStringList{"ban.txt", "new", "target"}));
}

void TestTextFile::appendStopsAtTheSizeLimit()
{
    QString error;
    QVERIFY(TextFile::append(path("Bob"), QByteArray(60, 'a'), &error, 100));
    QVERIFY(!TextFile::append(path("Bob"), QByteArray(60, 'b'), &error, 100));
    QVERIFY(!error.isEmpty());
    QCOMPARE(readFile(path("Bob")), QByteArray(60, 'a'));
}

// A host appends bans with `echo ... >> ban.txt` while expired bans are lifted.
void TestTextFile::rewriteKeepsLinesAppendedMeanwhile()
{
    const QByteArray file = QFile::encodeName(path("ban.txt"));
    std::atomic<bool> stop = false;
    std::atomic<int> appended = 0;
    std::thread host([&] {
        while (!stop) {
            const int descriptor = ::open(file.constData(), O_WRONLY | O_APPEND | O_CREAT, 0600);
            const QByteArray line = "\"10.0." + QByteArray::number(appended / 250) + '.' +
                                    QByteArray::number(appended % 250) + "\"\r\n";
            if (descriptor >= 0 &&
                ::write(descriptor, line.constData(), line.size()) == line.size())
                ++appended;
            ::close(descriptor);
        }
    });
    for (int round = 0; round < 25; ++round) {
        QVERIFY(TextFile::rewrite(path("ban.txt"), [](const QByteArray &content) {
            return std::optional(content); // the expiry's rewrite, nothing expired
        }));
    }
    stop = true;
    host.join();
    const QList<QByteArray> lines = readFile(path("ban.txt")).split('\n');
    QCOMPARE(lines.size() - 1, int(appended));
}

QTEST_GUILESS_MAIN(TestTextFile)
#include "tst_textfile.moc"
