#include "accounts/usersstore.h"

#include <QThread>

UsersStore::UsersStore(const QString &path) : m_path(path)
{
    UsersDatabase::prepareForOwner();
}

UsersStore::~UsersStore() = default;

UsersDatabase *UsersStore::open(QString *errorText)
{
    Q_ASSERT_X(!m_database || m_thread == QThread::currentThread(), "UsersStore::open",
               "the users store is used outside the thread that opened it");
    if (m_database && !m_database->isFileStillThere())
        m_database.reset();
    if (!m_database) {
        m_database = UsersDatabase::open(m_path, errorText);
        m_thread = QThread::currentThread();
    }
    return m_database.get();
}
