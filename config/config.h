// The configuration file readers. All three read the same keyword lines with
// the same line reader and tokenizer (config/lines.h) and record their
// messages in the event log as "<path>(<line>): ...".
//
//   ReadCommand  first pass at start-up: command port, keyrings, server key
//                ID, secure mode and the "Allow keyid ... command" keys.
//   ReadConfig   main pass (start-up and the console's restart): every other
//                setting, into g_globals and the backend; unknown keywords go
//                to backend_config.
//   CheckConfig  checks every line with the same rules and changes nothing
//                but the scratch backend it is given.
//
// The readers work on g_globals and must not run concurrently with each
// other (start-up and console commands run on the main thread).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace kry {

struct Backend;

// *backend receives the first backend of g_globals (null when there is
// none). A non-zero commandPortOverride replaces the command port after
// reading. Returns 0; 1 when the file cannot be opened, a line is wrong, or
// afterwards the command port is 0 or a keyring path is empty; 2 when memory
// runs out.
int ReadCommand(const char* path, Backend** backend, int commandPortOverride);

// Reads the main settings. When *backend is null it is set to the first
// backend of g_globals. openFile, when not null, is read instead of opening
// `path` and is left open. Overrides: 0 none; for the two ports -1 disables
// the port. Returns 0; 1 when the file cannot be opened, a line is wrong or a
// check after reading fails; 2 when the backend's handler rejects a line.
int ReadConfig(const char* path, Backend** backend, std::FILE* openFile, int portOverride, int securePortOverride,
               int commandTimeoutOverride);

// Checks the file without changing the running settings; the scratch
// backend receives the database directory, cache entries and cache size.
// Returns 0 or 1.
int CheckConfig(const char* path, Backend* scratchBackend);

// Key-ID syntax: "0x" followed by 8 or 16 characters. Returns 0, or -1 after
// recording the syntax message.
int CheckConfigKeyID(const char* text, const char* path, int lineNumber);

// Converts a key ID of the form "0x" + 8 or 16 hex digits (case ignored)
// into its big-endian bytes (4 or 8) with the key library's parser. Returns
// false for any other text.
bool ParseConfigKeyIDBytes(const char* text, std::vector<uint8_t>* bytes);

// [protocol://]host[:port]. Returns 0 valid, 1 missing host, 2 invalid
// protocol, 3 invalid port. *protocolIndex: 0 LDAPS, 1 HTTPS, 2 LDAP,
// 3 HTTP, -1 none given.
int ParseReplicaAddress(const char* text, int* protocolIndex);

// True when every character is a decimal digit (also for the empty text).
bool IsNumeric(const std::string& text);

}  // namespace kry
