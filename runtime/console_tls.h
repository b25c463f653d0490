// Remote consoles: the command port's TLS, run as the server with the
// server key, and the check of the console's key against the
// "Allow keyid <id> command" lines.
#pragma once

#include <cstddef>

namespace kry {

struct ConsoleSession;

// The TLS objects of a remote session and the key-library context block
// they were made in.
struct ConsoleTLSState;
struct ConsoleTLSFree {
  void operator()(ConsoleTLSState* state) const;  // closes the session first
};

// Wraps the session's accepted socket in TLS and checks the console's key.
// True when the console may go on to LOGON (every later message then goes
// through the session); false after the reason was logged, the caller
// closing the connection. Never ends the process.
bool AuthenticateRemoteConsole(ConsoleSession* session);

// Decrypted bytes the session's TLS holds that a receive delivers without
// waiting for the socket; 0 without TLS.
size_t ConsoleTLSPending(const ConsoleSession* session);

}  // namespace kry
