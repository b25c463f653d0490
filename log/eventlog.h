// Event log for administrators. Events go to an append-only event file
// ($KRYCERTD_EVENTLOG, else /var/log/krycertd/events.log) and to syslog with
// the ident "krycertd"; they are echoed to standard error when the echo flag
// is set or when the event file could not be opened. Events whose kind is
// below the minimum kind ("LogLevel") are dropped.
//
// Event file record, one line per event, fields separated by a tab:
//   UTC time (YYYY-MM-DDTHH:MM:SSZ), kind word (error, warning, info,
//   verbose), category (the port), process ID, message with '\', tab and
//   line feed written as "\\", "\t" and "\n".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kry {

enum LogKind : int {
  EVENTLOG_VERBOSE = 1,
  EVENTLOG_INFO = 2,
  EVENTLOG_WARNING = 4,
  EVENTLOG_ERROR = 8,
};

void ErrorLogInit(const char* sourceName, int minKind, int category, int echo);
// Each argument that is not -1 replaces the stored value.
void UpdateErrorLogValues(int minKind, int category, int echo);
void ErrorLogClose();
void LogError(int kind, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// Kind word of the event file for a kind (any unknown kind is a warning).
const char* EventKindWord(int kind);
// Path of the event file in use (environment or default).
std::string EventLogPath();

// One record read back from the event file.
struct EventRecord {
  std::string time;
  std::string kind;
  int category = 0;
  long pid = 0;
  std::string message;
};
// Reads the event file newest first, at most `max` records (0: all).
// Returns false when the file cannot be read.
bool ReadEventsNewestFirst(size_t max, std::vector<EventRecord>* out);

// Escaping used by the event file; exposed for tests.
std::string EscapeEventText(const std::string& text);
std::string UnescapeEventText(const std::string& text);

}  // namespace kry
