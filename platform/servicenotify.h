#pragma once

// Tells a service manager (systemd with Type=notify) how the server is doing.
// Each call is a no-op when the process was not started by one (no
// NOTIFY_SOCKET in the environment) or when the build has no libsystemd.
void notifyServiceReady();     // both services listen, or a reload is done
void notifyServiceReloading(); // a reload starts; notifyServiceReady() ends it
void notifyServiceStopping();  // shutdown has begun

// True when the build can talk to a service manager at all.
bool serviceNotifySupported();
