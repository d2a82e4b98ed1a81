#pragma once

#include <optional>

// The lights of the lock keys, as the display server keeps them.
struct KeyLocks
{
    bool scroll = false;
    bool num = false;
    bool caps = false;
    bool operator==(const KeyLocks &) const = default;
};

// Nothing when this platform cannot tell (no X11 display, e.g. offscreen).
std::optional<KeyLocks> currentKeyLocks();
