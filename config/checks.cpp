// Value checks shared by the configuration readers.
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "config/config.h"
#include "config/passes.h"
#include "log/eventlog.h"
#include "platform/pgp/kry.h"
#include "util/strutil.h"

namespace kry {

bool ConfigLine::Is(const char* keyword) const { return !tokens.empty() && StrIEquals(tokens[0], keyword); }

void LineMessage(int kind, const ConfigLine& line, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string text = StrFormatV(fmt, ap);
  va_end(ap);
  LogError(kind, "%s(%d): %s", line.path, line.lineNumber, text.c_str());
}

bool IsNumeric(const std::string& text) {
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

bool ParseDigits(const std::string& text, long* value) {
  if (!IsNumeric(text)) return false;
  long v = AtoiSaturating(text);
  *value = v > INT32_MAX ? INT32_MAX : v;
  return true;
}

bool ParsePortNumber(const std::string& text, int* port) {
  long v = 0;
  if (!ParseDigits(text, &v) || v < 1 || v > 65534) return false;
  *port = static_cast<int>(v);
  return true;
}

bool ParseIntegerAuto(const std::string& text, long* value) {
  const char* s = text.c_str();
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(s, &end, 0);
  if (end == s) return false;
  if (errno == ERANGE) v = v < 0 ? LONG_MIN : LONG_MAX;
  *value = v;
  return true;
}

bool ParseCycleTime(const std::string& text, int* minutes) {
  if (text.size() > 5) return false;
  size_t colon = text.find(':');
  if (colon == std::string::npos || colon == 0) return false;
  std::string hh = text.substr(0, colon), mm = text.substr(colon + 1);
  if (!IsNumeric(hh) || mm.size() != 2 || !IsNumeric(mm)) return false;
  int h = std::atoi(hh.c_str()), m = std::atoi(mm.c_str());
  // Hour 0 is midnight in 24-hour time and is accepted.
  if (h > 23 || m > 59) return false;
  *minutes = h * 60 + m;
  return true;
}

int ParseCycleDay(const std::string& text) {
  static const char* const kLong[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};
  static const char* const kShort[] = {"Sun", "Mon", "Tues", "Weds", "Thurs", "Fri", "Sat"};
  for (int i = 0; i < 7; ++i)
    if (StrIEquals(text, kLong[i]) || StrIEquals(text, kShort[i])) return i;
  if (StrIEquals(text, "Daily")) return 7;
  if (StrIEquals(text, "Never")) return 8;
  return -1;
}

int CheckConfigKeyID(const char* text, const char* path, int lineNumber) {
  if (std::strncmp(text, "0x", 2) != 0) {
    LogError(EVENTLOG_ERROR, "%s(%d): Key ID '%s' must begin with \"0x\".\n", path, lineNumber, text);
    return -1;
  }
  size_t len = std::strlen(text);
  if (len != 10 && len != 18) {
    LogError(EVENTLOG_ERROR, "%s(%d): Key ID '%s' is invalid (must be either 32 or 64 bits long)\n", path,
             lineNumber, text);
    return -1;
  }
  return 0;
}

bool ParseConfigKeyIDBytes(const char* text, std::vector<uint8_t>* bytes) {
  if (text[0] != '0' || (text[1] != 'x' && text[1] != 'X')) return false;
  KRYKeyID id;
  if (KRYGetKeyIDFromString(text, &id) != kKRYError_NoErr) return false;
  size_t length = id.bytes[0];
  if (length != 4 && length != 8) return false;
  bytes->assign(id.bytes + 2, id.bytes + 2 + length);
  return true;
}

int ParseReplicaAddress(const char* text, int* protocolIndex) {
  *protocolIndex = -1;
  if (text == nullptr || *text == '\0') return 1;
  std::string s(text);
  size_t colon = s.find(':');
  if (colon == 0) return 1;
  size_t hostStart = 0;
  if (colon != std::string::npos && s.compare(colon + 1, 2, "//") == 0) {
    static const char* const kProtocols[] = {"LDAPS:", "HTTPS:", "LDAP:", "HTTP:"};
    std::string scheme = s.substr(0, colon + 1);
    for (int i = 0; i < 4; ++i)
      if (StrIEquals(scheme, kProtocols[i])) *protocolIndex = i;
    if (*protocolIndex < 0) return 2;
    hostStart = colon + 3;
  }
  size_t portColon = s.find(':', hostStart);
  size_t hostEnd = portColon == std::string::npos ? s.size() : portColon;
  if (hostEnd == hostStart) return 1;
  if (portColon != std::string::npos && !IsNumeric(s.substr(portColon + 1))) return 3;
  return 0;
}

}  // namespace kry
