#include "accountstesting.h"

#include "core/codepage.h"

#include <QTemporaryDir>
#include <QTest>

using namespace AccountsTesting;

namespace {
using Records = QList<UserRecord>;

// What a plain scan of the whole table in table order finds: the reference
// for the indexed lookups.
std::optional<UserRecord> scanForName(UsersDatabase &store, const QByteArray &name)
{
    while (store.hasCurrent()) {
        const std::optional<UserRecord> r = store.current();
        if (r && Codepage::equalsIgnoringCase((*r)[UserRecord::UserName], name))
            return r;
        store.moveNext();
    }
    return std::nullopt;
}
} // namespace

class TestUsersDatabase : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void missingFileIsCreatedWithItsTable();
    void recordsKeepEveryByteAndTheirOrder();
    void foldedLookupsFindWhatAPlainScanFinds_data();
    void foldedLookupsFindWhatAPlainScanFinds();
    void findByNameTakesTheFirstInTableOrder();
    void nullCellsReadEmptyAndMatchNothing();
    void aFileOfAnotherKindIsLeftAlone_data();
    void aFileOfAnotherKindIsLeftAlone();
    void anEmptyFileBecomesAStore();
    void anUnwritableStoreStillAnswersReads();

private:
    QString path() const { return m_dir->filePath(QStringLiteral("users.mdb")); }
    std::unique_ptr<UsersDatabase> open()
    {
        QString error;
        auto store = UsersDatabase::open(path(), &error);
        if (!store)
            qWarning("%s", qPrintable(error));
        return store;
    }

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<QTemporaryDir> m_lookupTable;
};

void TestUsersDatabase::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void TestUsersDatabase::missingFileIsCreatedWithItsTable()
{
    QVERIFY(!QFile::exists(path()));
    QVERIFY(open());
    QVERIFY(QFile::exists(path()));
    // Both spellings of the name column address the one column.
    QVERIFY(rawSql(path(), {"SELECT Username, UserName, First, Last, Address1, Address2, City, "
                            "State, Zip, Country, Password, Provider, Connection, Email, "
                            "mailinglist, emailme FROM Login1"}));
    QCOMPARE(rawValue(path(), "SELECT count(*) FROM pragma_table_info('Login1')").toInt(), 15);
    QCOMPARE(rawValue(path(), "SELECT count(*) FROM pragma_table_info('Login1') "
                              "WHERE type <> 'TEXT'")
                 .toInt(),
             0);
}

void TestUsersDatabase::recordsKeepEveryByteAndTheirOrder()
{
    UserRecord accented = distinctRecord("\xE9\xA5\x80\x81 x ");
    const Records records{distinctRecord("b"), accented, UserRecord(), distinctRecord("a")};
    QVERIFY(addAll(path(), records));
    auto store = open(); // a later open sees what an earlier one committed
    QVERIFY(store);
    QCOMPARE(store->count(), 4);
    for (const UserRecord &expected : records) {
        QCOMPARE(store->current(), expected);
        QVERIFY(store->moveNext());
    }
    QVERIFY(store->isAfterLast());
    // Empty text stays text: NULL would equal nothing.
    QCOMPARE(rawValue(path(), "SELECT count(*) FROM Login1 WHERE Email IS NULL").toInt(), 0);
}

void TestUsersDatabase::foldedLookupsFindWhatAPlainScanFinds_data()
{
    QTest::addColumn<QByteArray>("name");
    const QList<QByteArray> names{
        "anna",     "ANNA",        "Anna ", "\xE9t\xE9", "\xC9T\xC9", "\xE9T\xC9x",
        "\x9A\x9C", "\x8A\x8C",    "\xFF",  "\x9F",      "\xDF",      "\xD7",
        "\xF7",     "%",           "_",     "\\",        "a_b",       "a%b",
        "a\\b",     "axb",         "",      " ",         "\x81",      QByteArray("a\0b", 3),
        "A",        "\xE0\xE1\xE2"};
    for (const QByteArray &name : names)
        QTest::newRow(name.toHex().constData()) << name;
    QTest::newRow("absent") << QByteArray("nobody");
    QTest::newRow("absent accented") << QByteArray("\xE9tx");
    QTest::newRow("absent NUL") << QByteArray("a\0c", 3);
}

