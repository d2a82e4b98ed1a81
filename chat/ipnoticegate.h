#pragma once

#include <QElapsedTimer>

// Decides whether a client's "IP" text opens the operator's message box or
// goes to the log view: none while texts keep coming (a text within QuietMs
// of the previous one), so a client that floods "IP" lines cannot keep the
// operator clicking boxes away. The window itself shows one box at a time.
class IpNoticeGate
{
public:
    static constexpr qint64 QuietMs = 1000;

    bool mayOpenBox() const;
    void textSeen() { m_sinceLastText.start(); }

private:
    QElapsedTimer m_sinceLastText;
};
