// Fixture for the certificate-entry tests: the backend setting of the
// operation tests, an initialised key library with one context, the events
// the code under test records, corpus keys and their entries as the add
// pipeline builds them, and what gpg says about the same keys.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "cert/certentry.h"
#include "cert/keysets.h"
#include "log/eventlog.h"
#include "../ops/ops_fixture.h"
#include "../pgp/testutil.h"

namespace kry {
namespace test {

// One key as `gpg --with-colons --fixed-list-mode` lists it.
struct GpgKey {
  std::string keyID;  // 16 digits
  int algorithm = 0;
  int bits = 0;
  long created = 0;
  long expires = 0;  // 0 = never
  std::vector<std::string> subKeyIDs;
  std::vector<int> subKeyBits;
  std::vector<std::string> userIDs;  // gpg's escapes (\x3a) undone
};

inline std::string UnescapeColons(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] == 'x') {
      out += static_cast<char>(std::stoi(s.substr(i + 2, 2), nullptr, 16));
      i += 3;
    } else {
      out += s[i];
    }
  }
  return out;
}

inline std::vector<std::string> SplitColons(const std::string& line) {
  std::vector<std::string> f;
  std::stringstream ss(line);
  std::string x;
  while (std::getline(ss, x, ':')) f.push_back(x);
  return f;
}

// The first key of `armoured` as gpg lists it (from a fresh home).
inline GpgKey GpgList(const std::string& armoured) {
  GpgKey k;
  pgptest::GpgHome home;
  if (!home.ok()) return k;
  pgptest::WriteFile(home.File("in.asc"), armoured);
  home.Gpg("--import " + home.File("in.asc"));
  std::stringstream out(home.Gpg("--with-colons --fixed-list-mode --list-keys"));
  std::string line;
  bool inPrimary = false;
  while (std::getline(out, line)) {
    std::vector<std::string> f = SplitColons(line);
    if (f.size() < 7) continue;
    if (f[0] == "pub") {
      if (!k.keyID.empty()) break;
      inPrimary = true;
      k.bits = std::stoi(f[2]);
      k.algorithm = std::stoi(f[3]);
      k.keyID = f[4];
      k.created = std::stol(f[5]);
      k.expires = f[6].empty() ? 0 : std::stol(f[6]);
    } else if (f[0] == "sub" && inPrimary) {
      k.subKeyBits.push_back(std::stoi(f[2]));
      k.subKeyIDs.push_back(f[4]);
    } else if (f[0] == "uid" && inPrimary && f.size() > 9) {
      k.userIDs.push_back(UnescapeColons(f[9]));
    }
  }
  return k;
}

class CertTest : public OpsTest {
 protected:
  void SetUp() override {
    EventFile();
    OpsTest::SetUp();
    UpdateErrorLogValues(EVENTLOG_VERBOSE, 389, 0);
    eventOffset_ = pgptest::ReadFile(EventFile()).size();
    ASSERT_EQ(0, KRYsdkInit(0));
    ASSERT_EQ(0, KRYNewContext(kKRYsdkAPIVersion, &ctx_));
  }
  void TearDown() override {
    for (KRYKeySetRef s : sets_) KRYFreeKeySet(s);
    KRYFreeContext(ctx_);
    KRYsdkCleanup();
    OpsTest::TearDown();
  }

  static const std::string& EventFile() {
    static const std::string path = [] {
      char tmpl[] = "/tmp/krycert-events-XXXXXX";
      int fd = mkstemp(tmpl);
      if (fd >= 0) close(fd);
      setenv("KRYCERTD_EVENTLOG", tmpl, 1);
      ErrorLogInit("krycertd", EVENTLOG_VERBOSE, 389, 0);
      return std::string(tmpl);
    }();
    return path;
  }
  // Messages recorded since the last call (or SetUp), one per line.
  std::string Events() {
    std::string all = pgptest::ReadFile(EventFile());
    std::string fresh = all.substr(std::min(eventOffset_, all.size()));
    eventOffset_ = all.size();
    return fresh;
  }

