// The login service as the program runs it, with "Require Passwords" checked,
// over a users store filled with N accounts. The program offers no way to tick
// the box from outside (no command line, no setting), so this host builds the
// same console, ticks the box as the operator would, and listens on the port
// it is given (the chat service on any free one). Used by the benchmark's
// login scenario.
//
//   tarnwick-login-host --users N --port P
//   account k: UserName "user<k>", Password "pw<k>", Email "user<k>@bench.test"

#include "accounts/usersdatabase.h"
#include "console/consoleapp.h"
#include "console/mainwindow.h"
#include "core/serverconfig.h"
#include "operator/operatorapi.h"
#include "operator/servicethread.h"
#include "platform/dialogs.h"

#include <QApplication>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Nobody sits at this console: boxes go to standard error.
class ConsoleDialogs : public Dialogs
{
public:
    QString inputBox(const QString &, const QString &, const QString &) override { return {}; }
    void messageBox(const QString &text, const QString &, Icon) override
    {
        std::fprintf(stderr, "%s\n", qPrintable(text));
    }
    bool askYesNo(const QString &, const QString &, Icon, bool) override { return false; }
};

bool fillStore(const QString &path, int users)
{
    QString error;
    if (!UsersDatabase::open(path, &error)) { // creates the table as the program does
        std::fprintf(stderr, "users store: %s\n", qPrintable(error));
        return false;
    }
    bool ok = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "fill");
        db.setDatabaseName(path);
        ok = db.open() && db.transaction();
        QSqlQuery insert(db);
        QStringList columns;
        QStringList marks;
        for (const char *name : UserRecord::ColumnNames) {
            columns.append(QLatin1String(name));
            marks.append(QStringLiteral("?"));
        }
        ok = ok && insert.prepare(QStringLiteral("INSERT INTO Login1 (") + columns.join(u',') +
                                  QStringLiteral(") VALUES (") + marks.join(u',') + u')');
        for (int k = 0; ok && k < users; ++k) {
            const QString n = QString::number(k);
            const QString values[UserRecord::ColumnCount] = {"First" + n,
                                                             "Last" + n,
                                                             "1 Bench Road",
                                                             "",
                                                             "Benchton",
                                                             "BT",
                                                             "12345",
                                                             "Benchland",
                                                             "user" + n,
                                                             "pw" + n,
                                                             "Loopback",
                                                             "LAN",
                                                             "user" + n + "@bench.test",
                                                             "Yes",
                                                             "No"};
            for (int c = 0; c < UserRecord::ColumnCount; ++c)
                insert.bindValue(c, values[c]);
            ok = insert.exec();
        }
        ok = ok && db.commit();
        if (!ok)
            std::fprintf(stderr, "filling the store: %s\n", qPrintable(insert.lastError().text()));
    }
    QSqlDatabase::removeDatabase("fill");
    return ok;
}

} // namespace

int main(int argc, char *argv[])
{
    int users = 0;
    int port = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--users") == 0)
            users = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--port") == 0)
            port = std::atoi(argv[i + 1]);
    }
    QApplication app(argc, argv);
    ServerConfig config = ServerConfig::forThisProcess();
    config.loginPort = quint16(port);
    if (!fillStore(config.programFile(UsersDatabase::FileName), users))
        return 1;

    config.chatPort = 0;
    ConsoleDialogs dialogs;
    ConsoleApp console(config, &dialogs);
    console.window().show();
    if (!console.start().isEmpty())
        return 1;
    ServiceThread &services = console.services();
    services.run([&services] { services.api().setPasswordsRequired(true); });
    std::printf("ready\n");
    std::fflush(stdout);
    return app.exec();
}
