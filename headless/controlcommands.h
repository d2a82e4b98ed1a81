#pragma once

class ControlServer;
class HeadlessServer;

// The control socket's commands, each doing what the console's own command
// does, registered on `control` for `server`.
void registerControlCommands(ControlServer &control, HeadlessServer &server);
