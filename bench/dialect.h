#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// How the load generator speaks to one kind of server: our chat protocol, or
// IRC with one channel for ngIRCd. Everything a scenario sends and checks goes
// through here, so every server sees the same work.
//
//   ours  join:  Name TAB nick CR LF                 -> ADDUSER TAB nick CR LF
//         say:   Message TAB nick ": " TAB body CR LF
//         hear:  Message TAB nick ": " TAB body TAB CR LF   (the speaker too)
//   IRC   join:  NICK, USER, JOIN #bench             -> :nick!user@host JOIN :#bench
//         say:   PRIVMSG #bench :body CR LF
//         hear:  :nick!user@host PRIVMSG #bench :body CR LF (not the speaker)
class Dialect
{
public:
    enum class Kind
    {
        Tarnwick,
        Irc
    };
    // Our flood control slows a plain sender; a moderator is exempt, as an IRC
    // operator with +F is. The ceiling knows no moderators.
    enum class Sender
    {
        Plain,
        Moderator
    };
    // The sysop record that makes the sender a moderator (sysops.dat).
    static constexpr std::string_view SysopEmail = "bench@example.org";
    static constexpr std::string_view SysopPassword = "bench";

    explicit Dialect(Kind kind, Sender sender = Sender::Plain) : m_kind(kind), m_sender(sender) {}
    Kind kind() const { return m_kind; }

    static std::string nick(int index);
    std::string joinRequest(const std::string &nick) const;
    // The line tells `nick` that it is in the room.
    bool isOwnJoin(std::string_view line, const std::string &nick) const;
    // The prefix IRC puts before the relayed lines of the speaker whose own
    // JOIN line this is; empty for other lines.
    static std::string ircSourceFromJoin(std::string_view line);

    // What makes the sender exempt from flood control (RequestOP; OPER and
    // +F), and the line that confirms it; nothing for a plain sender.
    std::string senderSetup(const std::string &nick) const;
    bool isSenderSetupDone(std::string_view line, const std::string &nick) const;
    // The answer to a server's PING, empty when the line is none.
    std::string pingReply(std::string_view line) const;

    bool speakerHearsItself() const { return m_kind == Kind::Tarnwick; }
    std::string sayLine(const std::string &nick, std::string_view body) const;
    // What every listener must receive for a line of `nick`, around the body.
    std::string heardPrefix(const std::string &nick, const std::string &ircSource) const;
    std::string heardSuffix() const { return m_kind == Kind::Tarnwick ? "\t\r\n" : "\r\n"; }

    // A message body: sequence number, send time (0 when untimed), filler.
    static constexpr std::size_t BodySize = 8 + 1 + 19 + 1 + 43;
    static void writeBody(char *out, std::uint64_t sequence, std::int64_t sentNs);
    // Parses and checks a body; false when it is not one we sent.
    static bool readBody(std::string_view body, std::uint64_t &sequence, std::int64_t &sentNs);

private:
    Kind m_kind;
    Sender m_sender;
};
