#include "accounts/loginserver.h"

#include "accounts/usersdatabase.h"
#include "platform/clientsocket.h"
#include "platform/listener.h"

namespace {
constexpr qsizetype NewUserFieldCount = 16;
constexpr qsizetype ValidateFieldCount = 3;
const QByteArray Decline = QByteArrayLiteral("DECLINE\r\n");
const QByteArray Accept = QByteArrayLiteral("ACCEPT\r\n");
const QByteArray Pass = QByteArrayLiteral("PASS\r\n");
const QByteArray Rejected = QByteArrayLiteral("REJECTED\r\n");
} // namespace

LoginServer::LoginServer(ConnectionTable &table, const ServerConfig &config, QObject *parent)
    : QObject(parent), m_table(table), m_config(config),
      m_log(config.workingFile(QStringLiteral("log.txt"))), m_listener(new Listener(this))
{
    for (int i = 0; i < ConnectionTable::Size; ++i) {
        m_sockets[i] = new ClientSocket(i, this);
        connect(m_sockets[i], &ClientSocket::dataArrival, this, &LoginServer::onDataArrival);
        connect(m_sockets[i], &ClientSocket::closed, this, &LoginServer::onClosed);
        connect(m_sockets[i], &ClientSocket::errorOccurred, this, &LoginServer::onError);
    }
    connect(m_listener, &Listener::connectionRequest, this, &LoginServer::onConnectionRequest);
    UsersDatabase::prepareForOwner();
}

LoginServer::~LoginServer() = default;

bool LoginServer::listen(QString *errorText)
{
    m_listener->setLocalPort(m_config.loginPort);
    return m_listener->listen(errorText);
}

quint16 LoginServer::port() const
{
    return m_listener->boundPort();
}

bool LoginServer::isConnected(int index) const
{
    return ConnectionTable::isValidIndex(index) && m_sockets[index]->isConnected();
}

QString LoginServer::usersDatabasePath() const
{
    return m_config.programFile(UsersDatabase::FileName);
}

int LoginServer::acceptSimulated(const QByteArray &remoteAddress)
{
    const int index = m_table.takeFree([this](int i) { return !m_sockets[i]->isConnected(); });
    if (index < 0)
        return -1;
    m_framers[index].clear();
    m_sockets[index]->attachSimulated(remoteAddress);
    return index;
}

void LoginServer::onConnectionRequest(qintptr requestId)
{
    const int index = m_table.takeFree([this](int i) { return !m_sockets[i]->isConnected(); });
    if (index < 0) {
        // Both services together hold all 50 entries: refused now, not kept waiting.
        Listener::reject(requestId);
        return;
    }
    m_framers[index].clear();
    QString errorText;
    if (!m_sockets[index]->accept(requestId, &errorText)) {
        Listener::reject(requestId);
        m_table.release(index);
        Q_EMIT operatorNotice(errorText + QStringLiteral("Listening for connection "));
    }
}

void LoginServer::onDataArrival(int index)
{
    const quint64 connection = m_table.slot(index).connection;
    if (m_table.slot(index).free || m_receiving[index] == connection)
        return; // the run already under way for this connection takes the bytes
    const quint64 outer = m_receiving[index];
    m_receiving[index] = connection;
    ClientSocket &socket = *m_sockets[index];
    while (m_table.slot(index).connection == connection && socket.hasReceived())
        processChunk(index, connection, socket.takeReceived());
    if (m_receiving[index] == connection)
        m_receiving[index] = outer;
}

void LoginServer::processChunk(int index, quint64 connection, const QByteArray &chunk)
{
    // Opened (and so created) at every receive, though nothing is written.
    m_log.touch();
    const QList<QByteArray> lines = m_framers[index].append(chunk);
    for (const QByteArray &line : lines) {
        if (m_table.slot(index).connection != connection)
            return;
        const Fields fields = line.split('\t');
        Outcome outcome = Outcome::NextLine;
        if (fields.constFirst() == "NEWUSER")
            outcome = newUser(index, fields);
        else if (fields.constFirst() == "VALIDATE")
            outcome = validate(index, fields);
        if (outcome == Outcome::Stop)
            return;
    }
}

