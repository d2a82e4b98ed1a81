#pragma once

#include "core/addressrange.h"

#include <QList>

#include <chrono>

// The abuse limits of both services, as the operator sets them in the
// settings file under [limits] (read by ServerSettings). A count of 0 turns
// its limit off.
struct AbuseLimits
{
    int connectionsPerAddress = 10;   // open at once, both services together
    int newConnectionsPerMinute = 20; // accepted per address per minute
    int joinSeconds = 30;             // to join, or the connection is closed
    int floodBurst = 20;              // chat lines handled at once ...
    int floodLinesPerSecond = 5;      // ... then this many a second (either 0: no flood control)
    // How long a client that closed with lines held back stays to have them
    // handled, in seconds; the rest is then dropped (0: until the last).
    int floodSecondsAfterClose = 60;
    int loginFailuresBeforeDelay = 5; // failed VALIDATE per address per minute
    int newUsersPer10Minutes = 10;    // NEWUSER per address
    // Exempt from the two connection limits only.
    QList<AddressRange> trustedAddresses = {*AddressRange::parse("127.0.0.0/8")};
    // Expiry of a moderator's BAN and IPBAN; zero: they never expire.
    std::chrono::seconds moderatorBanDuration{0};
    // The record files a chat NEWUSER line writes in the working directory:
    // the size one may grow to, and how many there may be.
    qint64 recordFileBytes = 1024 * 1024;
    int recordFiles = 10000;
    // A client the operator kicked or banned that is still there after this
    // many seconds is closed as if it had left (0: it stays).
    int leaveGraceSeconds = 5;

    friend bool operator==(const AbuseLimits &, const AbuseLimits &) = default;
};
