#include "core/codepage.h"
#include "userrecords.h"

#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

#include <map>
#include <optional>

// Case-blind matching of names and e-mail addresses in the users store, the
// same whether the rows were added by this store, were there before the
// store kept folded keys, or were written by another program meanwhile.
class TestUsersDatabase : public QObject
{
    Q_OBJECT
public:
    enum class Written
    {
        ByThisStore,              // added through the store
        BeforeFoldedKeys,         // in a file from before the folded keys
        InsertedByAnotherProgram, // inserted behind the open store's back
        RenamedByAnotherProgram,  // names and addresses changed behind its back
    };
    Q_ENUM(Written)

private Q_SLOTS:
    void matching_data();
    void matching();
    void anOldFileKeepsEveryRowAndGainsTheSearchKeys();
    void storeHasTextColumnsAndReadsNullAsEmpty();

private:
    // One store per way of writing, shared by the rows of the lookup table.
    UsersDatabase *storeWritten(Written written);

    QTemporaryDir m_folder;
    std::map<Written, std::unique_ptr<UsersDatabase>> m_stores;
};

namespace {

// Windows-1252 bytes: UserName and Email of each stored row, in table order.
const QList<std::pair<QByteArray, QByteArray>> StoredUsers = {
    {"Anne", "anne@example.org"},
    {"\xC9lise", "elise@example.org"},    // Élise
    {"\x8A\xE1rka", "sarka@example.org"}, // Šárka
    {"Ma\xFF"
     "a",
     "maya@example.org"}, // Maÿa
    {"Stra\xDF"
     "e",
     "strasse@example.org"}, // Straße: ß has no capital
    {"a\xD7"
     "b",
     "times@example.org"},              // a×b: × and ÷ are not letters
    {"ANNE", "anne2@example.org"},      // the same name in other case, later
    {"100%_\\", "percent@example.org"}, // LIKE's special characters
    {"\xB5", "micro@example.org"},      // µ has no capital
};

// Runs statements on the file as another program would, each with the bound
// texts in order; gives the first value of the last one (null when it has no
// row), nothing when one failed.
std::optional<QVariant> runRaw(const QString &path,
                               const QList<std::pair<QString, QList<QByteArray>>> &statements)
{
    static int connections = 0;
    const QString name = QStringLiteral("raw-") + QString::number(++connections);
    std::optional<QVariant> result;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(path);
        bool ok = db.open();
        QSqlQuery query(db);
        for (const auto &[sql, texts] : statements) {
            ok = ok && query.prepare(sql);
            for (int i = 0; i < texts.size(); ++i) {
                const QString text = Codepage::toDisplay(texts[i]);
                query.bindValue(i, text.isNull() ? QString(QLatin1String("")) : text);
            }
            ok = ok && query.exec();
        }
        if (ok)
            result = query.next() ? query.value(0) : QVariant();
    }
    QSqlDatabase::removeDatabase(name);
    return result;
}

QString oldTable()
{
    QStringList columns;
    for (const char *name : UserRecord::ColumnNames)
        columns.append(QLatin1String(name) + QLatin1String(" TEXT"));
    return QStringLiteral("CREATE TABLE Login1 (") + columns.join(QLatin1String(", ")) +
           QLatin1Char(')');
}

const QString InsertRaw =
    QStringLiteral("INSERT INTO Login1 (UserName, Email, Password) VALUES (?, ?, 'pw')");

