#include "log/trace.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "util/strutil.h"
#include "util/thread.h"

namespace kry {

std::atomic<uint32_t> g_debugLevel{0};
std::atomic<int> g_berDebug{0};

void Debug(uint32_t level, const char* fmt, ...) {
  uint32_t current = g_debugLevel.load(std::memory_order_relaxed);
  if ((current & level) == 0) return;
  va_list ap;
  va_start(ap, fmt);
  std::string line = StrFormatV(fmt, ap);
  va_end(ap);
  if (current & LDAP_DEBUG_THREADID) line = StrFormat("[% 4.4d] ", static_cast<int>(CurrentThreadId())) + line;
  // One write per line keeps concurrent lines whole.
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

}  // namespace kry
