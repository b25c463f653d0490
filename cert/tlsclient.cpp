#include "cert/tlsclient.h"

#include "runtime/connection.h"
#include "util/strutil.h"

namespace kry {

bool HasTLSClientKey(const Connection* conn) {
  return conn != nullptr && conn->c_tlsSession != nullptr && conn->c_clientKey != nullptr;
}

std::string FullKeyIDText(KRYKeyRef key) {
  KRYKeyID id{};
  if (key == nullptr || KRYGetKeyIDFromKey(key, &id) != kKRYError_NoErr) return std::string();
  char text[32] = {0};
  if (KRYGetKeyIDString(&id, kKRYKeyIDString_Full, text, sizeof text) != kKRYError_NoErr) return std::string();
  const char* digits = (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) ? text + 2 : text;
  std::string out = digits;
  return out.size() == 16 ? ToUpper(out) : std::string();
}

bool KeyIDAllowed(const std::vector<std::string>& allowed, const std::string& fullID, bool acceptShort) {
  if (fullID.size() != 16) return false;
  for (const std::string& id : allowed) {
    if (id.size() == 16 && StrIEquals(id, fullID)) return true;
    if (acceptShort && id.size() == 8 && StrIEquals(id, fullID.substr(8))) return true;
  }
  return false;
}

bool KeyInSet(KRYKeySetRef set, KRYKeyRef key) {
  if (set == nullptr || key == nullptr) return false;
  KRYKeyID id{};
  if (KRYGetKeyIDFromKey(key, &id) != kKRYError_NoErr) return false;
  KRYKeyRef found = nullptr;
  if (KRYGetKeyByKeyID(set, &id, -1, &found) != kKRYError_NoErr || found == nullptr) return false;
  return KRYCompareKeys(found, key, kKRYKeyOrdering_Fingerprint) == 0;
}

}  // namespace kry
