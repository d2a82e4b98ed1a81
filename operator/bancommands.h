#pragma once

#include "operator/controlprotocol.h"
#include "operator/controlserver.h"

#include <QList>
#include <QString>

class OperatorApi;

// The ban list's control commands:
//
//   bans
//   ban-address ADDRESS|RANGE [--for DURATION] [--reason TEXT]
//   unban ADDRESS|RANGE
//   ban NAME [--for DURATION] [--reason TEXT]
//
// DURATION is a whole number and s, m, h or d ("90s", "30m", "2h", "7d");
// without --for a ban never expires.
namespace BanCommands {

// The handler of one of them; an empty one for any other name.
ControlHandler handler(const QString &command, OperatorApi &api);
// Registers every one of them on `control`.
void registerOn(ControlServer &control, OperatorApi &api);
} // namespace BanCommands
