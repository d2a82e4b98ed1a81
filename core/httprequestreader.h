#pragma once

#include <QByteArray>
#include <QByteArrayView>

// The head of one HTTP/1.x request, read strictly and within bounds, for the
// monitoring endpoint. It knows nothing of sockets, so a fuzzer can drive it.
//
//   request  = method SP target SP version CRLF *( header CRLF ) CRLF
//   method   = 1*( "A"-"Z" )           target  = "/" *( VCHAR )
//   version  = "HTTP/1.0" | "HTTP/1.1"  header  = token ":" *( SP | HTAB | VCHAR | obs-text )
//
// Lines end with CR LF only. HTTP/1.1 needs a Host header. A request with a
// body (Content-Length other than 0, or Transfer-Encoding) is refused: the
// endpoint serves GET only. Anything else, or a head longer than MaxHeadBytes,
// is Malformed, and nothing more is read.
class HttpRequestReader
{
public:
    static constexpr qsizetype MaxHeadBytes = 8 * 1024;
    static constexpr int MaxHeaders = 64;

    enum class State
    {
        Incomplete,
        Complete,
        Malformed
    };

    // Takes more bytes; bytes after a complete head are ignored.
    State append(QByteArrayView bytes);
    State state() const { return m_state; }
    // The request took too long: Malformed, and nothing more is read.
    void giveUp();
    const QByteArray &method() const { return m_method; }
    const QByteArray &target() const { return m_target; }

private:
    bool mayBeginALine(QByteArrayView start) const;
    bool readRequestLine(QByteArrayView line);
    bool readHeader(QByteArrayView line);

    QByteArray m_buffer;
    qsizetype m_scanned = 0; // bytes of m_buffer already cut into lines
    State m_state = State::Incomplete;
    bool m_requestLineRead = false;
    bool m_versionOne = false; // HTTP/1.1: Host is required
    bool m_hostSeen = false;
    int m_headers = 0;
    QByteArray m_method;
    QByteArray m_target;
};
