// The access log: one text line per completed request whose category is in
// the "AccessLogDetails" mask, appended to "AccessLogFile" through one shared
// descriptor under the access-log lock.
//
// Line: "%3.3s %d %s %d %s %s %s\n" = category code, connection number,
// request start time in UTC ("%Y-%m-%d %H:%M:%S"), LDAP result code, client
// address or "-", client host name or "-", detail (see FormatAccessLogDetail).
// In DNs and key-ID lists '"' and '\' are written as \" and \\, and control
// bytes as '\' with two upper-case hex digits, so every line stays one line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

namespace kry {

struct Connection;
struct Operation;
struct Globals;

// Categories (bits of "AccessLogDetails").
enum AccessLogCategory : int {
  kLogOther = 0x001,    // "???": no other category
  kLogBind = 0x002,     // "BND"
  kLogUnbind = 0x004,   // "UBD"
  kLogAbandon = 0x008,  // "ABN"
  kLogAdd = 0x010,      // "ADD": certificate submissions
  kLogModify = 0x020,   // "MOD": a submission that updated a stored certificate
  kLogSearch = 0x040,   // "SRC"
  kLogDelete = 0x080,   // "DLT": signed delete and disable requests
  kLogLdap = 0x100,     // "DAP": plain LDAP add, delete, modify, modify-DN, compare
};

// What the request handlers record of an operation beyond its category.
// Key IDs are hexadecimal digits without "0x" (at most 16 are printed).
struct AccessLogDetail {
  char code[4] = {0, 0, 0, 0};  // DAP: request name ("DLT", "MDN", "MOD", "CMP", "ADD", "UNK")
  std::string dn;               // DAP: target DN; BND: the DN of the bind; SRC: the filter text (not printed)
  std::string certID;           // ADD, MOD: the certificate added or updated
  std::string signerID;         // ADD, MOD, DLT: the key that signed the request
  std::string keyIDs;           // DLT: "0x..." IDs joined by blanks, set only when every key was handled
};

// The detail field of a line for `category`; `nentries` is a search's count.
std::string FormatAccessLogDetail(int category, const AccessLogDetail& detail, int nentries);
// A whole line with its line feed. `addr` and `host` empty print as "-".
std::string FormatAccessLogLine(int category, const AccessLogDetail& detail, int nentries, uint32_t connid,
                                time_t start, int resultCode, const std::string& addr, const std::string& host);
// `text` with '"' and '\' preceded by a backslash, and every byte that is
// not part of printable UTF-8 (controls, C1 controls, malformed sequences)
// as \XX.
std::string EscapeAccessLogText(const std::string& text);

// Writes the line of a completed request when its category is enabled.
// Returns 0, or 90 when memory ran out (the line is dropped). Never fails
// the request.
int AddAccessLogEntry(const Connection* conn, const Operation* op, int category, const AccessLogDetail* detail,
                      int nentries, int resultCode);
// Appends one formatted line. Returns 0 on success or when logging is off,
// 1 on a file error, which is reported once and stops access logging until
// the settings are reset.
int LogAccessToFile(const char* line, size_t length);

// Closes the shared descriptor and returns it to "open at the next line"
// (also after a failure). Takes the access-log lock.
void ResetAccessLog(Globals* g);

}  // namespace kry
