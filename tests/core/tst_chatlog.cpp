#include "core/chatlog.h"
#include "filefault.h"
#include "privatespace.h"
#include "testfolders.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <cstring>
#include <memory>
#include <sys/stat.h>

namespace {
// The entry as the file must hold it, for an entry written between the two
// timestamps (a second may begin during the write).
bool isEntry(const QByteArray &written, const QByteArray &rest, const QByteArray &before,
             const QByteArray &after)
{
    return written == before + rest || written == after + rest;
}

QString systemReason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace

class TestChatLog : public FolderTest
{
    Q_OBJECT
private Q_SLOTS:
    void cleanup();
    void everyEntryIsWholeInTheFileWhenTheCallReturns();
    void receiveEntryText_data();
    void receiveEntryText();
    void fullLogIsRotated_data();
    void fullLogIsRotated();
    void newLogStartsAtThePathAfterAMoveOrAFailure_data();
    void newLogStartsAtThePathAfterAMoveOrAFailure();
    void linkAtThePathIsNotWrittenThrough();
    void fullDiskLeavesOnlyWholeEntries();

private:
    QString logPath() const { return m_folder->filePath(QStringLiteral("log.txt")); }
};

void TestChatLog::cleanup()
{
    FileFault::setImmutable(m_folder->path(), false);
    m_folder.reset();
}

void TestChatLog::everyEntryIsWholeInTheFileWhenTheCallReturns()
{
    ChatLog log(logPath());
    // The login service keeps its own handle on the same file.
    ChatLog loginLog(logPath());
    const QByteArray address = "10.0.0.7";
    QByteArray expected;
    QByteArray before = ChatLog::timestamp();
    auto check = [&](const char *what, bool written, const QByteArray &rest) {
        QVERIFY2(written, what);
        const QByteArray content = readFile(logPath());
        QVERIFY2(content.startsWith(expected), what);
        const QByteArray entry = content.mid(expected.size());
        if (rest.isEmpty())
            QVERIFY2(entry.isEmpty(), what);
        else
            QVERIFY2(isEntry(entry, rest, before, ChatLog::timestamp()), entry.constData());
        expected = content;
        before = ChatLog::timestamp(); // for the next write
    };

    // The file made is the owner's alone, even under a umask that takes the
    // owner's write right away.
    const mode_t oldMask = ::umask(0277);
    const auto restoreMask = qScopeGuard([oldMask] { ::umask(oldMask); });
    check("receive", log.writeReceive(address, "Name\tBob\r\n"), address + " Name\tBob\r\r\n");
    struct stat made;
    QCOMPARE(::stat(QFile::encodeName(logPath()).constData(), &made), 0);
    QCOMPARE(made.st_mode & 07777, mode_t(0600));
    QVERIFY(loginLog.touch());
    check("short chunk: opened, nothing written", log.writeReceive(address, "x"), QByteArray());
    check("event", log.writeEvent("Bob was banned"), "Bob was banned\r\n");
    check("lines cut at the chunk's end",
          log.writeReceive(address, "MOTD\r\nMessage\tBob: \thel", "Message"),
          address + " MOTD\r\nMessage\tBob: \the\r\n");
}

void TestChatLog::receiveEntryText_data()
{
    QTest::addColumn<QByteArray>("pending");
    QTest::addColumn<QByteArray>("chunk");
    QTest::addColumn<QByteArray>("entry");
    const QByteArray pm = ChatLog::PrivateMessageText;
    const qsizetype cap = ChatLog::MaxEntryText;
    auto leftOut = [](qsizetype bytes) -> QByteArray {
        return "\x85 " + QByteArray::number(bytes) + " more bytes";
    };

    // Most chunks come with nothing pending from the last one.
    const auto row = [](const char *name, const QByteArray &chunk, const QByteArray &entry,
                        const QByteArray &pending = {}) {
        QTest::newRow(name) << pending << chunk << entry;
    };
    row("last character dropped", "MSG\ta\r\nMOTD\r\n", "MSG\ta\r\nMOTD\r");
    row("one private line: the text alone", "PM\tbob\tsecret\tann\r\n", pm);
    row("private line, then public text", "PM\tBob\tsecret\r\nMessage\thello\r\n",
        pm + "\r\nMessage\thello\r");
    row("private line later in the chunk", "MOTD\r\nPM\tbob\tsecret\tann\r\nMSG\tx\r\n",
        "MOTD\r\n" + pm + "\r\nMSG\tx\r");
    row("private line whose keyword was cut", "M\tbob\tsecret\tann\r\n", pm + "\r", "P");
    row("end of a private line, then public text", "ret\r\nMOTD\r\n", pm + "\r\nMOTD\r",
        "PM\tbob\tsec");
    row("lower-case pm is not private", "MOTD\r\npm\tx\r\n", "MOTD\r\npm\tx\r");
    row("password", "MOTD\r\nRequestOP\tbob\tb@x.org\thunter2\r\nMOTD\r\n",
        "MOTD\r\nRequestOP\tbob\tb@x.org\t***\r\nMOTD\r");
    row("password after a private line", "PM\tBob\tx\r\nRequestOP\tBob\tb@x\thunter2\r\n",
        pm + "\r\nRequestOP\tBob\tb@x\t***\r");
    row("as long as the cap", QByteArray(cap + 1, 'x'), QByteArray(cap, 'x'));
    row("a byte over the cap", QByteArray(cap + 2, 'x'), QByteArray(cap, 'x') + leftOut(1));
    row("1 MiB", QByteArray(1 << 20, 'x'), QByteArray(cap, 'x') + leftOut((1 << 20) - 1 - cap));
    // The masked line would end past the cap: it is left out whole.
    const QByteArray before = "Message\t" + QByteArray(cap - 20, 'x') + "\r\n";
    const QByteArray rest = "RequestOP\tBob\tb@x\thunter2\r\nMOTD\r\n";
    row("password at the cap", before + rest, before + leftOut(rest.size() - 1));
}

void TestChatLog::receiveEntryText()
{
    QFETCH(QByteArray, pending);
    QFETCH(QByteArray, chunk);
    QTEST(ChatLog::receiveEntryText(chunk, pending), "entry");
}

void TestChatLog::fullLogIsRotated_data()
{
    QTest::addColumn<qint64>("maxBytes");
    QTest::addColumn<int>("keep");
    QTest::addColumn<QStringList>("files"); // oldest first

    QTest::newRow("two kept") << qint64(200) << 2
                              << QStringList{"log.txt.2", "log.txt.1", "log.txt"};
    QTest::newRow("none kept") << qint64(200) << 0 << QStringList{"log.txt"};
    QTest::newRow("never rotated") << qint64(0) << 2 << QStringList{"log.txt"};
}

void TestChatLog::fullLogIsRotated()
{
    QFETCH(qint64, maxBytes);
    QFETCH(int, keep);
    QFETCH(QStringList, files);
    ChatLog log(logPath());
    log.setRotation(maxBytes, keep);
    const int entries = 20;
    for (int number = 1; number <= entries; ++number)
        QVERIFY(log.writeEvent("entry " + QByteArray::number(number) + ' ' + QByteArray(40, '.')));

    const QDir folder(m_folder->path());
    QStringList sorted = files;
    sorted.sort();
    QCOMPARE(folder.entryList(QDir::Files, QDir::Name), sorted);
    // The files, oldest first, hold the newest entries without a gap.
    QList<int> numbers;
    for (const QString &file : files) {
        const QByteArray content = readFile(folder.filePath(file));
        if (file != files.last())
            QVERIFY(content.size() >= maxBytes); // rotated only when full
        for (const QByteArray &entry : content.split('\n')) {
            const qsizetype at = entry.indexOf("entry ");
            if (at >= 0)
                numbers.append(entry.mid(at + 6).split(' ').first().toInt());
        }
    }
    QVERIFY(!numbers.isEmpty());
    QCOMPARE(numbers.last(), entries);
    for (qsizetype i = 1; i < numbers.size(); ++i)
        QCOMPARE(numbers[i], numbers[i - 1] + 1);
    if (maxBytes == 0)
        QCOMPARE(numbers.size(), entries);
}

void TestChatLog::newLogStartsAtThePathAfterAMoveOrAFailure_data()
{
    QTest::addColumn<QString>("left"); // what became of the log written before; empty: none
    QTest::addColumn<Fault>("fault");  // then put at the path; Immutable: on the folder

    for (const char *left : {"moved away", "deleted", "replaced by another file"})
        QTest::newRow(left) << QString::fromLatin1(left) << Fault::Missing;
    for (const auto &[name, fault] : {std::pair{"directory at the path", Fault::Directory},
                                      {"folder unwritable", Fault::Immutable},
                                      {"disk error", Fault::DiskError}}) {
        QTest::newRow(name) << QString() << fault;
        QTest::addRow("%s, log moved away before", name) << QStringLiteral("moved away") << fault;
    }
}

// A failure is told and the next entry tries again; once the path is free,
// or names a file put there by hand, the next entry goes to that file.
void TestChatLog::newLogStartsAtThePathAfterAMoveOrAFailure()
{
    QFETCH(QString, left);
    QFETCH(Fault, fault);
    const QString moved = m_folder->filePath(QStringLiteral("log-old.txt"));
    ChatLog log(logPath());
    QByteArray first;
    if (!left.isEmpty()) {
        QVERIFY(log.writeEvent("first"));
        first = readFile(logPath());
        QVERIFY(left == "deleted" ? QFile::remove(logPath()) : QFile::rename(logPath(), moved));
    }
    const QByteArray replacement = left.startsWith("replaced") ? "kept by hand\r\n" : "";
    if (!replacement.isEmpty()) {
        const QString made = m_folder->filePath(QStringLiteral("made.txt"));
        QVERIFY(writeFile(made, replacement));
        QVERIFY(::rename(QFile::encodeName(made).constData(),
                         QFile::encodeName(logPath()).constData()) == 0);
    }

    if (fault != Fault::Missing) {
        if (fault == Fault::Immutable) {
            if (!FileFault::setImmutable(m_folder->path(), true))
                QSKIP("the immutable flag cannot be set here");
        } else {
            QVERIFY(FileFault::apply(logPath(), fault));
        }
        for (int attempt = 0; attempt < 2; ++attempt) {
            QVERIFY(!log.writeEvent("lost"));
            QVERIFY(!log.errorString().isEmpty());
            QVERIFY(!log.writeReceive("10.0.0.7", "MOTD\r\n"));
        }
        FileFault::setImmutable(m_folder->path(), false);
        QVERIFY(FileFault::apply(logPath(), Fault::Missing) || QDir(logPath()).removeRecursively());
    }

    const QByteArray before = ChatLog::timestamp();
    QVERIFY(log.writeEvent("second"));
    const QByteArray content = readFile(logPath());
    QVERIFY(content.startsWith(replacement));
    QVERIFY2(isEntry(content.mid(replacement.size()), "second\r\n", before, ChatLog::timestamp()),
             content.constData());
    if (QFile::exists(moved))
        QCOMPARE(readFile(moved), first);
}

void TestChatLog::linkAtThePathIsNotWrittenThrough()
{
    const QString target = m_folder->filePath(QStringLiteral("elsewhere.txt"));
    QVERIFY(writeFile(target, "kept\r\n"));
    QVERIFY(QFile::link(target, logPath()));
    ChatLog log(logPath());
    QVERIFY(!log.writeEvent("through the link"));
    QCOMPARE(log.errorString(), systemReason(ELOOP));
    QCOMPARE(readFile(target), QByteArray("kept\r\n"));
}

void TestChatLog::fullDiskLeavesOnlyWholeEntries()
{
    if (!PrivateSpace::entered())
        QSKIP("a small disk needs root and a mount namespace");
    QVERIFY(PrivateSpace::mountSmallDisk(m_folder->path(), "64k"));
    const auto unmount = qScopeGuard([this] { PrivateSpace::unmount(m_folder->path()); });
    // Entries that do not fill the disk's pages evenly: the last one is cut short.
    const QByteArray entry = "entry " + QByteArray(1000, '.') + " end\r\n";
    ChatLog log(logPath());
    int failures = 0;
    for (int attempt = 0; attempt < 200 && failures < 2; ++attempt)
        failures += log.writeEvent(entry.chopped(2)) ? 0 : 1;
    QCOMPARE(log.errorString(), systemReason(ENOSPC));
    const QByteArray content = readFile(logPath());
    QVERIFY(content.size() > 32 * 1024);
    QVERIFY(content.endsWith(entry));
    QCOMPARE(content.count("entry "), content.count(entry));
}

PRIVATE_SPACE_TEST_MAIN(TestChatLog)

#include "tst_chatlog.moc"