// The stored names share folded forms, wildcard characters and prefixes, so
// an index that narrowed too much, or a LIKE that matched too much, would
// show here.
void TestUsersDatabase::foldedLookupsFindWhatAPlainScanFinds()
{
    QFETCH(QByteArray, name);
    Records stored;
    const QList<QByteArray> names{"ANNA",
                                  "anna ",
                                  "\xC9T\xC9",
                                  "\xE9t\xE9",
                                  "\xE9T\xC9X",
                                  "\x8A\x9C",
                                  "\x9A\x8C",
                                  "\x9F",
                                  "\xDF",
                                  "\xD7",
                                  "\xF7",
                                  "%",
                                  "x",
                                  "a_b",
                                  "A%B",
                                  "aXb",
                                  "a\\b",
                                  "",
                                  "\x81",
                                  QByteArray("A\0B", 3),
                                  QByteArray("a\0c", 3),
                                  "a",
                                  "\xC0\xC1\xC2",
                                  "anna"};
    for (int i = 0; i < names.size(); ++i)
        stored.append(record(names[i], "pw", "mail" + names[i], QByteArray::number(i)));
    // One table for all rows.
    if (!m_lookupTable) {
        m_lookupTable = std::make_unique<QTemporaryDir>();
        QVERIFY(addAll(m_lookupTable->filePath(QStringLiteral("users.mdb")), stored));
    }
    const QString tablePath = m_lookupTable->filePath(QStringLiteral("users.mdb"));

    auto reference = UsersDatabase::open(tablePath, nullptr);
    const std::optional<UserRecord> expected = scanForName(*reference, name);
    auto store = UsersDatabase::open(tablePath, nullptr);
    QCOMPARE(store->findByName(name), expected.has_value());
    QCOMPARE(store->current(), expected);
    QCOMPARE(store->isNameOrEmailTaken(name, "no such mail"), expected.has_value());
    // The same through the e-mail column.
    QCOMPARE(store->isNameOrEmailTaken("no such name", "MAIL" + name), expected.has_value());
}

void TestUsersDatabase::findByNameTakesTheFirstInTableOrder()
{
    QVERIFY(addAll(path(), {record("x"), record("DUP", "first"), record("dup", "second")}));
    auto store = open();
    QCOMPARE(store->findByName("Dup"), true);
    QCOMPARE((*store->current())[UserRecord::Password], QByteArray("first"));
    QCOMPARE(store->findByName("nobody"), false);
    QVERIFY(store->isAfterLast());
}

void TestUsersDatabase::nullCellsReadEmptyAndMatchNothing()
{
    QVERIFY(open());
    QVERIFY(rawSql(path(), {"INSERT INTO Login1 (First) VALUES ('only a first name')"}));
    auto store = open();
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
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("another engine's file") << false << foreignDatabaseBytes();
    QTest::newRow("text") << false << QByteArray("name,password\r\nbob,pw\r\n");
    QTest::newRow("Login1 without its columns") << true << QByteArray();
}

void TestUsersDatabase::aFileOfAnotherKindIsLeftAlone()
{
    QFETCH(bool, sqlite);
    QFETCH(QByteArray, content);
    if (sqlite)
        QVERIFY(rawSql(path(), {"CREATE TABLE Login1 (UserName TEXT, Password TEXT)",
                                "INSERT INTO Login1 VALUES ('bob', 'pw')"}));
    else
        writeFile(path(), content);
    const QByteArray before = fileBytes(path());
    QString error;
    QVERIFY(!UsersDatabase::open(path(), &error));
    QVERIFY2(error.contains(path()), qPrintable(error));
    QVERIFY2(error.contains(QLatin1String("cannot be opened")), qPrintable(error));
    QCOMPARE(fileBytes(path()), before);
}

void TestUsersDatabase::anEmptyFileBecomesAStore()
{
    writeFile(path(), QByteArray());
    QVERIFY(addAll(path(), {record("bob")}));
    QCOMPARE(open()->count(), 1);
}

void TestUsersDatabase::anUnwritableStoreStillAnswersReads()
{
    QVERIFY(addAll(path(), {record("bob", "pw")}));
    QVERIFY(makeUnwritable(path()));
    auto store = open();
    QVERIFY(store);
    QCOMPARE(store->checkCredentials("bob", "pw"), true);
    QVERIFY(!store->addUser(record("carol")));
    QVERIFY2(store->errorText().contains(QLatin1String("cannot be written")),
             qPrintable(store->errorText()));
    QCOMPARE(store->count(), 1);
}

QTEST_GUILESS_MAIN(TestUsersDatabase)
#include "tst_usersdatabase.moc"
