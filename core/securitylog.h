#pragma once

#include <QByteArray>

#include <chrono>

// One line per security event, for the log stream (standard error and so,
// under systemd, the journal), where a host's tools (fail2ban) read them:
//
//   security[tarnwick]: addr=ADDRESS event=EVENT [key=value ...]
//
// Only these lines carry the marker: the log stream defuses it in every other
// line, so a client's text cannot pose as an event.
// The address is always the first field, bare (dotted IPv4, a range for a
// ban, "-" when unknown); names and other protocol texts are in double quotes
// with '"', '\' and every byte outside printable ASCII written as \" \\ \xHH,
// so a name can neither end the line nor pose as another field. Passwords,
// e-mail addresses and message texts are never part of an event.
namespace SecurityLog {
inline constexpr char Marker[] = "security[tarnwick]:";

// A VALIDATE answered REJECTED.
QByteArray loginFailed(const QByteArray &address, const QByteArray &name);
// An answer to a VALIDATE held back by password-guessing protection.
QByteArray loginDelayed(const QByteArray &address, const QByteArray &name,
                        std::chrono::milliseconds delay);
// A NEWUSER over the registration limit, answered DECLINE.
QByteArray registrationRefused(const QByteArray &address, const QByteArray &name);
// A RequestOP with credentials the sysop list does not have.
QByteArray moderatorRefused(const QByteArray &address, const QByteArray &name);
// An answer to a RequestOP held back by password-guessing protection.
QByteArray moderatorDelayed(const QByteArray &address, const QByteArray &name,
                            std::chrono::milliseconds delay);
// A join refused because `ban` (an address, range or ban.txt item) covers it.
QByteArray bannedJoin(const QByteArray &address, const QByteArray &name, const QByteArray &ban);
// `by` is a moderator's name or the operator ("console").
QByteArray kick(const QByteArray &address, const QByteArray &name, const QByteArray &by);
// `target` is an address or range; `name` may be empty; zero duration: no expiry.
QByteArray ban(const QByteArray &target, const QByteArray &name, const QByteArray &by,
               std::chrono::seconds duration);
// `service` is "chat" or "login"; `limit` the setting that refused it.
QByteArray connectionRefused(const QByteArray &address, const QByteArray &service,
                             const QByteArray &limit);
// A connection closed unheard for not joining in time.
QByteArray joinTimeout(const QByteArray &address, const QByteArray &service);
// A connection from a banned address closed at its first line or its time.
QByteArray bannedConnection(const QByteArray &address, const QByteArray &service,
                            const QByteArray &ban);
// A chat NEWUSER record not written: `reason` is "name" (not a name a client
// may use), "file-full" or "folder-full".
QByteArray recordRefused(const QByteArray &address, const QByteArray &name, const char *reason);
// The first held-back line of a flood episode.
QByteArray floodSlowed(const QByteArray &address, const QByteArray &name);
// Lines a client left held back when it closed, dropped after the time allowed.
QByteArray heldLinesDropped(const QByteArray &address, const QByteArray &name, qsizetype lines);
} // namespace SecurityLog
