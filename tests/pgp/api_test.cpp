// The library's interface: key IDs, error texts, memory, key sets and
// iterators, edits, export buffers, passphrase sources, secret-key
// protection variants and independent contexts on several threads.
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <cstring>
#include <thread>

#include "platform/pgp/keyblock.h"
#include "platform/pgp/packet.h"
#include "platform/pgp/pubkey.h"
#include "tests/pgp/testutil.h"

using namespace pgptest;

namespace {

TEST(KeyIDs, TextFormsAndParsing) {
  KRYKeyID id{};
  id.bytes[0] = 8;
  const uint8_t raw[8] = {0x0F, 0xA0, 0x00, 0x01, 0x23, 0x45, 0x67, 0x89};
  std::memcpy(id.bytes + 2, raw, 8);
  char buf[20];
  ASSERT_EQ(0, KRYGetKeyIDString(&id, kKRYKeyIDString_Full, buf, sizeof buf));
  EXPECT_STREQ("0x0FA0000123456789", buf);
  ASSERT_EQ(0, KRYGetKeyIDString(&id, kKRYKeyIDString_Abbreviated, buf, sizeof buf));
  EXPECT_STREQ("0x23456789", buf);
  EXPECT_EQ(kKRYError_BufferTooSmall, KRYGetKeyIDString(&id, kKRYKeyIDString_Full, buf, 10));
  EXPECT_STREQ("0x0FA0000", buf);

  KRYKeyID parsed, shortID;
  ASSERT_EQ(0, KRYGetKeyIDFromString("0x0fa0000123456789", &parsed));
  EXPECT_EQ(0, KRYCompareKeyIDs(&id, &parsed));
  ASSERT_EQ(0, KRYGetKeyIDFromString("23456789", &shortID));
  EXPECT_EQ(0, KRYCompareKeyIDs(&id, &shortID));
  ASSERT_EQ(0, KRYGetKeyIDFromString("0x23456788", &shortID));
  EXPECT_NE(0, KRYCompareKeyIDs(&id, &shortID));
  for (const char* bad : {"", "0x", "0x1234567", "0x123456789", "0xG234567812345678", "0x 2345678"})
    EXPECT_EQ(kKRYError_BadParams, KRYGetKeyIDFromString(bad, &parsed)) << bad;
}

TEST(Errors, SharedCodesHaveTextsAndShortBuffersAreReported) {
  const int codes[] = {-11999, -11998, -11997, -11987, -11986, -11984, -11980, -11978,
                       -11494, -11491, -11479, -11402, -11318, -11086};
  char buf[100];
  for (int c : codes) {
    ASSERT_EQ(0, KRYGetErrorString(c, buf, sizeof buf));
    EXPECT_EQ(nullptr, std::strstr(buf, "Unknown")) << c;
  }
  EXPECT_EQ(0, KRYGetErrorString(-1, buf, sizeof buf));
  EXPECT_STREQ("Unknown error (-1)", buf);
  EXPECT_EQ(kKRYError_BufferTooSmall, KRYGetErrorString(-11999, buf, 4));
  EXPECT_STREQ("Out", buf);
}

TEST(Memory, ManagerCountsBlocksAndGrowsThem) {
  KRYMemoryMgrRef mgr;
  ASSERT_EQ(0, KRYNewMemoryMgr(0, &mgr));
  ASSERT_EQ(0, KRYSetDefaultMemoryMgr(mgr));
  EXPECT_EQ(mgr, KRYGetDefaultMemoryMgr());
  void* p = KRYNewData(nullptr, 16, kKRYMemoryFlag_Clear);
  ASSERT_NE(nullptr, p);
  EXPECT_EQ(0, static_cast<char*>(p)[15]);
  std::memcpy(p, "0123456789abcdef", 16);
  ASSERT_EQ(0, KRYReallocData(nullptr, &p, 1 << 20, kKRYMemoryFlag_Clear));
  EXPECT_EQ(0, std::memcmp(p, "0123456789abcdef", 16));
  EXPECT_EQ(0, static_cast<char*>(p)[(1 << 20) - 1]);
  EXPECT_EQ(1, KRYMemoryMgrLiveBlocks(mgr));
  KRYFreeData(p);
  EXPECT_EQ(0, KRYMemoryMgrLiveBlocks(mgr));
  EXPECT_EQ(0, KRYFreeMemoryMgr(mgr));
  EXPECT_NE(mgr, KRYGetDefaultMemoryMgr());
}

TEST(Algorithms, TableListsTheSupportedPublicKeyAlgorithms) {
  int n = 0;
  ASSERT_EQ(0, KRYCountPublicKeyAlgorithms(&n));
  std::set<int> ids;
  for (int i = 0; i < n; ++i) {
    KRYPublicKeyAlgorithmInfo info;
    ASSERT_EQ(0, KRYGetIndexedPublicKeyAlgorithmInfo(i, &info));
    ids.insert(info.algID);
  }
  EXPECT_EQ((std::set<int>{1, 16, 17, 18, 19, 22}), ids);
  KRYPublicKeyAlgorithmInfo info;
  EXPECT_EQ(kKRYError_ItemNotFound, KRYGetIndexedPublicKeyAlgorithmInfo(n, &info));
  EXPECT_TRUE(KRYGlobalRandomPoolHasMinimumEntropy());
  EXPECT_GE(KRYGlobalRandomPoolGetEntropy(), KRYGlobalRandomPoolGetMinimumEntropy());
  EXPECT_EQ(0, KRYGlobalRandomPoolAddKeystroke(42));
  uint8_t a[32] = {0}, b[32] = {0};
  EXPECT_EQ(0, KRYGlobalRandomPoolGetBytes(a, sizeof a));
  EXPECT_EQ(0, KRYGlobalRandomPoolGetBytes(b, sizeof b));
  EXPECT_NE(0, std::memcmp(a, b, sizeof a));
}

class Api : public Lib {};

TEST_F(Api, LookupsByFullAndShortIDIncludingSubkeys) {
  KRYKeySetRef set = ImportFile("two-keys.asc");
  int n = 0;
  KRYCountKeys(set, &n);
  EXPECT_EQ(2, n);
  set = ImportFile("ed25519.asc");
  KRYKeySetRef rsa = ImportFile("rsa.asc");
  KRYKeyRef key, found;
  key = Keys(rsa).at(0);
  KRYKeyID id;
  ASSERT_EQ(0, KRYGetKeyIDFromString(("0x" + corpus::ShortId("rsa")).c_str(), &id));
  ASSERT_EQ(0, KRYGetKeyByKeyID(rsa, &id, -1, &found));
  EXPECT_EQ(key, found);
  EXPECT_EQ(kKRYError_ItemNotFound, KRYGetKeyByKeyID(rsa, &id, 17, &found));
  EXPECT_EQ(nullptr, found);
  // The subkey, by the ID GnuPG gives it.
  GpgHome gpg;
  std::istringstream listing(gpg.Gpg("--with-colons --show-keys " + Corpus("rsa.asc")));
  std::string line, subkey;
  while (subkey.empty() && std::getline(listing, line)) {
    if (line.rfind("sub:", 0) != 0) continue;
    std::istringstream fields(line);
    for (int i = 0; i < 5 && std::getline(fields, subkey, ':'); ++i) {
    }
  }
  ASSERT_EQ(0, KRYGetKeyIDFromString(subkey.c_str(), &id)) << subkey;
  ASSERT_EQ(0, KRYGetKeyByKeyID(rsa, &id, -1, &found));
  EXPECT_EQ(key, found);
  EXPECT_FALSE(KRYKeySetIsMember(key, set));
  KRYKeySetRef single;
  ASSERT_EQ(0, KRYNewSingletonKeySet(key, &single));
  KRYCountKeys(single, &n);
  EXPECT_EQ(1, n);
  EXPECT_TRUE(KRYKeySetIsMember(key, single));
  EXPECT_EQ(0, KRYCompareKeys(key, Keys(single).at(0), kKRYKeyOrdering_Fingerprint));
}

TEST_F(Api, RemovedSignaturesAndUserIDsLeaveTheExport) {
  KRYKeySetRef set = ImportFile("multi-uid.asc");
  KRYKeyListRef list = nullptr;
  KRYKeyIterRef it = nullptr;
  KRYOrderKeySet(set, kKRYKeyOrdering_UserID, &list);
  KRYNewKeyIter(list, &it);
  KRYKeyRef key;
  ASSERT_EQ(0, KRYKeyIterNext(it, &key));
  KRYUserIDRef uid;
  std::vector<std::string> names;
  while (KRYKeyIterNextUserID(it, &uid) == 0) {
    char buf[256];
    ASSERT_EQ(0, KRYGetUserIDStringBuffer(uid, buf, sizeof buf, nullptr));
    names.push_back(buf);
  }
  ASSERT_EQ(3u, names.size());
  // Remove the second user ID while walking, and the first one's signature.
  KRYKeyIterRewindUserID(it);
  ASSERT_EQ(0, KRYKeyIterNextUserID(it, &uid));
  KRYSigRef sig;
  ASSERT_EQ(0, KRYKeyIterNextUIDSig(it, &sig));
  EXPECT_EQ(0, KRYRemoveSig(sig));
  EXPECT_EQ(kKRYError_EndOfIteration, KRYKeyIterNextUIDSig(it, &sig));
  ASSERT_EQ(0, KRYKeyIterNextUserID(it, &uid));
  EXPECT_EQ(0, KRYRemoveUserID(uid));
  ASSERT_EQ(0, KRYKeyIterNextUserID(it, &uid));
  EXPECT_EQ(kKRYError_EndOfIteration, KRYKeyIterNextUserID(it, &uid));
  EXPECT_EQ(nullptr, uid);
  int32_t count = 0;
  KRYGetKeyNumber(key, kKRYKeyProperty_UserIDCount, &count);
  EXPECT_EQ(2, count);
  KRYFreeKeyIter(it);
  KRYFreeKeyList(list);

  KRYKeySetRef again = ImportText(Export(set, kKRYExportFormat_Complete));
  key = Keys(again).at(0);
  KRYGetKeyNumber(key, kKRYKeyProperty_UserIDCount, &count);
  EXPECT_EQ(2, count);
  std::string listing = Export(again, kKRYExportFormat_Complete);
  KRYOrderKeySet(again, kKRYKeyOrdering_Any, &list);
  KRYNewKeyIter(list, &it);
  KRYKeyIterNext(it, &key);
  KRYKeyIterNextUserID(it, &uid);
  KRYGetUserIDNumber(uid, kKRYUserIDProperty_SigCount, &count);
  EXPECT_EQ(0, count);
  KRYFreeKeyIter(it);
  KRYFreeKeyList(list);
  // Merging the original back restores what was removed.
  KRYKeySetRef orig = ImportFile("multi-uid.asc");
  ASSERT_EQ(0, KRYAddKeys(orig, again));
  EXPECT_EQ(Export(orig, kKRYExportFormat_Complete).size(),
            Export(again, kKRYExportFormat_Complete).size());
  KRYGetKeyNumber(Keys(again).at(0), kKRYKeyProperty_UserIDCount, &count);
  EXPECT_EQ(3, count);
}

TEST_F(Api, ExportReportsTheLengthItNeeds) {
  KRYKeySetRef set = ImportFile("rsa.asc");
  std::vector<char> buf(100);
  size_t len = 0;
  KRYExportOptions o{};
  o.format = kKRYExportFormat_Basic;
  o.outputBuffer = buf.data();
  o.outputSize = buf.size();
  o.outputLength = &len;
  ASSERT_EQ(kKRYError_OutputBufferTooSmall, KRYExportKeySet(set, &o));
  ASSERT_GT(len, 100u);
  buf.resize(len + 1);
  o.outputBuffer = buf.data();
  o.outputSize = buf.size();
  ASSERT_EQ(0, KRYExportKeySet(set, &o));
  EXPECT_EQ(0, std::strncmp(buf.data(), "-----BEGIN PGP PUBLIC KEY BLOCK-----\n", 37));
  EXPECT_EQ('\0', buf[len]);
  o.format = 7;
  EXPECT_EQ(kKRYError_BadParams, KRYExportKeySet(set, &o));
}

TEST_F(Api, KeyRingFilesOpenAndCommit) {
  KRYFileSpecRef fileSpec = nullptr;
  EXPECT_EQ(kKRYError_FileNotFound,
            KRYNewFileSpecFromFullPath(ctx, "/nonexistent/ring.pkr", &fileSpec));
  char dir[] = "/tmp/krypgp-ring-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(dir));
  std::string path = std::string(dir) + "/ring.pkr";
  WriteFile(path, ReadFile(Corpus("server-pubring.pkr")));
  ASSERT_EQ(0, KRYNewFileSpecFromFullPath(ctx, path.c_str(), &fileSpec));
  KRYKeySetRef ring;
  ASSERT_EQ(0, KRYOpenKeyRing(ctx, fileSpec, kKRYOpenKeyRing_Writable, &ring));
  KRYKeySetRef rsa = ImportFile("rsa.asc");
  ASSERT_EQ(0, KRYAddKeys(rsa, ring));
  ASSERT_EQ(0, KRYCommitKeyRingChanges(ring));
  KRYKeySetRef reread;
  ASSERT_EQ(0, KRYOpenKeyRing(ctx, fileSpec, 0, &reread));
  int n = 0;
  KRYCountKeys(reread, &n);
  EXPECT_EQ(5, n);
  KRYFreeFileSpec(fileSpec);
  pgptest::Run(std::string("rm -rf ") + dir);
}

TEST_F(Api, PassphraseSourcesAndTheirRules) {
  KRYKeySetRef set = ImportFile("server-secring-protected.skr");
  KRYKeySetRef none = ImportFile("rsa.asc");
  char* pass = nullptr;
  KRYKeyRef key = nullptr;
  KRYPassphraseDialogOptions o{};
  o.outputPassphrase = &pass;
  o.findMatchingKey = 1;
  EXPECT_EQ(kKRYError_NoPrivateKey, KRYSigningPassphraseDialog(ctx, none, &key, &o));
  ASSERT_EQ(0, KRYSetPassphraseSource(kKRYPassphraseSource_None, nullptr));
  EXPECT_EQ(kKRYError_PassphraseUnavailable, KRYSigningPassphraseDialog(ctx, set, &key, &o));
  setenv("KRYPGP_TEST_PASS", "server secret", 1);
  ASSERT_EQ(0, KRYSetPassphraseSource(kKRYPassphraseSource_Env, "KRYPGP_TEST_PASS"));
  ASSERT_EQ(0, KRYSigningPassphraseDialog(ctx, set, &key, &o));
  EXPECT_STREQ("server secret", pass);
  EXPECT_EQ(Keys(set).at(0), key);
  KRYFreeData(pass);
  setenv("KRYPGP_TEST_PASS", "nope", 1);
  EXPECT_EQ(kKRYError_BadPassphrase, KRYSigningPassphraseDialog(ctx, set, &key, &o));
  EXPECT_EQ(nullptr, pass);
  char file[] = "/tmp/krypgp-pass-XXXXXX";
  int fd = mkstemp(file);
  ASSERT_GE(fd, 0);
  close(fd);
  WriteFile(file, "server secret\n");
  ASSERT_EQ(0, KRYSetPassphraseSource(kKRYPassphraseSource_File, file));
  EXPECT_EQ(0, KRYSigningPassphraseDialog(ctx, set, &key, &o));
  KRYFreeData(pass);
  WriteFile(file, "");  // nothing to read: the person gave up
  EXPECT_EQ(kKRYError_UserAbort, KRYSigningPassphraseDialog(ctx, set, &key, &o));
  unlink(file);
  KRYSetPassphraseSource(kKRYPassphraseSource_Terminal, nullptr);
  unsetenv("KRYPGP_TEST_PASS");
}

// Re-protects an unprotected secret key with each cipher and S2K kind the
// library reads, the way RFC 4880 3.7 and 5.5.3 describe, and unlocks it.
krypgp::Bytes Protect(const krypgp::Bytes& body, int cipherId, const char* cipherName,
                      size_t keyLen, size_t blockLen, int s2kType, int usage, const char* pass) {
  krypgp::PublicKeyInfo info;
  size_t publicLen = 0;
  EXPECT_EQ(0, krypgp::ParsePublicKey(body, &info, &publicLen));
  EXPECT_EQ(0, body[publicLen]);  // unprotected to begin with
  krypgp::Bytes secret(body.begin() + publicLen + 1, body.end() - 2);
  krypgp::Bytes plain = secret;
  if (usage == 254) {
    uint8_t sha[20];
    unsigned int n;
    EVP_Digest(secret.data(), secret.size(), sha, &n, EVP_sha1(), nullptr);
    plain.insert(plain.end(), sha, sha + 20);
  } else {
    uint32_t sum = 0;
    for (uint8_t c : secret) sum += c;
    plain.push_back(uint8_t(sum >> 8));
    plain.push_back(uint8_t(sum));
  }
  uint8_t salt[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  uint8_t countByte = 0x10;  // 16+0 << (1+6) = 2048 bytes
  size_t count = 2048;
  krypgp::Bytes material;
  if (s2kType != 0) material.assign(salt, salt + 8);
  const std::string passText(pass);
  material.insert(material.end(), passText.begin(), passText.end());
  size_t total = s2kType == 3 ? std::max(count, material.size()) : material.size();
  krypgp::Bytes key;
  for (int round = 0; key.size() < keyLen; ++round) {
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    EVP_DigestInit_ex(md, EVP_sha256(), nullptr);
    for (int z = 0; z < round; ++z) EVP_DigestUpdate(md, "\0", 1);
    for (size_t left = total; left > 0;) {
      size_t n = std::min(left, material.size());
      EVP_DigestUpdate(md, material.data(), n);
      left -= n;
    }
    uint8_t out[32];
    unsigned int olen;
    EVP_DigestFinal_ex(md, out, &olen);
    EVP_MD_CTX_free(md);
    key.insert(key.end(), out, out + olen);
  }
  key.resize(keyLen);
  krypgp::Bytes iv(blockLen, 0x5A);
  // CAST5 and Blowfish are in OpenSSL's legacy provider; the test loads it
  // into a context of its own, as the library does.
  static OSSL_LIB_CTX* legacy = [] {
    OSSL_LIB_CTX* l = OSSL_LIB_CTX_new();
    OSSL_PROVIDER_load(l, "legacy");
    OSSL_PROVIDER_load(l, "default");
    return l;
  }();
  EVP_CIPHER* c = EVP_CIPHER_fetch(nullptr, cipherName, nullptr);
  if (c == nullptr) c = EVP_CIPHER_fetch(legacy, cipherName, nullptr);
  EXPECT_NE(nullptr, c) << cipherName;
  EVP_CIPHER_CTX* cc = EVP_CIPHER_CTX_new();
  krypgp::Bytes enc(plain.size() + 32);
  int l1 = 0, l2 = 0;
  EVP_EncryptInit_ex(cc, c, nullptr, key.data(), iv.data());
  EVP_EncryptUpdate(cc, enc.data(), &l1, plain.data(), int(plain.size()));
  EVP_EncryptFinal_ex(cc, enc.data() + l1, &l2);
  enc.resize(size_t(l1 + l2));
  EVP_CIPHER_CTX_free(cc);
  EVP_CIPHER_free(c);
  krypgp::Bytes out(body.begin(), body.begin() + publicLen);
  out.push_back(uint8_t(usage));
  out.push_back(uint8_t(cipherId));
  out.push_back(uint8_t(s2kType));
  out.push_back(8);  // SHA-256
  if (s2kType != 0) out.insert(out.end(), salt, salt + 8);
  if (s2kType == 3) out.push_back(countByte);
  out.insert(out.end(), iv.begin(), iv.end());
  out.insert(out.end(), enc.begin(), enc.end());
  return out;
}

TEST_F(Api, SecretKeyProtectionVariantsUnlock) {
  std::string text = ReadFile(Corpus("ed25519-secret.asc"));
  KRYKeySetRef orig = ImportText(text);
  krypgp::Bytes bin;
  {
    char* p;
    size_t n;
    ASSERT_EQ(0, KRYExportKeySetAlloc(orig, 255, 1, 1, &p, &n));
    bin.assign(p, p + n);
    KRYFreeData(p);
  }
  std::vector<krypgp::Packet> packets;
  ASSERT_EQ(0, krypgp::ParsePackets(bin.data(), bin.size(), &packets));
  ASSERT_EQ(krypgp::kTagSecretKey, packets[0].tag);
  struct C {
    int id;
    const char* name;
    size_t key, block;
  };
  const C ciphers[] = {{2, "DES-EDE3-CFB", 24, 8},  {3, "CAST5-CFB", 16, 8},
                       {4, "BF-CFB", 16, 8},        {7, "AES-128-CFB", 16, 16},
                       {8, "AES-192-CFB", 24, 16},  {9, "AES-256-CFB", 32, 16}};
  for (const C& c : ciphers) {
    for (int s2k : {0, 1, 3}) {
      for (int usage : {254, 255}) {
        std::vector<krypgp::Packet> changed = packets;
        changed[0].body = Protect(packets[0].body, c.id, c.name, c.key, c.block, s2k, usage, "pw");
        changed[0].header.clear();
        krypgp::Bytes out;
        for (auto& p : changed) krypgp::WritePacket(p, &out);
        KRYKeySetRef set = ImportText(std::string(out.begin(), out.end()));
        ASSERT_NE(nullptr, set);
        KRYKeyRef k = Keys(set).at(0);
        KRYBoolean needs = 0;
        KRYGetKeyBoolean(k, kKRYKeyProperty_NeedsPassphrase, &needs);
        EXPECT_TRUE(needs);
        EXPECT_EQ(0, KRYPassphraseIsValid(k, "pw")) << c.name << " s2k " << s2k << " " << usage;
        EXPECT_EQ(kKRYError_BadPassphrase, KRYPassphraseIsValid(k, "pW")) << c.name;
        evp_pkey_st* pk = nullptr;
        EXPECT_EQ(0, KRYGetPrivateKeyEVP(k, "pw", &pk));
        EVP_PKEY_free(pk);
        KRYFreeKeySet(set);
      }
    }
  }
}

// Contexts share nothing: several threads import, merge, check and export
// at once, each in its own context.
TEST(Contexts, IndependentContextsRunInParallel) {
  ASSERT_EQ(0, KRYsdkInit(0));
  std::string block = ReadFile(Corpus("signed-by-both.asc"));
  std::string signer = ReadFile(Corpus("trusted-signer.asc"));
  std::vector<std::thread> threads;
  std::vector<int> ok(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      KRYContextRef c;
      if (KRYNewContext(kKRYsdkAPIVersion, &c) != 0) return;
      int good = 1;
      for (int i = 0; i < 20; ++i) {
        KRYImportOptions o{};
        o.inputBuffer = signer.data();
        o.inputLength = signer.size();
        KRYKeySetRef s1, s2;
        good &= KRYImportKeySet(c, &o, &s1) == 0;
        o.inputBuffer = block.data();
        o.inputLength = block.size();
        good &= KRYImportKeySet(c, &o, &s2) == 0;
        good &= KRYAddKeys(s1, s2) == 0;
        good &= KRYCheckKeyRingSigs(s2, nullptr, 1, nullptr, nullptr) == 0;
        char* out;
        size_t len;
        good &= KRYExportKeySetAlloc(s2, 255, 0, 0, &out, &len) == 0;
        KRYFreeData(out);
        KRYFreeKeySet(s1);
        KRYFreeKeySet(s2);
      }
      KRYFreeContext(c);
      ok[size_t(t)] = good;
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(std::vector<int>(4, 1), ok);
  KRYsdkCleanup();
}

}  // namespace
