// ldbm_back_config: the backend's configuration keywords.
#include <sys/stat.h>

#include <cctype>
#include <climits>

#include "back-ldbm/index.h"
#include "back-ldbm/ldbm.h"
#include "back-ldbm/ldbm_ops.h"
#include "log/eventlog.h"
#include "log/trace.h"
#include "util/strutil.h"

namespace kry {

namespace {

// Optional leading blanks, an optional sign, then decimal digits, or "0x"
// (or "0X") and hexadecimal digits, and nothing else.
bool ReadsAsInteger(const char* s) {
  while (*s == ' ' || *s == '\t') ++s;
  if (*s == '+' || *s == '-') ++s;
  if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    s += 2;
    if (!std::isxdigit(static_cast<unsigned char>(*s))) return false;
    while (std::isxdigit(static_cast<unsigned char>(*s))) ++s;
    return *s == '\0';
  }
  if (!std::isdigit(static_cast<unsigned char>(*s))) return false;
  while (std::isdigit(static_cast<unsigned char>(*s))) ++s;
  return *s == '\0';
}

// Digits only (the empty text counts, like the configuration reader's
// IsNumeric).
bool AllDigits(const char* s) {
  for (; *s; ++s)
    if (!std::isdigit(static_cast<unsigned char>(*s))) return false;
  return true;
}

long DigitsValue(const char* s) {
  long v = 0;
  for (; *s; ++s) {
    if (v > (LONG_MAX - 9) / 10) return LONG_MAX;
    v = v * 10 + (*s - '0');
  }
  return v;
}

int ClampInt(long v) { return v > INT_MAX ? INT_MAX : static_cast<int>(v); }

// Memory budgets are given in MiB, from 1 MiB to 1 TiB.
constexpr long kMaxBudgetMiB = 1L << 20;

// A "<Keyword> <MiB>" line: the budget in bytes into *bytes, 0; or 1 after
// the line's error message (and *bytes unchanged).
int BudgetLine(const char* fname, int lineno, const char* name, int argc, char** argv, long* bytes) {
  if (argc < 2) {
    LogError(EVENTLOG_ERROR, "%s(%d): Missing Size in \"%s <MiB>\" line.\n", fname, lineno, name);
    return 1;
  }
  if (!AllDigits(argv[1]) || !*argv[1]) {
    LogError(EVENTLOG_ERROR, "%s(%d): %s should be an integer. Currently it is %s.\n", fname, lineno, name, argv[1]);
    return 1;
  }
  const long v = DigitsValue(argv[1]);
  if (v < 1 || v > kMaxBudgetMiB) {
    LogError(EVENTLOG_ERROR, "%s(%d): %s should be between 1 and %ld (MiB). Currently it is %s.\n", fname, lineno,
             name, kMaxBudgetMiB, argv[1]);
    return 1;
  }
  *bytes = v << 20;
  return 0;
}

}  // namespace

