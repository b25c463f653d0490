// Debug trace: lines on standard error selected by the process-wide debug
// level (-d). Each call is one formatted write followed by a flush, so lines
// of different threads never tear; bit 0x1000 prefixes the thread ID.
#pragma once

#include <atomic>
#include <cstdint>

namespace kry {

// Debug-level bits.
enum : uint32_t {
  LDAP_DEBUG_TRACE = 0x0001,    // function entry/exit and step notes
  LDAP_DEBUG_ARGS = 0x0004,     // request arguments and outcomes
  LDAP_DEBUG_CONNS = 0x0008,    // connection loop
  LDAP_DEBUG_BER = 0x0010,      // copied into the BER dump switch only
  LDAP_DEBUG_FILTER = 0x0020,   // filter decoding and testing
  LDAP_DEBUG_CONFIG = 0x0040,   // configuration reading
  LDAP_DEBUG_ACL = 0x0080,      // access control
  LDAP_DEBUG_STATS = 0x0100,    // statistics
  LDAP_DEBUG_PARSE = 0x0800,    // entry text parsing
  LDAP_DEBUG_THREADID = 0x1000, // prefix every line with the thread ID
  LDAP_DEBUG_CERT = 0x2000,     // failure notes of server-specific code
  LDAP_DEBUG_ANY = 0xFFFF,      // shown whenever any low bit is set
};

extern std::atomic<uint32_t> g_debugLevel;
// The BER codec's own dump switch (debug level masked with 0x10).
extern std::atomic<int> g_berDebug;

void Debug(uint32_t level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

inline bool DebugEnabled(uint32_t level) { return (g_debugLevel.load(std::memory_order_relaxed) & level) != 0; }

}  // namespace kry
