#include "core/banlist.h"
#include "core/banrules.h"
#include "core/banstore.h"
#include "core/textfilecache.h"
#include "testfolders.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>

using namespace std::chrono_literals;

namespace {
const QDateTime noon = QDateTime(QDate(2024, 5, 1), QTime(12, 0), Qt::UTC);

// One side line as the server writes it, for a ban set at noon.
QByteArray sideLine(const QByteArray &target, const QByteArray &expires,
                    const QByteArray &by = "console", const QByteArray &reason = "spam")
{
    return target + "\t2024-05-01T12:00:00Z\t" + expires + '\t' + by + '\t' + reason + '\n';
}
} // namespace

class TestBanRules : public FolderTest
{
    Q_OBJECT
private Q_SLOTS:
    void durations_data();
    void durations();
    void matching_data();
    void matching();
    void addKeepsTheListReadableAsBefore_data();
    void addKeepsTheListReadableAsBefore();
    void refusedTargetChangesNothing();
    void removeLiftsFromBothFilesAndKeepsHandEdits();
    void expiredBansLeaveBothFiles();
    void textsSurviveTheSideFile();
    void unreadableSideFileIsNeverWrittenOver();
    void heldFilesFollowTheDisk_data();
    void heldFilesFollowTheDisk();

private:
    QString listPath() const { return m_folder->filePath(QStringLiteral("ban.txt")); }
    QString sidePath() const { return m_folder->filePath(QStringLiteral("ban-meta.txt")); }
};

void TestBanRules::durations_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("seconds"); // 0: refused
    QTest::addColumn<QString>("errorPart");
    for (const auto &[text, seconds] :
         {std::pair{"90s", 90}, {"30m", 1800}, {"2h", 7200}, {"7d", 604800}})
        QTest::newRow(text) << QByteArray(text) << seconds << QString();
    const QString form =
        QStringLiteral("is not a duration: a whole number followed by s, m, h or d");
    // No unit, weeks, upper case, a fraction, negative, nothing.
    for (const char *text : {"5", "2w", "2H", "1.5h", "-1h", ""})
        QTest::addRow("\"%s\"", text) << QByteArray(text) << 0 << form;
    QTest::newRow("zero") << QByteArray("0m") << 0 << "is no time at all";
    QTest::newRow("over ten years") << QByteArray("3651d") << 0 << "is longer than 3650d";
    QTest::newRow("huge") << QByteArray("99999999999d") << 0 << "is longer than 3650d";
}

void TestBanRules::durations()
{
    QFETCH(QByteArray, text);
    QFETCH(int, seconds);
    QFETCH(QString, errorPart);
    QString error;
    const std::optional<std::chrono::seconds> duration = BanRules::parseDuration(text, &error);
    if (seconds == 0) {
        QVERIFY(!duration);
        QVERIFY2(error.contains(errorPart), qPrintable(error));
        return;
    }
    QCOMPARE(duration, std::chrono::seconds(seconds));
    QCOMPARE(BanRules::durationText(*duration), text);
}

void TestBanRules::matching_data()
{
    QTest::addColumn<QByteArray>("list");
    QTest::addColumn<QByteArray>("side");
    QTest::addColumn<QByteArray>("address");
    QTest::addColumn<QByteArray>("matched"); // empty: not banned
    const auto row = [](const char *name, const QByteArray &list, const QByteArray &address,
                        const QByteArray &matched, const QByteArray &side = {}) {
        QTest::newRow(name) << list << side << address << matched;
    };
    const QByteArray one = "\"1.2.3.4\"\r\n";
    const QByteArray range = "\"10.1.0.0/16\"\r\n";
    row("exact address", one, "1.2.3.4", "1.2.3.4");
    row("another address", one, "1.2.3.40", {});
    row("inside a range", range, "10.1.200.3", "10.1.0.0/16");
    row("outside a range", range, "10.2.0.1", {});
    row("hand-edited: bare items and commas", "5.5.5.5, 1.2.3.4\n", "1.2.3.4", "1.2.3.4");
    row("an item that is no address matches its own text", "\"some host\"\r\n", "some host",
        "some host");
    row("not yet expired", one, "1.2.3.4", "1.2.3.4", sideLine("1.2.3.4", "2024-05-01T12:00:01Z"));
    row("expired", one, "1.2.3.4", {}, sideLine("1.2.3.4", "2024-05-01T12:00:00Z"));
    row("an expired range, an address inside it still banned", range + "\"10.1.2.3\"\r\n",
        "10.1.2.3", "10.1.2.3", sideLine("10.1.0.0/16", "2024-05-01T11:00:00Z"));
    row("a side line alone bans nothing", {}, "1.2.3.4", {}, sideLine("1.2.3.4", "-"));
}

