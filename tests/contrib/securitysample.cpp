// Writes security log lines as the server formats them, for checking the
// fail2ban filter: every event once bare (standard error sent to a file) and
// once as the journal backend shows it. A second file lists, in order, the
// addresses the filter must find.
#include "core/securitylog.h"

#include <QFile>

#include <cstdio>

using namespace std::chrono_literals;

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: securitysample SAMPLE EXPECTED\n");
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
        {SecurityLog::connectionRefused("203.0.113.7", "login", "newConnectionsPerMinute"),
         "203.0.113.7"},
        {SecurityLog::connectionRefused("", "chat", "connectionsPerAddress"), {}},
        {SecurityLog::kick("198.51.100.1", "Bob\r\nsecurity: addr=6.6.6.6 event=login-failed",
                           "console"),
         {}},
        {SecurityLog::ban("198.51.100.0/24", {}, "console", 604800s), {}},
        {SecurityLog::ban("198.51.100.2", "Bob",
                          "\xa5"
                          "Ann",
                          0s),
         {}},
        {SecurityLog::floodSlowed("198.51.100.3", posing), {}},
    };
    QByteArray sample;
    QByteArray expected;
    for (const QByteArray &prefix : {QByteArray(), QByteArray("myhost tarnwick-server[4242]: ")}) {
        for (const Line &line : lines) {
            sample += prefix + line.text + '\n';
            if (!line.failure.isEmpty())
                expected += line.failure + '\n';
        }
    }
    QFile sampleFile(QString::fromLocal8Bit(argv[1]));
    QFile expectedFile(QString::fromLocal8Bit(argv[2]));
    if (!sampleFile.open(QIODevice::WriteOnly) || sampleFile.write(sample) != sample.size() ||
        !expectedFile.open(QIODevice::WriteOnly) ||
        expectedFile.write(expected) != expected.size()) {
        std::fprintf(stderr, "securitysample: cannot write the sample files\n");
        return 1;
    }
    return 0;
}
