#include "accounts/usersdatabase.h"

#include "core/codepage.h"
#include "core/passwordhash.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>

#include <array>
#include <atomic>

#include <sys/stat.h>

namespace {

const QString OpenFailure = QStringLiteral("The users database %1 cannot be opened: %2");
const QString ReadFailure = QStringLiteral("The users database %1 cannot be read: %2");
const QString WriteFailure = QStringLiteral("The users database %1 cannot be written: %2");

QString columnList()
{
    QStringList names;
    for (const char *name : UserRecord::ColumnNames)
        names.append(QLatin1String(name));
    return names.join(QLatin1String(", "));
}

// A text as a bound value. An empty text must stay text: a null QString would
// be bound as NULL, which equals nothing.
QVariant boundText(const QByteArray &bytes)
{
    QString text = Codepage::toDisplay(bytes);
    if (text.isNull())
        text = QLatin1String("");
    return text;
}

// A cell as protocol text for the comparisons; nullopt when it holds no text
// value. Text with characters outside the code page cannot have come from a
// client and equals nothing.
std::optional<QByteArray> comparableText(const QVariant &cell)
{
    if (cell.isNull() || cell.typeId() != QMetaType::QString)
        return std::nullopt;
    const QString text = cell.toString();
    QByteArray bytes = Codepage::fromDisplay(text);
    if (Codepage::toDisplay(bytes) != text)
        return std::nullopt;
    return bytes;
}

// A cell for display: no value reads as empty text.
QByteArray shownText(const QVariant &cell)
{
    return cell.isNull() ? QByteArray() : Codepage::fromDisplay(cell.toString());
}

// A name or e-mail address folded for the lookups, as a blob: two texts
// match when their folded blobs are equal.
QVariant foldedKey(const QByteArray &text)
{
    QByteArray key = Codepage::toUpper(text);
    if (key.isNull())
        key = QByteArray(""); // a null array would be bound as NULL
    return key;
}

// The folded key of a stored cell; NULL when it holds no text a client could
// have sent, which equals nothing.
QVariant foldedCell(const QVariant &cell)
{
    const std::optional<QByteArray> text = comparableText(cell);
    return text ? foldedKey(*text) : QVariant(QMetaType::fromType<QByteArray>());
}

// The file's identity: device and inode, zero when there is no file.
std::pair<quint64, quint64> fileIdentity(const QString &path)
{
    struct stat info;
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return {0, 0};
    return {quint64(info.st_dev), quint64(info.st_ino)};
}

// The users window and the services open stores on different threads.
int nextConnectionNumber()
{
    static std::atomic<int> number = 0;
    return ++number;
}

} // namespace

std::unique_ptr<UsersDatabase> UsersDatabase::open(const QString &path, QString *errorText)
{
    const QString connectionName =
        QStringLiteral("users-") + QString::number(nextConnectionNumber());
    std::unique_ptr<UsersDatabase> store(new UsersDatabase(path, connectionName));
    if (!store->prepareStore()) {
        if (errorText)
            *errorText = store->errorText();
        return nullptr;
    }
    return store;
}

void UsersDatabase::prepareForOwner()
{
    // The registry is created on first use; using it now makes it older.
    QSqlDatabase::contains(QStringLiteral("users-0"));
}

UsersDatabase::UsersDatabase(const QString &path, const QString &connectionName)
    : m_path(path), m_connectionName(connectionName)
{
    m_database = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connectionName);
    m_database.setDatabaseName(path);
    // Another program holding the file must not freeze the window for long.
    m_database.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=1000"));
}

UsersDatabase::~UsersDatabase()
{
    m_database.close();
    m_database = QSqlDatabase();
    QSqlDatabase::removeDatabase(m_connectionName);
}

bool UsersDatabase::isFileStillThere() const
{
    return m_inode != 0 && fileIdentity(m_path) == std::pair{m_device, m_inode};
}

void UsersDatabase::fail(const QString &what, const QString &reason)
{
    m_errorText = what.arg(m_path, reason);
}

bool UsersDatabase::run(QSqlQuery &query, const QString &what)
{
    if (query.exec())
        return true;
    fail(what, query.lastError().text());
    return false;
}