void TestBanRules::matching()
{
    QFETCH(QByteArray, list);
    QFETCH(QByteArray, side);
    QFETCH(QByteArray, address);
    QVERIFY(writeFile(listPath(), list));
    QVERIFY(writeFile(sidePath(), side));
    BanRules rules(m_folder->path());
    QString error;
    QVERIFY2(rules.load(&error), qPrintable(error));
    const std::optional<Ban> ban = rules.match(address, noon);
    QTEST(ban ? ban->target : QByteArray(), "matched");
}

void TestBanRules::addKeepsTheListReadableAsBefore_data()
{
    QTest::addColumn<QByteArray>("before"); // null: no file
    QTest::addColumn<QByteArray>("kept");   // what was there, its last line ended
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<QByteArray>("line");
    const auto row = [](const char *name, const QByteArray &before, const QByteArray &kept,
                        const QByteArray &target, const QByteArray &line) {
        QTest::newRow(name) << before << kept << target << line;
    };
    const QByteArray handEdited = "9.9.9.9, 8.8.8.8\n";
    const QByteArray address = "\"1.2.3.4\"\r\n";
    row("address", handEdited, handEdited, "1.2.3.4", address);
    row("address written as /32", handEdited, handEdited, "1.2.3.4/32", address);
    row("range", handEdited, handEdited, "10.1.0.0/16", "\"10.1.0.0/16\"\r\n");
    row("no file", QByteArray(), "", "1.2.3.4", address);
    row("last line ended by CR LF", "\"9.9.9.9\"\r\n", "\"9.9.9.9\"\r\n", "1.2.3.4", address);
    row("last line not ended", "\"10.0.0.1\"", "\"10.0.0.1\"\r\n", "1.2.3.4", address);
    row("last line ended by CR alone", "10.0.0.1\r", "10.0.0.1\r\n", "1.2.3.4", address);
}

// An added ban is appended as today's readers expect, after ending a
// hand-written last line; what was there stays byte for byte; a second add of
// the same target only updates its details.
void TestBanRules::addKeepsTheListReadableAsBefore()
{
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, kept);
    QFETCH(QByteArray, target);
    QFETCH(QByteArray, line);
    if (!before.isNull())
        QVERIFY(writeFile(listPath(), before));
    BanRules rules(m_folder->path());
    QString error;
    QVERIFY2(rules.add({target, 2h, "spam",
                        "\xa5"
                        "Ann"},
                       noon, &error),
             qPrintable(error));
    QCOMPARE(readFile(listPath()), kept + line);
    const QByteArray written = line.mid(1, line.size() - 4);

    QVERIFY2(rules.add({target, 168h, "again", "console"}, noon.addSecs(60), &error),
             qPrintable(error));
    QCOMPARE(readFile(listPath()), kept + line);
    QVERIFY(rules.load(&error));
    const Ban ban = rules.bans().last();
    QCOMPARE(ban.target, written);
    QCOMPARE(ban.reason, QByteArray("again"));
    QCOMPARE(ban.setBy, QByteArray("console"));
    QCOMPARE(ban.setAt, noon.addSecs(60));
    QCOMPARE(ban.expires, noon.addSecs(60 + 7 * 86400));
    if (!kept.isEmpty())
        QCOMPARE(rules.bans().first().expires, QDateTime()); // hand-edited: never
}

