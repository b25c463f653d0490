// Names of certificates: key-ID texts, certificate and user-ID entry DNs,
// DN escaping of user IDs, generalized times and key-type names.
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>

#include "cert/certentry.h"
#include "cert/keysets.h"
#include "ldap/dn.h"
#include "log/eventlog.h"
#include "log/trace.h"
#include "runtime/globals.h"
#include "util/status.h"

namespace kry {

void KeyIDBin2Str(const uint8_t id[8], bool prefix, char* out) {
  static const char kDigits[] = "0123456789ABCDEF";
  char* p = out;
  if (prefix) {
    *p++ = '0';
    *p++ = 'x';
  }
  for (int i = 0; i < 8; ++i) {
    *p++ = kDigits[id[i] >> 4];
    *p++ = kDigits[id[i] & 0x0F];
  }
  *p = '\0';
}

std::string KeyIDBin2Str(const uint8_t id[8], bool prefix) {
  char buf[19];
  KeyIDBin2Str(id, prefix, buf);
  return buf;
}

int CreateKeyDN(const void* keyID, bool rawForm, int location, std::string* dn) {
  try {
    std::string certID = rawForm ? KeyIDBin2Str(static_cast<const uint8_t*>(keyID), false)
                                 : std::string(static_cast<const char*>(keyID));
    *dn = "KRYCERTID=" + certID + "," + (location == kLocationActive ? kActiveDN : kPendingDN);
    dn_normalize(*dn);
    return 0;
  } catch (const std::bad_alloc&) {
    LogError(EVENTLOG_ERROR, "Out of memory");
    return kErrOutOfMemory;
  }
}

namespace {

bool IsDNSpecial(char c) { return c != '\0' && std::strchr(",+=\"\r<>#;", c) != nullptr; }
bool IsDNSpace(char c) { return c == ' ' || c == '\n'; }

// dn_normalize keeps a run of backslashes only before one of + ; , " and
// drops one backslash of a run before any other character (the run after
// every pass, so a DN must not carry such a run at all), and it strips blanks
// and line feeds at both ends of a value. What it would drop or strip is
// written as three backslashes and a separator, a run the plain escape of a
// single special character (one backslash) never writes.
constexpr const char kBackslashMark[] = "\\\\\\+";
constexpr const char kEdgeBlankMark[] = "\\\\\\;";
constexpr const char kEdgeNewlineMark[] = "\\\\\\,";

// The escape of earlier releases: a backslash copied as it was, doubled
// only where it would take the escape after it or the comma after the
// value. Two user IDs could get one DN ("a\" and "a\\").
std::string LegacyEscape(std::string_view userID) {
  std::string out;
  out.reserve(userID.size() * 2 + 1);
  for (size_t i = 0; i < userID.size(); ++i) {
    const char c = userID[i];
    if (c != '\\') {
      if (IsDNSpecial(c)) out += '\\';
      out += c;
    } else if (i + 1 < userID.size() && userID[i + 1] == '\\') {
      out += "\\\\";
      ++i;
    } else {
      out += '\\';
      if (i + 1 == userID.size() || IsDNSpecial(userID[i + 1])) out += '\\';
    }
  }
  return out;
}

}  // namespace

int EscapeDNString(std::string_view userID, std::string* escaped) {
  try {
    size_t first = 0, last = userID.size();
    while (first < last && IsDNSpace(userID[first])) ++first;
    while (last > first && IsDNSpace(userID[last - 1])) --last;
    std::string out;
    out.reserve(userID.size() * 2 + 1);
    for (size_t i = 0; i < userID.size(); ++i) {
      const char c = userID[i];
      const bool edge = i < first || i >= last;
      if (c == '\\') {
        out += kBackslashMark;
      } else if (edge && c == ' ') {
        out += kEdgeBlankMark;
      } else if (edge && c == '\n') {
        out += kEdgeNewlineMark;
      } else {
        if (IsDNSpecial(c)) out += '\\';
        out += c;
      }
    }
    *escaped = std::move(out);
    return 0;
  } catch (const std::bad_alloc&) {
    LogError(EVENTLOG_ERROR, "Memory allocation error.");
    return kLdapServerOutOfMemory;
  }
}

namespace {

// "kryUserID=<escaped>,<certDN>", normalised.
int JoinUserIDDN(const std::string& escaped, const std::string& certDN, std::string* dn) {
  try {
    *dn = "kryUserID=" + escaped + "," + certDN;
    dn_normalize(*dn);
    return 0;
  } catch (const std::bad_alloc&) {
    LogError(EVENTLOG_ERROR, "Memory allocation error.");
    return kLdapServerOutOfMemory;
  }
}

}  // namespace

int LegacyUserIDDN(std::string_view userID, const std::string& certDN, std::string* dn) {
  std::string escaped;
  try {
    escaped = LegacyEscape(userID);
  } catch (const std::bad_alloc&) {
    LogError(EVENTLOG_ERROR, "Memory allocation error.");
    return kLdapServerOutOfMemory;
  }
  return JoinUserIDDN(escaped, certDN, dn);
}

int GetUserIDText(KRYUserIDRef uid, std::string* text) {
  char buf[kUserIDBufferSize];
  size_t length = 0;
  int rc = KRYGetUserIDStringBuffer(uid, buf, sizeof buf, &length);
  if (rc != 0 && rc != kErrBufferTooSmall) return rc;
  // The library counts the terminator; a shortened text fills the buffer.
  text->assign(buf, strnlen(buf, sizeof buf));
  return 0;
}

int CrtUserIDObjDN(KRYUserIDRef uid, const std::string& certDN, std::string* dn) {
  std::string name;
  int rc = GetUserIDText(uid, &name);
  if (rc == kErrUserIDNoName) return 1;
  if (rc != 0) {
    LogError(EVENTLOG_ERROR, "Getting User ID of certificate failed.  Library error: %s.",
             LibraryErrorText(rc).c_str());
    return 1;
  }
  std::string escaped;
  if ((rc = EscapeDNString(name, &escaped)) != 0) return rc;
  return JoinUserIDDN(escaped, certDN, dn);
}

int GetCertID(KRYKeyRef key, std::string* certID) {
  KRYKeyID id;
  int rc = KRYGetKeyIDFromKey(key, &id);
  if (rc != 0) {
    LogError(EVENTLOG_ERROR, "Getting Key ID of certificate failed.  Library error: %s.",
             LibraryErrorText(rc).c_str());
    return 1;
  }
  char text[24];
  if (KRYGetKeyIDString(&id, kKRYKeyIDString_Full, text, sizeof text) != 0 || std::strlen(text) != 18) {
    LogError(EVENTLOG_ERROR, "Memory allocation error.");
    return kLdapServerOutOfMemory;
  }
  certID->assign(text + 2);
  return 0;
}

int KRYTime2GeneralizedTime(KRYTime t, std::string* text) {
  time_t std = static_cast<time_t>(KRYGetStdTimeFromKRYTime(t));
  char buf[16];
  size_t n = 0;
  {
    // One formatter for the whole process, as for every other time text.
    std::unique_lock<std::mutex> lock;
    if (g_globals) lock = std::unique_lock<std::mutex>(g_globals->timeLock);
    struct tm parts;
    if (gmtime_r(&std, &parts)) n = strftime(buf, sizeof buf, "%Y%m%d%H%M%SZ", &parts);
  }
  if (n != 15) {
    LogError(EVENTLOG_INFO, "Invalid time encountered (%d)", static_cast<int>(std));
    return 1;
  }
  text->assign(buf, n);
  return 0;
}

const char* KeyTypeName(int algorithmID) {
  switch (algorithmID) {
    case kKRYPublicKeyAlgorithm_RSA:
      return "RSA";
    case kKRYPublicKeyAlgorithm_DSA:
      return "DSS/DH";
    case kKRYPublicKeyAlgorithm_ECDSA:
      return g_globals && g_globals->AcceptModernKeys ? "ECDSA" : nullptr;
    case kKRYPublicKeyAlgorithm_EdDSA:
      return g_globals && g_globals->AcceptModernKeys ? "EdDSA" : nullptr;
    case kKRYPublicKeyAlgorithm_Ed25519:
      return g_globals && g_globals->AcceptModernKeys ? "Ed25519" : nullptr;
    default:
      return nullptr;
  }
}

bool V6Fingerprint(KRYKeyRef key, std::string* hex) {
  static const char kHex[] = "0123456789ABCDEF";
  int32_t version = 0;
  uint8_t fpr[32];
  size_t len = 0;
  if (KRYGetKeyNumber(key, kKRYKeyProperty_Version, &version) != 0 || version != 6 ||
      KRYGetKeyPropertyBuffer(key, kKRYKeyProperty_Fingerprint, fpr, sizeof fpr, &len) != 0 || len != 32)
    return false;
  hex->clear();
  for (uint8_t b : fpr) (*hex += kHex[b >> 4]) += kHex[b & 15];
  return true;
}

}  // namespace kry
