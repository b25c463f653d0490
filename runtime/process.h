// Process entry: chooses service or foreground mode, binds the stop signals
// and runs the server's main routine.
#pragma once

#include "util/thread.h"

namespace kry {

struct RegistrySettings;
// The settings record read at start-up and written back by the listener.
extern RegistrySettings g_registrySettings;

// Returns the process exit code.
int ProcessMain(int argc, char** argv);

// The server's main routine (start-up, command port, shutdown); 0 or 1.
int ServerMain(int argc, char** argv);

// Set when a stop is requested (signal, service stop, console stop).
extern ManualResetEvent* g_stopEvent;

// The three stop actions: set dird_shutdown, wake the listener, set the stop
// event. Safe to call from any thread, more than once.
void RequestStop();

// Starts the thread that turns SIGINT/SIGTERM into RequestStop and ignores
// SIGHUP. Must be called before any other thread is created, since it blocks
// those signals for the whole process. False when the thread could not be
// created.
bool StartSignalThread();
void StopSignalThread();

}  // namespace kry