int ldbm_back_config(Backend* be, const char* fname, int lineno, int argc, char** argv) {
  Debug(LDAP_DEBUG_TRACE, "=> ldbm_back_config\n");
  int rc = 0;
  LdbmState* li = be->ldbm.get();
  if (!fname) fname = "";
  const char* kw = argc > 0 && argv && argv[0] ? argv[0] : "";
  if (!li) {
    rc = 1;
  } else if (StrIEquals(kw, "directory")) {
    if (argc < 2) {
      LogError(EVENTLOG_ERROR, "%s(%d): Missing Path in \"Directory <Path>\" line.\n", fname, lineno);
      rc = 1;
    } else {
      std::string path = argv[1];
      for (char& c : path)
        if (c == '\\') c = '/';
      struct stat st;
      if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        LogError(EVENTLOG_ERROR, "%s(%d): Directory '%s' does not exist.\n", fname, lineno, argv[1]);
        rc = 1;
      } else {
        backend_set_directory(be, path);
      }
    }
  } else if (StrIEquals(kw, "readonly")) {
    if (argc < 2) {
      LogError(EVENTLOG_ERROR, "%s(%d): Missing On|Off in \"ReadOnly <On|Off>\" line\n", fname, lineno);
      rc = 1;
    } else if (StrIEquals(argv[1], "on")) {
      be->readOnly = 1;
    } else if (StrIEquals(argv[1], "off")) {
      be->readOnly = 0;
    } else {
      LogError(EVENTLOG_ERROR, "%s(%d): Invalid permission in \"ReadOnly <On|Off>\" line\n", fname, lineno);
      rc = 1;
    }
  } else if (StrIEquals(kw, "mode")) {
    if (argc < 2) {
      LogError(EVENTLOG_ERROR, "%s(%d): Missing Mode in \"Mode <Mode>\" line.\n", fname, lineno);
      rc = 1;
    } else if (!ReadsAsInteger(argv[1])) {
      LogError(EVENTLOG_ERROR, "%s(%d): Invalid Mode argument in \"Mode <Mode>\" line.\n", fname, lineno);
      rc = 1;
    }
    // The file mode stays 0600 whatever the value.
  } else if (StrIEquals(kw, "index")) {
    if (argc < 2) {
      LogError(EVENTLOG_ERROR, "%s(%d): Missing Attribute in \"Index <Attribute> [pres,eq,approx,sub]\" line.\n",
               fname, lineno);
      rc = 1;
    } else if (argc > 3) {
      LogError(EVENTLOG_ERROR, "%s(%d): Too many parameters in \"Index <Attribute> [pres,eq,approx,sub]\" line.\n",
               fname, lineno);
      rc = 1;
    } else {
      index_configure(be, fname, lineno, argc - 1, argv + 1, 0);
    }
  } else if (StrIEquals(kw, "cacheentries")) {
    if (argc < 2) {
      LogError(EVENTLOG_ERROR, "%s(%d): Missing Number in \"CacheEntries <Number>\" line.\n", fname, lineno);
      rc = 1;
    } else if (!AllDigits(argv[1])) {
      LogError(EVENTLOG_ERROR, "%s(%d): CacheEntries should be an integer. Currently it is %s.\n", fname, lineno,
               argv[1]);
      rc = 1;
    } else {
      int n = ClampInt(DigitsValue(argv[1]));
      {
        SpinningGuard g(li->cache.lock);
        li->cache.maxsize = n;  // in force even with the warning
        li->cache.byMemory = false;  // a count given wins over any budget
      }
      if (n < 10 || n > 1000)
        LogError(EVENTLOG_WARNING, "%s(%d): CacheEntries should be between 10 and 1000. Currently it is %d.\n",
                 fname, lineno, n);
    }
  } else if (StrIEquals(kw, "dbcachesize")) {
    if (argc < 2) {
      LogError(EVENTLOG_ERROR, "%s(%d): Missing Size in \"DBCacheSize <Size>\" line.\n", fname, lineno);
      rc = 1;
    } else if (!AllDigits(argv[1])) {
      LogError(EVENTLOG_ERROR, "%s(%d): DBCacheSize should be an integer. Currently it is %s.\n", fname, lineno,
               argv[1]);
      rc = 1;
    } else {
      long v = DigitsValue(argv[1]);
      if (v >= 10000) {
        li->dbCacheSize = v / 11;
      } else {
        li->dbCacheSize = v;
        LogError(EVENTLOG_WARNING, "%s(%d): DBCacheSize should be larger. Currently it is %d.\n", fname, lineno,
                 ClampInt(v));
      }
    }
  } else if (StrIEquals(kw, "cachememory")) {
    long bytes = 0;
    rc = BudgetLine(fname, lineno, "CacheMemory", argc, argv, &bytes);
    if (rc == 0) {
      SpinningGuard g(li->cache.lock);
      li->cache.maxbytes = static_cast<size_t>(bytes);  // used unless "CacheEntries" gives a count
    }
  } else if (StrIEquals(kw, "dbcachetotal")) {
    long bytes = 0;
    rc = BudgetLine(fname, lineno, "DBCacheTotal", argc, argv, &bytes);
    if (rc == 0) li->dbCacheTotal = bytes;  // used unless "DBCacheSize" gives a size per file
  } else {
    LogError(EVENTLOG_ERROR, "%s(%d): Unknown configuration value (%s).\n", fname, lineno, kw);
    rc = 2;
  }
  Debug(LDAP_DEBUG_TRACE, "<= ldbm_back_config, rc=%d\n", rc);
  return rc;
}

}  // namespace kry
