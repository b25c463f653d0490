// DN normal form, parent and suffix rules.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "ldap/dn.h"

namespace kry {
namespace {

std::string Norm(const std::string& in) {
  std::string s = in;
  dn_normalize(s);
  // The C form gives the same result in place.
  std::string c = in;
  dn_normalize(c.data());
  EXPECT_EQ(s, std::string(c.c_str())) << in;
  return s;
}

TEST(DnNormalize, SpecExample) { EXPECT_EQ(Norm("cn = John Smith ,  o=Acme ; c=US"), "cn=John Smith,o=Acme,c=US"); }

TEST(DnNormalize, EscapedSeparatorKeepsBackslash) { EXPECT_EQ(Norm("cn=a\\,b , o=x"), "cn=a\\,b,o=x"); }

TEST(DnNormalize, NeedlessEscapeIsDropped) { EXPECT_EQ(Norm("cn=a\\b"), "cn=ab"); }

TEST(DnNormalize, EscapesThatStay) {
  EXPECT_EQ(Norm("cn=a\\;b"), "cn=a\\;b");
  EXPECT_EQ(Norm("cn=a\\+b"), "cn=a\\+b");
  EXPECT_EQ(Norm("cn=a\\\"b"), "cn=a\\\"b");
  EXPECT_EQ(Norm("cn=a\\\\,b"), "cn=a\\\\,b");
  // The escape flag only remembers that the previous input character was a
  // backslash, so after an escaped backslash the next ordinary character
  // replaces the second one (the Part's state machine, kept as written).
  EXPECT_EQ(Norm("cn=a\\\\b"), "cn=a\\b");
}

TEST(DnNormalize, QuotedValueKeepsSemicolon) { EXPECT_EQ(Norm("cn=\"a, b\" ; o=x"), "cn=\"a, b\";o=x"); }

TEST(DnNormalize, QuotedValueEscapes) {
  EXPECT_EQ(Norm("cn=\"a\\\"b\",o=x"), "cn=\"a\\\"b\",o=x");
  EXPECT_EQ(Norm("cn=\"a\\,b\",o=x"), "cn=\"a,b\",o=x");  // in quotes "," needs no escape
  EXPECT_EQ(Norm("cn=\"ab\" junk ,o=x"), "cn=\"ab\",o=x");  // dropped after the closing quote
}

TEST(DnNormalize, TrailingBlanksOfLastValueStay) { EXPECT_EQ(Norm("cn=a "), "cn=a "); }

TEST(DnNormalize, BlanksAndLineFeedsAroundTypesAndEquals) {
  EXPECT_EQ(Norm("\n cn \n= \n a\n ,\n o = b"), "cn=a,o=b");
  EXPECT_EQ(Norm("c n=a"), "cn=a");  // state 2 copies other characters
}

TEST(DnNormalize, MultiValuedRdn) { EXPECT_EQ(Norm("cn=a + sn=b , o=c"), "cn=a+sn=b,o=c"); }

TEST(DnNormalize, CaseIsKept) { EXPECT_EQ(Norm("CN=Abc,o=X"), "CN=Abc,o=X"); }

TEST(DnNormalize, EmptyAndNull) {
  EXPECT_EQ(Norm(""), "");
  EXPECT_EQ(dn_normalize(static_cast<char*>(nullptr)), nullptr);
}

TEST(DnNormalize, TabIsNotWhiteSpace) { EXPECT_EQ(Norm("cn=\ta"), "cn=\ta"); }

TEST(DnNormalize, Upper) {
  std::string s = "ou = active , o=kry keyspace; c=us";
  dn_normalize_upper(s);
  EXPECT_EQ(s, "OU=ACTIVE,O=KRY KEYSPACE,C=US");
  EXPECT_EQ(dn_normalized_upper("o=kry keyspace, c=us"), "O=KRY KEYSPACE,C=US");
}

TEST(DnNormalize, NeverGrowsAndStopsAtNul) {
  std::string s("cn=a\0,o=b", 9);
  dn_normalize(s);
  EXPECT_EQ(s, "cn=a");
}

TEST(DnGetParent, Cases) {
  EXPECT_EQ(dn_get_parent(nullptr, "cn=a,O=KRY KEYSPACE,C=US").value(), "O=KRY KEYSPACE,C=US");
  EXPECT_FALSE(dn_get_parent(nullptr, "o=kry keyspace,c=us").has_value());
  EXPECT_FALSE(dn_get_parent(nullptr, "").has_value());
  EXPECT_FALSE(dn_get_parent(nullptr, static_cast<const char*>(nullptr)).has_value());
  EXPECT_EQ(dn_get_parent(nullptr, "hostname.local").value(), "local");
  EXPECT_EQ(dn_get_parent(nullptr, "user@example.com").value(), "example.com");
  EXPECT_FALSE(dn_get_parent(nullptr, "localhost").has_value());
  EXPECT_FALSE(dn_get_parent(nullptr, "host.").has_value());
  EXPECT_FALSE(dn_get_parent(nullptr, "cn=a").has_value());
  EXPECT_EQ(dn_get_parent(nullptr, "cn=a\\,b,o=x").value(), "o=x");
  EXPECT_EQ(dn_get_parent(nullptr, "cn=\"a,b\";o=x").value(), "o=x");
  EXPECT_EQ(dn_get_parent(nullptr, "cn=a, o=x").value(), " o=x");  // leading blanks kept
  EXPECT_FALSE(dn_get_parent(nullptr, "cn=a\\").has_value());       // trailing backslash is safe
}

TEST(DnHasSuffix, NoBoundaryCheck) {
  EXPECT_TRUE(dn_has_suffix("xO=KRY KEYSPACE,C=US", "O=KRY KEYSPACE,C=US"));
  EXPECT_TRUE(dn_has_suffix("cn=a,o=kry keyspace,c=us", "O=KRY KEYSPACE,C=US"));
  EXPECT_FALSE(dn_has_suffix("C=US", "O=KRY KEYSPACE,C=US"));
  EXPECT_FALSE(dn_has_suffix(static_cast<const char*>(nullptr), "C=US"));
}

TEST(DnForm, LdapFormAndUpper) {
  EXPECT_TRUE(dn_is_ldap_form("cn=a"));
  EXPECT_FALSE(dn_is_ldap_form("host.example"));
  char buf[] = "abc-XyZ\xe9";
  str_upper(buf);
  EXPECT_STREQ(buf, "ABC-XYZ\xe9");
}

}  // namespace
}  // namespace kry
