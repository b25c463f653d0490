#include "log/cycle.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <vector>

#include "ldap/regex.h"
#include "log/eventlog.h"
#include "log/logfile.h"
#include "log/trace.h"
#include "runtime/globals.h"
#include "util/strutil.h"

namespace kry {

namespace {

constexpr int kOutOfMemory = 90;
constexpr long kDay = 24 * 60 * 60;

// Local time of `now` under the time lock; reports a time that cannot be
// broken down.
bool LocalTime(time_t now, struct tm* local) {
  bool ok;
  {
    MutexGuard lock(g_globals->timeLock);
    ok = localtime_r(&now, local) != nullptr;
  }
  if (!ok) LogError(EVENTLOG_ERROR, "A time of %d is not valid.", static_cast<int>(now));
  return ok;
}

// Where the dated part goes in `path`: the last '.' of the file name, or the
// end when the file name has none. A '.' in a directory name never counts.
size_t ExtensionStart(const std::string& path) {
  size_t slash = path.rfind('/');
  size_t dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return path.size();
  return dot;
}

// `text` with the expression engine's special characters made literal.
std::string EscapeForExpression(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (std::string_view(".\\[]+^$*").find(c) != std::string_view::npos) out += '\\';
    out += c;
  }
  return out;
}

// The expression matching the dated copies of the file `name`, anchored at
// both ends so that other files that merely contain such a name are never
// taken for copies: access.log gives ^ACCESS\.[0-9]+\.LOG$.
std::string CopyNameExpression(const std::string& name) {
  size_t dot = ExtensionStart(name);
  std::string re = "^" + EscapeForExpression(name.substr(0, dot)) + "\\.[0-9]+" +
                   EscapeForExpression(name.substr(dot)) + "$";
  return ToUpper(re);
}

// The names in `dir` that are dated copies of `name`; 0 or 1 (reported).
int FindCopies(const std::string& path, const std::string& dir, const std::string& name,
               std::vector<std::string>* copies) {
  const std::string expression = CopyNameExpression(name);
  std::vector<std::string> names;
  if (int e = ListDirectory(dir, &names)) {
    LogError(EVENTLOG_ERROR, "Creating a directory iterator failed with error %d (%s)", e, ErrnoText(e).c_str());
    return 1;
  }
  MutexGuard lock(RegexLock());
  if (const char* why = re_comp(expression.c_str())) {
    Debug(LDAP_DEBUG_ANY, "re_comp( \"%s\") failed because (%s)\n", expression.c_str(), why);
    LogError(EVENTLOG_ERROR, "Invalid access log filename provided (%s).", path.c_str());
    return 1;
  }
  for (std::string& n : names)
    if (re_match(ToUpper(n).c_str())) copies->push_back(std::move(n));
  return 0;
}

// Copies the open log into a new dated file and empties the log. Caller
// holds the access-log lock. 0, or 1 (reported); *emptied tells whether the
// log was emptied (not when today's copy already exists).
int CopyAndTruncate(Globals* g, LogFileHandle* log, const std::string& copyName, bool* emptied) {
  const char* path = g->AccessLogFile.c_str();
  if (g->CycleLogKeep >= 1) {
    LogFileHandle copy;
    int e = copy.Open(copyName, O_WRONLY | O_CREAT | O_EXCL, g->AccessLogMode);
    if (e == EEXIST) {
      LogError(EVENTLOG_INFO, "Cycling of log files skipped.  Today's cycled log file already exists.");
      return 0;
    }
    if (e == ENAMETOOLONG) {
      LogError(EVENTLOG_ERROR, "Invalid filename (%s) for access log cycle file.  Error %d (%s)", copyName.c_str(), e,
               ErrnoText(e).c_str());
      return 1;
    }
    if (e) {
      LogError(EVENTLOG_ERROR, "Creating cycle file (%s) for access logging failed with error %d (%s)",
               copyName.c_str(), e, ErrnoText(e).c_str());
      return 1;
    }
    uint64_t size = 0;
    if ((e = log->Size(&size)) != 0) {
      unlink(copyName.c_str());
      LogError(EVENTLOG_ERROR, "Size of access log file could not be determined.  Error %d (%s)", e,
               ErrnoText(e).c_str());
      return 1;
    }
    if ((e = copy.CopyFrom(*log, size)) != 0) {
      // A partial copy would block today's next attempt: remove it.
      unlink(copyName.c_str());
      LogError(EVENTLOG_ERROR, "Copying access log (%s) to the backup (%s) failed with error %d (%s)", path,
               copyName.c_str(), e, ErrnoText(e).c_str());
      return 1;
    }
  }
  if (int e = log->Truncate()) {
    LogError(EVENTLOG_ERROR, "Truncating the access log file (%s) failed with error %d (%s)", path, e,
             ErrnoText(e).c_str());
    return 1;
  }
  *emptied = true;
  return 0;
}

// Steps of a cycle that run under the access-log lock. *copied tells
// whether the log was emptied, after which old copies are pruned.
int CycleLocked(Globals* g, const struct tm& local, bool* copied) {
  MutexGuard lock(g->accessLogLock);
  if (g->accessLogFd < 0) {
    LogError(EVENTLOG_WARNING,
             "At log cycle time, nothing had been logged to the access log.  Log cycling was skipped.");
    return 0;
  }
  if (g->CycleLogDay == CYCLE_NEVER) return 0;
  std::string copyName;
  if (GetCycledFileName(g->AccessLogFile, local, &copyName) != 0) return kOutOfMemory;
  ::close(g->accessLogFd);
  g->accessLogFd = kAccessLogClosed;  // the next line reopens the file

  LogFileHandle log;
  if (int e = log.Open(g->AccessLogFile, O_RDWR)) {
    if (e == ENAMETOOLONG || e == EINVAL)
      LogError(EVENTLOG_ERROR, "Invalid filename (%s) for access log.  Error %d (%s)", g->AccessLogFile.c_str(), e,
               ErrnoText(e).c_str());
    else
      LogError(EVENTLOG_ERROR, "Opening access log for cycling failed with error %d (%s)", e, ErrnoText(e).c_str());
    return 1;
  }
  return CopyAndTruncate(g, &log, copyName, copied);
}

}  // namespace

