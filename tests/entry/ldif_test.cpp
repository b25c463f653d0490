// The entry text form: lines, base64, folding, key blocks and the
// reading of damaged texts.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "ldap/entry.h"
#include "ldap/ldif.h"

namespace kry {
namespace {

std::string Line(const std::string& type, const std::string& value) {
  std::string out;
  ldif_put_value(&out, type, value);
  return out;
}

TEST(LdifPutValue, PlainAndBase64) {
  EXPECT_EQ(Line("cn", "abc"), "cn: abc\n");
  EXPECT_EQ(Line("cn", " abc"), "cn:: IGFiYw==\n");
  EXPECT_EQ(Line("cn", ":abc"), "cn:: OmFiYw==\n");
  EXPECT_EQ(Line("cn", "caf\xe9"), "cn:: Y2Fm6Q==\n");
  EXPECT_EQ(Line("cn", "a\nb"), "cn:: YQpi\n");
  EXPECT_EQ(Line("cn", "tab\tinside"), "cn:: dGFiCWluc2lkZQ==\n");
  EXPECT_EQ(Line("cn", "trailing "), "cn: trailing \n");  // only a leading blank needs base64
  EXPECT_EQ(Line("cn", ""), "cn: \n");
}

TEST(LdifPutValue, FoldsA200CharacterValueInto74_76_50) {
  std::string v(200, 'x');
  std::string out = Line("cn", v);
  // "cn: " + 74, then " " + 76, then " " + 50.
  std::string expect = "cn: " + std::string(74, 'x') + "\n " + std::string(76, 'x') + "\n " + std::string(50, 'x') + "\n";
  EXPECT_EQ(out, expect);
}

TEST(LdifPutValue, FoldsBase64CountingTheDoubleColon) {
  std::string v(120, '\x01');  // 160 base64 characters
  std::string out = Line("cn", v);
  size_t nl = out.find('\n');
  // Column count starts at type + 3 = 5; a fold happens before the
  // character at which the count exceeds 76: 72 characters after "cn:: ".
  EXPECT_EQ(nl, 5u + 72u);
  size_t cursor = 0;
  std::string line, type, value;
  ASSERT_TRUE(ldif_read_line(out, &cursor, &line));
  ASSERT_TRUE(parse_line(line, &type, &value));
  EXPECT_EQ(value, v);
}

TEST(LdifReadLine, JoinsContinuationsAndStopsAtEmptyLine) {
  std::string text = "a: 1\n 23\nb: x\n\tyz\n\nc: never\n";
  size_t cursor = 0;
  std::string line;
  ASSERT_TRUE(ldif_read_line(text, &cursor, &line));
  EXPECT_EQ(line, "a: 123");
  ASSERT_TRUE(ldif_read_line(text, &cursor, &line));
  EXPECT_EQ(line, "b: xyz");
  EXPECT_FALSE(ldif_read_line(text, &cursor, &line));
}

TEST(ParseLine, Failures) {
  std::string type, value;
  EXPECT_FALSE(parse_line("no colon here", &type, &value));
  EXPECT_FALSE(parse_line("cn:", &type, &value));
  EXPECT_FALSE(parse_line("cn:   ", &type, &value));
  EXPECT_FALSE(parse_line("cn:: ab$d", &type, &value));   // bad character
  EXPECT_FALSE(parse_line("cn:: YWJ", &type, &value));    // group cut short
  EXPECT_FALSE(parse_line("cn:: =AAA", &type, &value));   // "=" too early
  ASSERT_TRUE(parse_line("  cn  :   value", &type, &value));
  EXPECT_EQ(type, "cn");
  EXPECT_EQ(value, "value");
  ASSERT_TRUE(parse_line("cn::YWI=", &type, &value));
  EXPECT_EQ(value, "ab");
  ASSERT_TRUE(parse_line("cn:: YQ==", &type, &value));
  EXPECT_EQ(value, "a");
}

void MakeSample(Entry& e) {
  e.dn = "cn=Alice Example,OU=ACTIVE,O=KRY KEYSPACE,C=US";
  e.id = 42;
  attr_merge(&e, "cn", "Alice Example");
  attr_merge(&e, "objectClass", "kryUser");
  attr_merge(&e, "objectClass", "top");
  attr_merge(&e, "description", " starts with a blank");
  attr_merge(&e, "binaryish", std::string("\x00\x01\xff", 3));
  attr_merge(&e, "long", std::string(300, 'L'));
}

TEST(EntryText, RoundTrip) {
  Entry e;
  MakeSample(e);
  std::string text = entry_to_text(e, true);
  EXPECT_EQ(text.rfind("42\ndn: cn=Alice Example,OU=ACTIVE,O=KRY KEYSPACE,C=US\ncn: Alice Example\n", 0), 0u);
  EXPECT_NE(text.find("objectclass: kryUser\nobjectclass: top\n"), std::string::npos);
  EXPECT_EQ(text.back(), '\n');
  EXPECT_EQ(text.find("\n\n"), std::string::npos);  // no empty line

  EntryPtr back = str2entry(text);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->id, 42u);
  EXPECT_EQ(back->dn, e.dn);
  ASSERT_EQ(back->attrs.size(), e.attrs.size());
  for (size_t i = 0; i < e.attrs.size(); ++i) {
    EXPECT_EQ(back->attrs[i].type, e.attrs[i].type);
    EXPECT_EQ(back->attrs[i].values, e.attrs[i].values);
    EXPECT_EQ(back->attrs[i].syntax, e.attrs[i].syntax);
  }
  EXPECT_EQ(entry_to_text(*back, true), text);
}

TEST(EntryText, WithoutIdLine) {
  Entry e;
  e.dn = "o=x";
  e.id = 7;
  attr_merge(&e, "o", "x");
  EXPECT_EQ(entry_to_text(e, false), "dn: o=x\no: x\n");
  EntryPtr back = str2entry("dn: o=x\no: x\n");
  ASSERT_TRUE(back);
  EXPECT_EQ(back->id, 0u);
}

TEST(EntryText, KeyBlockWithCrLfSurvives) {
  const std::string block =
      "-----BEGIN PGP PUBLIC KEY BLOCK-----\r\nVersion: 2.5\r\n\r\nmQENBF" + std::string(200, 'A') +
      "\r\n=abcd\r\n-----END PGP PUBLIC KEY BLOCK-----\r\n";
  Entry e;
  e.dn = "kryCertID=0123456789ABCDEF,OU=ACTIVE,O=KRY KEYSPACE,C=US";
  e.id = 9;
  attr_merge(&e, "kryKey", block);
  attr_merge(&e, "KRYKEYV2", block);
  attr_merge(&e, "other", std::string("line1\nline2"));
  std::string text = entry_to_text(e, true);
  // The key block is one printable (folded) line, not base64.
  EXPECT_NE(text.find("krykey: -----BEGIN PGP PUBLIC KEY BLOCK-----@!Version: 2.5@!@!mQENBF"), std::string::npos);
  EXPECT_NE(text.find("other:: "), std::string::npos);
  EntryPtr back = str2entry(text);
  ASSERT_TRUE(back);
  ASSERT_EQ(back->attrs.size(), 3u);
  EXPECT_EQ(back->attrs[0].type, "krykey");
  EXPECT_EQ(back->attrs[0].values[0], block);
  EXPECT_EQ(back->attrs[1].type, "krykeyv2");
  EXPECT_EQ(back->attrs[1].values[0], block);
  EXPECT_EQ(back->attrs[2].values[0], "line1\nline2");
}

TEST(EntryText, NoDnGivesNoEntry) {
  EXPECT_FALSE(str2entry("5\ncn: a\nobjectclass: top\n"));
  EXPECT_FALSE(str2entry(""));
  EXPECT_FALSE(str2entry("12345"));
}

TEST(EntryText, DamagedLinesAreSkipped) {
  EntryPtr e = str2entry("3\ndn: o=x\ngarbage line\ncn:: ###\ncn: good\n\ncn: after empty line\n");
  ASSERT_TRUE(e);
  EXPECT_EQ(e->id, 3u);
  ASSERT_EQ(e->attrs.size(), 1u);
  EXPECT_EQ(e->attrs[0].values, std::vector<std::string>{"good"});
}

TEST(EntryText, SecondDnIgnoredAndRunsOfOneTypeMerge) {
  EntryPtr e = str2entry("dn: o=first\ncn: a\nsn: s\nCN: b\ndn: o=second\ncn: c\n");
  ASSERT_TRUE(e);
  EXPECT_EQ(e->dn, "o=first");
  ASSERT_EQ(e->attrs.size(), 2u);
  EXPECT_EQ(e->attrs[0].type, "cn");
  EXPECT_EQ(e->attrs[0].values, (std::vector<std::string>{"a", "b", "c"}));
}

TEST(EntryText, GarbageNeverCrashes) {
  // Random bytes, including NULs, stray colons and broken base64.
  uint32_t seed = 12345;
  for (int round = 0; round < 2000; ++round) {
    std::string text;
    int n = static_cast<int>(seed % 200);
    for (int i = 0; i < n; ++i) {
      seed = seed * 1103515245 + 12345;
      static const char kAlphabet[] = "dn: \n:=ab\x01\xff=/+AZ09 \t";
      text.push_back(kAlphabet[(seed >> 16) % (sizeof kAlphabet - 1)]);
    }
    seed = seed * 1103515245 + 12345;
    EntryPtr e = str2entry(text);
    if (e) (void)entry_to_text(*e, true);
  }
}

TEST(EntryText, RandomEntriesRoundTrip) {
  // Random DNs, types and byte values of every kind (binary, leading blanks,
  // colons, long lines, CR LF), written and read back unchanged. Key-block
  // values avoid "!" and "@", which the stored form cannot keep apart.
  std::mt19937 rng(7);
  auto randomBytes = [&](size_t n, bool keyBlock) {
    std::string v;
    for (size_t i = 0; i < n; ++i) {
      char c = static_cast<char>(rng() % 256);
      if (keyBlock) {
        static const char kKey[] = "ABCxyz019+/= -\r\n";
        c = kKey[rng() % (sizeof kKey - 1)];
      }
      v.push_back(c);
    }
    return v;
  };
  static const char* kTypes[] = {"cn", "kryKey", "objectclass", "krykeyv2", "description", "x-long-attribute-name"};
  for (int round = 0; round < 300; ++round) {
    Entry e;
    e.id = rng();
    e.dn = "cn=" + std::to_string(round) + (rng() % 2 ? ", o=x" : std::string(" \x01\xff", 3));
    int nattrs = static_cast<int>(rng() % 6);
    for (int a = 0; a < nattrs; ++a) {
      const char* type = kTypes[rng() % 6];
      bool key = is_key_block_type(type);
      size_t len = 1 + rng() % (rng() % 4 == 0 ? 600 : 40);
      attr_merge(&e, type, randomBytes(len, key));
    }
    std::string text = entry_to_text(e, true);
    EntryPtr back = str2entry(text);
    ASSERT_TRUE(back) << text;
    ASSERT_EQ(back->dn, e.dn);
    ASSERT_EQ(back->id, e.id);
    ASSERT_EQ(back->attrs.size(), e.attrs.size());
    for (size_t i = 0; i < e.attrs.size(); ++i) {
      ASSERT_EQ(back->attrs[i].type, e.attrs[i].type);
      ASSERT_EQ(back->attrs[i].values, e.attrs[i].values) << "round " << round;
    }
    // Every physical line stays within the folding limit.
    size_t start = 0;
    while (start < text.size()) {
      size_t nl = text.find('\n', start);
      ASSERT_NE(nl, std::string::npos);
      ASSERT_LE(nl - start, 78u) << text.substr(start, nl - start);
      start = nl + 1;
    }
  }
}

TEST(EntryText, SharedBufferForm) {
  Entry e;
  e.dn = "o=x";
  e.id = 1;
  int len = 0;
  const char* t = entry2str(&e, &len, 1);
  EXPECT_STREQ(t, "1\ndn: o=x\n");
  EXPECT_EQ(len, 10);
  entry_text_release();
}

TEST(Attributes, MergeLookupRemove) {
  Entry e;
  e.dn = "o=x";
  EXPECT_EQ(attr_merge(&e, "CN", std::vector<std::string>{"a", "", "b"}), 0);
  ASSERT_NE(attr_lookup(&e, "cn"), nullptr);
  EXPECT_EQ(attr_lookup(&e, "Cn")->type, "cn");
  EXPECT_EQ(attr_lookup(&e, "cn")->values.size(), 2u);
  EXPECT_EQ(attr_remove(&e, "cN"), 0);
  EXPECT_EQ(attr_remove(&e, "cn"), 1);
  EXPECT_EQ(attr_lookup(&e, "cn"), nullptr);
  std::string t = "KryKeyID";
  EXPECT_EQ(type_lowercase(t), "krykeyid");
}

}  // namespace
}  // namespace kry