bool UsersDatabase::prepareStore()
{
    const QFileInfo info(m_path);
    if (info.isSymLink()) {
        fail(OpenFailure,
             QStringLiteral("it is a symbolic link, which the server does not follow"));
        return false;
    }
    if (info.isDir()) {
        fail(OpenFailure, QStringLiteral("it is a folder"));
        return false;
    }
    const bool existed = info.exists();
    if (!m_database.open()) {
        fail(OpenFailure, m_database.lastError().text());
        return false;
    }
    // Reading the schema first: a file that is not an SQLite database fails
    // here, before anything could be written to it.
    QSqlQuery query(m_database);
    query.prepare(QStringLiteral("SELECT 1 FROM sqlite_master WHERE type = 'table' "
                                 "AND name = 'Login1' COLLATE NOCASE"));
    if (!run(query, OpenFailure))
        return false;
    const bool tableExists = query.next();
    if (tableExists) {
        query.prepare(QStringLiteral("SELECT ") + columnList() +
                      QStringLiteral(" FROM Login1 LIMIT 0"));
        if (!run(query, OpenFailure))
            return false;
    }
    // A write-ahead log commits with one synced write instead of a rollback
    // journal's several: a registration is as durable and answers sooner.
    // A store that cannot take it (read-only) works as it is.
    query.prepare(QStringLiteral("PRAGMA journal_mode = WAL"));
    query.exec();
    // Counting walks every page of an index; mapped pages spare a fresh
    // connection copying them in first.
    query.prepare(QStringLiteral("PRAGMA mmap_size = 268435456"));
    query.exec();
    if (!tableExists) {
        QStringList columns;
        for (const char *name : UserRecord::ColumnNames)
            columns.append(QLatin1String(name) + QLatin1String(" TEXT"));
        query.prepare(QStringLiteral("CREATE TABLE Login1 (") + columns.join(QLatin1String(", ")) +
                      QStringLiteral(", UserNameFolded BLOB, EmailFolded BLOB)"));
        // A store made here stores hashes from its first record on.
        if (!run(query, OpenFailure) || !query.exec(QStringLiteral("PRAGMA user_version = 1"))) {
            // A store that could not be made (a full disk) leaves no empty file behind.
            if (!existed) {
                query.finish();
                m_database.close();
                for (const char *suffix : {"", "-wal", "-shm", "-journal"})
                    QFile::remove(m_path + QLatin1String(suffix));
            }
            return false;
        }
    }
    query.finish();
    // A store that cannot take the folded columns (read-only) works without
    // them: the lookups give the same answers, only slower.
    prepareFolding();

    std::tie(m_device, m_inode) = fileIdentity(m_path);
    std::optional<qint64> first;
    if (!neighbour(std::nullopt, Direction::Forward, &first))
        return false;
    m_position = first ? Position::OnRecord : Position::AfterLast;
    m_rowid = first.value_or(0);
    return true;
}

// The one value a query answers; a failure is reported as `missing` says.
std::optional<QVariant> UsersDatabase::singleValue(const QString &sql, const QString &missing)
{
    QSqlQuery query(m_database);
    query.prepare(sql);
    if (!run(query, ReadFailure))
        return std::nullopt;
    if (!query.next()) {
        fail(ReadFailure, missing);
        return std::nullopt;
    }
    return query.value(0);
}

std::optional<qint64> UsersDatabase::count()
{
    const std::optional<QVariant> value = singleValue(QStringLiteral("SELECT count(*) FROM Login1"),
                                                      QStringLiteral("no record count"));
    return value ? std::optional<qint64>(value->toLongLong()) : std::nullopt;
}

std::optional<bool> UsersDatabase::isNameOrEmailTaken(const QByteArray &name,
                                                      const QByteArray &email)
{
    QSqlQuery query(m_database);
    query.setForwardOnly(true);
    if (m_folded) {
        query.prepare(QStringLiteral(
            "SELECT UserName, Email FROM Login1 WHERE UserNameFolded = :name OR "
            "UserNameFolded IS NULL OR EmailFolded = :email OR EmailFolded IS NULL"));
        query.bindValue(QStringLiteral(":name"), foldedKey(name));
        query.bindValue(QStringLiteral(":email"), foldedKey(email));
    } else {
        query.prepare(QStringLiteral("SELECT UserName, Email FROM Login1"));
    }
    if (!run(query, ReadFailure))
        return std::nullopt;
    while (query.next()) {
        const std::optional<QByteArray> storedName = comparableText(query.value(0));
        if (storedName && Codepage::equalsIgnoringCase(*storedName, name))
            return true;
        const std::optional<QByteArray> storedEmail = comparableText(query.value(1));
        if (storedEmail && Codepage::equalsIgnoringCase(*storedEmail, email))
            return true;
    }
    if (query.lastError().isValid()) {
        fail(ReadFailure, query.lastError().text());
        return std::nullopt;
    }
    return false;
}

