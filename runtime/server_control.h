// Starting and stopping the directory server (the listener thread) inside
// the running process, as the console's start and stop commands and the
// command port's shutdown need it. Called from the main thread only; the
// stop runs its wait for the listener on a thread of its own.
#pragma once

#include <cstdint>

#include "runtime/console_proto.h"

namespace kry {

// True while a listener started by this process runs.
bool DirectoryServerRunning();
// True while a stop command waits for the listener to end.
bool DirectoryServerStopping();

// Rebuilds the settings from the configuration file and starts the listener
// with the ports of `params`. Returns the start reply: status 0 (running,
// also when it already ran) or 2 (not started; the cause is in the event
// log), with the resulting Port and SecurePort.
StartReply StartDirectoryServer(const StartParams& params);

// Begins an orderly stop of the listener when it runs and no stop is under
// way. Returns true while the stop is in progress; false once the listener
// has ended (or never ran), with *result the listener's result.
bool StopDirectoryServer(int* result);

// Stops the listener, if it runs, and waits for it and for any stop thread
// (the command port's end).
void ShutdownDirectoryServer();

}  // namespace kry
