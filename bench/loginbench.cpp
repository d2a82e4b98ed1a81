// Login service latency with "Require Passwords" on: one VALIDATE for an
// absent name and one NEWUSER for a new name, each timed from the request's
// send to its reply, against users.mdb holding N accounts.
//
//   tarnwick-login-bench [--users 1000,10000,100000] [--requests 20] [--limit-ms 50]
//
// Prints the median, minimum and maximum per request kind and table size;
// exits non-zero when a reply is wrong, or a median is over --limit-ms.

#include "accounts/loginserver.h"
#include "accounts/usersdatabase.h"
#include "core/connectiontable.h"
#include "core/serverconfig.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>

namespace {

// N accounts in one transaction (the service itself commits one at a time).
bool fill(const QString &path, int count)
{
    QString error;
    if (!UsersDatabase::open(path, &error)) { // creates the file, table and indexes
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return false;
    }
    bool ok = true;
    {
        QSqlDatabase db =
            QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("fill"));
        db.setDatabaseName(path);
        ok = db.open() && db.transaction();
        QSqlQuery insert(db);
        ok = ok && insert.prepare(QStringLiteral(
                       "INSERT INTO Login1 (First, Last, Address1, Address2, City, State, Zip, "
                       "Country, UserName, Password, Provider, Connection, Email, mailinglist, "
                       "emailme) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"));
        for (int i = 0; ok && i < count; ++i) {
            const QString n = QString::number(i);
            const QStringList values{QStringLiteral("First") + n,
                                     QStringLiteral("Last") + n,
                                     n + QStringLiteral(" Main St"),
                                     QString(QLatin1String("")),
                                     QStringLiteral("City"),
                                     QStringLiteral("ST"),
                                     QStringLiteral("12345"),
                                     QStringLiteral("Country"),
                                     QStringLiteral("User") + n,
                                     QStringLiteral("pw") + n,
                                     QStringLiteral("Provider"),
                                     QStringLiteral("56k"),
                                     QStringLiteral("user") + n + QStringLiteral("@example.org"),
                                     QStringLiteral("Yes"),
                                     QStringLiteral("No")};
            for (int c = 0; c < values.size(); ++c)
                insert.bindValue(c, values[c]);
            ok = insert.exec();
        }
        ok = ok && db.commit();
        if (!ok)
            std::fprintf(stderr, "fill: %s\n", qPrintable(db.lastError().text()));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("fill"));
    return ok;
}

// Sends one request and waits for its reply line; the time in ms.
double timedRequest(QTcpSocket &socket, const QByteArray &request, QByteArray *reply)
{
    QElapsedTimer timer;
    timer.start();
    socket.write(request);
    socket.flush();
    while (!socket.canReadLine() && timer.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    const double ms = timer.nsecsElapsed() / 1e6;
    *reply = socket.readLine();
    return ms;
}

struct Figures
{
    double median, minimum, maximum;
};

Figures figures(QList<double> times)
{
    std::sort(times.begin(), times.end());
    const qsizetype n = times.size();
    const double median = n % 2 ? times[n / 2] : (times[n / 2 - 1] + times[n / 2]) / 2;
    return {median, times.first(), times.last()};
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption({QStringLiteral("users"), QStringLiteral("Table sizes, comma-separated."),
                      QStringLiteral("list"), QStringLiteral("1000,10000,100000")});
    parser.addOption({QStringLiteral("requests"), QStringLiteral("Requests of each kind."),
                      QStringLiteral("n"), QStringLiteral("20")});
    parser.addOption({QStringLiteral("limit-ms"),
                      QStringLiteral("Fail when a median is above this (0: never)."),
                      QStringLiteral("ms"), QStringLiteral("0")});
    parser.process(app);
    const int requests = std::max(1, parser.value(QStringLiteral("requests")).toInt());
    const double limit = parser.value(QStringLiteral("limit-ms")).toDouble();

    bool failed = false;
    std::printf("%10s  %-8s  %10s  %10s  %10s\n", "users", "request", "median ms", "min ms",
                "max ms");
    for (const QString &size : parser.value(QStringLiteral("users")).split(QLatin1Char(','))) {
        const int users = size.toInt();
        QTemporaryDir folder;
        ServerConfig config;
        config.programFolder = folder.path();
        config.workingDirectory = folder.path();
        config.loginPort = 0;
        if (!fill(config.programFile(UsersDatabase::FileName), users))
            return 2;

        ConnectionTable table;
        LoginServer login(table, config);
        login.setPasswordsRequired(true);
        if (!login.listen())
            return 2;
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, login.port());
        if (!socket.waitForConnected(3000))
            return 2;

        QList<double> validate;
        QList<double> newUser;
        for (int i = 0; i < requests; ++i) {
            QByteArray reply;
            validate.append(timedRequest(
                socket, "VALIDATE\tNobody" + QByteArray::number(i) + "\tpw\r\n", &reply));
            failed |= reply != "REJECTED\r\n";
            const QByteArray name = "Newcomer" + QByteArray::number(i);
            const QByteArray line = "NEWUSER\tNew\tcomer\t1 Road\t\tTown\tST\t1\tLand\t" + name +
                                    "\tpw\tProvider\t56k\t" + name + "@example.org\tYes\tNo\r\n";
            newUser.append(timedRequest(socket, line, &reply));
            failed |= reply != "ACCEPT\r\n";
        }
        for (const auto &[kind, times] :
             {std::pair{"VALIDATE", validate}, std::pair{"NEWUSER", newUser}}) {
            const Figures f = figures(times);
            std::printf("%10d  %-8s  %10.2f  %10.2f  %10.2f\n", users, kind, f.median, f.minimum,
                        f.maximum);
            failed |= limit > 0 && f.median > limit;
        }
        std::fflush(stdout);
    }
    if (failed)
        std::fprintf(stderr, "a reply was wrong or a median over the limit\n");
    return failed ? 1 : 0;
}
