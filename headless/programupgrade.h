#pragma once

#include "core/upgradesnapshot.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <chrono>
#include <optional>

class ControlCall;
class ControlHost;
class ServerCore;

// `ctl upgrade`: the running server executes its program again from the
// path it was started from (after a package upgrade, the new file), in the
// same process. The listeners, every connection with its buffers and the
// in-memory limits go along in an UpgradeSnapshot in a memory file whose
// descriptor, like the sockets', is inherited only by that exec. The new
// program answers the control client that asked.
class ProgramUpgrade : public QObject
{
    Q_OBJECT
public:
    // The environment variable naming the snapshot's descriptor.
    static constexpr char StateVariable[] = "TARNWICK_UPGRADE_STATE";
    // How long an upgrade waits for held answers (delayed logins) to go out.
    static constexpr std::chrono::seconds AnswerPatience{35};

    // What a program started by an upgrade found.
    struct Arrival
    {
        std::optional<UpgradeSnapshot> snapshot;
        // The snapshot could not be read: why. Every carried connection has
        // then been closed, as at a shutdown, and the control client told.
        QString failure;
    };
    // Takes the snapshot the program before left, if any. Call first thing in
    // main(), before anything opens a descriptor of its own.
    static std::optional<Arrival> receive();

    // `program`: the path the server was started from; `arguments` without
    // the program.
    ProgramUpgrade(ServerCore &core, ControlHost &host, const QString &program,
                   const QStringList &arguments, QObject *parent = nullptr);

    // The control command's handler.
    void request(ControlCall &call);

private:
    void tryHandOver();
    void fail(const QString &reason);
    // Executes the program with the snapshot; returns only when that failed
    // (errno says why), with everything as it was.
    void execute(const UpgradeSnapshot &snapshot);

    ServerCore &m_core;
    ControlHost &m_host;
    QString m_program;
    QStringList m_arguments;
    QPointer<ControlCall> m_call;
    std::chrono::steady_clock::time_point m_giveUpAt;
};
