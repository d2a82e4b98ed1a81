#include "platform/folderlock.h"
#include "platform/signalhandoff.h"
#include "testfolders.h"

#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

// One server per folder, and signals handed to the event loop.
class TestProcessControl : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void lockOutcomes();
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
