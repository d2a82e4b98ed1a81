// Writes lines for checking the fail2ban filter, each once as standard error
// sent to a file shows it and once as the journal backend does, and a second
// file listing, in order, the addresses the filter must find: every security
// event as the log stream formats it, then what the real program wrote while a
// client that never joined tried to forge events and one login failed.
#include "core/securitylog.h"
#include "operator/logstream.h"
#include "programrun.h"
#include "rawclient.h"
#include "testfolders.h"

#include <QCoreApplication>
#include <QFile>

#include <cstdio>
#include <sys/stat.h>

using namespace std::chrono_literals;

namespace {
// The lines as fail2ban reads them: a file as written; the journal backend
// with a header of its own instead of the priority, which is the journal's.
QByteArray asFail2banReadsIt(LogStream::Style style, const QByteArray &lines)
{
    if (style != LogStream::Style::Journal)
        return lines;
    QByteArray shown;
    for (const QByteArray &line : lines.split('\n')) {
        const bool priority = line.size() >= 3 && line.startsWith('<') && line.at(2) == '>';
        if (!line.isEmpty())
            shown += "myhost tarnwick-server[4242]: " + (priority ? line.mid(3) : line) + '\n';
    }
    return shown;
}

// The real program's standard error in one style, with forged events and
// one login failure from 127.0.0.1 among it.
QByteArray realProgramOutput(const char *program, LogStream::Style style)
{
    HostedServer server(QString::fromLocal8Bit(program));
    const QByteArray errors = QFile::encodeName(server.workingFile(QStringLiteral("server.err")));
    QFile(QString::fromLocal8Bit(errors)).open(QIODevice::WriteOnly);
    // Without it every login passes.
    if (!writeFile(server.dataFile(QStringLiteral("tarnwick-server.ini")),
                   "[passwords]\nrequired=true\n"))
        return {};
    QProcessEnvironment environment = withoutDisplay();
    struct stat status = {};
    if (style == LogStream::Style::Journal && ::stat(errors.constData(), &status) == 0) {
        environment.insert(QStringLiteral("JOURNAL_STREAM"),
                           QStringLiteral("%1:%2").arg(status.st_dev).arg(status.st_ino));
    }
    if (!server.start({QStringLiteral("--headless")}, environment)) {
        std::fprintf(stderr, "securitysample: the server did not start\n");
        return {};
    }
    const QByteArray forged = "security[tarnwick]: addr=203.0.113.9 event=login-failed name=\"x\"";
    RawClient chat;
    RawClient login;
    bool done = chat.connectTo(3069) && login.connectTo(3068);
    chat.send(
        "Message\t" + forged + '\t' + forged + "\r\nACTION\t" + forged + "\r\nIP\t" + forged +
        "\r\nMessage\tsecurity: addr=203.0.113.9 event=login-failed name=\"x\"\tx\r\nMOTD\r\n");
    done = done && chat.waitForLine("MOTD\t\r\n", 30'000);
    login.sendLine("VALIDATE\tnobody\twrong");
    done = done && login.waitForLine("REJECTED\r\n", 30'000);
    server.process.terminate();
    server.process.waitForFinished();
    if (!done) {
        std::fprintf(stderr, "securitysample: no answer from the server\n");
        return {};
    }
    return server.errors();
}
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 4) {
        std::fprintf(stderr, "usage: securitysample SAMPLE EXPECTED SERVER-PROGRAM\n");
        return 2;
    }
    struct Line
    {
        QByteArray text;
        QByteArray failure; // the address the filter must report, if any
    };
    const QByteArray posing = "x\" addr=6.6.6.6 event=login-failed name=\"";
    const QList<Line> lines{
        {SecurityLog::loginFailed("203.0.113.1", "Bob"), "203.0.113.1"},
        {SecurityLog::loginFailed("203.0.113.2", posing), "203.0.113.2"},
        {SecurityLog::loginDelayed("203.0.113.1", "Bob", 2000ms), {}},
        {SecurityLog::registrationRefused("203.0.113.3", "Bob"), "203.0.113.3"},
        {SecurityLog::moderatorRefused("203.0.113.4", "\xa5"
                                                      "Ann"),
         "203.0.113.4"},
        {SecurityLog::bannedJoin("203.0.113.5", "Bob", "203.0.113.0/24"), "203.0.113.5"},
        {SecurityLog::connectionRefused("203.0.113.6", "chat", "connectionsPerAddress"),
         "203.0.113.6"},
        {SecurityLog::connectionRefused("", "chat", "connectionsPerAddress"), {}},
        {SecurityLog::kick("198.51.100.1", "Bob\r\nsecurity: addr=6.6.6.6 event=login-failed",
                           "console"),
         {}},
        {SecurityLog::ban("198.51.100.2", "Bob", "console", 604800s), {}},
        {SecurityLog::floodSlowed("198.51.100.3", posing), {}},
    };
    QByteArray sample;
    QByteArray expected;
    const QDateTime time = QDateTime::currentDateTime();
    for (const auto style : {LogStream::Style::Timestamped, LogStream::Style::Journal}) {
        QByteArray written;
        for (const Line &line : lines) {
            written += LogStream::format(style, LogStream::Severity::Warning,
                                         QString::fromLatin1(line.text), time) +
                       '\n';
            if (!line.failure.isEmpty())
                expected += line.failure + '\n';
        }
        const QByteArray output = realProgramOutput(argv[3], style);
        if (output.isEmpty())
            return 1;
        sample += asFail2banReadsIt(style, written + output);
        expected += "127.0.0.1\n";
    }
    if (!writeFile(QString::fromLocal8Bit(argv[1]), sample) ||
        !writeFile(QString::fromLocal8Bit(argv[2]), expected)) {
        std::fprintf(stderr, "securitysample: cannot write the sample files\n");
        return 1;
    }
    return 0;
}
