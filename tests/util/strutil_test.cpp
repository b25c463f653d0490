#include "util/strutil.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace kry {
namespace {

TEST(StrUtil, SignedDigitsRule) {
  EXPECT_TRUE(IsSignedDigits("389"));
  EXPECT_TRUE(IsSignedDigits("  -1"));
  EXPECT_TRUE(IsSignedDigits("+7"));
  EXPECT_FALSE(IsSignedDigits(""));
  EXPECT_FALSE(IsSignedDigits("-"));
  EXPECT_FALSE(IsSignedDigits("12a"));
  EXPECT_FALSE(IsSignedDigits("1 "));
}

TEST(StrUtil, AtoiStopsAndSaturates) {
  EXPECT_EQ(AtoiSaturating("389x"), 389);
  EXPECT_EQ(AtoiSaturating("x389"), 0);
  EXPECT_EQ(AtoiSaturating(" -12"), -12);
  EXPECT_EQ(AtoiSaturating("99999999999999999999"), INT_MAX);
  EXPECT_EQ(AtoiSaturating("-99999999999999999999"), INT_MIN);
}

TEST(StrUtil, CaseAndFormat) {
  EXPECT_EQ(StrCaseCmp("SizeLimit", "sizelimit"), 0);
  EXPECT_LT(StrCaseCmp("abc", "abd"), 0);
  EXPECT_GT(StrCaseCmp("abcd", "ABC"), 0);
  EXPECT_EQ(ToUpper("cn=a"), "CN=A");
  // Only ASCII letters fold: the bytes between 'Z' and 'a' and bytes above
  // 0x7F compare and convert as they are.
  EXPECT_LT(StrCaseCmp("_", "A"), 0);
  EXPECT_LT(StrCaseCmp("[", "Z"), 0);
  EXPECT_EQ(StrCaseCmp("@", "`"), '@' - '`');
  EXPECT_EQ(ToUpper("m\xc3\xbcller{z}"), "M\xc3\xbcLLER{Z}");
  EXPECT_EQ(ToLower("M\xc3\x9cLLER@[Z]"), "m\xc3\x9cller@[z]");
  std::string big(2000, 'x');
  EXPECT_EQ(StrFormat("%s-%d", big.c_str(), 5), big + "-5");
}

}  // namespace
}  // namespace kry
