#pragma once

struct Invocation;

// `tarnwick-server ctl ...`: sends the command to the server running on the
// invocation's data folder and prints what it answers. Returns the exit code
// (Invocation::ExitCode).
int runControlClient(const Invocation &invocation);
