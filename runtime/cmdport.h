// The console command port on the main thread: one console session at a
// time, every further console turned away while it lasts.
#pragma once

#include <string>

namespace kry {

// Serves the command port until a stop is requested. *listenSocket is the
// open command socket; the loop closes and re-opens it around each session
// and leaves the current one (or -1) there for the caller to close. Stops a
// directory server still running on the way out. Returns the process
// result: 0, or 1 when the port failed.
int ServeCommandPort(int* listenSocket);

// True for "127.0.0.1" and for the dotted address of this machine's name.
bool IsLocalHost(const std::string& addressText);

}  // namespace kry
