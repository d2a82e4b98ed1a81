#pragma once

#include "accounts/usersdatabase.h"

#include <QMutex>
#include <QPointer>
#include <QString>
#include <QThread>

#include <memory>
#include <vector>

// users.mdb kept open while the server runs: a fresh open for every request
// would read the index pages in again and, as the file's last user, copy its
// log back into it every time. A store is opened on first use, and again when
// the file was replaced or deleted and after a failure.
//
// A Qt SQL connection belongs to the thread that opened it, so each thread
// that uses this object gets its own, opened in that thread: the services'
// thread (the login service, the operator API, the control socket), and any
// other that asks. The users window opens a store of its own.
class UsersStore
{
public:
    explicit UsersStore(const QString &path);
    ~UsersStore();
    UsersStore(const UsersStore &) = delete;
    UsersStore &operator=(const UsersStore &) = delete;

    const QString &path() const { return m_path; }
    // The calling thread's open store; nullptr (with the reason) when the
    // file cannot be opened. Only the calling thread may use it.
    UsersDatabase *open(QString *errorText);
    // After an operation failed on the calling thread's store: its next use
    // opens the file again.
    void close();

private:
    struct Connection
    {
        QPointer<QThread> thread; // null once that thread is gone
        std::unique_ptr<UsersDatabase> database;
    };

    QString m_path;
    QMutex m_mutex; // guards the list; each store is used by its thread alone
    std::vector<Connection> m_connections;
};
