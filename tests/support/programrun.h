#pragma once

#include <QByteArray>
#include <QProcessEnvironment>
#include <QStringList>

// A program run to its end as a host runs it from a shell: its input given,
// its exit code (-1 when it crashed or had to be killed) and output kept.
struct ProgramRun
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

ProgramRun
runProgram(const QString &program, const QStringList &arguments, const QString &workingDirectory,
           const QByteArray &input = {},
           const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment());
