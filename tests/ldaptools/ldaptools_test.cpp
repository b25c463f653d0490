// OpenLDAP's command-line clients, speaking LDAP version 2, against the
// real server: adds, modifies, compares, deletes and renames as an
// administrator would run them.
#include <signal.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/harness.h"

namespace krytest {
namespace {

const std::string kActive = "OU=ACTIVE,O=KRY KEYSPACE,C=US";

using ToolResult = RunResult;

// One server per suite, configured with `extra` lines.
class LdapTools : public ::testing::Test {
 protected:
  static void Boot(const std::string& extra, const std::vector<std::string>& args = {}) {
    tree_ = new ServerTree();
    tree_->WriteConfig(extra);
    ASSERT_TRUE(tree_->CreateDatabases());
    ASSERT_TRUE(tree_->Start(args)) << tree_->Output();
  }
  static void TearDownTestSuite() {
    if (tree_) {
      EXPECT_EQ(tree_->Stop(SIGTERM), 0) << tree_->Output();
    }
    delete tree_;
    tree_ = nullptr;
  }

  // Runs `tool -P 2 -x -H ldap://127.0.0.1:port args...`, feeding `ldif`
  // through a file when given.
  static ToolResult Tool(const std::string& tool, const std::vector<std::string>& args,
                         const std::string& ldif = std::string()) {
    return RunLdapTool(tree_->port, tool, args, ldif, tree_->log + "/input.ldif");
  }
  static int Compare(const std::string& dn, const std::string& assertion) {
    return Tool("ldapcompare", {dn, assertion}).exitCode;
  }

  static ServerTree* tree_;
};
ServerTree* LdapTools::tree_ = nullptr;

class OpenAccess : public LdapTools {
 protected:
  static void SetUpTestSuite() { Boot("Allow ip 127.0.0.1 all\n"); }
};

class DefaultAccess : public LdapTools {
 protected:
  // Request arguments and outcomes traced.
  static void SetUpTestSuite() { Boot("", {"-d", "4"}); }
};

TEST_F(OpenAccess, AddModifyCompareRenameDelete) {
  const std::string dn = "cn=Alice Example," + kActive;
  ToolResult r = Tool("ldapadd", {},
                      "dn: " + dn + "\nobjectclass: person\ncn: Alice Example\nsn: Example\nmail: alice@example.com\n");
  ASSERT_EQ(r.exitCode, 0) << r.output;
  r = Tool("ldapadd", {}, "dn: " + dn + "\nobjectclass: person\ncn: Alice Example\n");
  EXPECT_EQ(r.exitCode, 68) << r.output;

  EXPECT_EQ(Compare(dn, "sn:EXAMPLE"), 6);  // case-ignore
  EXPECT_EQ(Compare(dn, "sn:Other"), 5);

  r = Tool("ldapmodify", {},
           "dn: " + dn +
               "\nchangetype: modify\nadd: mail\nmail: a2@example.com\n-\nreplace: sn\nsn: Changed\n-\n"
               "delete: objectclass\n-\n");
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(Compare(dn, "mail:a2@example.com"), 6);
  EXPECT_EQ(Compare(dn, "sn:Changed"), 6);
  EXPECT_EQ(Compare(dn, "objectclass:person"), 16);
  // Search reads what modify stored.
  r = Tool("ldapsearch", {"-LLL", "-b", kActive, "-s", "one", "(sn=changed)", "sn", "mail"});
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(r.output.find("sn: Changed"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("mail: a2@example.com"), std::string::npos) << r.output;

  // A value that is not there: 16, and nothing of the request is applied.
  r = Tool("ldapmodify", {},
           "dn: " + dn + "\nchangetype: modify\nadd: description\ndescription: x\n-\ndelete: mail\nmail: none\n-\n");
  EXPECT_EQ(r.exitCode, 16) << r.output;
  EXPECT_EQ(Compare(dn, "description:x"), 16);
  r = Tool("ldapmodify", {}, "dn: " + dn + "\nchangetype: modify\ndelete: mail\nmail: alice@example.com\n-\n");
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(Compare(dn, "mail:alice@example.com"), 5);

  r = Tool("ldapdelete", {kActive});
  EXPECT_EQ(r.exitCode, 66) << r.output;

  r = Tool("ldapmodrdn", {dn, "cn=Alice Renamed"});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  const std::string renamed = "cn=Alice Renamed," + kActive;
  EXPECT_EQ(Compare(dn, "cn:Alice Example"), 32);
  EXPECT_EQ(Compare(renamed, "cn:Alice Example"), 6);  // the values stay as they were

  r = Tool("ldapdelete", {renamed});
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(Compare(renamed, "cn:Alice Example"), 32);
  EXPECT_TRUE(tree_->WaitForEvent("MODRDN dn=cn=Alice Example,", 2000)) << tree_->Events();
  EXPECT_TRUE(tree_->Running());
}

TEST_F(OpenAccess, KeySubmissionOfNoKeyIsRefused) {
  ToolResult r = Tool("ldapadd", {}, "dn: kryCertID=virtual," + kActive + "\nkryKey: abc\n");
  EXPECT_EQ(r.exitCode, 21) << r.output;
}

TEST_F(DefaultAccess, PlainUpdatesNeedAllButCompareWorks) {
  ToolResult r = Tool("ldapdelete", {"OU=PENDING,O=KRY KEYSPACE,C=US"});
  EXPECT_EQ(r.exitCode, 50) << r.output;
  EXPECT_NE(r.output.find("You do not have authority to perform this action."), std::string::npos) << r.output;
  EXPECT_TRUE(tree_->WaitForOutput("do_delete: dn (OU=PENDING,O=KRY KEYSPACE,C=US)", 2000)) << tree_->Output();
  EXPECT_TRUE(tree_->WaitForOutput("<=- ldbm_back_delete: insufficient access OU=PENDING", 2000));
  r = Tool("ldapadd", {}, "dn: cn=x," + kActive + "\ncn: x\n");
  EXPECT_EQ(r.exitCode, 50) << r.output;
  r = Tool("ldapmodify", {}, "dn: " + kActive + "\nchangetype: modify\nreplace: ou\nou: X\n-\n");
  EXPECT_EQ(r.exitCode, 50) << r.output;
  EXPECT_EQ(Compare(kActive, "ou:active"), 6);
  EXPECT_EQ(Compare(kActive, "objectclass:organization"), 5);
}

}  // namespace
}  // namespace krytest
