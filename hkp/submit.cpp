#include "hkp/submit.h"

#include "cert/addkey.h"
#include "cert/blockpurge.h"
#include "cert/kryhandles.h"
#include "hkp/directory.h"
#include "ldap/add.h"
#include "ldap/ber.h"
#include "ldap/result.h"
#include "log/eventlog.h"
#include "platform/pgp/kry.h"
#include "runtime/connection.h"

namespace kry {

namespace {

constexpr ber_tag_t kAddTag = 0x68;
// Result of an add whose certificate is already stored unchanged.
constexpr int kUnchanged = 68;
// Result of an add that failed policy and waits for approval.
constexpr int kAwaitingApproval = 49;
// Result of a key block that could not be read or failed its checks.
constexpr int kInvalidKey = 21;

// One key of `set` as its own armoured block; empty on failure.
std::string ExportOne(KRYKeyRef key) {
  KeySetHolder one;
  if (KRYNewSingletonKeySet(key, one.out()) != 0) return std::string();
  char* data = nullptr;
  size_t length = 0;
  if (KRYExportKeySetAlloc(one.get(), kKRYExportFormat_Complete, false, false, &data, &length) != 0 || !data)
    return std::string();
  std::string block(data, length);
  KRYFreeData(data);
  return block;
}

std::string AddRequest(const std::string& block) {
  BerBufferPtr b = ber_alloc_ptr(BER_OPTION_DER);
  if (!b || ber_printf(b.get(), "t{s{{s[o]}}}", kAddTag, kVirtualKeyDN, "kryKey", block.data(),
                       static_cast<int>(block.size())) == -1)
    return std::string();
  return std::string(reinterpret_cast<const char*>(b->buffer()), b->current);
}

}  // namespace

std::vector<std::string> SplitKeyText(Connection* conn, const std::string& keytext) {
  return SplitKeyBlocks(HkpKeyContext(conn), keytext);
}

std::vector<std::string> SplitKeyBlocks(KRYContextRef context, const std::string& keytext) {
  KeySetHolder set;
  // Only split here: each block's signatures are checked by its own add,
  // and checking them here as well would double the cost of a submission.
  KRYImportOptions in{keytext.data(), keytext.size(), nullptr};
  int count = 0;
  if (!context || KRYImportKeySetUnchecked(context, &in, set.out()) != 0 || KRYCountKeys(set.get(), &count) != 0 ||
      count < 2)
    return {keytext};
  std::vector<std::string> blocks;
  KeyWalk walk;
  if (walk.Open(set.get()) != 0) return {keytext};
  for (KRYKeyRef key = walk.key(); key;) {
    std::string block = ExportOne(key);
    if (block.empty()) return {keytext};
    blocks.push_back(std::move(block));
    if (KRYKeyIterNext(walk.iter(), &key) != 0) break;
  }
  return blocks.empty() ? std::vector<std::string>{keytext} : blocks;
}

std::string HkpResultText(int ldapResult) {
  // The add pipeline leaves some results without a text, as LDAP clients
  // read the code; an HTTP client reads the line, which must say what
  // happened to the key.
  switch (ldapResult) {
    case LDAP_SUCCESS:
      return "Stored.";
    case kUnchanged:
      return "Certificate has not changed.";
    case kAwaitingApproval:
      return "Due to certificate not passing policy, its addition is awaiting approval.";
    case kInvalidKey:
      return "The key block is invalid and was not stored.";
    default:
      break;
  }
  const char* mapped = MapErrorCodeToMsg(ldapResult);
  return mapped ? std::string(mapped) : "The key was not stored.";
}

int HkpAddStatus(int ldapResult) {
  switch (ldapResult) {
    case LDAP_SUCCESS:
    case kUnchanged:
      return 200;
    case kAwaitingApproval:
      return 202;
    case LDAP_STRONG_AUTH_REQUIRED:
    case LDAP_INSUFFICIENT_ACCESS:
    case LDAP_UNWILLING_TO_PERFORM:
      return 403;
    case LDAP_SERVER_OUT_OF_MEMORY:
      return 500;
    default:
      return 422;
  }
}

int HkpSubmitKey(Connection* conn, const std::string& block, std::string* line) {
  HkpOutcome out;
  const std::string op = AddRequest(block);
  if (op.empty() || !RunHkpRequest(conn, HkpLdapMessage(op), &out) || out.code < 0) {
    LogError(EVENTLOG_ERROR, "HKP submission could not be run as a directory add.");
    *line = "The key could not be submitted.";
    return -1;
  }
  const std::string id = out.logDetail.certID.empty() ? std::string("key") : "0x" + out.logDetail.certID;
  *line = id + ": " + std::to_string(out.code) + " " + (out.text.empty() ? HkpResultText(out.code) : out.text);
  HkpAccessLog(conn, out.logType, out.logDetail, 0, out.start, out.code);
  // A blocked key is gone for good, which HTTP says with 410.
  return out.code == LDAP_INSUFFICIENT_ACCESS && out.text == kBlockedKeyText ? kBlockedResult : out.code;
}

HkpAnswer HkpSubmit(Connection* conn, const std::string& keytext) {
  HkpAnswer a;
  a.status = 0;
  bool pending = false;
  for (const std::string& block : SplitKeyText(conn, keytext)) {
    std::string line;
    const int code = HkpSubmitKey(conn, block, &line);
    const int status = code < 0 ? 500 : code == kBlockedResult ? 410 : HkpAddStatus(code);
    a.body += line + "\n";
    pending = pending || status == 202;
    if (status >= 300 && (a.status == 0 || a.status < 300)) a.status = status;
  }
  if (a.status == 0) a.status = pending ? 202 : 200;
  return a;
}

}  // namespace kry