LoginServer::Outcome LoginServer::newUser(int index, const Fields &fields)
{
    if (fields.size() < NewUserFieldCount)
        return Outcome::NextLine;
    if (!m_passwordsRequired) {
        send(index, "NOPROB\t" + NoPasswordsText + "\r\n");
        return Outcome::Stop;
    }
    UsersDatabase *users = store();
    if (!users) {
        send(index, Decline);
        return Outcome::Stop;
    }
    const QByteArray &name = fields[1 + UserRecord::UserName];
    const QByteArray &email = fields[1 + UserRecord::Email];
    const std::optional<bool> taken = users->isNameOrEmailTaken(name, email);
    if (!taken || *taken) {
        if (!taken)
            storeFailed(*users);
        send(index, Decline);
        return Outcome::Stop;
    }
    UserRecord record;
    for (int i = 0; i < UserRecord::ColumnCount; ++i)
        record.values[i] = fields[1 + i];
    if (!users->addUser(record)) {
        storeFailed(*users);
        send(index, Decline);
        return Outcome::Stop;
    }
    m_reportedProblem.clear();

    // Counted through the same store: the record is committed, so a fresh
    // open would count the same.
    const std::optional<qint64> count = users->count();
    if (!count)
        storeFailed(*users);
    const quint64 connection = m_table.slot(index).connection;
    if (count)
        Q_EMIT registeredUsersCounted(UsersDatabase::countSummary(*count));
    // The window that shows the count may have run a modal box meanwhile.
    if (m_table.slot(index).connection != connection)
        return Outcome::Stop;
    send(index, Accept);
    return Outcome::NextLine;
}

LoginServer::Outcome LoginServer::validate(int index, const Fields &fields)
{
    if (fields.size() < ValidateFieldCount)
        return Outcome::NextLine;
    if (!m_passwordsRequired) {
        send(index, Pass);
        return Outcome::Stop;
    }
    std::optional<bool> valid;
    if (UsersDatabase *users = store()) {
        valid = users->checkCredentials(fields[1], fields[2]);
        if (!valid)
            storeFailed(*users);
    }
    if (valid && *valid) {
        send(index, Pass);
        return Outcome::Stop;
    }
    send(index, Rejected);
    return Outcome::NextLine;
}

// The store stays open between requests: a fresh open for each would read
// the index pages in again and, as the file's last user, copy its log back
// into it every time. It is opened again when the file was replaced or
// deleted, and after a failure.
UsersDatabase *LoginServer::store()
{
    if (m_store && !m_store->isFileStillThere())
        m_store.reset();
    if (!m_store) {
        QString errorText;
        m_store = UsersDatabase::open(usersDatabasePath(), &errorText);
        if (!m_store)
            reportStoreProblem(errorText);
    }
    return m_store.get();
}

void LoginServer::storeFailed(UsersDatabase &users)
{
    reportStoreProblem(users.errorText());
    if (m_store.get() == &users)
        m_store.reset();
}

// Once per problem: a client retrying must not flood the log view. A stored
// registration shows the store works again.
void LoginServer::reportStoreProblem(const QString &text)
{
    if (text == m_reportedProblem)
        return;
    m_reportedProblem = text;
    Q_EMIT storeProblem(text);
}

void LoginServer::send(int index, const QByteArray &line)
{
    m_sockets[index]->send(line);
}

void LoginServer::onClosed(int index)
{
    closeHandling(index);
}

void LoginServer::onError(int index, int number, const QString &description)
{
    Q_UNUSED(number);
    Q_UNUSED(description);
    closeHandling(index);
}

void LoginServer::closeHandling(int index)
{
    if (m_table.slot(index).free)
        return;
    m_sockets[index]->close();
    m_framers[index].clear();
    m_table.release(index);
}
