#include "dialect.h"

#include <cstdio>
#include <cstring>

namespace {
constexpr std::string_view Filler = "the quick brown fox jumps over the lazy dog";
constexpr std::string_view Channel = "#bench";
constexpr std::string_view OperName = "bench";
constexpr std::string_view OperPassword = "bench";

bool startsWith(std::string_view text, std::string_view start)
{
    return text.substr(0, start.size()) == start;
}

std::string_view withoutLineEnd(std::string_view line)
{
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.remove_suffix(1);
    return line;
}
} // namespace

std::string Dialect::nick(int index)
{
    char text[16];
    std::snprintf(text, sizeof text, "b%02d", index);
    return text;
}

std::string Dialect::joinRequest(const std::string &nick) const
{
    if (m_kind == Kind::Tarnwick)
        return "Name\t" + nick + "\r\n";
    return "NICK " + nick + "\r\nUSER " + nick + " 0 * :bench\r\nJOIN " + std::string(Channel) +
           "\r\n";
}

bool Dialect::isOwnJoin(std::string_view line, const std::string &nick) const
{
    if (m_kind == Kind::Tarnwick)
        return line == "ADDUSER\t" + nick + "\r\n";
    return startsWith(line, ":" + nick + "!") && line.find(" JOIN ") != std::string_view::npos;
}

void Dialect::collectMembers(std::string_view line, std::vector<std::string> &members) const
{
    line = withoutLineEnd(line);
    if (m_kind == Kind::Tarnwick) {
        if (startsWith(line, "ADDUSER\t"))
            members.emplace_back(line.substr(8));
        return;
    }
    if (line.empty() || line.front() != ':')
        return;
    const std::size_t space = line.find(' ');
    if (space == std::string_view::npos)
        return;
    const std::string_view rest = line.substr(space + 1);
    if (startsWith(rest, "JOIN ")) {
        const std::size_t bang = line.find('!');
        if (bang != std::string_view::npos && bang < space)
            members.emplace_back(line.substr(1, bang - 1));
        return;
    }
    if (!startsWith(rest, "353 "))
        return;
    const std::size_t colon = rest.find(" :");
    if (colon == std::string_view::npos)
        return;
    std::string_view names = rest.substr(colon + 2);
    while (!names.empty()) {
        const std::size_t end = names.find(' ');
        std::string_view name = names.substr(0, end);
        while (!name.empty() && (name.front() == '@' || name.front() == '+'))
            name.remove_prefix(1);
        if (!name.empty())
            members.emplace_back(name);
        if (end == std::string_view::npos)
            break;
        names.remove_prefix(end + 1);
    }
}

std::string Dialect::ircSourceFromJoin(std::string_view line)
{
    const std::size_t join = line.find(" JOIN ");
    if (line.empty() || line.front() != ':' || join == std::string_view::npos)
        return {};
    return std::string(line.substr(0, join));
}

std::string Dialect::senderSetup(const std::string &nick) const
{
    if (m_kind == Kind::Tarnwick && m_sender == Sender::Plain)
        return {};
    if (m_kind == Kind::Tarnwick)
        return "RequestOP\t" + nick + "\t" + std::string(SysopEmail) + "\t" +
               std::string(SysopPassword) + "\r\n";
    return "OPER " + std::string(OperName) + " " + std::string(OperPassword) + "\r\nMODE " + nick +
           " +F\r\n";
}

bool Dialect::isSenderSetupDone(std::string_view line, const std::string &nick) const
{
    if (m_kind == Kind::Tarnwick)
        return m_sender == Sender::Plain ||
               line.find("Moderator Privlidges Granted") != std::string_view::npos;
    // The server confirms the mode change with a MODE line for the nick
    // that carries +F (possibly together with +o from OPER).
    line = withoutLineEnd(line);
    const std::size_t mode = line.find(" MODE " + nick + " ");
    return mode != std::string_view::npos &&
           line.find('F', mode + 7 + nick.size()) != std::string_view::npos;
}

std::string Dialect::pingReply(std::string_view line) const
{
    if (m_kind != Kind::Irc || !startsWith(line, "PING "))
        return {};
    return "PONG " + std::string(line.substr(5));
}

std::string Dialect::sayLine(const std::string &nick, std::string_view body) const
{
    if (m_kind == Kind::Tarnwick)
        return "Message\t" + nick + ": \t" + std::string(body) + "\r\n";
    return "PRIVMSG " + std::string(Channel) + " :" + std::string(body) + "\r\n";
}

std::string Dialect::heardPrefix(const std::string &nick, const std::string &ircSource) const
{
    if (m_kind == Kind::Tarnwick)
        return "Message\t" + nick + ": \t";
    return ircSource + " PRIVMSG " + std::string(Channel) + " :";
}

std::string Dialect::heardSuffix() const
{
    return m_kind == Kind::Tarnwick ? "\t\r\n" : "\r\n";
}

void Dialect::writeBody(char *out, std::uint64_t sequence, std::int64_t sentNs)
{
    char text[BodySize + 1];
    std::snprintf(text, sizeof text, "%08llu %019lld %.*s",
                  static_cast<unsigned long long>(sequence), static_cast<long long>(sentNs),
                  int(Filler.size()), Filler.data());
    std::memcpy(out, text, BodySize);
}

bool Dialect::readBody(std::string_view body, std::uint64_t &sequence, std::int64_t &sentNs)
{
    if (body.size() != BodySize || body[8] != ' ' || body[28] != ' ' || body.substr(29) != Filler)
        return false;
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < 8; ++i) {
        const char c = body[i];
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + std::uint64_t(c - '0');
    }
    std::int64_t time = 0;
    for (std::size_t i = 9; i < 28; ++i) {
        const char c = body[i];
        if (c < '0' || c > '9')
            return false;
        time = time * 10 + (c - '0');
    }
    sequence = value;
    sentNs = time;
    return true;
}
