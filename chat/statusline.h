#pragma once

#include "core/messageline.h"

#include <QByteArray>

// "STATUSTEXT" TAB colour TAB text: a coloured status line for one client.
namespace StatusLine {
// Colours as decimal numbers in the order 0x00BBGGRR.
constexpr int Red = 0x0000FF;  // refusals
constexpr int Blue = 0xFF0000; // the moderator grant

inline QByteArray make(int colour, QByteArrayView text)
{
    return messageLine({"STATUSTEXT", QByteArray::number(colour), text});
}
} // namespace StatusLine