  KRYKeySetRef Import(const std::string& text, int* rc = nullptr) {
    KRYImportOptions in{};
    in.inputBuffer = text.data();
    in.inputLength = text.size();
    KRYKeySetRef set = nullptr;
    int r = KRYImportKeySet(ctx_, &in, &set);
    if (rc) *rc = r;
    if (set) sets_.push_back(set);
    return set;
  }
  static std::string CorpusText(const std::string& name) { return pgptest::ReadFile(pgptest::Corpus(name)); }
  KRYKeyRef KeyOf(KRYKeySetRef set) {
    KRYKeyRef key = nullptr;
    EXPECT_EQ(KeySet2Key(set, &key), 0);
    return key;
  }

  // The largest subkey size and subkey IDs, as the merge passes them.
  static void SubKeyValues(KRYKeySetRef set, int* largest, std::vector<std::string>* ids) {
    *largest = 0;
    ids->clear();
    KRYKeyListRef list = nullptr;
    KRYKeyIterRef it = nullptr;
    KRYOrderKeySet(set, kKRYKeyOrdering_Any, &list);
    KRYNewKeyIter(list, &it);
    KRYKeyRef key = nullptr;
    KRYKeyIterNext(it, &key);
    KRYSubKeyRef sub = nullptr;
    while (KRYKeyIterNextSubKey(it, &sub) == 0) {
      int32_t bits = 0;
      KRYGetSubKeyNumber(sub, kKRYKeyProperty_Bits, &bits);
      if (bits > *largest) *largest = bits;
      KRYKeyID id;
      char text[24];
      KRYGetKeyIDFromSubKey(sub, &id);
      KRYGetKeyIDString(&id, kKRYKeyIDString_Full, text, sizeof text);
      ids->push_back(text + 2);
    }
    KRYFreeKeyIter(it);
    KRYFreeKeyList(list);
  }

  // The certificate entry and one entry per named user ID of the first key
  // of `set`, built the way the add pipeline builds a new certificate.
  // Returns the first failing builder's result.
  int BuildEntries(KRYKeySetRef set, EntryList* list, int location = kLocationActive) {
    KRYKeyRef key = KeyOf(set);
    std::string certID, certDN;
    int rc = GetCertID(key, &certID);
    if (rc == 0) rc = CreateKeyDN(certID.c_str(), false, location, &certDN);
    if (rc != 0) return rc;
    if (GrowEntries(list, 1) != 0) return 90;
    list->slots[0] = std::make_unique<Entry>();
    list->count = 1;
    if ((rc = CrtKRYCertEntry(list, certDN)) != 0) return rc;
    int largest = 0;
    std::vector<std::string> subIDs;
    SubKeyValues(set, &largest, &subIDs);
    KRYBoolean revoked = 0, unverified = 0;
    KRYGetKeyBoolean(key, kKRYKeyProperty_IsRevoked, &revoked);
    KRYGetKeyBoolean(key, kKRYKeyProperty_HasUnverifiedRevocation, &unverified);
    KRYKeyListRef klist = nullptr;
    KRYKeyIterRef it = nullptr;
    KRYOrderKeySet(set, kKRYKeyOrdering_Any, &klist);
    KRYNewKeyIter(klist, &it);
    KRYKeyIterNext(it, &key);
    KRYUserIDRef uid = nullptr;
    while (rc == 0 && KRYKeyIterNextUserID(it, &uid) == 0) {
      std::string dn;
      if (CrtUserIDObjDN(uid, certDN, &dn) != 0) continue;
      Entry* e = nullptr;
      rc = CrtKRYUserIDEntry(list, dn, &e);
      if (rc == 0) rc = AddStaticKRYUserIDAttrs(e, uid, key, certID);
      if (rc == 0) rc = AddDynamicKRYUserIDAttrs(e, key, certID, revoked || unverified, largest, subIDs);
    }
    KRYFreeKeyIter(it);
    KRYFreeKeyList(klist);
    return rc;
  }

  static std::string KeyIDText(KRYKeyRef key) {
    std::string id;
    EXPECT_EQ(GetCertID(key, &id), 0);
    return id;
  }
  static std::vector<std::string> Vals(const Entry* e, const std::string& type) {
    const Attribute* a = attr_lookup(e, type);
    return a ? a->values : std::vector<std::string>{};
  }
  static std::string Val(const Entry* e, const std::string& type) {
    std::vector<std::string> v = Vals(e, type);
    return v.empty() ? std::string("<none>") : v[0];
  }

  KRYContextRef ctx_ = nullptr;
  std::vector<KRYKeySetRef> sets_;
  size_t eventOffset_ = 0;
};

}  // namespace test
}  // namespace kry
