#include "dialect.h"

#include <charconv>
#include <cstdio>
#include <cstring>

namespace {
constexpr std::string_view Filler = "the quick brown fox jumps over the lazy dog";
constexpr std::string_view Channel = "#bench";
// The operator block in ngircd.conf.
constexpr std::string_view Oper = "OPER bench bench\r\n";

bool readDigits(std::string_view digits, std::uint64_t &value)
{
    const char *end = digits.data() + digits.size();
    return std::from_chars(digits.data(), end, value).ptr == end;
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
    return line.starts_with(":" + nick + "!") && line.find(" JOIN ") != std::string_view::npos;
}

std::string Dialect::ircSourceFromJoin(std::string_view line)
{
    const std::size_t join = line.find(" JOIN ");
    if (!line.starts_with(":") || join == std::string_view::npos)
        return {};
    return std::string(line.substr(0, join));
}

std::string Dialect::senderSetup(const std::string &nick) const
{
    if (m_kind == Kind::Irc)
        return std::string(Oper) + "MODE " + nick + " +F\r\n";
    if (m_sender == Sender::Plain)
        return {};
    return "RequestOP\t" + nick + "\t" + std::string(SysopEmail) + "\t" +
           std::string(SysopPassword) + "\r\n";
}

bool Dialect::isSenderSetupDone(std::string_view line, const std::string &nick) const
{
    if (m_kind == Kind::Tarnwick)
        return line.find("Moderator Privlidges Granted") != std::string_view::npos;
    // The server confirms the mode change with a MODE line for the nick that
    // carries +F (possibly together with +o from OPER).
    const std::size_t mode = line.find(" MODE " + nick + " ");
    return mode != std::string_view::npos &&
           line.find('F', mode + 7 + nick.size()) != std::string_view::npos;
}

std::string Dialect::pingReply(std::string_view line) const
{
    if (m_kind != Kind::Irc || !line.starts_with("PING "))
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
    std::uint64_t time = 0;
    if (body.size() != BodySize || body[8] != ' ' || body[28] != ' ' || body.substr(29) != Filler ||
        !readDigits(body.substr(0, 8), sequence) || !readDigits(body.substr(9, 19), time))
        return false;
    sentNs = std::int64_t(time);
    return true;
}
