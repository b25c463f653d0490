// Access levels, address rules and the access decision.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>

#include "back-ldbm/backend.h"
#include "cert/access.h"
#include "log/eventlog.h"
#include "runtime/globals.h"

namespace kry::test {
namespace {

using ::testing::HasSubstr;

TEST(AccessLevels, ParseAndPrint) {
  EXPECT_EQ(ParseAccessLevel("none"), ACL_NONE);
  EXPECT_EQ(ParseAccessLevel("Compare"), ACL_COMPARE);
  EXPECT_EQ(ParseAccessLevel("ALL"), ACL_ALL);
  EXPECT_EQ(ParseAccessLevel("SelfRead"), ACL_SELF | ACL_READ);
  EXPECT_EQ(ParseAccessLevel("self"), -1);
  EXPECT_EQ(ParseAccessLevel("write"), -1);
  EXPECT_EQ(ParseAccessLevel(""), -1);
  EXPECT_EQ(AccessLevelName(ACL_DELETE), "delete");
  EXPECT_EQ(AccessLevelName(ACL_SELF | ACL_ADD), "selfadd");
  EXPECT_EQ(AccessLevelName(0), "unknown");
  EXPECT_EQ(AccessLevelName(ACL_SELF), "selfunknown");
}

TEST(AccessPatterns, Compilation) {
  EXPECT_EQ(CompileAccessPattern("10.1.*"), "10\\.1\\..*");
  EXPECT_EQ(CompileAccessPattern("a?[b]+^$\\z"), "A.\\[B\\]\\+\\^\\$\\\\Z");
  EXPECT_EQ(CompileAccessPattern("*.Example.com"), ".*\\.EXAMPLE\\.COM");
}

class AccessTest : public ::testing::Test {
 protected:
  void SetUp() override { ::testing::internal::CaptureStderr(); UpdateErrorLogValues(EVENTLOG_VERBOSE, -1, 1); }
  void TearDown() override { ::testing::internal::GetCapturedStderr(); }
  std::string Logged() {
    log_ += ::testing::internal::GetCapturedStderr();
    ::testing::internal::CaptureStderr();
    return log_;
  }
  int Add(const char* type, const char* pattern, const char* level) {
    const char* argv[] = {"Allow", type, pattern, level};
    return AddAccessAllow(&rules_, "t.cfg", 7, 4, argv);
  }
  bool Allowed(const char* addr, const char* host, int level, int def = ACL_ADD) {
    return AccessAllowed(addr, host, rules_, level, def);
  }
  AccessList rules_;
  std::string log_;
};

TEST_F(AccessTest, RuleSyntaxErrors) {
  const char* three[] = {"Allow", "ip", "10.*"};
  EXPECT_EQ(AddAccessAllow(&rules_, "t.cfg", 7, 3, three), 1);
  EXPECT_THAT(Logged(), HasSubstr("t.cfg(7): Missing arguments in \"Allow <Type> <Pattern> <Level>\" line.\n"));
  EXPECT_EQ(Add("dns", "x", "all"), 1);
  EXPECT_THAT(Logged(), HasSubstr("t.cfg(7): Allow Type of 'dns' is invalid.\n  Valid Types: 'ip', 'host', 'keyid'.\n"));
  EXPECT_EQ(Add("ip", "x", "most"), 1);
  EXPECT_THAT(Logged(), HasSubstr("t.cfg(7): Allow Access Level of 'most' is invalid.\n  Valid Levels: 'none', "
                                  "'compare', 'search', 'read', 'add', 'delete', 'all'.\n"));
  EXPECT_EQ(Add("ip", "", "all"), 1);
  EXPECT_TRUE(rules_.empty());
  EXPECT_EQ(Add("HOST", "*", "read"), 0);
  ASSERT_EQ(rules_.size(), 1u);
  EXPECT_EQ(rules_[0]->type, ACCESS_IP);  // "*" matches by address
  FreeAccessCtrlList(&rules_);
  EXPECT_TRUE(rules_.empty());
}

TEST_F(AccessTest, UnanchoredMatch) {
  ASSERT_EQ(Add("ip", "10.1.*", "read"), 0);
  EXPECT_TRUE(Allowed("10.1.2.3", nullptr, ACL_READ));
  EXPECT_TRUE(Allowed("110.1.2.3", nullptr, ACL_READ));
  EXPECT_FALSE(Allowed("10.1.2.3", nullptr, ACL_ADD));
  EXPECT_THAT(Logged(), HasSubstr("Access denied. 'add' requested.\r\n"));
  // No rule matches: the default decides.
  EXPECT_TRUE(Allowed("192.168.0.1", nullptr, ACL_ADD));
  EXPECT_FALSE(Allowed("192.168.0.1", nullptr, ACL_ALL));
}

// Configured rules are kept compiled: deciding needs no process-wide lock,
// so a request is never held up by another's access check.
TEST_F(AccessTest, RulesMatchWithoutTheSharedLock) {
  ASSERT_EQ(Add("ip", "10.1.*", "read"), 0);
  std::future<bool> decided;
  bool ready;
  {
    MutexGuard held(RegexLock());
    decided = std::async(std::launch::async, [&] { return Allowed("10.1.2.3", nullptr, ACL_READ); });
    ready = decided.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  }
  EXPECT_TRUE(ready);
  EXPECT_TRUE(decided.get());
}

TEST_F(AccessTest, FirstMatchingRuleDecides) {
  ASSERT_EQ(Add("ip", "10.*", "search"), 0);
  ASSERT_EQ(Add("ip", "10.1.*", "all"), 0);
  EXPECT_FALSE(Allowed("10.1.2.3", nullptr, ACL_READ));
  EXPECT_TRUE(Allowed("10.1.2.3", nullptr, ACL_SEARCH));
}

TEST_F(AccessTest, HostRules) {
  ASSERT_EQ(Add("host", "*.example.com", "all"), 0);
  EXPECT_TRUE(Allowed("1.2.3.4", "Srv.Example.COM", ACL_ALL));
  EXPECT_FALSE(Allowed("1.2.3.4", nullptr, ACL_ALL));  // no host name: rule passed over
  EXPECT_FALSE(Allowed("1.2.3.4", "", ACL_ALL));
  EXPECT_FALSE(Allowed("1.2.3.4", "example.org", ACL_ALL));

  FreeAccessCtrlList(&rules_);
  ASSERT_EQ(Add("host", "*", "compare"), 0);
  EXPECT_FALSE(Allowed("1.2.3.4", nullptr, ACL_SEARCH));  // matched by address
  EXPECT_TRUE(Allowed("1.2.3.4", nullptr, ACL_COMPARE));
}

TEST_F(AccessTest, DefaultOnlyPolicy) {
  EXPECT_TRUE(Allowed("1.2.3.4", nullptr, ACL_SEARCH));
  EXPECT_TRUE(Allowed("1.2.3.4", nullptr, ACL_ADD));
  EXPECT_FALSE(Allowed("1.2.3.4", nullptr, ACL_ALL));
  EXPECT_THAT(Logged(), HasSubstr("Access denied. 'all' exceeds default access.\r\n"));
}

TEST_F(AccessTest, HooksUseTheConfiguredRules) {
  Globals g;
  Globals* old = g_globals;
  g_globals = &g;
  Backend* be = backend_new("ldbm", g.backends);
  const char* argv[] = {"Allow", "ip", "10.*", "add"};
  ASSERT_EQ(AddAccessAllow(&g.accessList, "t.cfg", 1, 4, argv), 0);
  g.DefaultAccess = ACL_ALL;
  EXPECT_TRUE(AccessAllowed("192.168.1.1", nullptr, ACL_ALL));  // no rule matches: the default
  g.DefaultAccess = ACL_ADD;
  EXPECT_FALSE(access_allowed(nullptr, "10.0.0.1", nullptr, ACL_NONE));
  EXPECT_TRUE(access_allowed(be, "10.0.0.1", nullptr, ACL_ADD));
  EXPECT_EQ(acl_check_mods(be, "10.0.0.1", nullptr, {"modifiersname", "cn"}, true), 0);
  EXPECT_EQ(acl_check_mods(be, "10.0.0.1", nullptr, {"cn"}, false), kLdapInsufficientAccess);
  EXPECT_EQ(acl_check_mods(be, "10.0.0.1", nullptr, {"modifiersName", "modifyTimestamp"}, false), 0);
  g_globals = old;
}

}  // namespace
}  // namespace kry::test
