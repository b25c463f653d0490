// Syntaxes, canonical values and comparison.
#include <gtest/gtest.h>

#include "ldap/syntax.h"

namespace kry {
namespace {

class SyntaxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* dn[] = {"dn", "dn"};
    attr_syntax_define("test", 1, 2, dn);
    const char* tel[] = {"telephonenumber", "phone", "tel"};
    attr_syntax_define("test", 2, 3, tel);
    const char* ces[] = {"userpassword", "ces"};
    attr_syntax_define("test", 3, 2, ces);
  }
  void TearDown() override { attr_syntax_release(); }
};

TEST_F(SyntaxTest, Registry) {
  EXPECT_EQ(attr_syntax_of("dn"), SYNTAX_CIS | SYNTAX_DN);
  EXPECT_EQ(attr_syntax_of("DN"), 17);
  EXPECT_EQ(attr_syntax_of("phone"), 9);  // a second name of a definition
  EXPECT_EQ(attr_syntax_of("userPassword"), 2);
  EXPECT_EQ(attr_syntax_of("cn"), 1);  // unknown: case-ignore
  const char* dup[] = {"dn", "bin"};
  attr_syntax_define("test", 4, 2, dup);  // dropped
  EXPECT_EQ(attr_syntax_of("dn"), 17);
  // A second name shared by two definitions: the first in name order gives
  // it; a definition under that very name wins over both.
  const char* mobile[] = {"mobile", "phone", "bin"};
  attr_syntax_define("test", 7, 3, mobile);
  EXPECT_EQ(attr_syntax_of("PHONE"), 4);
  const char* phone[] = {"phone", "ces"};
  attr_syntax_define("test", 8, 2, phone);
  EXPECT_EQ(attr_syntax_of("phone"), 2);
  EXPECT_EQ(attr_syntax_of("mobile"), 4);
  const char* bad[] = {"x", "nosuch"};
  attr_syntax_define("test", 5, 2, bad);
  EXPECT_EQ(attr_syntax_of("x"), 1);
  const char* one[] = {"x"};
  attr_syntax_define("test", 6, 1, one);
  attr_syntax_release();
  EXPECT_EQ(attr_syntax_of("dn"), 1);
}

TEST_F(SyntaxTest, Words) {
  EXPECT_EQ(syntax_from_word("CIS"), 1);
  EXPECT_EQ(syntax_from_word("caseExactString"), 2);
  EXPECT_EQ(syntax_from_word("binary"), 4);
  EXPECT_EQ(syntax_from_word("telephone"), 9);
  EXPECT_EQ(syntax_from_word("dn"), 17);
  EXPECT_EQ(syntax_from_word("other"), 0);
}

TEST_F(SyntaxTest, Canonicalize) {
  std::string v = "+1 555-0100";
  value_canonicalize(v, 9);
  EXPECT_EQ(v, "+15550100");
  v = "Abc \xe9z";
  value_canonicalize(v, 1);
  EXPECT_EQ(v, "ABC \xe9Z");
  v = "cn = a , o=x";
  value_canonicalize(v, 17);
  EXPECT_EQ(v, "CN=A,O=X");
  v = "Abc";
  value_canonicalize(v, 2);
  EXPECT_EQ(v, "Abc");
  value_canonicalize(v, 4);
  EXPECT_EQ(v, "Abc");
}

TEST_F(SyntaxTest, Compare) {
  EXPECT_EQ(value_compare("+1 555-0100", "+15550100", 9, 3), 0);
  EXPECT_EQ(value_compare("Abc", "aBC", 1, 0), 0);
  EXPECT_NE(value_compare("Abc", "aBC", 2, 0), 0);
  EXPECT_LT(value_compare("abc", "abd", 1, 0), 0);
  EXPECT_GT(value_compare("\xe9", "a", 2, 0), 0);  // unsigned bytes
  EXPECT_LT(value_compare("abcX", "abcY", 4, 0), 0);
  EXPECT_EQ(value_compare("abc", "abcdef", 4, 0), 0);  // shorter length only
  // Flags: only the named side is canonicalised.
  EXPECT_EQ(value_compare("abc", "ABC", 1, 1), 0);
  EXPECT_NE(value_compare("5-5", "55", 9, 2), 0);
  EXPECT_EQ(value_compare("5-5", "55", 9, 1), 0);
}

TEST_F(SyntaxTest, Lookup) {
  std::vector<std::string> vals = {"one", "Two", "three"};
  EXPECT_EQ(value_lookup(vals, "TWO", 1, 1), 0);
  EXPECT_EQ(value_lookup(vals, "TWO", 2, 0), 1);
  EXPECT_EQ(value_lookup(vals, "four", 1, 3), 1);
}

}  // namespace
}  // namespace kry
