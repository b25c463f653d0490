// OpenLDAP's ldapsearch, speaking LDAP version 2, and a raw client against
// the real server: the base entries, the server-made entries, indexed
// searches, the size limit over 600 loaded entries, and malformed requests.
#include <signal.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "back-ldbm/backend.h"
#include "cert/access.h"
#include "ldap/entry.h"
#include "ldap/operation.h"
#include "runtime/connection.h"
#include "runtime/globals.h"
#include "search/search_test_util.h"
#include "support/harness.h"

namespace krytest {
namespace {

const std::string kActive = "OU=ACTIVE,O=KRY KEYSPACE,C=US";
constexpr int kLoaded = 600;

// Writes user-ID-like entries under OU=ACTIVE straight into the data
// directory with the backend's own add, before the server starts.
bool LoadEntries(const std::string& dataDir, int count) {
  kry::Globals* saved = kry::g_globals;
  kry::g_globals = nullptr;
  if (kry::InitGlobals(&kry::g_globals) != 0) return false;
  kry::g_globals->DefaultAccess = kry::ACL_ALL;
  bool ok = true;
  {
    kry::Backend* be = kry::backend_new("ldbm", kry::g_globals->backends);
    ok = be != nullptr;
    if (ok) kry::backend_set_directory(be, dataDir);
    kry::Connection conn;
    kry::Operation op;
    for (int i = 0; ok && i < count; ++i) {
      auto e = std::make_unique<kry::Entry>();
      std::string uid = "User " + std::to_string(i) + " <user" + std::to_string(i) + "@example.com>";
      e->dn = "kryUserID=" + uid + "," + kActive;
      kry::attr_merge(e.get(), "objectclass", "kryUserID");
      kry::attr_merge(e.get(), "kryUserID", uid);
      kry::attr_merge(e.get(), "kryCertID", "00000000" + std::to_string(10000000 + i));
      int replicated = 0, err = -1;
      std::string matched;
      be->ops.add(be, &conn, &op, e.release(), 0, nullptr, &replicated, &err, &matched);
      ok = err == 0;
    }
    kry::backend_close_all(kry::g_globals->backends);
  }
  kry::ReleaseGlobals(&kry::g_globals);
  kry::g_globals = saved;
  return ok;
}

using ToolResult = RunResult;

class LdapSearch : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    tree_ = new ServerTree();
    tree_->WriteConfig("SizeLimit 500\n");
    ASSERT_TRUE(tree_->CreateDatabases());
    ASSERT_TRUE(LoadEntries(tree_->data, kLoaded));
    ASSERT_TRUE(tree_->Start()) << tree_->Output();
  }
  static void TearDownTestSuite() {
    if (tree_) {
      EXPECT_EQ(tree_->Stop(SIGTERM), 0) << tree_->Output();
    }
    delete tree_;
    tree_ = nullptr;
  }
  static ToolResult Search(const std::vector<std::string>& args) {
    std::string cmd = "timeout 20 ldapsearch -P 2 -x -o nettimeout=10 -LLL -H ldap://127.0.0.1:" +
                      std::to_string(tree_->port);
    for (const auto& a : args) cmd += " " + ShellQuote(a);
    cmd += " 2>&1";
    return RunShell(cmd);
  }
  static int Count(const std::string& out, const std::string& what) {
    int n = 0;
    for (size_t pos = out.find(what); pos != std::string::npos; pos = out.find(what, pos + 1)) ++n;
    return n;
  }
  static ServerTree* tree_;
};
ServerTree* LdapSearch::tree_ = nullptr;

