// Filter decoding and strings, the filter test of every alternative, words
// and phonetic codes.
#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "back-ldbm/index.h"
#include "ldap/entry.h"
#include "ldap/filter.h"
#include "ldap/filterentry.h"
#include "ldap/phonetic.h"
#include "ldap/regex.h"
#include "ldap/syntax.h"
#include "ldap/words.h"
#include "runtime/connection.h"
#include "search_test_util.h"

namespace kry {
namespace test {
namespace {

int Decode(const F& f, FilterPtr* out, std::string* s) {
  std::string bytes = EncodeFilter(f);
  BerBufferPtr b = ber_init(bytes.data(), bytes.size());
  return get_filter(nullptr, b.get(), out, s);
}

std::string StringOf(const F& f) {
  FilterPtr out;
  std::string s;
  int rc = Decode(f, &out, &s);
  if (rc != 0) return "error " + std::to_string(rc);
  EXPECT_EQ(filter_to_string(*out), s);
  return s;
}

int CodeOf(const F& f) {
  FilterPtr out;
  std::string s;
  return Decode(f, &out, &s);
}

TEST(FilterDecoding, StringsShowLowerCaseTypesAndCanonicalValues) {
  EXPECT_EQ(StringOf(Eq("CN", "Smith")), "(cn=SMITH)");
  EXPECT_EQ(StringOf(Present("Mail")), "(mail=*)");
  EXPECT_EQ(StringOf(Ge("cn", "b")), "(cn>=B)");
  EXPECT_EQ(StringOf(Le("cn", "b")), "(cn<=B)");
  EXPECT_EQ(StringOf(Approx("cn", "Jon Smyth")), "(cn~=JON SMYTH)");
  EXPECT_EQ(StringOf(And({Eq("cn", "a"), Or({Present("sn"), Not(Present("mail"))})})),
            "(&(cn=A)(|(sn=*)(!(mail=*))))");
  EXPECT_EQ(StringOf(And({})), "(&)");
  EXPECT_EQ(StringOf(Sub("cn", {{0x80, "ab"}, {0x82, "yz"}})), "(cn=AB*YZ)");
  EXPECT_EQ(StringOf(Sub("cn", {{0x81, "m"}})), "(cn=*M*)");
  EXPECT_EQ(StringOf(Sub("cn", {{0x80, "a"}, {0x81, "b"}, {0x81, "c"}})), "(cn=A*B*C*)");
  EXPECT_EQ(StringOf(Sub("cn", {})), "(cn=*)");
  // Components out of order are shown in the order they are matched.
  EXPECT_EQ(StringOf(Sub("cn", {{0x82, "z"}, {0x81, "m"}, {0x80, "a"}})), "(cn=A*M*Z)");
}

TEST(FilterDecoding, SubstringPartsAreKeptInOrder) {
  FilterPtr f;
  std::string s;
  ASSERT_EQ(Decode(Sub("cn", {{0x80, "ab"}, {0x81, "m"}, {0x81, "n"}, {0x82, "z"}}), &f, &s), 0);
  EXPECT_EQ(f->choice, LDAP_FILTER_SUBSTRINGS);
  EXPECT_TRUE(f->hasInitial);
  EXPECT_EQ(f->initial, "AB");
  EXPECT_EQ(f->any, (std::vector<std::string>{"M", "N"}));
  EXPECT_TRUE(f->hasFinal);
  EXPECT_EQ(f->final, "Z");
  // No component at all: an empty initial that matches everything.
  ASSERT_EQ(Decode(Sub("cn", {}), &f, &s), 0);
  EXPECT_TRUE(f->hasInitial);
  EXPECT_EQ(f->initial, "");
}

TEST(FilterDecoding, MalformedFiltersGetTheirCodes) {
  EXPECT_EQ(CodeOf(Ava(0xA9, "cn", "x")), 2);                        // unknown alternative
  EXPECT_EQ(CodeOf(Sub("cn", {{0x80, ""}})), 21);                    // empty component
  EXPECT_EQ(CodeOf(Sub("cn", {{0x80, "a"}, {0x80, "b"}})), 2);       // two initials
  EXPECT_EQ(CodeOf(Sub("cn", {{0x82, "a"}, {0x82, "b"}})), 2);       // two finals
  EXPECT_EQ(CodeOf(Sub("cn", {{0x83, "a"}})), 2);                    // unknown component
  EXPECT_EQ(CodeOf(And({Eq("cn", "a"), Ava(0xAF, "x", "y")})), 2);   // a bad child ends the list
  EXPECT_EQ(CodeOf(Or({Sub("cn", {{0x81, ""}})})), 21);
  EXPECT_EQ(CodeOf([](BerBuffer* b) { ber_printf(b, "t{s}", 0xA3, "cn"); }), 2);  // no value

  // Truncations of a valid filter never decode.
  std::string whole = EncodeFilter(And({Eq("cn", "abc"), Sub("sn", {{0x80, "x"}, {0x82, "y"}})}));
  for (size_t n = 0; n < whole.size(); ++n) {
    BerBufferPtr b = ber_init(whole.data(), n);
    FilterPtr f;
    std::string s;
    EXPECT_NE(get_filter(nullptr, b.get(), &f, &s), 0) << n;
  }
}

int CodeOfBytes(const std::string& bytes) {
  BerBufferPtr b = ber_init(bytes.data(), bytes.size());
  FilterPtr f;
  std::string s;
  return get_filter(nullptr, b.get(), &f, &s);
}

// The set of an AND or OR must end exactly where its children end.
TEST(FilterDecoding, ListLengthMustMatchItsChildren) {
  const std::string child("\xA3\x07\x04\x02" "cn" "\x04\x01" "a", 9);
  for (char list : {'\xA0', '\xA1'}) {
    std::string ok = std::string(1, list) + '\x09' + child;
    EXPECT_EQ(CodeOfBytes(ok), 0);
    EXPECT_NE(CodeOfBytes(std::string(1, list) + '\x05' + child), 0);         // shorter: ends inside the child
    EXPECT_NE(CodeOfBytes(std::string(1, list) + '\x0B' + child), 0);         // longer than the message
    EXPECT_NE(CodeOfBytes(std::string(1, list) + '\x0B' + child + "\x30\x00"), 0);  // longer: a stray element
    EXPECT_NE(CodeOfBytes(std::string(1, list) + '\x08' + child), 0);         // one byte short
  }
}

TEST(FilterDecoding, NestingIsBounded) {
  auto nested = [](int depth) {
    F f = Present("cn");
    for (int i = 0; i < depth; ++i) f = Not(f);
    return f;
  };
  EXPECT_EQ(CodeOf(nested(kMaxFilterDepth)), 0);
  EXPECT_EQ(CodeOf(nested(kMaxFilterDepth + 1)), 2);
  // Deep enough to overflow the stack if recursion were unbounded.
  std::string deep;
  for (int i = 0; i < 100000; ++i) deep += std::string("\xA2\x84\x7F\xFF\xFF\xFF", 6);
  BerBufferPtr b = ber_init(deep.data(), deep.size());
  FilterPtr f;
  std::string s;
  EXPECT_EQ(get_filter(nullptr, b.get(), &f, &s), 2);
}

TEST(FilterDecoding, VersionThirtyFramingWrapsAssertionsAndComponents) {
  Connection conn;
  conn.c_version = 30;
  auto decode = [&](const F& f, std::string* s) {
    std::string bytes = EncodeFilter(f);
    BerBufferPtr b = ber_init(bytes.data(), bytes.size());
    FilterPtr out;
    return get_filter(&conn, b.get(), &out, s);
  };
  std::string s;
  // [3] { { type value } }
  EXPECT_EQ(decode([](BerBuffer* b) { ber_printf(b, "t{{ss}}", 0xA3, "cn", "x"); }, &s), 0);
  EXPECT_EQ(s, "(cn=X)");
  // [7] constructed presence
  EXPECT_EQ(decode([](BerBuffer* b) { ber_printf(b, "t{s}", 0xA7, "mail"); }, &s), 0);
  EXPECT_EQ(s, "(mail=*)");
  // [4] { { type { [0] { initial } } } }
  EXPECT_EQ(decode([](BerBuffer* b) { ber_printf(b, "t{{s{t{s}}}}", 0xA4, "cn", 0xA0, "ab"); }, &s), 0);
  EXPECT_EQ(s, "(cn=AB*)");
  // The plain form does not decode on such a connection.
  EXPECT_NE(decode(Eq("cn", "x"), &s), 0);
}

// ---------------------------------------------------------------- test_filter

class FilterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    e_.dn = "cn=John Smith,OU=ACTIVE,O=KRY KEYSPACE,C=US";
    attr_merge(&e_, "cn", std::vector<std::string>{"John Smith", "'John'", "A.B"});
    attr_merge(&e_, "sn", std::vector<std::string>{"B", "C"});
    attr_merge(&e_, "objectclass", "person");
    index_set_word_mode(false);
  }
  void TearDown() override { index_set_word_mode(false); }
  int Test(const F& f) {
    FilterPtr filter;
    std::string s;
    EXPECT_EQ(Decode(f, &filter, &s), 0);
    return filter ? test_filter(nullptr, nullptr, nullptr, &e_, filter.get()) : -99;
  }
  Entry e_;
};

TEST_F(FilterTest, PresentEqualityAndOrdering) {
  EXPECT_EQ(Test(Present("CN")), 0);
  EXPECT_EQ(Test(Present("mail")), -1);
  EXPECT_EQ(Test(Eq("cn", "john smith")), 0);
  EXPECT_EQ(Test(Eq("cn", "John")), 1);
  EXPECT_EQ(Test(Eq("mail", "x")), -1);
  // sn holds B and C.
  EXPECT_EQ(Test(Ge("sn", "b")), 0);
  EXPECT_EQ(Test(Ge("sn", "C")), 0);
  EXPECT_EQ(Test(Ge("sn", "D")), 1);
  EXPECT_EQ(Test(Le("sn", "B")), 0);
  EXPECT_EQ(Test(Le("sn", "A")), 1);
}

TEST_F(FilterTest, AndOrNotAndUndefinedParts) {
  EXPECT_EQ(Test(And({Present("cn"), Eq("sn", "c")})), 0);
  EXPECT_EQ(Test(And({Present("cn"), Present("mail")})), 1);
  EXPECT_EQ(Test(Or({Present("mail"), Eq("sn", "b")})), 0);
  EXPECT_EQ(Test(Or({Present("mail"), Eq("sn", "x")})), 1);
  EXPECT_EQ(Test(Not(Present("mail"))), 0);  // the inner test is undefined
  EXPECT_EQ(Test(Not(Present("cn"))), 1);
  EXPECT_EQ(Test(And({})), 0);
  EXPECT_EQ(Test(Or({})), 1);
}

TEST_F(FilterTest, ApproximateWordsMatchInOrder) {
  EXPECT_EQ(Test(Approx("cn", "Jon Smyth")), 0);
  EXPECT_EQ(Test(Approx("cn", "Smyth")), 0);
  EXPECT_EQ(Test(Approx("cn", "Smith John")), 1);
  EXPECT_EQ(Test(Approx("cn", "Mary")), 1);
  EXPECT_EQ(Test(Approx("mail", "x")), -1);
}

TEST_F(FilterTest, SubstringsEscapeAndAnchor) {
  EXPECT_EQ(Test(Sub("cn", {{0x80, "jo"}})), 0);
  EXPECT_EQ(Test(Sub("cn", {{0x80, "jo"}, {0x82, "th"}})), 0);
  EXPECT_EQ(Test(Sub("cn", {{0x81, "n s"}})), 0);
  EXPECT_EQ(Test(Sub("cn", {{0x82, "smith"}})), 0);
  EXPECT_EQ(Test(Sub("cn", {{0x82, "john"}})), 1);  // final is anchored
  EXPECT_EQ(Test(Sub("cn", {{0x80, "smith"}})), 1);  // initial too
  EXPECT_EQ(Test(Sub("cn", {{0x81, "a.b"}})), 0);
  EXPECT_EQ(Test(Sub("cn", {{0x81, "a.c"}})), 1);   // the dot is literal
  EXPECT_EQ(Test(Sub("cn", {{0x81, "a*"}})), 1);    // so is the star
  EXPECT_EQ(Test(Sub("cn", {})), 0);
  EXPECT_EQ(Test(Sub("mail", {{0x80, "a"}})), -1);
  // "'John'" only matches JOHN* when leading punctuation is allowed.
  Attribute* cn = attr_lookup(&e_, "cn");
  cn->values = {"'John'"};
  EXPECT_EQ(Test(Sub("cn", {{0x80, "john"}})), 1);
  index_set_word_mode(true);
  EXPECT_EQ(Test(Sub("cn", {{0x80, "john"}})), 0);
  EXPECT_EQ(Test(Sub("cn", {{0x82, "john"}})), 0);
}

TEST_F(FilterTest, SubstringPatternsThatCannotFitAreUndefined) {
  std::string longPart(300, 'x');
  EXPECT_EQ(Test(Sub("cn", {{0x80, longPart}})), -1);
  EXPECT_EQ(Test(Sub("cn", {{0x80, std::string(254, 'x')}})), 1);
  // The anchors count against the room.
  index_set_word_mode(true);
  EXPECT_EQ(Test(Sub("cn", {{0x80, std::string(254, 'x')}})), -1);
  EXPECT_EQ(Test(Sub("cn", {{0x81, "a"}, {0x82, std::string(249, 'x')}})), -1);
}

TEST_F(FilterTest, BinaryAttributesAreNotSubstringMatched) {
  const char* words[] = {"jpegphoto", "bin"};
  attr_syntax_define("test", 1, 2, words);
  attr_merge(&e_, "jpegphoto", "abc");
  EXPECT_EQ(Test(Sub("jpegphoto", {{0x80, "a"}})), -1);
  EXPECT_EQ(Test(Present("jpegphoto")), 0);
}

// A search's filter is tested against entry after entry: each gets its own
// answer, and no test waits for the process-wide expression lock.
TEST_F(FilterTest, OneSubstringFilterServesManyEntries) {
  FilterPtr filter;
  std::string s;
  ASSERT_EQ(Decode(Sub("cn", {{0x80, "jo"}, {0x82, "th"}}), &filter, &s), 0);
  Entry mary;
  attr_merge(&mary, "cn", "Mary Jones");
  std::future<std::vector<int>> results;
  bool ready;
  {
    MutexGuard held(RegexLock());
    results = std::async(std::launch::async, [&] {
      std::vector<int> r;
      for (const Entry* e : {&e_, &mary, &e_}) r.push_back(test_filter(nullptr, nullptr, nullptr, e, filter.get()));
      return r;
    });
    ready = results.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  }
  EXPECT_TRUE(ready);
  EXPECT_EQ(results.get(), (std::vector<int>{0, 1, 0}));
}

TEST_F(FilterTest, TheSubstringTestLeavesTheEngineUnlocked) {
  EXPECT_EQ(Test(Sub("cn", {{0x80, "jo"}})), 0);
  EXPECT_TRUE(RegexLock().try_lock());
  RegexLock().unlock();
}

// ---------------------------------------------------------------- words and codes

TEST(Words, SplitOnBlanksPunctuationDigitsAndHighBytes) {
  auto w = [](const std::string& s) {
    std::vector<std::string> out;
    for (auto v : approx_words(s)) out.emplace_back(v);
    return out;
  };
  EXPECT_EQ(w("John  Smith, jr."), (std::vector<std::string>{"John", "Smith", "jr"}));
  EXPECT_EQ(w("ab1cd"), (std::vector<std::string>{"ab", "cd"}));
  EXPECT_EQ(w("caf\xC3\xA9 ok"), (std::vector<std::string>{"caf", "ok"}));
  EXPECT_TRUE(w(" 123 ,.; ").empty());
  EXPECT_TRUE(w("").empty());
  std::string_view t = "one two";
  std::string_view first = word_first(t);
  EXPECT_EQ(first, "one");
  EXPECT_EQ(word_next(t, first), "two");
  EXPECT_EQ(word_next(t, word_next(t, first)).data(), nullptr);
}

TEST(Words, RegexEscapeCoversTheEnginesSpecials) {
  std::string out;
  regex_escape(&out, "a$*+.[\\]^b(");
  EXPECT_EQ(out, "a\\$\\*\\+\\.\\[\\\\\\]\\^b(");
}

TEST(Phonetic, CodesOfTheRules) {
  EXPECT_EQ(phonetic_code("Jon"), "JN");
  EXPECT_EQ(phonetic_code("John"), "JN");
  EXPECT_EQ(phonetic_code("Smith"), "SM0");
  EXPECT_EQ(phonetic_code("SMYTH"), "SM0");
  EXPECT_EQ(phonetic_code(""), "");
  EXPECT_EQ(phonetic_code("1234"), "");
}

TEST(Phonetic, FirstLetterRulesAndSpecialLetters) {
  struct Case {
    const char* word;
    const char* code;
  } cases[] = {
      {"Aeon", "EN"},      // AE drops the A
      {"Gnome", "NM"},     // GN, KN, PN drop the first letter
      {"Knot", "NT"},
      {"Pneu", "N"},
      {"Write", "RT"},     // WR drops the W
      {"White", "WT"},     // WH is a single W
      {"Xeno", "SN"},      // a first X is S
      {"Box", "KS"},       // B only at the end after no M; X is KS
      {"Bob", "B"},
      {"Lamb", "LM"},
      {"Phil", "FL"},      // PH is F
      {"Thomas", "0MS"},   // TH is 0
      {"Nation", "NXN"},   // TIO is X
      {"Ship", "XP"},      // SH is X
      {"Character", "XRKT"},  // a first CH before a vowel is X
      {"Science", "SNS"},  // SCI: C skipped after S
      {"Dodge", "TJ"},     // DGE is J
      {"Quick", "KK"},     // Q is K, K after C skipped
      {"Vivid", "FFT"},
      {"Zoo", "S"},
      {"Yes", "YS"},       // Y before a vowel
      {"Fly", "FL"},       // Y not before a vowel
      {"Letters", "LTRS"}, // doubled letters count once; at most 4
      {"Abcdefghijklmnopqrstuvwxyzabcdefghij", "AKTF"},
  };
  for (const auto& c : cases) EXPECT_EQ(phonetic_code(c.word), c.code) << c.word;
}

}  // namespace
}  // namespace test
}  // namespace kry
