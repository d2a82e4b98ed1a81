#include "core/securitylog.h"

#include "core/banrules.h"

namespace {
// A protocol text has no length limit; the log keeps enough to recognise it.
constexpr qsizetype LongestText = 100;

void appendHex(QByteArray &out, unsigned char byte)
{
    static const char digits[] = "0123456789abcdef";
    out += "\\x";
    out += digits[byte >> 4];
    out += digits[byte & 0x0f];
}

QByteArray quoted(const QByteArray &text)
{
    QByteArray out = "\"";
    for (const char c : text.left(LongestText)) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte > 0x7e) {
            appendHex(out, byte);
        } else {
            out += c;
        }
    }
    if (text.size() > LongestText)
        out += "...";
    return out + '"';
}

bool isAddressByte(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == '.' ||
           c == ':' || c == '/';
}

QByteArray bareAddress(const QByteArray &address)
{
    if (address.isEmpty())
        return "-";
    QByteArray out;
    for (const char c : address.left(LongestText)) {
        if (isAddressByte(c))
            out += c;
        else
            appendHex(out, static_cast<unsigned char>(c));
    }
    return out;
}

QByteArray line(const QByteArray &address, const char *event)
{
    return QByteArray(SecurityLog::Marker) + " addr=" + bareAddress(address) + " event=" + event;
}
} // namespace

QByteArray SecurityLog::loginFailed(const QByteArray &address, const QByteArray &name)
{
    return line(address, "login-failed") + " name=" + quoted(name);
}

QByteArray SecurityLog::loginDelayed(const QByteArray &address, const QByteArray &name,
                                     std::chrono::milliseconds delay)
{
    return line(address, "login-delayed") + " name=" + quoted(name) +
           " delay=" + QByteArray::number(delay.count()) + "ms";
}

QByteArray SecurityLog::registrationRefused(const QByteArray &address, const QByteArray &name)
{
    return line(address, "registration-refused") + " name=" + quoted(name);
}

QByteArray SecurityLog::moderatorRefused(const QByteArray &address, const QByteArray &name)
{
    return line(address, "moderator-refused") + " name=" + quoted(name);
}

QByteArray SecurityLog::moderatorDelayed(const QByteArray &address, const QByteArray &name,
                                         std::chrono::milliseconds delay)
{
    return line(address, "moderator-delayed") + " name=" + quoted(name) +
           " delay=" + QByteArray::number(delay.count()) + "ms";
}

QByteArray SecurityLog::bannedJoin(const QByteArray &address, const QByteArray &name,
                                   const QByteArray &ban)
{
    return line(address, "banned-join") + " name=" + quoted(name) + " ban=" + quoted(ban);
}

QByteArray SecurityLog::kick(const QByteArray &address, const QByteArray &name,
                             const QByteArray &by)
{
    return line(address, "kick") + " name=" + quoted(name) + " by=" + quoted(by);
}

QByteArray SecurityLog::ban(const QByteArray &target, const QByteArray &name, const QByteArray &by,
                            std::chrono::seconds duration)
{
    QByteArray out = line(target, "ban");
    if (!name.isEmpty())
        out += " name=" + quoted(name);
    out += " by=" + quoted(by);
    if (duration.count() > 0)
        out += " for=" + BanRules::durationText(duration);
    return out;
}

QByteArray SecurityLog::connectionRefused(const QByteArray &address, const QByteArray &service,
                                          const QByteArray &limit)
{
    return line(address, "connection-refused") + " service=" + service + " limit=" + limit;
}

QByteArray SecurityLog::joinTimeout(const QByteArray &address, const QByteArray &service)
{
    return line(address, "join-timeout") + " service=" + service;
}

QByteArray SecurityLog::bannedConnection(const QByteArray &address, const QByteArray &service,
                                         const QByteArray &ban)
{
    return line(address, "banned-connection") + " service=" + service + " ban=" + quoted(ban);
}

QByteArray SecurityLog::recordRefused(const QByteArray &address, const QByteArray &name,
                                      const char *reason)
{
    return line(address, "record-refused") + " name=" + quoted(name) + " reason=" + reason;
}

QByteArray SecurityLog::floodSlowed(const QByteArray &address, const QByteArray &name)
{
    return line(address, "flood-slowed") + " name=" + quoted(name);
}

QByteArray SecurityLog::heldLinesDropped(const QByteArray &address, const QByteArray &name,
                                         qsizetype lines)
{
    return line(address, "held-lines-dropped") + " name=" + quoted(name) +
           " lines=" + QByteArray::number(lines);
}
