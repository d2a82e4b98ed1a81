#include "accounts/usersstore.h"

UsersStore::UsersStore(const QString &path) : m_path(path)
{
    UsersDatabase::prepareForOwner();
}

UsersStore::~UsersStore() = default;

UsersDatabase *UsersStore::open(QString *errorText)
{
    QThread *thread = QThread::currentThread();
    const QMutexLocker locker(&m_mutex);
    std::erase_if(m_connections, [thread](const Connection &connection) {
        return !connection.thread ||
               (connection.thread == thread && !connection.database->isFileStillThere());
    });
    for (const Connection &connection : m_connections) {
        if (connection.thread == thread)
            return connection.database.get();
    }
    std::unique_ptr<UsersDatabase> database = UsersDatabase::open(m_path, errorText);
    if (!database)
        return nullptr;
    m_connections.push_back({thread, std::move(database)});
    return m_connections.back().database.get();
}

void UsersStore::close()
{
    QThread *thread = QThread::currentThread();
    const QMutexLocker locker(&m_mutex);
    std::erase_if(m_connections,
                  [thread](const Connection &connection) { return connection.thread == thread; });
}