// Which targets are refused and why: tst_abuselimits, addressRanges.
void TestBanRules::refusedTargetChangesNothing()
{
    QVERIFY(writeFile(listPath(), "\"1.2.3.4\"\r\n"));
    BanRules rules(m_folder->path());
    QString error;
    QVERIFY(!rules.add({"10.1.2.3/16", std::nullopt, {}, "console"}, noon, &error));
    QVERIFY2(error.contains("the range is 10.1.0.0/16"), qPrintable(error));
    QCOMPARE(readFile(listPath()), QByteArray("\"1.2.3.4\"\r\n"));
    QVERIFY(!QFile::exists(sidePath()));
}

void TestBanRules::removeLiftsFromBothFilesAndKeepsHandEdits()
{
    QVERIFY(writeFile(listPath(), "\"1.2.3.4\"\r\nfoo, 1.2.3.4/32\n\"10.1.0.0/16\"\r\n"));
    BanRules rules(m_folder->path());
    QString error;
    QVERIFY(rules.add({"10.1.0.0/16", 1h, "r", "console"}, noon, &error));
    QVERIFY(rules.add({"1.2.3.4", 1h, "r", "console"}, noon, &error));

    QVERIFY2(rules.remove("1.2.3.4", &error), qPrintable(error));
    QCOMPARE(BanList::readItems(listPath()), (QByteArrayList{"foo", "10.1.0.0/16"}));
    QVERIFY(!readFile(sidePath()).contains("1.2.3.4"));
    QVERIFY(readFile(sidePath()).contains("10.1.0.0/16\t"));
    QVERIFY(!rules.match("1.2.3.4", noon));

    QVERIFY(rules.remove("foo", &error));
    QVERIFY(!rules.remove("1.2.3.4", &error));
    QCOMPARE(error, QStringLiteral("\"1.2.3.4\" is not in the ban list"));
    QCOMPARE(readFile(listPath()), QByteArray("\"10.1.0.0/16\"\r\n"));
}

void TestBanRules::expiredBansLeaveBothFiles()
{
    QVERIFY(writeFile(listPath(), "\"7.7.7.7\"\r\n"));
    BanRules rules(m_folder->path());
    QString error;
    QVERIFY(rules.add({"1.2.3.4", 90s, "r", "console"}, noon, &error));
    QVERIFY(rules.add({"10.1.0.0/16", 2h, "r", "console"}, noon, &error));

    QVERIFY(rules.removeExpired(noon.addSecs(89), &error).isEmpty());
    const QList<Ban> gone = rules.removeExpired(noon.addSecs(90), &error);
    QCOMPARE(gone.size(), 1);
    QCOMPARE(gone.first().target, QByteArray("1.2.3.4"));
    QCOMPARE(readFile(listPath()), QByteArray("\"7.7.7.7\"\r\n\"10.1.0.0/16\"\r\n"));
    QVERIFY(!readFile(sidePath()).contains("1.2.3.4"));

    QCOMPARE(rules.removeExpired(noon.addYears(50), &error).size(), 1);
    QCOMPARE(readFile(listPath()), QByteArray("\"7.7.7.7\"\r\n")); // hand-edited: never expires
    QVERIFY(error.isEmpty());
}

void TestBanRules::textsSurviveTheSideFile()
{
    const QByteArray reason = "tabs\there, 100% sure\r\nnext line \xa5";
    const QByteArray by = "\xa5"
                          "Ann\t";
    BanRules rules(m_folder->path());
    QString error;
    QVERIFY(rules.add({"1.2.3.4", std::nullopt, reason, by}, noon, &error));
    QCOMPARE(readFile(sidePath()).count('\n'), 2); // heading and one ban
    BanRules again(m_folder->path());
    QVERIFY(again.load(&error));
    QCOMPARE(again.bans().size(), 1);
    QCOMPARE(again.bans().first().reason, reason);
    QCOMPARE(again.bans().first().setBy, by);
    QCOMPARE(again.bans().first().expires, QDateTime());
}

