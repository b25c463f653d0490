// krykey: the key library from the command line, for people and tests.
// The output format is described in README.md beside this file.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "platform/pgp/kry.h"
#include "tools/krykey/tlscert.h"

namespace {

std::string ErrText(KRYError e) {
  char buf[128];
  KRYGetErrorString(e, buf, sizeof buf);
  return std::string(buf) + " (" + std::to_string(e) + ")";
}

int Fail(const char* what, KRYError e) {
  std::fprintf(stderr, "krykey: %s: %s\n", what, ErrText(e).c_str());
  return 2;
}

std::string Date(KRYTime t) {
  if (t == 0) return "never";
  time_t tt = time_t(KRYGetStdTimeFromKRYTime(t));
  struct tm tm;
  gmtime_r(&tt, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

std::string Hex(const uint8_t* p, size_t n) {
  std::string s;
  char b[3];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(b, sizeof b, "%02X", p[i]);
    s += b;
  }
  return s;
}

std::string IDText(const KRYKeyID& id) {
  char buf[20];
  if (KRYGetKeyIDString(&id, kKRYKeyIDString_Full, buf, sizeof buf) != 0) return "-";
  return buf + 2;
}

template <typename Obj, typename Fn>
std::string Flags(Obj obj, Fn get, const std::vector<std::pair<int, const char*>>& names) {
  std::string s;
  for (auto& n : names) {
    KRYBoolean b = 0;
    if (get(obj, n.first, &b) == 0 && b) {
      if (!s.empty()) s += ',';
      s += n.second;
    }
  }
  return s.empty() ? "-" : s;
}

const std::vector<std::pair<int, const char*>> kKeyFlags = {
    {kKRYKeyProperty_IsRevoked, "revoked"},
    {kKRYKeyProperty_HasUnverifiedRevocation, "unverified-revocation"},
    {kKRYKeyProperty_IsExpired, "expired"},
    {kKRYKeyProperty_IsSecret, "secret"},
    {kKRYKeyProperty_NeedsPassphrase, "needs-passphrase"},
    {kKRYKeyProperty_CanSign, "sign"},
    {kKRYKeyProperty_CanEncrypt, "encrypt"},
};
const std::vector<std::pair<int, const char*>> kSigFlags = {
    {kKRYSigProperty_IsTried, "tried"},
    {kKRYSigProperty_IsVerified, "verified"},
    {kKRYSigProperty_IsNotCorrupt, "not-corrupt"},
    {kKRYSigProperty_IsExportable, "exportable"},
    {kKRYSigProperty_IsSelfSig, "self"},
    {kKRYSigProperty_IsExpired, "expired"},
    {kKRYSigProperty_HasUnverifiedRevocation, "revocation"},
    {kKRYSigProperty_IsRevoked, "revoked"},
};

void PrintSig(KRYSigRef sig, const char* indent) {
  int32_t type = 0, alg = 0, hash = 0;
  KRYTime created = 0, expires = 0;
  KRYKeyID certifier;
  KRYGetSigNumber(sig, kKRYSigProperty_Type, &type);
  KRYGetSigNumber(sig, kKRYSigProperty_AlgorithmID, &alg);
  KRYGetSigNumber(sig, kKRYSigProperty_HashAlgorithm, &hash);
  KRYGetSigTime(sig, kKRYSigProperty_Creation, &created);
  KRYGetSigTime(sig, kKRYSigProperty_Expiration, &expires);
  std::string who = KRYGetKeyIDOfCertifier(sig, &certifier) == 0 ? IDText(certifier) : "-";
  std::printf("%ssig type=0x%02x certifier=%s alg=%d hash=%d created=%s expires=%s flags=%s\n",
              indent, unsigned(type), who.c_str(), alg, hash, Date(created).c_str(),
              Date(expires).c_str(), Flags(sig, KRYGetSigBoolean, kSigFlags).c_str());
}

template <typename Obj, typename Num, typename Tm, typename Buf, typename Bool>
void PrintKeyLine(const char* kind, Obj obj, const KRYKeyID& id, Num num, Tm tm, Buf buf,
                  Bool boolean) {
  int32_t alg = 0, bits = 0, version = 0;
  KRYTime created = 0, expires = 0;
  uint8_t fpr[32];
  size_t fprLen = 0;
  num(obj, kKRYKeyProperty_AlgorithmID, &alg);
  num(obj, kKRYKeyProperty_Bits, &bits);
  num(obj, kKRYKeyProperty_Version, &version);
  tm(obj, kKRYKeyProperty_Creation, &created);
  tm(obj, kKRYKeyProperty_Expiration, &expires);
  buf(obj, kKRYKeyProperty_Fingerprint, fpr, sizeof fpr, &fprLen);
  std::printf("%s %s fpr=%s v=%d alg=%d bits=%d created=%s expires=%s flags=%s\n", kind,
              IDText(id).c_str(), Hex(fpr, fprLen).c_str(), version, alg, bits,
              Date(created).c_str(), Date(expires).c_str(), Flags(obj, boolean, kKeyFlags).c_str());
}

void List(KRYKeySetRef set) {
  KRYKeyListRef list;
  KRYKeyIterRef it;
  if (KRYOrderKeySet(set, kKRYKeyOrdering_Any, &list) != 0) return;
  KRYNewKeyIter(list, &it);
  KRYKeyRef key;
  while (KRYKeyIterNext(it, &key) == 0) {
    KRYKeyID id;
    KRYGetKeyIDFromKey(key, &id);
    PrintKeyLine("key", key, id, KRYGetKeyNumber, KRYGetKeyTime, KRYGetKeyPropertyBuffer,
                 KRYGetKeyBoolean);
    int revokers = 0;
    KRYCountRevocationKeys(key, &revokers);
    for (int i = 0; i < revokers; ++i) {
      KRYKeyID rid;
      if (KRYGetIndexedRevocationKey(key, nullptr, i, nullptr, &rid) == 0)
        std::printf("  revoker %s\n", IDText(rid).c_str());
    }
    KRYSigRef sig;
    while (KRYKeyIterNextKeySig(it, &sig) == 0) PrintSig(sig, "  ");
    KRYUserIDRef uid;
    while (KRYKeyIterNextUserID(it, &uid) == 0) {
      char name[1024];
      int32_t attr = 0;
      KRYGetUserIDNumber(uid, kKRYUserIDProperty_AttributeType, &attr);
      KRYError e = KRYGetUserIDStringBuffer(uid, name, sizeof name, nullptr);
      if (e == kKRYError_UserIDNoName)
        std::printf("  attribute type=%d\n", attr);
      else
        std::printf("  uid \"%s\"\n", name);
      while (KRYKeyIterNextUIDSig(it, &sig) == 0) PrintSig(sig, "    ");
    }
    KRYSubKeyRef sub;
    while (KRYKeyIterNextSubKey(it, &sub) == 0) {
      KRYKeyID sid{};
      KRYGetKeyIDFromSubKey(sub, &sid);
      std::printf("  ");
      PrintKeyLine("sub", sub, sid, KRYGetSubKeyNumber, KRYGetSubKeyTime,
                   KRYGetSubKeyPropertyBuffer, KRYGetSubKeyBoolean);
      while (KRYKeyIterNextSubKeySig(it, &sig) == 0) PrintSig(sig, "    ");
    }
  }
  KRYFreeKeyIter(it);
  KRYFreeKeyList(list);
}

KRYError Load(KRYContextRef ctx, const char* path, KRYKeySetRef* out) {
  KRYImportOptions o{};
  o.inputFile = path;
  return KRYImportKeySet(ctx, &o, out);
}

int Usage() {
  std::fprintf(stderr,
               "usage: krykey list FILE...\n"
               "       krykey verify KEYRING MESSAGE\n"
               "       krykey merge [--format 1|255] [--secret] FILE...\n"
               "       krykey export [--format 1|255] [--secret] [--binary] FILE...\n"
               "       krykey unlock FILE PASSPHRASE\n"
               "       krykey tls-cert SECRET-KEY-FILE [--keyid ID] [--passphrase-file FILE] [--public] "
               "[--out PREFIX]\n");
  return 2;
}

struct Session {
  KRYContextRef ctx = nullptr;
  Session() {
    KRYsdkInit(0);
    KRYNewContext(kKRYsdkAPIVersion, &ctx);
  }
  ~Session() {
    KRYFreeContext(ctx);
    KRYsdkCleanup();
  }
};

KRYError OnEvent(KRYContextRef, const KRYEvent* ev, void* ud) {
  if (ev->type != kKRYEvent_Signature) return 0;
  const KRYSignatureEventData& s = ev->signatureData;
  std::printf("signature signer=%s created=%s type=0x%02x checked=%d verified=%d\n",
              IDText(s.signingKeyID).c_str(), Date(s.creationTime).c_str(), unsigned(s.sigType),
              s.checked, s.verified);
  int* allGood = static_cast<int*>(ud);
  if (!(s.checked && s.verified)) *allGood = 0;
  ++allGood[1];
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  std::string cmd = argv[1];
  Session s;
  if (s.ctx == nullptr) return Fail("context", kKRYError_NotInitialized);
  if (cmd == "tls-cert") return TLSCertCommand(s.ctx, argc - 2, argv + 2);
  if (cmd == "list") {
    for (int i = 2; i < argc; ++i) {
      KRYKeySetRef set;
      KRYError e = Load(s.ctx, argv[i], &set);
      if (e != 0) return Fail(argv[i], e);
      List(set);
      KRYFreeKeySet(set);
    }
    return 0;
  }
  if (cmd == "verify") {
    if (argc != 4) return Usage();
    KRYKeySetRef ring;
    KRYError e = Load(s.ctx, argv[2], &ring);
    if (e != 0) return Fail(argv[2], e);
    std::FILE* f = std::fopen(argv[3], "rb");
    if (f == nullptr) return Fail(argv[3], kKRYError_FileNotFound);
    std::string data;
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) data.append(buf, n);
    std::fclose(f);
    int result[2] = {1, 0};
    KRYDecodeOptions o{};
    o.inputBuffer = data.data();
    o.inputLength = data.size();
    o.keySet = ring;
    o.eventHandler = OnEvent;
    o.eventUserData = result;
    o.discardOutput = 1;
    e = KRYDecode(s.ctx, &o);
    KRYFreeKeySet(ring);
    if (e != 0) return Fail(argv[3], e);
    if (result[1] == 0) std::printf("unsigned\n");
    return result[0] && result[1] ? 0 : 1;
  }
  if (cmd == "merge" || cmd == "export") {
    int format = kKRYExportFormat_Complete;
    KRYBoolean secret = 0, binary = 0;
    KRYKeySetRef all;
    KRYNewKeySet(s.ctx, &all);
    int files = 0;
    for (int i = 2; i < argc; ++i) {
      if (!std::strcmp(argv[i], "--format") && i + 1 < argc) {
        format = std::atoi(argv[++i]);
      } else if (!std::strcmp(argv[i], "--secret")) {
        secret = 1;
      } else if (!std::strcmp(argv[i], "--binary")) {
        binary = 1;
      } else {
        KRYKeySetRef set;
        KRYError e = Load(s.ctx, argv[i], &set);
        if (e != 0) return Fail(argv[i], e);
        e = KRYAddKeys(set, all);
        KRYFreeKeySet(set);
        if (e != 0) return Fail("merge", e);
        ++files;
      }
    }
    if (files == 0) return Usage();
    char* out = nullptr;
    size_t len = 0;
    KRYError e = KRYExportKeySetAlloc(all, format, secret, binary, &out, &len);
    if (e != 0) return Fail("export", e);
    std::fwrite(out, 1, len, stdout);
    KRYFreeData(out);
    return 0;
  }
  if (cmd == "unlock") {
    if (argc != 4) return Usage();
    KRYKeySetRef set;
    KRYError e = Load(s.ctx, argv[2], &set);
    if (e != 0) return Fail(argv[2], e);
    KRYKeyListRef list;
    KRYKeyIterRef it;
    KRYOrderKeySet(set, kKRYKeyOrdering_Any, &list);
    KRYNewKeyIter(list, &it);
    KRYKeyRef key;
    int bad = 0;
    while (KRYKeyIterNext(it, &key) == 0) {
      KRYKeyID id;
      KRYGetKeyIDFromKey(key, &id);
      e = KRYPassphraseIsValid(key, argv[3]);
      std::printf("%s %s\n", IDText(id).c_str(), e == 0 ? "unlocked" : ErrText(e).c_str());
      bad |= e != 0;
    }
    return bad ? 1 : 0;
  }
  return Usage();
}
