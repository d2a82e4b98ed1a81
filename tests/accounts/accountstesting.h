#pragma once

#include "accounts/usersdatabase.h"

#include <QList>

// Records and stores shared by the accounts tests.
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

} // namespace AccountsTesting
