#include "platform/folderlock.h"
#include "platform/signalhandoff.h"
#include "testfolders.h"

#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

// One server per folder, and signals handed to the event loop.
class TestProcessControl : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void lockOutcomes();
    void crashedHolderLeavesTheFolderFree();
    void foldersOthersMayWriteAreRefused();
    void signalRunsItsCallbackOnTheEventLoop();
};

// A second lock on a folder is refused until the first goes; a folder that
// is not there fails.
void TestProcessControl::lockOutcomes()
{
    QTemporaryDir folder;
    QTemporaryDir otherFolder;
    auto first = std::make_unique<FolderLock>();
    FolderLock second;
    FolderLock elsewhere;
    QCOMPARE(first->lock(folder.path()), FolderLock::Outcome::Locked);
    QCOMPARE(second.lock(folder.path()), FolderLock::Outcome::HeldByAnother);
    QCOMPARE(elsewhere.lock(otherFolder.path()), FolderLock::Outcome::Locked);
    first.reset();
    QCOMPARE(second.lock(folder.path()), FolderLock::Outcome::Locked);
    FolderLock nowhere;
    QString error;
    QCOMPARE(nowhere.lock(QStringLiteral("/nonexistent/folder"), &error),
             FolderLock::Outcome::Failed);
    QVERIFY(!error.isEmpty());

    // A link in the lock's place is refused: its target is neither cut nor written.
    QTemporaryDir linked;
    QVERIFY(writeFile(linked.filePath("target"), "keep\n"));
    QVERIFY(QFile::link(linked.filePath("target"), linked.filePath(FolderLock::FileName)));
    QCOMPARE(nowhere.lock(linked.path()), FolderLock::Outcome::Failed);
    QCOMPARE(readFile(linked.filePath("target")), QByteArray("keep\n"));
}

// A folder others may write to is no place for the server's files.
void TestProcessControl::foldersOthersMayWriteAreRefused()
{
    QTemporaryDir folder;
    for (const mode_t mode : {0755, 0777, 01777}) {
        QCOMPARE(::chmod(QFile::encodeName(folder.path()).constData(), mode), 0);
        QCOMPARE(FolderLock::whyUnsafe(folder.path()).isEmpty(), mode == 0755);
    }
}

void TestProcessControl::crashedHolderLeavesTheFolderFree()
{
    QTemporaryDir folder;
    int ready[2];
    QCOMPARE(::pipe(ready), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        FolderLock lock;
        const char outcome = lock.lock(folder.path()) == FolderLock::Outcome::Locked ? 'L' : 'F';
        [[maybe_unused]] const ssize_t written = ::write(ready[1], &outcome, 1);
        ::pause(); // until killed, holding the lock
        ::_exit(0);
    }
    char outcome = 0;
    QCOMPARE(::read(ready[0], &outcome, 1), ssize_t(1));
    QCOMPARE(outcome, 'L');
    FolderLock mine;
    QCOMPARE(mine.lock(folder.path()), FolderLock::Outcome::HeldByAnother);
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    QVERIFY(QFile::exists(folder.filePath(FolderLock::FileName))); // left behind, yet free
    QCOMPARE(mine.lock(folder.path()), FolderLock::Outcome::Locked);
    ::close(ready[0]);
    ::close(ready[1]);
}

// Each signal in turn, in the order sent.
void TestProcessControl::signalRunsItsCallbackOnTheEventLoop()
{
    const QList<int> sent{SIGHUP, SIGTERM};
    QStringList seen;
    SignalHandoff handoff;
    QVERIFY(handoff.isReady());
    QVERIFY(handoff.watch(SIGTERM, [&seen] { seen.append("stop"); }));
    QVERIFY(handoff.watch(SIGHUP, [&seen] { seen.append("reload"); }));
    for (int signalNumber : sent) {
        QCOMPARE(::kill(::getpid(), signalNumber), 0);
        // Delivered at once, but the callback waits for the event loop.
        QCOMPARE(seen.size(), sent.indexOf(signalNumber));
        QTRY_COMPARE(seen.size(), sent.indexOf(signalNumber) + 1);
    }
    QCOMPARE(seen.join(' '), QStringLiteral("reload stop"));
}

QTEST_GUILESS_MAIN(TestProcessControl)
#include "tst_processcontrol.moc"