// A side file that is there but cannot be read, or has lines from elsewhere:
// bans still hold, nothing is lost by writing over it.
void TestBanRules::unreadableSideFileIsNeverWrittenOver()
{
    QVERIFY(writeFile(listPath(), "\"1.2.3.4\"\r\n"));
    QVERIFY(QDir(m_folder->path()).mkdir(QStringLiteral("ban-meta.txt")));
    BanRules rules(m_folder->path());
    QString error;
    QVERIFY(!rules.load(&error));
    QVERIFY2(error.contains(QStringLiteral("ban-meta.txt")), qPrintable(error));
    QVERIFY(rules.match("1.2.3.4", noon));
    QVERIFY(!rules.add({"5.5.5.5", 1h, {}, "console"}, noon, &error));
    QVERIFY(!rules.remove("1.2.3.4", &error));
    QCOMPARE(readFile(listPath()), QByteArray("\"1.2.3.4\"\r\n"));

    QVERIFY(QDir(m_folder->path()).rmdir(QStringLiteral("ban-meta.txt")));
    QVERIFY(writeFile(sidePath(), "1.2.3.4\tyesterday\t-\tx\ty\n"));
    QVERIFY(rules.load(&error));
    QCOMPARE(rules.warnings().size(), 1);
    QVERIFY(rules.warnings().first().contains(QStringLiteral("line 1 is not understood")));
    QVERIFY(rules.removeExpired(noon.addYears(50), &error).isEmpty());
}

enum class Change
{
    EditedInPlace, // same size, same inode, within the same clock tick
    Appended,
    Renamed,
    Deleted,
    Unreadable // a directory in the file's place
};
Q_DECLARE_METATYPE(Change)

void TestBanRules::heldFilesFollowTheDisk_data()
{
    QTest::addColumn<Change>("change");
    QTest::addColumn<QByteArray>("content"); // after the change, as read
    QTest::newRow("edited in place") << Change::EditedInPlace << QByteArray("\"1.2.3.5\"\r\n");
    QTest::newRow("appended") << Change::Appended << QByteArray("\"1.2.3.4\"\r\n\"1.2.3.5\"\r\n");
    QTest::newRow("replaced by rename") << Change::Renamed << QByteArray("\"1.2.3.5\"\r\n");
    QTest::newRow("deleted") << Change::Deleted << QByteArray();
    // Never taken as empty once it was read: what was read last stays.
    QTest::newRow("unreadable") << Change::Unreadable << QByteArray("\"1.2.3.4\"\r\n");
}

// A ban list and a file held in memory see every change made by hand at the
// next use, and keep what they read when the file cannot be read any more.
void TestBanRules::heldFilesFollowTheDisk()
{
    QFETCH(Change, change);
    QFETCH(QByteArray, content);
    const QByteArray first = "\"1.2.3.4\"\r\n";
    QVERIFY(writeFile(listPath(), first));
    BanStore store(m_folder->path());
    TextFileCache file(listPath());
    QVERIFY(store.match("1.2.3.4", noon));
    QCOMPARE(file.content(), first);

    const QByteArray other = "\"1.2.3.5\"\r\n";
    const QString temporary = listPath() + QStringLiteral(".new");
    switch (change) {
    case Change::EditedInPlace:
        QVERIFY(writeFile(listPath(), other));
        break;
    case Change::Appended: {
        QFile list(listPath());
        QVERIFY(list.open(QIODevice::Append) && list.write(other) == other.size());
        break;
    }
    case Change::Renamed:
        QVERIFY(writeFile(temporary, other));
        QCOMPARE(std::rename(QFile::encodeName(temporary).constData(),
                             QFile::encodeName(listPath()).constData()),
                 0);
        break;
    case Change::Deleted:
        QVERIFY(QFile::remove(listPath()));
        break;
    case Change::Unreadable:
        QVERIFY(QFile::remove(listPath()) &&
                QDir(m_folder->path()).mkdir(QStringLiteral("ban.txt")));
        break;
    }

    const bool readable = change != Change::Unreadable;
    QString storeError;
    QString fileError;
    QCOMPARE(store.refresh(&storeError), readable);
    QCOMPARE(file.content(&fileError), content);
    QCOMPARE(fileError.isEmpty(), readable);
    QCOMPARE(storeError.isEmpty(), readable);
    QCOMPARE(bool(store.match("1.2.3.4", noon)), content.contains("1.2.3.4"));
    QCOMPARE(bool(store.match("1.2.3.5", noon)), content.contains("1.2.3.5"));
}

QTEST_APPLESS_MAIN(TestBanRules)
#include "tst_banrules.moc"
