#pragma once

#include "core/connectiontable.h"
#include "simulatedtransport.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>

#include <array>

// A receive-path target's state, made on first use with the Qt application it
// needs and kept for the whole run.
template <typename World> World &fuzzWorld()
{
    static int argc = 1;
    static char name[] = "fuzz";
    static char *argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    static World instance;
    return instance;
}

// The latest simulated peer of each connection table entry. An entry that was
// never used has none: closing or reading it does nothing.
struct SimulatedPeers
{
    std::array<QSharedPointer<SimulatedTransport>, ConnectionTable::Size> latest;

    void connect(ConnectionPool &pool, const QByteArray &address)
    {
        auto peer = SimulatedTransport::connectTo(pool, address);
        if (peer->index() >= 0)
            latest[peer->index()] = peer;
    }
    void peerClose(int index) const
    {
        if (latest[index])
            latest[index]->peerClose();
    }
    void takeSent(int index) const
    {
        if (latest[index])
            latest[index]->takeSent();
    }
};

// Files the handlers write (log, records) must not fill the disk on a long run.
inline void removeFiles(const QTemporaryDir &folder)
{
    QDir dir(folder.path());
    for (const QString &name : dir.entryList(QDir::Files | QDir::Hidden))
        dir.remove(name);
}
