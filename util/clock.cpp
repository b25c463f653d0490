#include "util/clock.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace kry {

namespace {

// The clock file named by the environment, looked up once.
const std::string& ClockFile() {
  static const std::string path = [] {
    const char* p = std::getenv("KRYCERTD_CLOCK_FILE");
    return std::string(p ? p : "");
  }();
  return path;
}

}  // namespace

time_t ClockNow() {
  const std::string& path = ClockFile();
  if (path.empty()) return time(nullptr);
  long long seconds = 0;
  bool ok = false;
  if (std::FILE* f = std::fopen(path.c_str(), "r")) {
    ok = std::fscanf(f, "%lld", &seconds) == 1 && seconds >= 0;
    std::fclose(f);
  }
  return ok ? static_cast<time_t>(seconds) : time(nullptr);
}

}  // namespace kry
