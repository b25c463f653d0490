// Command line of the server: option string "d:f:p:t:b:k:l:nachsgr".
#pragma once

#include <string>
#include <vector>

namespace kry {

struct Options {
  bool noSignatureCheck = false;  // -a
  bool checkOnly = false;         // -c
  bool createDatabases = false;   // -n
  bool recoverDatabases = false;  // -r: verify and rebuild the databases, then exit
  // -l PATH [PATH...]: bulk-load key dumps, then exit; the paths after the
  // options are taken too
  std::vector<std::string> loadPaths;
  bool startServer = false;       // -s
  bool foreground = false;        // -g
  bool debugGiven = false;        // -d
  unsigned debugLevel = 0;        // 0 given as -d 0 is stored as 0x08000000
  std::string configFile;         // -f, as written
  int port = 0;                   // -p; 0 no override, -1 disabled
  int securePort = 0;             // -t; 0 no override, -1 disabled
  int commandPort = 0;            // -b; 0 no override
  int commandTimeout = 0;         // -k; 0 no override
};

enum class OptionsResult { kOk, kExit0, kExit1 };

// Parses argv. On an error the message has been logged (LogError) and the
// result says how the process ends. `programName` is used in the usage text.
OptionsResult ParseOptions(const std::vector<std::string>& args, const std::string& programName, Options* out);

// True when any argument is -g (the first, quick scan of the process entry).
bool HasForegroundFlag(const std::vector<std::string>& args);

// Last component of argv[0].
std::string ProgramName(const std::string& argv0);

}  // namespace kry