std::optional<bool> UsersDatabase::checkCredentials(const QByteArray &name,
                                                    const QByteArray &password)
{
    const std::optional<QList<QByteArray>> stored = storedPasswords(name);
    if (!stored)
        return std::nullopt;
    return PasswordHash::matchesAny(password, *stored);
}

std::optional<QList<QByteArray>> UsersDatabase::storedPasswords(const QByteArray &name)
{
    // The folded term only lets the index narrow the search; the exact name
    // decides.
    QSqlQuery query(m_database);
    query.setForwardOnly(true);
    query.prepare(m_folded ? QStringLiteral("SELECT Password FROM Login1 WHERE (UserNameFolded = "
                                            ":key OR UserNameFolded IS NULL) AND UserName = :name")
                           : QStringLiteral("SELECT Password FROM Login1 WHERE UserName = :name"));
    if (m_folded)
        query.bindValue(QStringLiteral(":key"), foldedKey(name));
    query.bindValue(QStringLiteral(":name"), boundText(name));
    if (!run(query, ReadFailure))
        return std::nullopt;
    QList<QByteArray> passwords;
    while (query.next()) {
        if (const std::optional<QByteArray> password = comparableText(query.value(0)))
            passwords.append(*password);
    }
    if (query.lastError().isValid()) {
        fail(ReadFailure, query.lastError().text());
        return std::nullopt;
    }
    return passwords;
}

// The form is the store's user_version: 1 for hashes. Another program that
// reads the table sees the same fifteen columns either way.
std::optional<bool> UsersDatabase::storesHashes()
{
    const std::optional<QVariant> value =
        singleValue(QStringLiteral("PRAGMA user_version"), QStringLiteral("no version"));
    return value ? std::optional<bool>(value->toInt() == 1) : std::nullopt;
}

std::optional<QByteArray> UsersDatabase::storedForm(const QByteArray &password)
{
    const std::optional<bool> hashed = storesHashes();
    if (!hashed)
        return std::nullopt;
    if (!*hashed)
        return password;
    QByteArray hash = PasswordHash::make(password);
    if (hash.isEmpty()) {
        fail(WriteFailure, QStringLiteral("the password cannot be hashed"));
        return std::nullopt;
    }
    return hash;
}

std::optional<qint64> UsersDatabase::hashPasswords()
{
    // rowid -> (plain password, its hash), made outside the transaction.
    QHash<qint64, std::pair<QByteArray, QByteArray>> hashes;
    const auto plainPasswords = [this](QList<std::pair<qint64, QByteArray>> *rows) {
        QSqlQuery query(m_database);
        query.setForwardOnly(true);
        query.prepare(QStringLiteral("SELECT rowid, Password FROM Login1"));
        if (!run(query, ReadFailure))
            return false;
        while (query.next()) {
            const std::optional<QByteArray> password = comparableText(query.value(1));
            if (password && !PasswordHash::isHash(*password))
                rows->append({query.value(0).toLongLong(), *password});
        }
        return true;
    };
    QList<std::pair<qint64, QByteArray>> rows;
    if (!plainPasswords(&rows))
        return std::nullopt;
    for (const auto &[rowid, password] : std::as_const(rows))
        hashes.insert(rowid, {password, PasswordHash::make(password)});

    if (!m_database.transaction()) {
        fail(WriteFailure, m_database.lastError().text());
        return std::nullopt;
    }
    rows.clear();
    bool ok = plainPasswords(&rows);
    QSqlQuery update(m_database);
    ok = ok && update.prepare(QStringLiteral("UPDATE Login1 SET Password = :password WHERE "
                                             "rowid = :rowid"));
    for (qsizetype i = 0; ok && i < rows.size(); ++i) {
        const auto &[rowid, password] = rows[i];
        const auto made = hashes.constFind(rowid);
        const QByteArray hash = made != hashes.cend() && made->first == password
                                    ? made->second
                                    : PasswordHash::make(password);
        if (hash.isEmpty()) {
            fail(WriteFailure, QStringLiteral("a password cannot be hashed"));
            ok = false;
            break;
        }
        update.bindValue(QStringLiteral(":password"), boundText(hash));
        update.bindValue(QStringLiteral(":rowid"), rowid);
        ok = run(update, WriteFailure);
    }
    update.finish();
    QSqlQuery version(m_database);
    ok = ok && version.prepare(QStringLiteral("PRAGMA user_version = 1")) &&
         run(version, WriteFailure);
    version.finish();
    if (ok && !m_database.commit()) {
        fail(WriteFailure, m_database.lastError().text());
        ok = false;
    }
    if (!ok) {
        m_database.rollback();
        return std::nullopt;
    }
    return rows.size();
}

