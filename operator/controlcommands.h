#pragma once

class ControlHost;
class ControlServer;

// The control socket's command table: each command does what the console's
// own command does, through the same operator API, for whichever program
// (with or without windows) hosts the socket.
void registerControlCommands(ControlServer &control, ControlHost &host);
