#pragma once

#include "accounts/userrecord.h"
#include "accounts/usersdatabase.h"

#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTest>

#include <functional>
#include <initializer_list>

Q_DECLARE_METATYPE(UserRecord)

// Helpers shared by the accounts tests: records, a store in a temporary
// folder, and raw SQL for what only another program would write.
namespace AccountsTesting {

inline UserRecord record(const QByteArray &name, const QByteArray &password = "pw",
                         const QByteArray &email = QByteArray(), const QByteArray &first = {})
{
    UserRecord r;
    r[UserRecord::UserName] = name;
    r[UserRecord::Password] = password;
    r[UserRecord::Email] = email.isNull() ? name + "@example.org" : email;
    r[UserRecord::First] = first;
    return r;
}

// A record whose fifteen fields all differ: "<tag>0" .. "<tag>14".
inline UserRecord distinctRecord(const QByteArray &tag)
{
    UserRecord r;
    for (int i = 0; i < UserRecord::ColumnCount; ++i)
        r.values[i] = tag + QByteArray::number(i);
    return r;
}

inline bool addAll(const QString &path, const QList<UserRecord> &records)
{
    QString error;
    auto store = UsersDatabase::open(path, &error);
    if (!store) {
        qWarning("%s", qPrintable(error));
        return false;
    }
    for (const UserRecord &r : records) {
        if (!store->addUser(r))
            return false;
    }
    return true;
}

// Runs statements on the file as another program would.
inline bool rawSql(const QString &path, std::initializer_list<const char *> statements)
{
    bool ok = true;
    {
        QSqlDatabase db =
            QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("raw"));
        db.setDatabaseName(path);
        ok = db.open();
        QSqlQuery query(db);
        for (const char *statement : statements) {
            if (ok && !query.exec(QLatin1String(statement))) {
                qWarning("%s: %s", statement, qPrintable(query.lastError().text()));
                ok = false;
            }
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("raw"));
    return ok;
}

inline QVariant rawValue(const QString &path, const char *select)
{
    QVariant value;
    {
        QSqlDatabase db =
            QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("raw"));
        db.setDatabaseName(path);
        if (db.open()) {
            QSqlQuery query(db);
            if (query.exec(QLatin1String(select)) && query.next())
                value = query.value(0);
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("raw"));
    return value;
}

inline QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

// Not an SQLite file: the start of a file of another database engine.
inline QByteArray foreignDatabaseBytes()
{
    QByteArray bytes("\x00\x01\x00\x00Standard Jet DB\x00", 20);
    bytes += QByteArray(4076, '\x5a');
    return bytes;
}

// A store whose table takes no new rows, as a locked or read-only file would.
inline bool makeUnwritable(const QString &path)
{
    return rawSql(path, {"CREATE TRIGGER refuse BEFORE INSERT ON Login1 "
                         "BEGIN SELECT RAISE(ABORT, 'the file is read-only'); END"});
}

inline bool waitUntil(const std::function<bool()> &condition, int ms = 3000)
{
    for (int waited = 0; waited < ms; waited += 5) {
        if (condition())
            return true;
        QTest::qWait(5);
    }
    return condition();
}

} // namespace AccountsTesting
