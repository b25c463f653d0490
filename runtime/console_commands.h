// The commands of an open console session.
#pragma once

namespace kry {

struct ConsoleSession;

// Runs the command in session->message and sends its replies. Returns true
// to keep the session open, false to end it (unknown type, failed send, or
// an unexpected message during a chunked list).
bool HandleConsoleCommand(ConsoleSession* session);

}  // namespace kry