bool UsersDatabase::addUser(const UserRecord &record)
{
    QStringList placeholders;
    for (int i = 0; i < UserRecord::ColumnCount; ++i)
        placeholders.append(QStringLiteral(":c") + QString::number(i));
    QString columns = columnList();
    if (m_folded) {
        columns += QStringLiteral(", UserNameFolded, EmailFolded");
        placeholders << QStringLiteral(":nameKey") << QStringLiteral(":emailKey");
    }
    QSqlQuery query(m_database);
    if (!query.prepare(QStringLiteral("INSERT INTO Login1 (") + columns +
                       QStringLiteral(") VALUES (") + placeholders.join(QLatin1String(", ")) +
                       QLatin1Char(')'))) {
        fail(WriteFailure, query.lastError().text());
        return false;
    }
    for (int i = 0; i < UserRecord::ColumnCount; ++i)
        query.bindValue(placeholders[i], boundText(record.values[i]));
    if (m_folded) {
        query.bindValue(QStringLiteral(":nameKey"), foldedKey(record[UserRecord::UserName]));
        query.bindValue(QStringLiteral(":emailKey"), foldedKey(record[UserRecord::Email]));
    }
    // Outside a transaction SQLite commits the insert before exec returns.
    return run(query, WriteFailure);
}

QByteArray UsersDatabase::countSummary(qint64 count)
{
    if (count <= 0)
        return QByteArray();
    const QByteArray ending = count == 1 ? " registered user." : " registered users.";
    return "Tarnwick has " + QByteArray::number(count) + ending;
}

std::optional<bool> UsersDatabase::findByName(const QByteArray &name)
{
    QSqlQuery query(m_database);
    query.setForwardOnly(true);
    if (m_folded) {
        query.prepare(QStringLiteral("SELECT rowid, UserName FROM Login1 WHERE "
                                     "UserNameFolded = :name OR UserNameFolded IS NULL"));
        query.bindValue(QStringLiteral(":name"), foldedKey(name));
    } else {
        query.prepare(QStringLiteral("SELECT rowid, UserName FROM Login1"));
    }
    if (!run(query, ReadFailure))
        return std::nullopt;
    // The candidates come in index order; the first in table order wins.
    std::optional<qint64> found;
    while (query.next()) {
        const std::optional<QByteArray> stored = comparableText(query.value(1));
        if (!stored || !Codepage::equalsIgnoringCase(*stored, name))
            continue;
        const qint64 rowid = query.value(0).toLongLong();
        if (!found || rowid < *found)
            found = rowid;
    }
    if (query.lastError().isValid()) {
        fail(ReadFailure, query.lastError().text());
        return std::nullopt;
    }
    m_position = found ? Position::OnRecord : Position::AfterLast;
    m_rowid = found.value_or(0);
    return found.has_value();
}

// The folded columns: added to a store from before them, filled in for rows
// that lack them (added by then, or by another program since), indexed, and
// emptied by a trigger whenever another program changes a name or an e-mail
// address. A row with an empty (NULL) key is always a candidate and decided
// in C++, so a key that is missing never changes an answer.
void UsersDatabase::prepareFolding()
{
    QSqlQuery query(m_database);
    query.prepare(QStringLiteral("SELECT UserNameFolded, EmailFolded FROM Login1 LIMIT 0"));
    m_folded = query.exec();
    if (!m_database.transaction())
        return;
    const QStringList statements = {
        QStringLiteral("ALTER TABLE Login1 ADD COLUMN UserNameFolded BLOB"),
        QStringLiteral("ALTER TABLE Login1 ADD COLUMN EmailFolded BLOB"),
        // The case-blind indexes of earlier versions; the folded ones replace them.
        QStringLiteral("DROP INDEX IF EXISTS Login1UserName"),
        QStringLiteral("DROP INDEX IF EXISTS Login1Email"),
    };
    bool ok = true;
    if (!m_folded) {
        for (const QString &statement : statements)
            ok = ok && query.exec(statement);
    }
    ok = ok &&
         query.exec(QStringLiteral("CREATE INDEX IF NOT EXISTS Login1UserNameFolded ON Login1 "
                                   "(UserNameFolded)")) &&
         query.exec(QStringLiteral(
             "CREATE INDEX IF NOT EXISTS Login1EmailFolded ON Login1 (EmailFolded)")) &&
         query.exec(QStringLiteral(
             "CREATE TRIGGER IF NOT EXISTS Login1Refold AFTER UPDATE OF UserName, Email ON "
             "Login1 BEGIN UPDATE Login1 SET UserNameFolded = NULL, EmailFolded = NULL "
             "WHERE rowid = NEW.rowid; END"));
    QList<std::array<QVariant, 3>> folds;
    if (ok) {
        query.setForwardOnly(true);
        ok = query.exec(QStringLiteral("SELECT rowid, UserName, Email FROM Login1 "
                                       "WHERE UserNameFolded IS NULL OR EmailFolded IS NULL"));
        while (ok && query.next()) {
            const QVariant nameKey = foldedCell(query.value(1));
            const QVariant emailKey = foldedCell(query.value(2));
            if (!nameKey.isNull() || !emailKey.isNull())
                folds.append({query.value(0), nameKey, emailKey});
        }
        ok = ok && !query.lastError().isValid();
    }
    if (ok && !folds.isEmpty()) {
        ok = query.prepare(QStringLiteral("UPDATE Login1 SET UserNameFolded = :name, "
                                          "EmailFolded = :email WHERE rowid = :rowid"));
        for (const auto &[rowid, nameKey, emailKey] : std::as_const(folds)) {
            query.bindValue(QStringLiteral(":name"), nameKey);
            query.bindValue(QStringLiteral(":email"), emailKey);
            query.bindValue(QStringLiteral(":rowid"), rowid);
            ok = ok && query.exec();
        }
    }
    query.finish();
    if (ok && m_database.commit())
        m_folded = true;
    else
        m_database.rollback();
}