// The store holding StoredUsers, written the given way.
std::unique_ptr<UsersDatabase> storeOf(const QString &path, TestUsersDatabase::Written written)
{
    using Written = TestUsersDatabase::Written;
    QList<std::pair<QString, QList<QByteArray>>> raw;
    if (written == Written::BeforeFoldedKeys) {
        raw.append({oldTable(), {}});
        raw.append({QStringLiteral("CREATE INDEX Login1UserName ON Login1 (UserName COLLATE "
                                   "NOCASE)"),
                    {}});
        for (const auto &[name, email] : StoredUsers)
            raw.append({InsertRaw, {name, email}});
        if (!runRaw(path, raw))
            return nullptr;
    }
    auto store = UsersDatabase::open(path, nullptr);
    if (!store)
        return nullptr;
    raw.clear();
    for (qsizetype i = 0; i < StoredUsers.size(); ++i) {
        const auto &[name, email] = StoredUsers[i];
        if (written == Written::ByThisStore && !store->addUser(userRecord(name, "pw", email)))
            return nullptr;
        if (written == Written::InsertedByAnotherProgram)
            raw.append({InsertRaw, {name, email}});
        if (written == Written::RenamedByAnotherProgram) {
            // A placeholder each, renamed afterwards.
            if (!store->addUser(userRecord("placeholder" + QByteArray::number(i), "pw", "p@x")))
                return nullptr;
            raw.append({QStringLiteral("UPDATE Login1 SET UserName = ?, Email = ? WHERE rowid = ") +
                            QString::number(i + 1),
                        {name, email}});
        }
    }
    if (!runRaw(path, raw))
        return nullptr;
    return store;
}

} // namespace

UsersDatabase *TestUsersDatabase::storeWritten(Written written)
{
    std::unique_ptr<UsersDatabase> &store = m_stores[written];
    if (!store) {
        const QString path = m_folder.filePath(QString::number(int(written)) + QLatin1Char('-') +
                                               UsersDatabase::FileName);
        store = storeOf(path, written);
    }
    return store.get();
}

void TestUsersDatabase::matching_data()
{
    QTest::addColumn<Written>("written");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("email");
    QTest::addColumn<int>("firstRowWithTheName"); // -1: none
    QTest::addColumn<bool>("taken");              // the name or the e-mail address

    const QList<std::pair<const char *, Written>> ways = {
        {"store", Written::ByThisStore},
        {"old file", Written::BeforeFoldedKeys},
        {"inserted elsewhere", Written::InsertedByAnotherProgram},
        {"renamed elsewhere", Written::RenamedByAnotherProgram},
    };
    const auto lookup = [&ways](const char *title, const QByteArray &name, int firstRow, bool taken,
                                const QByteArray &email = "new@x") {
        for (const auto &[way, written] : ways)
            QTest::addRow("%s: %s", way, title) << written << name << email << firstRow << taken;
    };
    lookup("exact name", "Anne", 0, true);
    lookup("name in other case: the first such row", "aNNE", 0, true);
    lookup("a shorter name", "Ann", -1, false);
    lookup("accented capital in lower case", "\xE9LISE", 1, true);
    lookup("an accent is not a case", "ELISE", -1, false);
    lookup("S caron and a acute in other case", "\x9A\xC1RKA", 2, true);
    lookup("y diaeresis in capitals",
           "MA\x9F"
           "A",
           3, true);
    lookup("sharp s stays itself",
           "STRA\xDF"
           "E",
           4, true);
    lookup("sharp s is not SS", "STRASSE", -1, false);
    lookup("multiplication sign matches itself",
           "A\xD7"
           "B",
           5, true);
    lookup("division sign is not its lower case",
           "a\xF7"
           "b",
           -1, false);
    lookup("percent and underscore are plain characters", "100%_\\", 7, true);
    lookup("percent is no wildcard", "100ab\\", -1, false);
    lookup("micro sign", "\xB5", 8, true);
    lookup("e-mail address in other case", "Nobody", -1, true, "ELISE@Example.ORG");
    lookup("accented e-mail letters are not folded away", "Nobody", -1, false,
           "\xC9LISE@EXAMPLE.ORG");
    lookup("empty name and e-mail", "", -1, false, "");
}

