#pragma once

#include <QtGlobal>

// How much of log.txt is kept, as the operator sets it in the settings file
// under [log] (read by ServerSettings).
struct LogLimits
{
    qint64 rotateBytes = 64 * 1024 * 1024; // log.txt is rotated at this size; 0: never
    int keep = 5;                          // rotated logs kept

    friend bool operator==(const LogLimits &, const LogLimits &) = default;
};
