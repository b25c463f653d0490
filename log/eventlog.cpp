#include "log/eventlog.h"

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <mutex>
#include <sstream>

#include "log/trace.h"
#include "util/strutil.h"

namespace kry {

namespace {

std::atomic<int> g_minKind{0};
std::atomic<int> g_category{0};
std::atomic<int> g_echo{0};
// The "event source": the open event file. -1 when none is held.
std::atomic<int> g_eventFd{-1};
std::atomic<bool> g_syslogOpen{false};

int SyslogPriority(int kind) {
  switch (kind) {
    case EVENTLOG_ERROR: return LOG_ERR;
    case EVENTLOG_INFO: return LOG_INFO;
    case EVENTLOG_VERBOSE: return LOG_DEBUG;
    default: return LOG_WARNING;
  }
}

std::string UtcNow() {
  time_t now = time(nullptr);
  struct tm tmv;
  gmtime_r(&now, &tmv);
  char buf[32];
  strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tmv);
  return buf;
}

}  // namespace

std::string EventLogPath() {
  const char* env = std::getenv("KRYCERTD_EVENTLOG");
  if (env && *env) return env;
  return "/var/log/krycertd/events.log";
}

const char* EventKindWord(int kind) {
  switch (kind) {
    case EVENTLOG_ERROR: return "error";
    case EVENTLOG_INFO: return "info";
    case EVENTLOG_VERBOSE: return "verbose";
    default: return "warning";
  }
}

std::string EscapeEventText(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == '\\') out += "\\\\";
    else if (c == '\t') out += "\\t";
    else if (c == '\n') out += "\\n";
    else out += c;
  }
  return out;
}

std::string UnescapeEventText(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) {
      char n = text[++i];
      if (n == 't') out += '\t';
      else if (n == 'n') out += '\n';
      else out += n;
    } else {
      out += text[i];
    }
  }
  return out;
}

void ErrorLogInit(const char* sourceName, int minKind, int category, int echo) {
  Debug(LDAP_DEBUG_TRACE, "=> ErrorLogInit\n");
  g_minKind = minKind;
  g_category = category;
  g_echo = echo;
  if (g_eventFd.load() < 0) {
    int fd = ::open(EventLogPath().c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
    g_eventFd = fd;
  }
  if (!g_syslogOpen.exchange(true)) openlog(sourceName ? sourceName : "krycertd", LOG_PID | LOG_NDELAY, LOG_DAEMON);
  if (g_eventFd.load() >= 0)
    Debug(LDAP_DEBUG_TRACE, "<= ErrorLogInit\n");
  else
    Debug(LDAP_DEBUG_TRACE, "Error RegisterEventSource\n");
}

void UpdateErrorLogValues(int minKind, int category, int echo) {
  Debug(LDAP_DEBUG_TRACE, "=> UpdateErrorLogValues\n");
  if (minKind != -1) g_minKind = minKind;
  if (category != -1) g_category = category;
  if (echo != -1) g_echo = echo;
  Debug(LDAP_DEBUG_TRACE, "<= UpdateErrorLogValues\n");
}

void ErrorLogClose() {
  Debug(LDAP_DEBUG_TRACE, "=> ErrorLogClose\n");
  int fd = g_eventFd.exchange(-1);
  if (fd >= 0) ::close(fd);
  if (g_syslogOpen.exchange(false)) closelog();
  g_minKind = 0;
  g_category = 0;
  g_echo = 0;
  Debug(LDAP_DEBUG_TRACE, "<= ErrorLogClose\n");
}

void LogError(int kind, const char* fmt, ...) {
  Debug(LDAP_DEBUG_TRACE, "=> LogError\n");
  if (kind < g_minKind.load()) {
    Debug(LDAP_DEBUG_TRACE, "<= LogError\n");
    return;
  }
  va_list ap;
  va_start(ap, fmt);
  std::string text = StrFormatV(fmt, ap);
  va_end(ap);

  int fd = g_eventFd.load();
  if (g_echo.load() || fd < 0) {
    std::string echo = text;
    if (!echo.empty() && echo.back() != '\n') echo += "\r\n";
    std::fwrite(echo.data(), 1, echo.size(), stderr);
    std::fflush(stderr);
  }
  if (fd >= 0 || g_syslogOpen.load()) {
    // The event record is one line: trailing line ends are dropped and inner
    // ones become blanks, as an event viewer would show them.
    std::string msg = text;
    while (!msg.empty() && (msg.back() == '\r' || msg.back() == '\n')) msg.pop_back();
    for (size_t i = 1; i < msg.size(); ++i)
      if (msg[i] == '\r' || msg[i] == '\n') msg[i] = ' ';
    if (fd >= 0) {
      std::string rec = UtcNow() + "\t" + EventKindWord(kind) + "\t" + std::to_string(g_category.load()) + "\t" +
                        std::to_string(static_cast<long>(getpid())) + "\t" + EscapeEventText(msg) + "\n";
      // O_APPEND with a single write keeps records of concurrent writers whole.
      if (::write(fd, rec.data(), rec.size()) < 0) Debug(LDAP_DEBUG_TRACE, "ReportEvent Failed\n");
    }
    if (g_syslogOpen.load()) syslog(SyslogPriority(kind), "KRYcertd: %s", msg.c_str());
  }
  Debug(LDAP_DEBUG_TRACE, "<= LogError\n");
}

bool ReadEventsNewestFirst(size_t max, std::vector<EventRecord>* out) {
  std::ifstream in(EventLogPath());
  if (!in) return false;
  std::vector<EventRecord> all;
  std::string line;
  while (std::getline(in, line)) {
    EventRecord r;
    std::string fields[5];
    size_t start = 0;
    int i = 0;
    for (; i < 4; ++i) {
      size_t tab = line.find('\t', start);
      if (tab == std::string::npos) break;
      fields[i] = line.substr(start, tab - start);
      start = tab + 1;
    }
    if (i < 4) continue;  // not a record of ours
    fields[4] = line.substr(start);
    r.time = fields[0];
    r.kind = fields[1];
    r.category = static_cast<int>(AtoiSaturating(fields[2]));
    r.pid = AtoiSaturating(fields[3]);
    r.message = UnescapeEventText(fields[4]);
    all.push_back(std::move(r));
  }
  out->clear();
  for (size_t k = all.size(); k > 0; --k) {
    out->push_back(std::move(all[k - 1]));
    if (max && out->size() >= max) break;
  }
  return true;
}

}  // namespace kry
