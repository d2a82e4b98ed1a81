#pragma once

#include <QString>

// A test process of its own world: mount and network namespaces (needs root),
// so it can mount a small disk and has the fixed ports to itself while other
// tests run. Call enter() first thing in main(), before any thread starts.
namespace PrivateSpace {
// False when it cannot be had here: the test then skips.
bool enter();
// A tmpfs of `size` (e.g. "2m") at `folder`, owner-only.
bool mountSmallDisk(const QString &folder, const char *size);
void unmount(const QString &folder);
} // namespace PrivateSpace
