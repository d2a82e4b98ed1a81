#pragma once

#include <QString>

struct Invocation;

// For the windowed program, before anything of the toolkit starts: prints the
// help, the version or what is wrong with the command line, or hands this
// process (same process id) over to the headless program for --headless and
// ctl. Returns the exit code; it does not return when the hand-over works.
int runWithoutWindow(const Invocation &invocation, int argc, char **argv);

// Where the headless program is: the configured place (relative to this
// program's folder unless absolute), else beside this program.
QString headlessProgramPath(const QString &programFolder);