void TestUsersDatabase::matching()
{
    QFETCH(Written, written);
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, email);
    QFETCH(int, firstRowWithTheName);
    QFETCH(bool, taken);
    UsersDatabase *store = storeWritten(written);
    QVERIFY(store);
    QCOMPARE(store->count(), StoredUsers.size());

    QCOMPARE(store->findByName(name), firstRowWithTheName >= 0);
    if (firstRowWithTheName >= 0) {
        const std::optional<UserRecord> found = store->current();
        QVERIFY(found);
        QCOMPARE((*found)[UserRecord::UserName], StoredUsers[firstRowWithTheName].first);
        QCOMPARE((*found)[UserRecord::Email], StoredUsers[firstRowWithTheName].second);
    }
    QCOMPARE(store->isNameOrEmailTaken(name, email), taken);
    // Credentials stay exact: the stored spelling only.
    const bool storedExactly = std::any_of(StoredUsers.begin(), StoredUsers.end(),
                                           [&](const auto &u) { return u.first == name; });
    QCOMPARE(store->checkCredentials(name, "pw"), storedExactly);
}

void TestUsersDatabase::anOldFileKeepsEveryRowAndGainsTheSearchKeys()
{
    QTemporaryDir folder;
    const QString path = folder.filePath(UsersDatabase::FileName);
    QList<std::pair<QString, QList<QByteArray>>> raw{{oldTable(), {}}};
    QStringList placeholders;
    for (int i = 0; i < UserRecord::ColumnCount; ++i)
        placeholders.append(QStringLiteral("?"));
    const QString insertAll = QStringLiteral("INSERT INTO Login1 VALUES (") +
                              placeholders.join(QLatin1Char(',')) + QLatin1Char(')');
    QList<UserRecord> records;
    for (const auto &[name, email] : StoredUsers) {
        UserRecord r;
        for (int i = 0; i < UserRecord::ColumnCount; ++i)
            r.values[i] = name + " column " + QByteArray::number(i);
        r[UserRecord::UserName] = name;
        r[UserRecord::Email] = email;
        records.append(r);
        raw.append({insertAll, QList<QByteArray>(r.values.begin(), r.values.end())});
    }
    QVERIFY(runRaw(path, raw));

    for (int opening = 0; opening < 2; ++opening) {
        auto store = UsersDatabase::open(path, nullptr);
        QVERIFY(store);
        QCOMPARE(store->count(), records.size());
        for (const UserRecord &r : std::as_const(records)) {
            QVERIFY(!store->isAfterLast());
            QCOMPARE(store->current(), r);
            store->moveNext();
        }
        QVERIFY(store->isAfterLast());
    }
    // Each row got its search keys: a row without them is read on every lookup.
    QCOMPARE(runRaw(path, {{QStringLiteral("SELECT count(*) FROM Login1 WHERE UserNameFolded IS "
                                           "NULL OR EmailFolded IS NULL"),
                            {}}}),
             QVariant(0));
}

void TestUsersDatabase::storeHasTextColumnsAndReadsNullAsEmpty()
{
    const QString path = m_folder.filePath(QStringLiteral("empty.mdb"));
    QVERIFY(QFile(path).open(QIODevice::WriteOnly)); // an empty file becomes a store
    QVERIFY(addUsers(path, {userRecord("bob")}));
    // As another program sees the file, and writes to it: fifteen text
    // columns, "Username" is "UserName", empty text is not NULL.
    QCOMPARE(runRaw(path, {{QStringLiteral("SELECT (SELECT sum(type = 'TEXT') FROM pragma_table_"
                                           "info('Login1')) || ' ' || Username || ' ' || (Email = "
                                           "'') FROM Login1"),
                            {}}}),
             QVariant(QStringLiteral("15 bob 1")));
    QVERIFY(runRaw(
        path, {{QStringLiteral("INSERT INTO Login1 (First) VALUES ('only a first name')"), {}}}));
    auto store = UsersDatabase::open(path, nullptr);
    QVERIFY(store->moveNext());
    QCOMPARE(store->current(), userRecord({}, {}, {}, "only a first name"));
    QCOMPARE(store->findByName(""), false);
    QCOMPARE(store->checkCredentials("", ""), false);
}

QTEST_GUILESS_MAIN(TestUsersDatabase)
#include "tst_usersdatabase.moc"
