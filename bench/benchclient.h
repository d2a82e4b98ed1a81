#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

// One load-generator connection: a non-blocking TCP socket with an output
// queue and the unfinished tail of the last read. Lines are handed out whole,
// CR LF included, so checks compare every byte the server sent.
class BenchClient
{
public:
    explicit BenchClient(int id) : m_id(id) {}
    ~BenchClient();
    BenchClient(const BenchClient &) = delete;
    BenchClient &operator=(const BenchClient &) = delete;

    int id() const { return m_id; }
    int fd() const { return m_fd; }
    bool isOpen() const { return m_fd >= 0; }
    bool isConnected() const { return m_connected; }

    // Starts a non-blocking connect to 127.0.0.1:port. False when the socket
    // could not even be created or the connect failed at once.
    bool startConnect(unsigned short port);
    // Completes a connect that was in progress; false when it failed.
    bool finishConnect();
    void close();

    // Queues bytes; they leave from flush() as far as the socket takes them.
    void queue(std::string_view bytes);
    // Writes what the socket takes now. False on a write error.
    bool flush();
    bool hasOutput() const { return m_outOffset < m_out.size(); }
    std::size_t unsentBytes() const { return m_out.size() - m_outOffset; }

    // Reads what is waiting (up to a bound, to stay fair to the other sockets)
    // and calls onLine(line) for each complete line. Returns false when the
    // peer closed or the read failed.
    template <typename OnLine> bool readLines(OnLine &&onLine);

    std::size_t bytesReceived() const { return m_bytesReceived; }

private:
    static constexpr std::size_t ReadBufferSize = 256 * 1024;
    static constexpr int MaxReadsPerWakeup = 4;
    long readSome(char *buffer, std::size_t size);

    int m_id;
    int m_fd = -1;
    bool m_connected = false;
    std::string m_out;
    std::size_t m_outOffset = 0;
    std::string m_carry;
    std::size_t m_bytesReceived = 0;
};

template <typename OnLine> bool BenchClient::readLines(OnLine &&onLine)
{
    static char buffer[ReadBufferSize];
    for (int round = 0; round < MaxReadsPerWakeup; ++round) {
        const long n = readSome(buffer, sizeof buffer);
        if (n == 0)
            return false;
        if (n < 0)
            return n == -2; // -2: nothing more waiting now
        m_bytesReceived += std::size_t(n);
        const char *begin = buffer;
        const char *end = buffer + n;
        if (!m_carry.empty()) {
            const char *lf = static_cast<const char *>(memchr(begin, '\n', std::size_t(n)));
            if (!lf) {
                m_carry.append(begin, end);
                continue;
            }
            m_carry.append(begin, lf + 1);
            onLine(std::string_view(m_carry));
            m_carry.clear();
            begin = lf + 1;
        }
        while (begin < end) {
            const char *lf =
                static_cast<const char *>(memchr(begin, '\n', std::size_t(end - begin)));
            if (!lf) {
                m_carry.assign(begin, end);
                break;
            }
            onLine(std::string_view(begin, std::size_t(lf + 1 - begin)));
            begin = lf + 1;
        }
        if (std::size_t(n) < sizeof buffer)
            return true;
    }
    return true;
}