int CreateCycleLogContext(std::unique_ptr<CycleContext>* ctx) {
  Debug(LDAP_DEBUG_TRACE, "=> CreateCycleLogContext\n");
  int rc = 0;
  std::unique_ptr<CycleContext> c(new (std::nothrow) CycleContext());
  const time_t now = RefreshCurrentTime();
  struct tm local {};
  if (!c) {
    rc = kOutOfMemory;
  } else if (!LocalTime(now, &local)) {
    rc = 1;
  } else {
    GetSecondsTilNextCycle(c.get(), local, g_globals->CycleLogDay, g_globals->CycleLogTime);
    c->last = now;
    *ctx = std::move(c);
  }
  Debug(LDAP_DEBUG_TRACE, "<= CreateCycleLogContext, rc=%d\n", rc);
  return rc;
}

void GetSecondsTilNextCycle(CycleContext* ctx, const struct tm& local, int day, int minutes) {
  Debug(LDAP_DEBUG_TRACE, "=> GetSecondsTilNextCycle\n");
  const long h = local.tm_hour, m = local.tm_min, w = local.tm_wday;
  if ((w == day || day == CYCLE_DAILY) && h * 60 + m < minutes) {
    ctx->remaining = (minutes - h * 60 - m) * 60;
  } else {
    const long toMidnight = (24 - h) * 60 * 60 - m * 60;
    long days;
    if (day == CYCLE_DAILY) days = 0;
    else if (day == w) days = 6;
    else days = w < day ? day - w - 1 : day - w + 6;
    ctx->remaining = toMidnight + days * kDay + minutes * 60L;
  }
  Debug(LDAP_DEBUG_TRACE, "<= GetSecondsTilNextCycle, rc=%d\n", 0);
}

