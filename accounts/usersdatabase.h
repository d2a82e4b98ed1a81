#pragma once

#include "platform/ownedfiles.h"

#include "accounts/userrecord.h"

#include <QByteArray>
#include <QLatin1StringView>
#include <QList>
#include <QSqlDatabase>
#include <QString>
#include <QVariant>

#include <memory>
#include <optional>

class QSqlQuery;

// users.mdb: an SQLite file holding the table Login1 of fifteen text columns,
// in insertion order. Every open gives its own connection and its own cursor.
//
// Names and e-mail addresses are compared case-blind with Codepage::toUpper;
// credentials exactly. SQLite's own case folding knows only ASCII, so two
// more columns hold UserName and Email folded by Codepage::toUpper (as blobs,
// indexed); a lookup takes the rows whose key matches, or that have none yet,
// and decides every candidate in C++: the answer is the one a plain scan of
// the whole table would give.
//
// A cell holding NULL (or anything else that is not text) has no value: it
// reads as empty text and equals nothing.
class UsersDatabase
{
public:
    static inline const QString FileName = OwnedFiles::Users;
    static inline const QByteArray NoRecordsText =
        QByteArrayLiteral("There are no records in the database.");

    // The one place the store is opened. A missing file is created with its
    // table; a file that is not an SQLite database, or whose Login1 lacks a
    // column, is left as it is and nullptr returned with the reason.
    static std::unique_ptr<UsersDatabase> open(const QString &path, QString *errorText);
    // For an owner that keeps a store until its own destruction, also when it
    // is a static: call in its constructor, so Qt's registry of database
    // connections, which the store's destruction uses, outlives it.
    static void prepareForOwner();
    ~UsersDatabase();
    UsersDatabase(const UsersDatabase &) = delete;
    UsersDatabase &operator=(const UsersDatabase &) = delete;

    const QString &path() const { return m_path; }
    // The path still names the file this store has open (it was not deleted
    // or replaced meanwhile).
    bool isFileStillThere() const;
    // Why the last failed operation failed, as a sentence for the operator.
    const QString &errorText() const { return m_errorText; }

    // RecordCount; nullopt when the store cannot be read.
    std::optional<qint64> count();
    // The registration check: some record has this UserName or this Email,
    // letter case folded.
    std::optional<bool> isNameOrEmailTaken(const QByteArray &name, const QByteArray &email);
    // CheckCredentials: some record has exactly this UserName and its
    // Password, plain or hashed, matches. Costs a hash per candidate.
    std::optional<bool> checkCredentials(const QByteArray &name, const QByteArray &password);
    // The stored Password of every record with exactly this UserName, for a
    // check elsewhere (PasswordHash::matchesAny).
    std::optional<QList<QByteArray>> storedPasswords(const QByteArray &name);
    // AddUser: appends and commits one record, its Password as given.
    bool addUser(const UserRecord &record);

    // New and changed passwords are stored hashed (the store was made by
    // this server, or converted); otherwise as they are.
    std::optional<bool> storesHashes();
    // The Password to store for `password`: a hash when the store takes them.
    // nullopt when the store cannot be read or the password not hashed.
    std::optional<QByteArray> storedForm(const QByteArray &password);
    // Converts every plain Password to a hash, in one transaction, and marks
    // the store as hashed. The hashing is done before the transaction, so the
    // store stays usable meanwhile; a record added or changed meanwhile is
    // hashed within it. The number of passwords converted; nullopt on failure,
    // with the store as it was.
    std::optional<qint64> hashPasswords();

    // "Tarnwick has N registered user(s)."; empty for no records.
    static QByteArray countSummary(qint64 count);

    // --- the cursor ---
    // FindByName: puts the cursor on the first record in table order whose
    // UserName equals `name` letter case folded, or after the last record.
    // True when found.
    std::optional<bool> findByName(const QByteArray &name);
    bool isAfterLast() const { return m_position == Position::AfterLast; } // EOF
    // False when refused (from after the last / before the first record) or
    // when the store cannot be read; the cursor then stays where it was.
    bool moveNext();
    bool movePrevious();
    // The current record; nullopt without one (or when it cannot be read).
    std::optional<UserRecord> current();
    // A new password for the current record, stored in the store's form.
    bool setPassword(const QByteArray &password);

private:
    enum class Position
    {
        BeforeFirst,
        OnRecord,
        AfterLast
    };
    enum class Direction
    {
        Forward,
        Backward
    };

    UsersDatabase(const QString &path, const QString &connectionName);
    bool prepareStore();
    void prepareFolding();
    bool run(QSqlQuery &query, const QString &what);
    std::optional<QVariant> singleValue(const QString &sql, const QString &missing);
    // The record next to `from` (none: from outside the table) in table order,
    // into `result` (none when there is none); false when the store fails.
    bool neighbour(std::optional<qint64> from, Direction direction, std::optional<qint64> *result);
    bool move(Direction direction);
    void fail(const QString &what, const QString &reason);

    QString m_path;
    QString m_connectionName;
    QSqlDatabase m_database;
    QString m_errorText;
    quint64 m_device = 0;
    quint64 m_inode = 0;
    Position m_position = Position::AfterLast;
    qint64 m_rowid = 0;
    bool m_folded = false; // the folded columns are there
};
