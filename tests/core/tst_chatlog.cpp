#include "core/chatlog.h"
#include "filefault.h"
#include "testfolders.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

// The entry as the file must hold it, for an entry written between the two
// timestamps (a second may begin during the write).
bool isEntry(const QByteArray &written, const QByteArray &rest, const QByteArray &before,
             const QByteArray &after)
{
    return written == before + rest || written == after + rest;
}

} // namespace

class TestChatLog : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void everyEntryIsWholeInTheFileWhenTheCallReturns();
    void pathThatNamesAnotherFileStartsANewLog_data();
    void pathThatNamesAnotherFileStartsANewLog();
    void failureIsToldAndTheNextEntryTriesAgain_data();
    void failureIsToldAndTheNextEntryTriesAgain();

private:
    QString logPath() const { return m_folder->filePath(QStringLiteral("log.txt")); }

    std::unique_ptr<QTemporaryDir> m_folder;
};

void TestChatLog::init()
{
    m_folder = std::make_unique<QTemporaryDir>();
    QVERIFY(m_folder->isValid());
}

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
    auto check = [&](const char *what, bool written, const QByteArray &rest,
                     const QByteArray &before) {
        QVERIFY2(written, what);
        const QByteArray content = readFile(logPath());
        QVERIFY2(content.startsWith(expected), what);
        const QByteArray entry = content.mid(expected.size());
        if (rest.isEmpty())
            QVERIFY2(entry.isEmpty(), what);
        else
            QVERIFY2(isEntry(entry, rest, before, ChatLog::timestamp()), entry.constData());
        expected = content;
    };

    QByteArray before = ChatLog::timestamp();
    check("receive", log.writeReceive(address, "Name\tBob\r\n"), address + " Name\tBob\r\r\n",
          before);
    before = ChatLog::timestamp();
    check("private", log.writeReceive(address, "PM\tann\thi\tBob\r\n"),
          address + " User sent a Private Message\r\n", before);
    QVERIFY(loginLog.touch());
    before = ChatLog::timestamp();
    check("short chunk: opened, nothing written", log.writeReceive(address, "x"), QByteArray(),
          before);
    before = ChatLog::timestamp();
    check("event", log.writeEvent("Bob was banned"), "Bob was banned\r\n", before);
    before = ChatLog::timestamp();
    check("lines cut at the chunk's end",
          log.writeReceive(address, "MOTD\r\nMessage\tBob: \thel", "Message"),
          address + " MOTD\r\nMessage\tBob: \the\r\n", before);
}

void TestChatLog::pathThatNamesAnotherFileStartsANewLog_data()
{
    QTest::addColumn<QString>("movedTo");        // where the first log went; empty: deleted
    QTest::addColumn<QByteArray>("replacement"); // a file put at the path; empty: none

    QTest::newRow("moved away") << QStringLiteral("log-old.txt") << QByteArray();
    QTest::newRow("moved to another folder") << QStringLiteral("old/log.txt") << QByteArray();
    QTest::newRow("deleted") << QString() << QByteArray();
    QTest::newRow("replaced by another file")
        << QStringLiteral("log-old.txt") << QByteArray("kept by hand\r\n");
}

void TestChatLog::pathThatNamesAnotherFileStartsANewLog()
{
    QFETCH(QString, movedTo);
    QFETCH(QByteArray, replacement);
    ChatLog log(logPath());
    QVERIFY(log.writeEvent("first"));
    const QByteArray first = readFile(logPath());

    if (movedTo.isEmpty()) {
        QVERIFY(QFile::remove(logPath()));
    } else {
        QVERIFY(QDir(m_folder->path()).mkpath(QStringLiteral("old")));
        QVERIFY(QFile::rename(logPath(), m_folder->filePath(movedTo)));
    }
    if (!replacement.isEmpty()) {
        const QString made = m_folder->filePath(QStringLiteral("made.txt"));
        QVERIFY(writeFile(made, replacement));
        QVERIFY(::rename(QFile::encodeName(made).constData(),
                         QFile::encodeName(logPath()).constData()) == 0);
    }

    const QByteArray before = ChatLog::timestamp();
    QVERIFY(log.writeEvent("second"));
    const QByteArray content = readFile(logPath());
    QVERIFY(content.startsWith(replacement));
    QVERIFY2(isEntry(content.mid(replacement.size()), "second\r\n", before, ChatLog::timestamp()),
             content.constData());
    if (!movedTo.isEmpty())
        QCOMPARE(readFile(m_folder->filePath(movedTo)), first);
}

void TestChatLog::failureIsToldAndTheNextEntryTriesAgain_data()
{
    QTest::addColumn<Fault>("fault"); // Immutable: on the folder
    // The log had been written (and so opened) before; it was then moved away.
    QTest::addColumn<bool>("wasOpen");

    for (const auto &[name, fault] : {std::pair{"directory at the path", Fault::Directory},
                                      {"folder unwritable", Fault::Immutable},
                                      {"disk error", Fault::DiskError}}) {
        QTest::newRow(name) << fault << false;
        QTest::addRow("%s, log open before", name) << fault << true;
    }
}

void TestChatLog::failureIsToldAndTheNextEntryTriesAgain()
{
    QFETCH(Fault, fault);
    QFETCH(bool, wasOpen);
    const QString moved = m_folder->filePath(QStringLiteral("log-old.txt"));
    ChatLog log(logPath());
    QByteArray first;
    if (wasOpen) {
        QVERIFY(log.writeEvent("first"));
        first = readFile(logPath());
        QVERIFY(QFile::rename(logPath(), moved));
    }

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
    if (wasOpen)
        QCOMPARE(readFile(moved), first);

    FileFault::setImmutable(m_folder->path(), false);
    QVERIFY(FileFault::apply(logPath(), Fault::Missing) || QDir(logPath()).removeRecursively());
    const QByteArray before = ChatLog::timestamp();
    QVERIFY(log.writeEvent("back"));
    QVERIFY(isEntry(readFile(logPath()), "back\r\n", before, ChatLog::timestamp()));
}

QTEST_GUILESS_MAIN(TestChatLog)
#include "tst_chatlog.moc"
