#pragma once

#include "accounts/usersdatabase.h"

#include <QFile>
#include <QTest>

Q_DECLARE_METATYPE(UserRecord)

// Records and stores in a temporary folder, shared by the accounts tests.
namespace AccountsTesting {

inline UserRecord record(const QByteArray &name, const QByteArray &password = "pw",
                         const QByteArray &email = {}, const QByteArray &first = {})
{
    UserRecord r;
    r[UserRecord::UserName] = name;
    r[UserRecord::Password] = password;
    r[UserRecord::Email] = email;
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
    auto store = UsersDatabase::open(path, nullptr);
    for (const UserRecord &r : records) {
        if (!store || !store->addUser(r))
            return false;
    }
    return store != nullptr;
}

inline QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The start of a file of another database engine, as an old store would be.
inline QByteArray writeForeignDatabase(const QString &path)
{
    const QByteArray bytes =
        QByteArray("\x00\x01\x00\x00Standard Jet DB\x00", 20) + QByteArray(4076, '\x5a');
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
    return bytes;
}

} // namespace AccountsTesting
