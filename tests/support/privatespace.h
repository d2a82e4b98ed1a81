#pragma once

#include <QString>

// A test process of its own world: mount and network namespaces (needs root),
// so it can mount a small disk and has the fixed ports to itself while other
// tests run. Enter it first thing in main(), before any thread starts, with
// PRIVATE_SPACE_TEST_MAIN.
namespace PrivateSpace {
// False when it cannot be had here: the test then skips.
bool enter();
// Whether enter() succeeded.
bool entered();
// A tmpfs of `size` (e.g. "2m") at `folder`, owner-only.
bool mountSmallDisk(const QString &folder, const char *size);
void unmount(const QString &folder);
} // namespace PrivateSpace

#define PRIVATE_SPACE_TEST_MAIN(TestObject)                                                        \
    int main(int argc, char *argv[])                                                               \
    {                                                                                              \
        PrivateSpace::enter();                                                                     \
        QCoreApplication app(argc, argv);                                                          \
        TestObject test;                                                                           \
        return QTest::qExec(&test, argc, argv);                                                    \
    }
