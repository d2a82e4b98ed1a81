#pragma once

#include "chatfixture.h"
#include "rawclient.h"

#include <QByteArray>
#include <QList>

#include <memory>
#include <vector>

// The next `count` lines a client receives, followed by whatever else arrived
// within `quietMs` as one more entry, so an unexpected extra line fails the
// comparison. (The server runs in this process: once a reply has been read,
// lines that the same chunk sent elsewhere have left too.)
inline QList<QByteArray> receivedLines(RawClient &client, qsizetype count, int quietMs = 30)
{
    QList<QByteArray> lines = count > 0 ? client.readLines(int(count)) : QList<QByteArray>();
    const QByteArray rest = client.readFor(quietMs);
    if (!rest.isEmpty())
        lines.append(rest);
    return lines;
}

inline QList<QByteArray> receivedLines(RawClient &client, const QList<QByteArray> &expected)
{
    return receivedLines(client, expected.size());
}

// Connects and joins; returns once the join has run to its end (the reply to
// a non-moderator's "MSG" sent behind "Name" has arrived), with everything the
// client received read away.
inline std::unique_ptr<RawClient> joinOne(ChatFixture &fixture, const QByteArray &name,
                                          const QString &from = QStringLiteral("127.0.0.1"))
{
    static const QByteArray Probe = QByteArrayLiteral("STATUSTEXT\t255\tPermission Denied\r\n");
    auto client = fixture.connect(from);
    client->send("Name\t" + name + "\r\nMSG\tx\r\n");
    for (int line = 0; line < 200; ++line) {
        const QList<QByteArray> next = client->readLines(1);
        if (next.isEmpty() || next.first() == Probe)
            break;
    }
    return client;
}

// Joins the names in order (slots 0, 1, ...) and reads away what the joins sent.
inline std::vector<std::unique_ptr<RawClient>> joinAll(ChatFixture &fixture,
                                                       const QList<QByteArray> &names)
{
    std::vector<std::unique_ptr<RawClient>> clients;
    for (const QByteArray &name : names)
        clients.push_back(joinOne(fixture, name));
    for (auto &client : clients)
        client->drain(10);
    return clients;
}
