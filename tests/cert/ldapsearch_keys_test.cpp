// Key blocks over the wire: certificates built by the entry builders and
// stored with the backend's add, then searched with OpenLDAP's ldapsearch
// (LDAP version 2) on the real server; gpg reads the blocks it returns.
#include <signal.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "back-ldbm/backend.h"
#include "cert/access.h"
#include "cert/certentry.h"
#include "cert/keysets.h"
#include "ldap/operation.h"
#include "runtime/connection.h"
#include "runtime/globals.h"
#include "support/harness.h"
#include "tests/support/corpus_files.h"
#include "tests/support/corpus_ids.h"

namespace krytest {
namespace {

const std::string kActive = "OU=ACTIVE,O=KRY KEYSPACE,C=US";

// The certificate entry (with its basic block) and the user-ID entries of
// the first key of an armoured file.
bool BuildCertificate(KRYContextRef ctx, const std::string& armoured, kry::EntryList* list) {
  KRYImportOptions in{};
  in.inputBuffer = armoured.data();
  in.inputLength = armoured.size();
  KRYKeySetRef set = nullptr;
  if (KRYImportKeySet(ctx, &in, &set) != 0) return false;
  KRYKeyListRef klist = nullptr;
  KRYKeyIterRef it = nullptr;
  KRYKeyRef key = nullptr;
  std::string certID, certDN, block;
  bool ok = kry::KeySet2Key(set, &key) == 0 && kry::GetCertID(key, &certID) == 0 &&
            kry::CreateKeyDN(certID.c_str(), false, kry::kLocationActive, &certDN) == 0 &&
            kry::ConvertKeySet2KeyBlock(set, false, kKRYExportFormat_Basic, 0, &block) == 0 &&
            kry::GrowEntries(list, 1) == 0;
  if (ok) {
    list->slots[0] = std::make_unique<kry::Entry>();
    list->count = 1;
    ok = kry::CrtKRYCertEntry(list, certDN) == 0;
    kry::attr_merge(list->slots[0].get(), "krykey", block);
  }
  ok = ok && KRYOrderKeySet(set, kKRYKeyOrdering_Any, &klist) == 0 && KRYNewKeyIter(klist, &it) == 0 &&
       KRYKeyIterNext(it, &key) == 0;
  KRYUserIDRef uid = nullptr;
  while (ok && KRYKeyIterNextUserID(it, &uid) == 0) {
    std::string dn;
    kry::Entry* e = nullptr;
    if (kry::CrtUserIDObjDN(uid, certDN, &dn) != 0) continue;
    ok = kry::CrtKRYUserIDEntry(list, dn, &e) == 0 && kry::AddStaticKRYUserIDAttrs(e, uid, key, certID) == 0 &&
         kry::AddDynamicKRYUserIDAttrs(e, key, certID, false, 0, {}) == 0;
  }
  KRYFreeKeyIter(it);
  KRYFreeKeyList(klist);
  KRYFreeKeySet(set);
  return ok;
}

// Stores the corpus keys straight into the data directory before the
// server starts.
bool LoadCertificates(const std::string& dataDir, const std::vector<std::string>& files) {
  kry::Globals* saved = kry::g_globals;
  kry::g_globals = nullptr;
  if (kry::InitGlobals(&kry::g_globals) != 0) return false;
  kry::g_globals->DefaultAccess = kry::ACL_ALL;
  bool ok = KRYsdkInit(0) == 0;
  KRYContextRef ctx = nullptr;
  ok = ok && KRYNewContext(kKRYsdkAPIVersion, &ctx) == 0;
  {
    kry::Backend* be = kry::backend_new("ldbm", kry::g_globals->backends);
    ok = ok && be != nullptr;
    if (ok) kry::backend_set_directory(be, dataDir);
    kry::Connection conn;
    kry::Operation op;
    for (const std::string& f : files) {
      kry::EntryList list;
      ok = ok && BuildCertificate(ctx, ReadFile(corpus::Path(f)), &list);
      for (int i = 0; ok && i < list.count; ++i) {
        int replicated = 0, err = -1;
        std::string matched;
        be->ops.add(be, &conn, &op, list.slots[i].release(), 0, nullptr, &replicated, &err, &matched);
        ok = err == 0;
      }
    }
    kry::backend_close_all(kry::g_globals->backends);
  }
  if (ctx) KRYFreeContext(ctx);
  KRYsdkCleanup();
  kry::ReleaseGlobals(&kry::g_globals);
  kry::g_globals = saved;
  return ok;
}

int Count(const std::string& out, const std::string& what) {
  int n = 0;
  for (size_t pos = out.find(what); pos != std::string::npos; pos = out.find(what, pos + 1)) ++n;
  return n;
}

class LdapSearchKeys : public ::testing::Test {
 protected:
  void SetUp() override {
    if (CorpusDir().empty()) GTEST_SKIP() << "no corpus";
    tree_.WriteConfig();
    ASSERT_TRUE(tree_.CreateDatabases());
    ASSERT_TRUE(LoadCertificates(tree_.data, {"multi-uid.asc", "rsa.asc"}));
    ASSERT_TRUE(tree_.Start()) << tree_.Output();
  }
  void TearDown() override {
    if (tree_.Running()) {
      EXPECT_EQ(tree_.Stop(SIGTERM), 0) << tree_.Output();
    }
  }
  // ldapsearch writing every value to a file in `files` (-tt).
  RunResult Search(const std::string& filter, const std::vector<std::string>& attrs) {
    std::string cmd = "timeout 20 ldapsearch -P 2 -x -o nettimeout=10 -LLL -tt -T " + ShellQuote(files_.path()) +
                      " -H ldap://127.0.0.1:" + std::to_string(tree_.port) + " -b " + ShellQuote(kActive) + " " +
                      ShellQuote(filter);
    for (const auto& a : attrs) cmd += " " + ShellQuote(a);
    return RunShell(cmd + " 2>&1");
  }
  // Key IDs gpg finds in the value files named in `out` for `type`.
  std::vector<std::string> KeyIDsOfBlocks(const std::string& out, const std::string& type) {
    std::vector<std::string> ids;
    const std::string tag = type + ":< file://";
    for (size_t pos = out.find(tag); pos != std::string::npos; pos = out.find(tag, pos + 1)) {
      size_t start = pos + tag.size(), end = out.find('\n', start);
      std::string file = out.substr(start, end - start);
      TempDir home;
      RunResult r = RunShell("gpg --homedir " + ShellQuote(home.path()) + " --batch --quiet --with-colons " +
                             "--import-options show-only --import " + ShellQuote(file) + " 2>/dev/null");
      size_t p = r.output.find("\npub:");
      if (r.output.rfind("pub:", 0) == 0) p = 0;
      else if (p != std::string::npos) ++p;
      if (p == std::string::npos) {
        ids.push_back("<unreadable>");
        continue;
      }
      // pub:<validity>:<bits>:<algo>:<keyid>:
      size_t f = p;
      for (int i = 0; i < 4; ++i) f = r.output.find(':', f) + 1;
      ids.push_back(r.output.substr(f, 16));
    }
    return ids;
  }
  ServerTree tree_;
  TempDir files_;
};

TEST_F(LdapSearchKeys, KeyOnlySearchGivesOneBlockPerCertificateThatGpgReads) {
  if (RunShell("gpg --version >/dev/null 2>&1").exitCode != 0) GTEST_SKIP() << "gpg not available";
  // All three user IDs of the multi-uid key match; one entry comes back.
  RunResult r = Search("(kryUserID=*Erin*)", {"kryKey"});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(Count(r.output, "dn: "), 1) << r.output;
  EXPECT_EQ(KeyIDsOfBlocks(r.output, "kryKey"), std::vector<std::string>{corpus::KeyId("multi-uid")}) << r.output;

  // Both certificates, once each.
  r = Search("(objectclass=kryUserID)", {"kryKey"});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(Count(r.output, "dn: "), 2) << r.output;
  std::vector<std::string> ids = KeyIDsOfBlocks(r.output, "kryKey");
  std::sort(ids.begin(), ids.end());
  std::vector<std::string> want = {corpus::KeyId("multi-uid"), corpus::KeyId("rsa")};
  std::sort(want.begin(), want.end());
  EXPECT_EQ(ids, want) << r.output;
}

TEST_F(LdapSearchKeys, WithOtherAttributesEveryEntryCarriesTheBlock) {
  RunResult r = Search("(kryUserID=*Erin*)", {"kryKey", "kryUserID"});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(Count(r.output, "dn: "), 3) << r.output;
  EXPECT_EQ(Count(r.output, "kryKey:< file://"), 3) << r.output;
  r = Search("(kryUserID=*Erin*)", {});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(Count(r.output, "dn: "), 3) << r.output;
  EXPECT_EQ(Count(r.output, "kryKey"), 0) << r.output;
  EXPECT_EQ(Count(r.output, "krykeysize:< file://"), 3) << r.output;
}

}  // namespace
}  // namespace krytest
