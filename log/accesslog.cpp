#include "log/accesslog.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "ldap/operation.h"
#include "log/eventlog.h"
#include "log/metrics.h"
#include "log/trace.h"
#include "runtime/connection.h"
#include "runtime/globals.h"
#include "util/strutil.h"

namespace kry {

namespace {

constexpr int kOutOfMemory = 90;

const char* CategoryCode(int category) {
  switch (category) {
    case kLogBind: return "BND";
    case kLogUnbind: return "UBD";
    case kLogAbandon: return "ABN";
    case kLogAdd: return "ADD";
    case kLogModify: return "MOD";
    case kLogSearch: return "SRC";
    case kLogDelete: return "DLT";
    case kLogLdap: return "DAP";
    default: return "???";
  }
}

// "0x" and at most 16 digits of a key ID, or "-" when there is none.
std::string KeyIDField(const std::string& id) {
  if (id.empty()) return "-";
  return "0x" + id.substr(0, 16);
}

// A quoted, escaped text, or "-" when it is empty.
std::string QuotedField(const std::string& text) {
  if (text.empty()) return "-";
  return "\"" + EscapeAccessLogText(text) + "\"";
}

// Appends `length` bytes at the end of the open log; 0 or the errno value.
// Caller holds the access-log lock.
int AppendLine(int fd, const char* line, size_t length, bool* seekFailed) {
  *seekFailed = false;
  if (lseek(fd, 0, SEEK_END) < 0) {
    *seekFailed = true;
    return errno;
  }
  while (length > 0) {
    ssize_t n = ::write(fd, line, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : ENOSPC;
    line += n;
    length -= static_cast<size_t>(n);
  }
  return 0;
}

// Reports a failed open, seek or write once and stops logging.
// Caller holds the access-log lock.
int Fail(Globals* g, const char* what, const char* traceWhat, int e) {
  const std::string text = ErrnoText(e);
  LogError(EVENTLOG_WARNING, "%s access log file (%s) failed with error: %d (%s).", what, g->AccessLogFile.c_str(), e,
           text.c_str());
  Debug(LDAP_DEBUG_CERT, "LogAccessToFile: %s %s failed with error '%s'\n", traceWhat, g->AccessLogFile.c_str(),
        text.c_str());
  if (g->accessLogFd >= 0) ::close(g->accessLogFd);
  g->accessLogFd = kAccessLogFailed;
  g->AccessLogDetails = 0;
  return 1;
}

}  // namespace

namespace {

// Length of the well-formed UTF-8 sequence at text[i] that stands for a
// printable character, or 0. Overlong forms, surrogates, values past
// U+10FFFF, the C1 controls and the line and paragraph separators are not
// printable: a log reader could take them for line ends or terminal codes.
size_t PrintableUtf8Length(const std::string& text, size_t i) {
  const unsigned char lead = static_cast<unsigned char>(text[i]);
  size_t n;
  uint32_t cp;
  if (lead >= 0xC2 && lead <= 0xDF) {
    n = 2;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    n = 3;
    cp = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    n = 4;
    cp = lead & 0x07;
  } else {
    return 0;
  }
  if (text.size() - i < n) return 0;
  for (size_t k = 1; k < n; ++k) {
    const unsigned char b = static_cast<unsigned char>(text[i + k]);
    if ((b & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b & 0x3F);
  }
  static const uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kSmallest[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  if (cp <= 0x9F || cp == 0x2028 || cp == 0x2029) return 0;
  return n;
}

}  // namespace

std::string EscapeAccessLogText(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size() + 8);
  for (size_t i = 0; i < text.size();) {
    const char c = text[i];
    const unsigned char u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
      ++i;
    } else if (u >= 0x20 && u < 0x7F) {
      out += c;
      ++i;
    } else if (const size_t n = u >= 0x80 ? PrintableUtf8Length(text, i) : 0) {
      out.append(text, i, n);
      i += n;
    } else {
      out += '\\';
      out += kHex[u >> 4];
      out += kHex[u & 0xF];
      ++i;
    }
  }
  return out;
}

std::string FormatAccessLogDetail(int category, const AccessLogDetail& d, int nentries) {
  switch (category) {
    case kLogBind:
      return QuotedField(d.dn);
    case kLogAdd:
    case kLogModify:
      return KeyIDField(d.certID) + " " + KeyIDField(d.signerID);
    case kLogSearch:
      return std::to_string(nentries) + " -";
    case kLogDelete:
      return QuotedField(d.keyIDs) + " " + KeyIDField(d.signerID);
    case kLogLdap: {
      std::string name(d.code, strnlen(d.code, 3));
      return (name.empty() ? "-" : name) + " " + QuotedField(d.dn);
    }
    default:
      return "-";
  }
}

std::string FormatAccessLogLine(int category, const AccessLogDetail& detail, int nentries, uint32_t connid,
                                time_t start, int resultCode, const std::string& addr, const std::string& host) {
  struct tm tmv {};
  char when[32] = "0000-00-00 00:00:00";
  if (gmtime_r(&start, &tmv)) strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &tmv);
  const std::string field = FormatAccessLogDetail(category, detail, nentries);
  return StrFormat("%3.3s %d %s %d %s %s %s\n", CategoryCode(category), static_cast<int>(connid), when, resultCode,
                   addr.empty() ? "-" : addr.c_str(), host.empty() ? "-" : host.c_str(), field.c_str());
}

int AddAccessLogEntry(const Connection* conn, const Operation* op, int category, const AccessLogDetail* detail,
                      int nentries, int resultCode) {
  metrics::CountOperation(metrics::kLdap, metrics::KindOfCategory(category), metrics::ResultOfLdapCode(resultCode));
  Globals* g = g_globals;
  if (!g || (static_cast<uint32_t>(category) & g->AccessLogDetails.load(std::memory_order_relaxed)) == 0) return 0;
  Debug(LDAP_DEBUG_TRACE, "=> AddAccessLogEntry\n");
  int rc = 0;
  try {
    static const AccessLogDetail kNone;
    const std::string line =
        FormatAccessLogLine(category, detail ? *detail : kNone, nentries, op->o_connid, op->o_time, resultCode,
                            conn->c_addr, conn->c_hasDomain ? conn->c_domain : std::string());
    LogAccessToFile(line.data(), line.size());
  } catch (const std::bad_alloc&) {
    Debug(LDAP_DEBUG_CERT, "AddAccessLogEntry: out of memory\n");
    rc = kOutOfMemory;
  }
  Debug(LDAP_DEBUG_TRACE, "<= AddAccessLogEntry, rc=%d\n", rc);
  return rc;
}

int LogAccessToFile(const char* line, size_t length) {
  Globals* g = g_globals;
  Debug(LDAP_DEBUG_TRACE, "=> LogAccessToFile\n");
  int rc = 0;
  if (g->AccessLogFile.empty()) {
    g->AccessLogDetails = 0;  // later requests skip the log at once
  } else {
    MutexGuard lock(g->accessLogLock);
    if (g->accessLogFd == kAccessLogFailed) {
      g->AccessLogDetails = 0;
    } else {
      if (g->accessLogFd == kAccessLogClosed) {
        int fd = ::open(g->AccessLogFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, g->AccessLogMode);
        if (fd < 0) rc = Fail(g, "Opening", "Opening access log", errno);
        else g->accessLogFd = fd;
      }
      if (rc == 0) {
        bool seekFailed = false;
        if (int e = AppendLine(g->accessLogFd, line, length, &seekFailed)) {
          rc = seekFailed ? Fail(g, "Seeking to end of", "Seeking to end of access log file", e)
                          : Fail(g, "Writing to", "Writing to access log", e);
        }
      }
    }
  }
  Debug(LDAP_DEBUG_TRACE, "<= LogAccessToFile\n");
  return rc;
}

void ResetAccessLog(Globals* g) {
  MutexGuard lock(g->accessLogLock);
  if (g->accessLogFd >= 0) ::close(g->accessLogFd);
  g->accessLogFd = kAccessLogClosed;
}

}  // namespace kry
