#include "accountstesting.h"

#include "core/codepage.h"

#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

using namespace AccountsTesting;

namespace {
// Runs a statement on the file as another program would: its first value,
// true when it gives none, invalid when it fails.
QVariant rawSql(const QString &path, const char *statement)
{
    QVariant value;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "raw");
        db.setDatabaseName(path);
        QSqlQuery query(db);
        if (db.open() && query.exec(QLatin1String(statement)))
            value = query.next() ? query.value(0) : QVariant(true);
    }
    QSqlDatabase::removeDatabase(QStringLiteral("raw"));
    return value;
}
} // namespace

class TestUsersDatabase : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init() { QVERIFY(m_dir.emplace().isValid()); }
    void anEmptyFileGetsTheFifteenTextColumns();
    void recordsKeepEveryByteAndTheirOrder();
    void foldedLookupsFindWhatAPlainScanFinds_data();
    void foldedLookupsFindWhatAPlainScanFinds();
    void nullCellsReadEmptyAndMatchNothing();
    void aFileOfAnotherKindIsLeftAlone_data();
    void aFileOfAnotherKindIsLeftAlone();
    void anUnwritableStoreStillAnswersReads();

private:
    QString path() const { return m_dir->filePath(QStringLiteral("users.mdb")); }

    std::optional<QTemporaryDir> m_dir;
    std::optional<QTemporaryDir> m_lookupDir;
};

void TestUsersDatabase::anEmptyFileGetsTheFifteenTextColumns()
{
    QVERIFY(QFile(path()).open(QIODevice::WriteOnly));
    QVERIFY(UsersDatabase::open(path(), nullptr));
    // Both spellings of the name column address the one column.
    QCOMPARE(rawSql(path(), "SELECT count(*) FROM (SELECT Username, UserName, First, Last, "
                            "Address1, Address2, City, State, Zip, Country, Password, Provider, "
                            "Connection, Email, mailinglist, emailme FROM Login1)"),
             0);
    QCOMPARE(rawSql(path(), "SELECT sum(type = 'TEXT') || '/' || count(*) "
                            "FROM pragma_table_info('Login1')"),
             "15/15");
}

void TestUsersDatabase::recordsKeepEveryByteAndTheirOrder()
{
    const QList<UserRecord> records{distinctRecord("b"), distinctRecord("\xE9\xA5\x80\x81 x "),
                                    UserRecord(), distinctRecord("a")};
    QVERIFY(addAll(path(), records));
    auto store = UsersDatabase::open(path(), nullptr);
    QCOMPARE(store->count(), 4);
    for (const UserRecord &expected : records) {
        QCOMPARE(store->current(), expected);
        QVERIFY(store->moveNext());
    }
    QVERIFY(store->isAfterLast());
    // Empty text stays text: NULL would equal nothing.
    QCOMPARE(rawSql(path(), "SELECT count(*) FROM Login1 WHERE Email IS NULL"), 0);
}

void TestUsersDatabase::foldedLookupsFindWhatAPlainScanFinds_data()
{
    QTest::addColumn<QByteArray>("name");
    const QList<QByteArray> names{
        "anna",  "Anna ", "\xE9T\xC9", "\x9A\x9C", "\xFF", "\xF7", "\xDF",
        "%",     "a_b",   "a%b",       "a\\b",     "",     "\x81", QByteArray("a\0b", 3),
        "nobody"};
    for (const QByteArray &name : names)
        QTest::newRow(name.toHex().constData()) << name;
}

// The stored names share folded forms, wildcard characters and prefixes, so
// an index that narrowed too much, or a LIKE that matched too much, shows.
void TestUsersDatabase::foldedLookupsFindWhatAPlainScanFinds()
{
    QFETCH(QByteArray, name);
    if (!m_lookupDir) {
        const QList<QByteArray> names{"ANNA",     "anna ", "\xC9T\xC9", "\xE9t\xE9",
                                      "\x8A\x9C", "\x9F",  "\xDF",      "\xD7",
                                      "%",        "x",     "A%B",       "aXb",
                                      "a\\b",     "",      "\x81",      QByteArray("A\0B", 3),
                                      "a",        "anna"};
        QList<UserRecord> stored;
        for (int i = 0; i < names.size(); ++i)
            stored.append(record(names[i], "pw", "mail" + names[i], QByteArray::number(i)));
        QVERIFY(addAll(m_lookupDir.emplace().filePath(QStringLiteral("users.mdb")), stored));
    }
    const QString table = m_lookupDir->filePath(QStringLiteral("users.mdb"));
    auto scan = UsersDatabase::open(table, nullptr);
    while (scan->hasCurrent() &&
           !Codepage::equalsIgnoringCase((*scan->current())[UserRecord::UserName], name))
        scan->moveNext();
    const std::optional<UserRecord> expected =
        scan->hasCurrent() ? scan->current() : std::optional<UserRecord>();

    auto store = UsersDatabase::open(table, nullptr);
    QCOMPARE(store->findByName(name), expected.has_value());
    QCOMPARE(store->current(), expected);
    QCOMPARE(store->isNameOrEmailTaken(name, "no such mail"), expected.has_value());
    QCOMPARE(store->isNameOrEmailTaken("no such name", "MAIL" + name), expected.has_value());
}

void TestUsersDatabase::nullCellsReadEmptyAndMatchNothing()
{
    QVERIFY(UsersDatabase::open(path(), nullptr));
    QVERIFY(rawSql(path(), "INSERT INTO Login1 (First) VALUES ('only a first name')").isValid());
    auto store = UsersDatabase::open(path(), nullptr);
    UserRecord expected;
    expected[UserRecord::First] = "only a first name";
    QCOMPARE(store->current(), expected);
    QCOMPARE(store->isNameOrEmailTaken("", ""), false);
    QCOMPARE(store->checkCredentials("", ""), false);
    QCOMPARE(store->findByName(""), false);
}

void TestUsersDatabase::aFileOfAnotherKindIsLeftAlone_data()
{
    QTest::addColumn<bool>("sqlite");
    QTest::newRow("another engine's file") << false;
    QTest::newRow("Login1 without its columns") << true;
}

void TestUsersDatabase::aFileOfAnotherKindIsLeftAlone()
{
    QFETCH(bool, sqlite);
    if (sqlite)
        QVERIFY(rawSql(path(), "CREATE TABLE Login1 (UserName TEXT, Password TEXT)").isValid());
    else
        writeForeignDatabase(path());
    const QByteArray before = fileBytes(path());
    QString error;
    QVERIFY(!UsersDatabase::open(path(), &error));
    QVERIFY2(error.contains(path() + QLatin1String(" cannot be opened")), qPrintable(error));
    QCOMPARE(fileBytes(path()), before);
}

void TestUsersDatabase::anUnwritableStoreStillAnswersReads()
{
    QVERIFY(addAll(path(), {record("bob")}));
    // As a locked or read-only file would.
    QVERIFY(rawSql(path(), "CREATE TRIGGER refuse BEFORE INSERT ON Login1 "
                           "BEGIN SELECT RAISE(ABORT, 'the file is read-only'); END")
                .isValid());
    auto store = UsersDatabase::open(path(), nullptr);
    QCOMPARE(store->checkCredentials("bob", "pw"), true);
    QVERIFY(!store->addUser(record("carol")));
    QVERIFY2(store->errorText().contains(QLatin1String("cannot be written")),
             qPrintable(store->errorText()));
    QCOMPARE(store->count(), 1);
}

QTEST_GUILESS_MAIN(TestUsersDatabase)
#include "tst_usersdatabase.moc"
