#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

// A nearly full disk for a test: a child process, in a mount namespace of its
// own, mounts a tmpfs of `bytes` at `folder` and runs `work` there. The mount
// goes with the child, so what the test needs to know comes back as the
// answer `work` returns. Needs root.
namespace SmallDisk {
enum class Outcome
{
    Unavailable, // not root, or no mount namespaces here: skip the test
    Finished,
    Crashed,
};

struct Run
{
    Outcome outcome;
    QByteArray answer;
};

Run run(const QString &folder, qint64 bytes, const std::function<QByteArray()> &work);
} // namespace SmallDisk