bool IsCycleLogTime(CycleContext* ctx, time_t now) {
  Debug(LDAP_DEBUG_TRACE, "=> IsCycleLogTime\n");
  bool due = false;
  if (g_globals->CycleLogDay != CYCLE_NEVER) {
    const long elapsed = static_cast<long>(now - ctx->last);
    if (ctx->remaining != 0 && ctx->remaining >= elapsed) {
      ctx->remaining -= elapsed;
    } else {
      ctx->remaining = 0;
      due = true;
    }
    ctx->last = now;
  }
  Debug(LDAP_DEBUG_TRACE, "<= IsCycleLogTime, rc=%d\n", due ? 1 : 0);
  return due;
}

int CycleLog(CycleContext* ctx, time_t now) {
  Debug(LDAP_DEBUG_TRACE, "=> CycleLog\n");
  Globals* g = g_globals;
  int rc = 0;
  struct tm local {};
  if (!LocalTime(now, &local)) {
    rc = 1;
  } else {
    GetSecondsTilNextCycle(ctx, local, g->CycleLogDay, g->CycleLogTime);
    try {
      bool copied = false;
      rc = CycleLocked(g, local, &copied);
      // Pruning old copies does not touch the live log: it runs after the
      // access-log lock is released.
      if (rc == 0 && copied) DeleteExcessCycledLogs(g->AccessLogFile);
    } catch (const std::bad_alloc&) {
      rc = kOutOfMemory;
    }
  }
  Debug(LDAP_DEBUG_TRACE, "<= CycleLog, rc=%d\n", rc);
  return rc;
}

int GetCycledFileName(const std::string& path, const struct tm& local, std::string* name) {
  Debug(LDAP_DEBUG_TRACE, "=> GetCycledFileName\n");
  int rc = 0;
  char date[16];
  if (strftime(date, sizeof date, ".%Y%m%d", &local) == 0) {
    rc = kOutOfMemory;
  } else {
    try {
      const size_t at = ExtensionStart(path);
      *name = path.substr(0, at) + date + path.substr(at);
    } catch (const std::bad_alloc&) {
      rc = kOutOfMemory;
    }
  }
  Debug(LDAP_DEBUG_TRACE, "<= GetCycledFileName, rc=%d\n", rc);
  return rc;
}

int DeleteExcessCycledLogs(const std::string& path) {
  Debug(LDAP_DEBUG_TRACE, "=> DeleteExcessCycledLogs\n");
  const int keep = g_globals->CycleLogKeep;
  std::string dir, name;
  std::vector<std::string> copies;
  int rc = 0;
  if (int e = SplitLogPath(path, &dir, &name)) {
    LogError(EVENTLOG_ERROR, "Invalid filename (%s) for access log.  Error %d (%s)", path.c_str(), e,
             ErrnoText(e).c_str());
    rc = 1;
  } else {
    rc = FindCopies(path, dir, name, &copies);
  }
  if (rc == 0 && copies.size() > static_cast<size_t>(keep)) {
    // The YYYYMMDD part makes byte order date order: the oldest come first.
    std::sort(copies.begin(), copies.end());
    for (size_t i = 0; i + static_cast<size_t>(keep) < copies.size(); ++i) {
      const std::string victim = dir + "/" + copies[i];
      if (unlink(victim.c_str()) != 0) {
        int e = errno;
        LogError(EVENTLOG_WARNING, "Deleting excess log file (%s) failed with error %d (%s)", victim.c_str(), e,
                 ErrnoText(e).c_str());
      }
    }
  }
  Debug(LDAP_DEBUG_TRACE, "<= DeleteExcessCycledLogs, rc=%d\n", rc);
  return rc;
}

bool AccessLogCycleDue(time_t now) {
  CycleContext* ctx = g_globals ? g_globals->cycleContext.get() : nullptr;
  return ctx && IsCycleLogTime(ctx, now);
}

void CycleAccessLog(time_t now) {
  if (CycleContext* ctx = g_globals ? g_globals->cycleContext.get() : nullptr) CycleLog(ctx, now);
}

}  // namespace kry
