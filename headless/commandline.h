#pragma once

#include "operator/controlprotocol.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <optional>

// The program's command line, shared by the windowed program and the headless
// one it hands over to:
//
//   tarnwick-server [--headless] [--data-dir DIR]
//   tarnwick-server ctl [--data-dir DIR] [--json] COMMAND [ARGS]
//   tarnwick-server --help | --version
struct Invocation
{
    enum class Mode
    {
        Window,
        Headless,
        Control,
        Help,
        Version,
        BadUsage
    };
    enum ExitCode
    {
        Done = 0,
        Failed = 1,
        BadUsageExit = 2,
        NoServer = 3
    };

    Mode mode = Mode::Window;
    QString dataFolder; // empty: the program's own folder
    QString message;    // the help or version text, or what is wrong with the usage

    // ctl
    const ControlProtocol::CommandForm *command = nullptr;
    QStringList arguments; // as the server takes them (a joined text is one)
    QString inputFile;     // Input::Text from this file; empty: standard input
    QJsonObject options;
    bool json = false;
};

// `arguments` as QCoreApplication::arguments() gives them (program first).
Invocation parseCommandLine(const QStringList &arguments);
// Prints the help, the version or what is wrong with the usage, and gives the
// exit code; nullopt when the invocation is something to run.
std::optional<int> answerWithoutRunning(const Invocation &invocation);
QString helpText();
// Where ctl finds the server without --data-dir: `programFolder`, unless no
// server runs there and the packaged service's folder has one.
QString defaultControlFolder(const QString &programFolder);
QString versionText();
