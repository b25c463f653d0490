#include "runtime/options.h"

#include <cstdlib>

#include "log/eventlog.h"
#include "util/strutil.h"

namespace kry {

namespace {

const char kOptionString[] = "d:f:p:t:b:k:l:nachsgr";

bool TakesArgument(char c) {
  for (const char* p = kOptionString; *p; ++p)
    if (*p == c) return p[1] == ':';
  return false;
}

bool IsOption(char c) {
  for (const char* p = kOptionString; *p; ++p)
    if (*p == c && c != ':') return true;
  return false;
}

// Ports: all digits, -1 or 0 disable (where allowed), at most 65534.
bool ParsePort(const std::string& text, bool zeroAllowed, int* out) {
  if (!IsSignedDigits(text)) return false;
  long v = AtoiSaturating(text);
  if (v == -1) {
    *out = -1;
    return true;
  }
  if (v == 0) {
    if (!zeroAllowed) return false;
    *out = -1;
    return true;
  }
  if (v < 0 || v > 65534) return false;
  *out = static_cast<int>(v);
  return true;
}

void Usage(const std::string& programName) {
  LogError(EVENTLOG_ERROR,
           "Usage: %s [-acnsg] [-f ConfigFile] [-p Port] [-t SecurePort] [-d DebugLevel] [-b CommandPort] [-k "
           "CommandTimeout] [-l File|Dir...]",
           programName.c_str());
}

}  // namespace

std::string ProgramName(const std::string& argv0) {
  size_t slash = argv0.find_last_of("/\\");
  return slash == std::string::npos ? argv0 : argv0.substr(slash + 1);
}

bool HasForegroundFlag(const std::vector<std::string>& args) {
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--") break;
    if (a.size() < 2 || a[0] != '-') break;
    for (size_t k = 1; k < a.size(); ++k) {
      if (a[k] == 'g') return true;
      if (TakesArgument(a[k])) {
        if (k + 1 == a.size()) ++i;
        break;
      }
    }
  }
  return false;
}

OptionsResult ParseOptions(const std::vector<std::string>& args, const std::string& programName, Options* out) {
  size_t i = 1;
  for (; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--") {
      ++i;
      break;
    }
    if (a.size() < 2 || a[0] != '-') break;
    for (size_t k = 1; k < a.size(); ++k) {
      char c = a[k];
      if (!IsOption(c)) {
        Usage(programName);
        return OptionsResult::kExit1;
      }
      std::string arg;
      if (TakesArgument(c)) {
        if (k + 1 < a.size()) {
          arg = a.substr(k + 1);
        } else if (i + 1 < args.size()) {
          arg = args[++i];
        } else {
          Usage(programName);
          return OptionsResult::kExit1;
        }
        k = a.size();
      }
      switch (c) {
        case 'a': out->noSignatureCheck = true; break;
        case 'c': out->checkOnly = true; break;
        case 'n': out->createDatabases = true; break;
        case 'r': out->recoverDatabases = true; break;
        case 's': out->startServer = true; break;
        case 'g': out->foreground = true; break;
        case 'h':
          Usage(programName);
          return OptionsResult::kExit1;
        case 'd': {
          if (!arg.empty() && arg[0] == '?') return OptionsResult::kExit1;
          unsigned level = static_cast<unsigned>(std::atoi(arg.c_str()));
          out->debugGiven = true;
          out->debugLevel = level == 0 ? 0x08000000u : level;
          break;
        }
        case 'f': out->configFile = arg; break;
        case 'l': out->loadPaths.push_back(arg); break;
        case 'p':
          if (!ParsePort(arg, true, &out->port)) {
            LogError(EVENTLOG_ERROR, "A port number of (%s) is not valid.", arg.c_str());
            return OptionsResult::kExit1;
          }
          break;
        case 't':
          if (!ParsePort(arg, true, &out->securePort)) {
            LogError(EVENTLOG_ERROR, "A port number of (%s) is not valid.", arg.c_str());
            return OptionsResult::kExit1;
          }
          break;
        case 'b':
          if (!ParsePort(arg, false, &out->commandPort)) {
            LogError(EVENTLOG_ERROR, "A port number of (%s) is not valid.", arg.c_str());
            return OptionsResult::kExit1;
          }
          break;
        case 'k': {
          if (!IsSignedDigits(arg)) {
            LogError(EVENTLOG_ERROR, "A timeout of (%s) is not valid.", arg.c_str());
            return OptionsResult::kExit1;
          }
          long v = AtoiSaturating(arg);
          if (v < -1 || v > 65534) {
            LogError(EVENTLOG_ERROR, "A timeout of (%s) is not valid.", arg.c_str());
            return OptionsResult::kExit1;
          }
          out->commandTimeout = static_cast<int>(v);
          break;
        }
      }
    }
  }
  // Further dump files and directories of a bulk load follow its options.
  for (; i < args.size() && !out->loadPaths.empty(); ++i) out->loadPaths.push_back(args[i]);
  if (i < args.size()) {
    Usage(programName);
    return OptionsResult::kExit1;
  }
  return OptionsResult::kOk;
}

}  // namespace kry
