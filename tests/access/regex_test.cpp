// The regular-expression dialect and its compile errors.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "ldap/regex.h"

namespace kry::test {
namespace {

int Match(const char* pattern, const char* text) {
  MutexGuard guard(RegexLock());
  const char* err = re_comp(pattern);
  EXPECT_EQ(err, nullptr) << pattern << ": " << (err ? err : "");
  return re_match(text);
}

TEST(Regex, Dialect) {
  const struct {
    const char* pattern;
    const char* text;
    int expected;
  } cases[] = {
      {"abc", "xxabcxx", 1},
      {"abc", "ab", 0},
      {"a.c", "abc", 1},
      {"^abc", "xabc", 0},
      {"^abc", "abcx", 1},
      {"abc$", "xabc", 1},
      {"abc$", "abcx", 0},
      {"a^b", "a^b", 1},      // "^" elsewhere is literal
      {"a$b", "a$b", 1},      // so is "$"
      {"[abc]x", "bx", 1},
      {"[^abc]x", "bx", 0},
      {"[^abc]x", "dx", 1},
      {"[a-c]+", "zzz", 0},
      {"[]a]", "]", 1},
      {"[-a]", "-", 1},
      {"[a-]", "-", 1},
      {"x[0-9]*y", "xy", 1},
      {"x[0-9]*y", "x123y", 1},
      {"x[0-9]+y", "xy", 0},
      {"a**", "aaa", 1},      // a closure on a closure is taken once
      {"^a*a$", "aaaa", 1},   // backtracking
      {"\\(ab\\)\\1", "xabab", 1},
      {"\\(ab\\)\\1", "xabac", 0},
      {"\\(a*\\)b\\1$", "aabaa", 1},
      {"\\<foo\\>", "a foo b", 1},
      {"\\<foo\\>", "afoo", 0},
      {"\\<foo", "foo_bar", 1},
      {"foo\\>", "foo_bar", 0},
      {"\\.", "a.b", 1},
      {"\\.", "ab", 0},
      {"a\\*", "a*", 1},
      {"x*", "", 1},          // an empty text is tried once
      {"$", "", 1},
      {"$", "abc", 0},        // no start after the last character
      {"^[^0-9A-Z]*JOHN", "  JOHN", 1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Match(c.pattern, c.text), c.expected) << c.pattern << " / " << c.text;
    // A pattern kept compiled matches the same, and the shared one is not
    // disturbed by it.
    Regex kept;
    ASSERT_EQ(kept.Compile(c.pattern), nullptr) << c.pattern;
    EXPECT_EQ(kept.Matches(c.text), c.expected == 1) << c.pattern << " / " << c.text;
  }
  Regex bad;
  EXPECT_NE(bad.Compile("\\(a"), nullptr);
  EXPECT_FALSE(bad.Compiled());
  EXPECT_FALSE(bad.Matches("a"));
}

TEST(Regex, ErrorTexts) {
  const struct {
    const char* pattern;
    const char* error;
  } cases[] = {
      {"*a", "Empty closure"},
      {"+a", "Empty closure"},
      {"^*", "Illegal closure"},
      {"\\(*a\\)", "Illegal closure"},
      {"\\(a\\)*", "Illegal closure"},
      {"\\<*", "Illegal closure"},
      {"\\(a\\)\\1*", "Illegal closure"},
      {"[abc", "Missing ]"},
      {"[", "Missing ]"},
      {"\\(\\(\\(\\(\\(\\(\\(\\(\\(\\(a\\)\\)\\)\\)\\)\\)\\)\\)\\)\\)", "Too many \\(\\) pairs"},
      {"\\(\\)", "Null pattern inside \\(\\)"},
      {"a\\)", "Unmatched \\)"},
      {"\\(a", "Unmatched \\("},
      {"\\<\\>", "Null pattern inside \\<\\>"},
      {"\\(a\\1\\)", "Cyclical reference"},
      {"\\1", "Undetermined reference"},
  };
  MutexGuard guard(RegexLock());
  for (const auto& c : cases) {
    const char* err = re_comp(c.pattern);
    ASSERT_NE(err, nullptr) << c.pattern;
    EXPECT_STREQ(err, c.error) << c.pattern;
    EXPECT_EQ(re_match("anything"), 0);  // nothing compiled after an error
  }
  EXPECT_STREQ(re_comp(""), "No previous regular expression");
  EXPECT_STREQ(re_comp(nullptr), "No previous regular expression");
  ASSERT_EQ(re_comp("b+"), nullptr);
  EXPECT_EQ(re_comp(""), nullptr);  // reuses b+
  EXPECT_EQ(re_match("abba"), 1);
  EXPECT_EQ(re_match("aaa"), 0);
}

TEST(Regex, NestedClosuresStayFast) {
  std::string pattern;
  for (int i = 0; i < 30; ++i) pattern += ".*a";
  pattern += "b";
  std::string text(800, 'a');
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Match(pattern.c_str(), text.c_str()), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

}  // namespace
}  // namespace kry::test
