#pragma once

#include "core/serversettings.h"
#include "operator/controlserver.h"
#include "operator/operatorapi.h"
#include "platform/folderlock.h"

#include <QDateTime>
#include <QObject>

class LogStream;
class ServerCore;

// What both programs put around the server core for an operator at a shell:
// the data folder's lock, the saved settings, the console's lines as a stream
// and the control socket with every control command. No widgets.
class ControlHost : public QObject
{
    Q_OBJECT
public:
    ControlHost(ServerCore &core, LogStream &log, QObject *parent = nullptr);
    ~ControlHost() override;

    // Only one server per data folder; errorText says why not.
    // Why the server must not start on `config`'s folders; empty when it may.
    static QString whyFoldersUnsafe(const ServerConfig &config);
    FolderLock::Outcome lockFolder(QString *errorText);
    // The settings file as the core read it into the API; from then on every
    // change of a setting is saved at once (a failed save is told as an
    // error notice).
    void applySettings();
    // The control socket in the data folder, serving every control command.
    // Only for the holder of the folder's lock.
    bool openControlSocket(QString *errorText);
    // The control socket an upgrade carried; opened afresh when it cannot be
    // taken over.
    bool adoptControlSocket(qintptr descriptor, QString *errorText);
    // Followers see their stream end; the socket file is removed.
    void closeControlSocket();
    bool isServing() const;

    // `reload`, SIGHUP: motd.txt, the settings file and the ban list read
    // again as at start-up and put in force, every connection kept; each
    // changed setting is a line of the log. The sysop list is read at every
    // request anyway.
    OperatorResult reload();

    OperatorApi &api();
    ServerCore &core() { return m_core; }
    ServerSettings &settings();
    LogStream &log() { return m_log; }
    ControlServer &control() { return m_control; }

    // The program that serves, for `status`; a path only where it can be
    // upgraded in place.
    struct Program
    {
        QString path;
        QString version;
        QDateTime upgradedAt; // invalid: never upgraded
        QString upgradedFrom; // the version before
    };
    const Program &program() const { return m_program; }
    void setProgram(const Program &program) { m_program = program; }

private:
    void onPasswordsRequiredChanged(bool required);
    void reloadSettings();

    ServerCore &m_core;
    LogStream &m_log;
    FolderLock m_lock;
    ControlServer m_control;
    bool m_savingChanges = false;
    bool m_applyingSettings = false; // the file's own value is no change to save
    Program m_program;
};
