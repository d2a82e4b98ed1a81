#pragma once

#include "accounts/userrecord.h"
#include "accounts/usersdatabase.h"

#include <QList>

// A record with these fields and every other one empty.
inline UserRecord userRecord(const QByteArray &name, const QByteArray &password = "pw",
                             const QByteArray &email = {}, const QByteArray &first = {})
{
    UserRecord r;
    r[UserRecord::UserName] = name;
    r[UserRecord::Password] = password;
    r[UserRecord::Email] = email;
    r[UserRecord::First] = first;
    return r;
}

// Adds `records` to the users store at `path`; false when that fails.
inline bool addUsers(const QString &path, const QList<UserRecord> &records)
{
    auto store = UsersDatabase::open(path, nullptr);
    for (const UserRecord &r : records) {
        if (!store || !store->addUser(r))
            return false;
    }
    return store != nullptr;
}

// "NEWUSER" with fifteen fields: the name, e-mail and password given, the
// others derived from the name so every column is told apart.
inline QByteArray newUserLine(const QByteArray &name, const QByteArray &email = "new@x",
                              const QByteArray &password = "pw")
{
    QList<QByteArray> fields{"NEWUSER"};
    for (int i = 0; i < UserRecord::ColumnCount; ++i)
        fields.append(name + "-" + QByteArray::number(i));
    fields[1 + UserRecord::UserName] = name;
    fields[1 + UserRecord::Password] = password;
    fields[1 + UserRecord::Email] = email;
    return fields.join('\t') + "\r\n";
}