TEST_F(LdapSearch, BaseEntriesAndServerMadeEntries) {
  ToolResult r = Search({"-b", "O=KRY KEYSPACE,C=US", "-s", "one", "(objectclass=*)"});
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(r.output.find("dn: OU=ACTIVE,O=KRY KEYSPACE,C=US"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("dn: OU=PENDING,O=KRY KEYSPACE,C=US"), std::string::npos) << r.output;
  r = Search({"-b", "O=KRY KEYSPACE,C=US", "-s", "base", "(objectclass=*)"});
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(r.output.find("o: KRY KEYSPACE"), std::string::npos) << r.output;

  r = Search({"-b", "CN=KRYSERVERINFO", "-s", "base", "(objectclass=*)", "version"});
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(r.output.find("basekeyspacedn: OU=ACTIVE,O=KRY KEYSPACE,C=US"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("software: KRY Certificate Server (NT)"), std::string::npos) << r.output;

  r = Search({"-b", "cn=Monitor", "-s", "base", "(objectclass=nothing)"});
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(r.output.find("dn: cn=monitor"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("currentconnections: 1"), std::string::npos) << r.output;
  // "0 : <start> : ..." ends with a blank, so ldapsearch shows it in base64.
  EXPECT_NE(r.output.find("connection:: MCA6I"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("dtablesize: 4096"), std::string::npos) << r.output;
}

TEST_F(LdapSearch, IndexedEqualityAndSubstringSearches) {
  ToolResult r = Search({"-b", kActive, "(kryUserID=user 42 <user42@example.com>)", "kryCertID"});
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(Count(r.output, "dn: "), 1) << r.output;
  EXPECT_NE(r.output.find("krycertid: 0000000010000042"), std::string::npos) << r.output;
  r = Search({"-b", kActive, "(kryUserID=User 42*)", "1.1"});
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(Count(r.output, "dn: "), 11) << r.output;  // 42 and 420..429
  r = Search({"-b", kActive, "(&(objectclass=kryUserID)(kryUserID=*user59?@*))", "1.1"});
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(Count(r.output, "dn: "), 0) << r.output;  // '?' is not a wildcard
  r = Search({"-b", kActive, "(&(kryUserID=User 7*)(kryUserID~=usr exampl))", "1.1"});
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(Count(r.output, "dn: "), 11) << r.output;
  r = Search({"-b", kActive, "(kryUserID~=smith)", "1.1"});
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(Count(r.output, "dn: "), 0) << r.output;
}

TEST_F(LdapSearch, SizeLimitStopsAt500WithResult4) {
  ToolResult r = Search({"-b", kActive, "(objectclass=kryUserID)", "1.1"});
  EXPECT_EQ(r.exitCode, 4) << r.output.substr(r.output.size() > 400 ? r.output.size() - 400 : 0);
  EXPECT_EQ(Count(r.output, "dn: "), 500);
  EXPECT_NE(r.output.find("The number of certificates returned by this search exceeds the maximum set for this "
                          "server."),
            std::string::npos)
      << r.output.substr(r.output.size() > 400 ? r.output.size() - 400 : 0);
  r = Search({"-z", "20", "-b", kActive, "(objectclass=kryUserID)", "1.1"});
  EXPECT_EQ(r.exitCode, 4);
  EXPECT_EQ(Count(r.output, "dn: "), 20);
}

// One LDAP message: the message ID and a protocol operation.
std::string Message(int msgid, const std::string& op) {
  std::string contents;
  {
    kry::BerBufferPtr i = kry::ber_alloc_ptr(kry::BER_OPTION_DER);
    kry::ber_printf(i.get(), "i", msgid);
    contents = kry::test::Bytes(i.get()) + op;
  }
  std::string out = "\x30";
  if (contents.size() < 128) {
    out += static_cast<char>(contents.size());
  } else {
    out += "\x84";
    for (int s = 24; s >= 0; s -= 8) out += static_cast<char>((contents.size() >> s) & 0xFF);
  }
  return out + contents;
}

TEST_F(LdapSearch, MalformedRequestsGetResultsAndTheServerStays) {
  using namespace kry::test;
  Client c;
  ASSERT_TRUE(c.Connect(tree_->port));
  std::string text;
  auto ask = [&](int msgid, const std::string& op) {
    EXPECT_TRUE(c.Send(Message(msgid, op)));
    std::string m;
    unsigned tag = 0;
    do {
      if (!c.ReadMessage(&m)) return -1;
      text.clear();
    } while (ResultCode(m, &tag, &text) == -1 || tag != 0x65);
    return ResultCode(m, &tag, &text);
  };
  EXPECT_EQ(ask(1, SearchOp(kActive, 3, Present("cn"))), 2);
  EXPECT_EQ(text, "Unknown search scope");
  EXPECT_EQ(ask(2, SearchOp(kActive, 2, Ava(0xA9, "cn", "x"))), 2);
  EXPECT_EQ(text, "Bad search filter");
  EXPECT_EQ(ask(3, SearchOp(kActive, 2, Sub("cn", {{0x80, ""}}))), 21);
  EXPECT_EQ(text, "Bad search filter");
  F deep = Present("cn");
  for (int i = 0; i < 200; ++i) deep = Not(deep);
  EXPECT_EQ(ask(4, SearchOp(kActive, 2, deep)), 2);
  EXPECT_EQ(ask(5, SearchOp("cn=nowhere," + kActive, 2, Present("cn"))), 32);
  EXPECT_EQ(ask(6, SearchOp(kActive, 0, Present("objectclass"))), 0);
  EXPECT_TRUE(tree_->Running());
}

}  // namespace
}  // namespace krytest
