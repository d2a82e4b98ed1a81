#pragma once

#include <QByteArray>
#include <QString>

// Protocol text is 8-bit Windows-1252. These helpers are the only place where
// letter case is folded, so every case-blind comparison in the system (chat
// lookups, the users store) follows one rule: ASCII letters plus the
// Windows-1252 letters with an upper-case partner (à-þ except ÷, š, œ, ž, ÿ).
namespace Codepage {
QByteArray toUpper(const QByteArray &text);
QByteArray toLower(const QByteArray &text);
bool equalsIgnoringCase(const QByteArray &a, const QByteArray &b);

// For the windows only.
QString toDisplay(const QByteArray &text);
// toDisplay(text).toUtf8(), without the detour when the text is plain ASCII.
QByteArray toUtf8(const QByteArray &text);
QByteArray fromDisplay(const QString &text);
} // namespace Codepage