bool UsersDatabase::neighbour(std::optional<qint64> from, Direction direction,
                              std::optional<qint64> *result)
{
    const bool forward = direction == Direction::Forward;
    QString sql = QStringLiteral("SELECT rowid FROM Login1");
    if (from)
        sql += forward ? QStringLiteral(" WHERE rowid > :rowid")
                       : QStringLiteral(" WHERE rowid < :rowid");
    sql += forward ? QStringLiteral(" ORDER BY rowid LIMIT 1")
                   : QStringLiteral(" ORDER BY rowid DESC LIMIT 1");
    QSqlQuery query(m_database);
    query.prepare(sql);
    if (from)
        query.bindValue(QStringLiteral(":rowid"), *from);
    if (!run(query, ReadFailure))
        return false;
    *result = query.next() ? std::optional<qint64>(query.value(0).toLongLong()) : std::nullopt;
    return true;
}

bool UsersDatabase::moveNext()
{
    return move(Direction::Forward);
}

bool UsersDatabase::movePrevious()
{
    return move(Direction::Backward);
}

// MoveNext from the last record leaves the cursor after it, MovePrevious from
// the first before it; moving on from there is refused.
bool UsersDatabase::move(Direction direction)
{
    const Position edge =
        direction == Direction::Forward ? Position::AfterLast : Position::BeforeFirst;
    if (m_position == edge)
        return false;
    const std::optional<qint64> from =
        m_position == Position::OnRecord ? std::optional<qint64>(m_rowid) : std::nullopt;
    std::optional<qint64> next;
    if (!neighbour(from, direction, &next))
        return false;
    m_position = next ? Position::OnRecord : edge;
    m_rowid = next.value_or(0);
    return true;
}

std::optional<UserRecord> UsersDatabase::current()
{
    m_errorText.clear();
    if (m_position != Position::OnRecord)
        return std::nullopt;
    QSqlQuery query(m_database);
    query.prepare(QStringLiteral("SELECT ") + columnList() +
                  QStringLiteral(" FROM Login1 WHERE rowid = :rowid"));
    query.bindValue(QStringLiteral(":rowid"), m_rowid);
    if (!run(query, ReadFailure) || !query.next())
        return std::nullopt;
    UserRecord record;
    for (int i = 0; i < UserRecord::ColumnCount; ++i)
        record.values[i] = shownText(query.value(i));
    return record;
}

bool UsersDatabase::setPassword(const QByteArray &password)
{
    if (m_position != Position::OnRecord) {
        fail(WriteFailure, QStringLiteral("no user is shown"));
        return false;
    }
    const std::optional<QByteArray> stored = storedForm(password);
    if (!stored)
        return false;
    QSqlQuery query(m_database);
    query.prepare(QStringLiteral("UPDATE Login1 SET Password = :password WHERE rowid = :rowid"));
    query.bindValue(QStringLiteral(":password"), boundText(*stored));
    query.bindValue(QStringLiteral(":rowid"), m_rowid);
    return run(query, WriteFailure);
}
