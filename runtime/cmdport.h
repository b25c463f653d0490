// The console command port on the main thread.
#pragma once

namespace kry {

// Serves the command port until a stop is requested. The console protocol is
// not part of this build yet: the port is open (so that a second server on
// the same port fails early) and the main thread waits for the stop request.
void ServeCommandPort(int listenSocket);

}  // namespace kry
