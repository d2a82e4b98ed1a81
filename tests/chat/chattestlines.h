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

// Joins the names in order (slots 0, 1, ...) and reads away what the joins sent.
inline std::vector<std::unique_ptr<RawClient>> joinAll(ChatFixture &fixture,
                                                       const QList<QByteArray> &names)
{
    std::vector<std::unique_ptr<RawClient>> clients;
    for (const QByteArray &name : names)
        clients.push_back(fixture.join(name));
    for (auto &client : clients)
        client->drain(20);
    return clients;
}
