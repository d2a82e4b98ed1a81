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
    void recordsKeepEveryByteAsTextInTableOrder();
    void foldedLookupsFindWhatAPlainScanFinds_data();
    void foldedLookupsFindWhatAPlainScanFinds();

private:
    QTemporaryDir m_dir;
};

void TestUsersDatabase::recordsKeepEveryByteAsTextInTableOrder()
{
    const QString path = m_dir.filePath(QStringLiteral("users.mdb"));
    QVERIFY(QFile(path).open(QIODevice::WriteOnly)); // an empty file becomes a store
    const QList<UserRecord> records{distinctRecord("\xE9\xA5\x80\x81 x "), record("a")};
    QVERIFY(addAll(path, records));
    QCOMPARE(rawSql(path, "SELECT sum(type = 'TEXT') || '/' || count(*) "
                          "FROM pragma_table_info('Login1')"),
             "15/15");
    // Both spellings of the name column address one column; empty text is not NULL.
    QCOMPARE(rawSql(path, "SELECT count(*) FROM Login1 WHERE (Username || UserName || First || "
                          "Last || Address1 || Address2 || City || State || Zip || Country || "
                          "Password || Provider || Connection || Email || mailinglist || "
                          "emailme) IS NOT NULL"),
             2);
    // A record another program wrote with NULL cells reads empty and matches nothing.
    QVERIFY(rawSql(path, "INSERT INTO Login1 (First) VALUES ('only a first name')").isValid());
    UserRecord nulls;
    nulls[UserRecord::First] = "only a first name";
    auto store = UsersDatabase::open(path, nullptr);
    for (const UserRecord &expected : records + QList<UserRecord>{nulls}) {
        QCOMPARE(store->current(), expected);
        QVERIFY(store->moveNext());
    }
    QVERIFY(store->isAfterLast());
    QCOMPARE(store->findByName(""), false);
    QCOMPARE(store->checkCredentials("", ""), false);
}

void TestUsersDatabase::foldedLookupsFindWhatAPlainScanFinds_data()
{
    QTest::addColumn<QByteArray>("name");
    const QList<QByteArray> names{
        "anna", "Anna ", "\xE9T\xC9", "\x9A\x9C",           "\xFF", "\xF7", "%",
        "a_b",  "a\\b",  "",          QByteArray("a\0b", 3)};
    for (const QByteArray &name : names)
        QTest::newRow(name.toHex().constData()) << name;
}

// The stored names share folded forms, wildcard characters and prefixes, so
// an index that narrowed too much, or a LIKE that matched too much, shows.
void TestUsersDatabase::foldedLookupsFindWhatAPlainScanFinds()
{
    QFETCH(QByteArray, name);
    const QString path = m_dir.filePath(QStringLiteral("lookup.mdb"));
    const QList<QByteArray> names{
        "ANNA", "anna ", "\xC9T\xC9", "\xE9t\xE9", "\x8A\x9C", "\x9F", "\xD7",
        "%",    "x",     "A%B",       "aXb",       "a\\b",     "",     QByteArray("A\0B", 3),
        "a",    "anna"};
    QList<UserRecord> stored;
    for (int i = 0; i < names.size(); ++i)
        stored.append(record(names[i], "pw", "mail" + names[i], QByteArray::number(i)));
    if (!QFile::exists(path))
        QVERIFY(addAll(path, stored));

    auto scan = UsersDatabase::open(path, nullptr);
    while (scan->hasCurrent() &&
           !Codepage::equalsIgnoringCase((*scan->current())[UserRecord::UserName], name))
        scan->moveNext();
    const std::optional<UserRecord> expected =
        scan->hasCurrent() ? scan->current() : std::optional<UserRecord>();
    auto store = UsersDatabase::open(path, nullptr);
    QCOMPARE(store->findByName(name), expected.has_value());
    QCOMPARE(store->current(), expected);
    QCOMPARE(store->isNameOrEmailTaken(name, "no such mail"), expected.has_value());
    QCOMPARE(store->isNameOrEmailTaken("no such name", "MAIL" + name), expected.has_value());
}

QTEST_GUILESS_MAIN(TestUsersDatabase)
#include "tst_usersdatabase.moc"
