#pragma once

#include "accounts/usersdatabase.h"

#include <QString>

#include <memory>

class QThread;

// users.mdb kept open for the services: a fresh open for every request would
// read the index pages in again and, as the file's last user, copy its log
// back into it every time. It is opened on first use, and again when the
// file was replaced or deleted and after a failure.
//
// A Qt SQL connection belongs to the thread that opened it: this one is the
// services' thread's, where the login service, the operator API and the
// control socket live. The users window opens a store of its own.
class UsersStore
{
public:
    explicit UsersStore(const QString &path);
    ~UsersStore();
    UsersStore(const UsersStore &) = delete;
    UsersStore &operator=(const UsersStore &) = delete;

    const QString &path() const { return m_path; }
    // The open store; nullptr (with the reason) when the file cannot be opened.
    UsersDatabase *open(QString *errorText);
    // After an operation failed on it: the next use opens the file again.
    void close() { m_database.reset(); }

private:
    QString m_path;
    std::unique_ptr<UsersDatabase> m_database;
    QThread *m_thread = nullptr;
};
