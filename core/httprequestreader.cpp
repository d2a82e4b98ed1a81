#include "core/httprequestreader.h"

namespace {
bool isToken(char c)
{
    static constexpr QByteArrayView Others = "!#$%&'*+-.^_`|~";
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           Others.contains(c);
}

bool isVisible(char c)
{
    return c > ' ' && c < '\x7f';
}

bool isFieldValue(char c)
{
    return c == ' ' || c == '\t' || isVisible(c) || static_cast<unsigned char>(c) >= 0x80;
}

QByteArray lowered(QByteArrayView text)
{
    return text.toByteArray().toLower();
}
} // namespace

HttpRequestReader::State HttpRequestReader::append(QByteArrayView bytes)
{
    if (m_state != State::Incomplete)
        return m_state;
    m_buffer.append(bytes.first(std::min(bytes.size(), MaxHeadBytes + 1 - m_buffer.size())));
    while (m_state == State::Incomplete) {
        const qsizetype end = m_buffer.indexOf('\n', m_scanned);
        if (end < 0) {
            if (m_buffer.size() > MaxHeadBytes ||
                !mayBeginALine(QByteArrayView(m_buffer).sliced(m_scanned)))
                m_state = State::Malformed;
            break;
        }
        if (end == m_scanned || m_buffer[end - 1] != '\r') {
            m_state = State::Malformed; // a bare LF
            break;
        }
        const QByteArrayView line = QByteArrayView(m_buffer).sliced(m_scanned, end - 1 - m_scanned);
        m_scanned = end + 1;
        if (!m_requestLineRead) {
            m_requestLineRead = true;
            if (!readRequestLine(line))
                m_state = State::Malformed;
        } else if (line.isEmpty()) {
            m_state = m_versionOne && !m_hostSeen ? State::Malformed : State::Complete;
        } else if (!readHeader(line)) {
            m_state = State::Malformed;
        }
    }
    if (m_state != State::Incomplete)
        m_buffer.clear();
    return m_state;
}

void HttpRequestReader::giveUp()
{
    if (m_state == State::Incomplete)
        m_state = State::Malformed;
    m_buffer.clear();
}

// What cannot begin a good line is refused before its end has come: a client
// that speaks another protocol (TLS, say) waits for nothing.
bool HttpRequestReader::mayBeginALine(QByteArrayView start) const
{
    const qsizetype space = start.indexOf(' ');
    const qsizetype methodEnd = m_requestLineRead ? 0 : (space < 0 ? start.size() : space);
    for (qsizetype i = 0; i < start.size(); ++i) {
        const char c = start[i];
        if (i < methodEnd && (c < 'A' || c > 'Z'))
            return false;
        if ((static_cast<unsigned char>(c) < ' ' && c != '\t' && c != '\r') || c == '\x7f')
            return false;
    }
    return true;
}

bool HttpRequestReader::readRequestLine(QByteArrayView line)
{
    const qsizetype first = line.indexOf(' ');
    const qsizetype second = first < 0 ? -1 : line.indexOf(' ', first + 1);
    if (first <= 0 || second < 0)
        return false;
    const QByteArrayView method = line.first(first);
    const QByteArrayView target = line.sliced(first + 1, second - first - 1);
    const QByteArrayView version = line.sliced(second + 1);
    for (const char c : method) {
        if (c < 'A' || c > 'Z')
            return false;
    }
    if (target.isEmpty() || target.front() != '/')
        return false;
    for (const char c : target) {
        if (!isVisible(c))
            return false;
    }
    if (version != "HTTP/1.1" && version != "HTTP/1.0")
        return false;
    m_versionOne = version == "HTTP/1.1";
    m_method = method.toByteArray();
    m_target = target.toByteArray();
    return true;
}

bool HttpRequestReader::readHeader(QByteArrayView line)
{
    if (++m_headers > MaxHeaders)
        return false;
    const qsizetype colon = line.indexOf(':');
    if (colon <= 0)
        return false;
    const QByteArrayView name = line.first(colon);
    for (const char c : name) {
        if (!isToken(c))
            return false;
    }
    // Only spaces and tabs surround a value: QByteArrayView::trimmed() would
    // also take a form feed or vertical tab, which are malformed anywhere.
    QByteArrayView value = line.sliced(colon + 1);
    while (!value.isEmpty() && (value.front() == ' ' || value.front() == '\t'))
        value = value.sliced(1);
    while (!value.isEmpty() && (value.back() == ' ' || value.back() == '\t'))
        value.chop(1);
    for (const char c : value) {
        if (!isFieldValue(c))
            return false;
    }
    const QByteArray key = lowered(name);
    if (key == "host") {
        if (m_hostSeen)
            return false;
        m_hostSeen = true;
    }
    if (key == "transfer-encoding" || (key == "content-length" && value != "0"))
        return false;
    return true;
}
