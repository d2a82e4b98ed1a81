#include "loginscenario.h"

#include "accounts/usersdatabase.h"
#include "core/passwordhash.h"
#include "rawclient.h"
#include "scenariorunner.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>

#include <algorithm>
#include <array>
#include <fstream>
#include <random>
#include <thread>
#include <vector>

namespace {
// One request, timed to its reply; false when the reply is not `expected`.
bool ask(RawClient &client, const QByteArray &request, const QByteArray &expected,
         std::vector<std::int64_t> &times, std::string *failure)
{
    const std::int64_t start = nowNs();
    client.send(request);
    const QList<QByteArray> reply = client.readLines(1, 30'000);
    times.push_back(nowNs() - start);
    if (reply == QList<QByteArray>{expected})
        return true;
    *failure = request.left(request.indexOf('\t')).toStdString() + " got " +
               reply.value(0, "nothing").trimmed().toStdString();
    return false;
}
} // namespace

bool LoginScenario::prepare(const std::string &folder, std::string *error) const
{
    std::ofstream(folder + "/tarnwick-server.ini") << "[passwords]\nrequired=true\n";
    const QString path = QString::fromStdString(folder) + u'/' + UsersDatabase::FileName;
    QString openError;
    if (!UsersDatabase::open(path, &openError)) { // creates the table as the program does
        *error = openError.toStdString();
        return false;
    }
    bool ok = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "fill");
        db.setDatabaseName(path);
        QSqlQuery insert(db);
        QStringList columns;
        for (const char *name : UserRecord::ColumnNames)
            columns.append(QLatin1String(name));
        ok = db.open() && db.transaction() &&
             insert.prepare("INSERT INTO Login1 (" + columns.join(u',') + ") VALUES (?" +
                            QString(",?").repeated(UserRecord::ColumnCount - 1) + ')');
        for (int k = 0; ok && k < m_users; ++k) {
            const QStringList values = QStringLiteral("First%1|Last%1|1 Bench Road||Benchton|BT|"
                                                      "12345|Benchland|user%1|pw%1|Loopback|LAN|"
                                                      "user%1@bench.test|Yes|No")
                                           .arg(k)
                                           .split(u'|');
            for (int c = 0; c < UserRecord::ColumnCount; ++c)
                insert.bindValue(c, values[c]);
            ok = insert.exec();
        }
        ok = ok && db.commit();
        if (!ok)
            *error = "filling users.mdb: " + insert.lastError().text().toStdString();
    }
    QSqlDatabase::removeDatabase("fill");
    // Opened once more, the store gains its folded keys here rather than at
    // the server's first request.
    const auto store = ok ? UsersDatabase::open(path, &openError) : nullptr;
    UserRecord storm;
    storm[UserRecord::UserName] = "storm";
    storm[UserRecord::Password] = PasswordHash::make("storm");
    return store && store->addUser(storm);
}

int LoginScenario::storm(unsigned short port, const std::atomic<bool> &stop)
{
    std::array<std::unique_ptr<RawClient>, 5> clients;
    int sent = 0;
    for (; !stop; ++sent) {
        auto &client = clients[std::size_t(sent) % clients.size()];
        client = std::make_unique<RawClient>(RawClient::Mode::Polled);
        const QString from =
            QStringLiteral("127.3.%1.%2").arg(sent / 250 % 250).arg(sent % 250 + 1);
        if (client->connectTo(port, from))
            client->send("VALIDATE\tstorm\twrong\r\n");
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return sent;
}

LoginScenario::Result LoginScenario::run(unsigned short port) const
{
    Result result;
    std::vector<std::int64_t> validates;
    std::vector<std::int64_t> registrations;
    std::mt19937 random(7);
    RawClient client(RawClient::Mode::Polled);
    // The server may still be letting go of the chat clients, which held every
    // slot: a connection it has no slot for is closed at once.
    for (int attempt = 0; attempt < 50 && !result.ok; ++attempt)
        result.ok = client.connectTo(port) && !client.waitForDisconnect(100);
    for (int i = 0; result.ok && i < m_validates; ++i) {
        const QByteArray k = QByteArray::number(quint32(random() % unsigned(m_users)));
        result.ok = ask(client, "VALIDATE\tuser" + k + "\tpw" + k + "\r\n", "PASS\r\n", validates,
                        &result.failure);
    }
    for (int i = 0; result.ok && i < m_registrations; ++i) {
        const QByteArray name = "newcomer" + QByteArray::number(i);
        const QByteArray request = "NEWUSER\tNew\tComer\t2 Bench Road\t\tBenchton\tBT\t12345\t"
                                   "Benchland\t" +
                                   name + "\tsecret\tLoop\tLAN\t" + name +
                                   "@bench.test\tNo\tNo\r\n";
        // 127.1.0.1, 127.1.0.2, ...: all of 127.0.0.0/8 is the loopback.
        const QString from = QStringLiteral("127.1.%1.%2").arg(i / 250).arg(i % 250 + 1);
        RawClient newcomer(RawClient::Mode::Polled);
        result.ok = newcomer.connectTo(port, from) &&
                    ask(newcomer, request, "ACCEPT\r\n", registrations, &result.failure);
    }
    if (result.ok) {
        result.validateP50Ms = percentile(validates, 0.5);
        result.validateP99Ms = percentile(validates, 0.99);
        result.newUserP50Ms = percentile(registrations, 0.5);
        result.newUserP99Ms = percentile(registrations, 0.99);
    } else if (result.failure.empty()) {
        result.failure = "could not connect to the login port";
    }
    return result;
}
