// One console session on the command port: the session record and the
// framed, time-limited receive and send of console messages over its socket.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "runtime/console_proto.h"
#include "runtime/console_tls.h"

namespace kry {

struct ConsoleSession {
  static constexpr uint32_t kTag = 0x52454D53;  // "REMS" while the record is live
  uint32_t tag = kTag;
  int socket = -1;
  std::string peer;  // dotted address, or "unknown"
  uint32_t kind = 0;
  uint16_t major = 0, minor = 0;
  std::string user;
  // Bytes received beyond the last message taken (a console may send two
  // messages back to back); never more than one message's worth.
  std::string pending;
  ConsoleMessage message;  // the last message received
  bool valid = true, active = false, timedOut = false, socketFailed = false;
  // A remote console's TLS; while set, every receive and send on the
  // socket goes through it.
  std::unique_ptr<ConsoleTLSState, ConsoleTLSFree> tls;

  ConsoleSession() = default;
  ~ConsoleSession();
  ConsoleSession(const ConsoleSession&) = delete;
  ConsoleSession& operator=(const ConsoleSession&) = delete;
  // Closes the TLS session (if any), then the socket (if open), and clears
  // the valid flag and the tag.
  void Close();
};

// Result of waiting for a socket.
enum class WaitResult { kReady, kTimeout, kStop, kError };

// Waits up to `timeoutMs` (negative: no limit) for `socket` to become
// readable. With `watchStop` the wait also ends when the process stop event
// is set.
WaitResult WaitReadable(int socket, long timeoutMs, bool watchStop);

// True when a message or bytes of one are already at hand (read ahead, or
// decrypted by TLS), so that a receive need not wait for the socket.
bool ConsoleInputBuffered(const ConsoleSession* session);

// Receives the next message into session->message, waiting at most
// `timeoutSeconds` (0: no limit). False on a time-out (timedOut set), a
// closed or failed socket (socketFailed set), or bytes that are not a
// console message ("Message is not from a KRY console" is logged and the
// bytes dropped).
bool ReceiveConsoleMessage(ConsoleSession* session, int timeoutSeconds);

// Sends one message whole within `timeoutSeconds` (0: no limit). False when
// the record is not valid or the message could not be sent whole (the
// socket-failed flag is set then).
bool SendConsoleMessage(ConsoleSession* session, uint8_t type, const std::string& payload, int timeoutSeconds);

}  // namespace kry
