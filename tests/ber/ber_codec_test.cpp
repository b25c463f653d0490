// Encoder and decoder rules of the BER codec.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "ldap/ber.h"

namespace kry {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Encoded(const BerBuffer& ber) { return Bytes(ber.buffer(), ber.buffer() + ber.current); }

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// Minimal definite length octets, written independently of the codec.
Bytes MinimalLength(size_t n) {
  if (n < 128) return {static_cast<uint8_t>(n)};
  Bytes digits;
  for (size_t v = n; v; v >>= 8) digits.insert(digits.begin(), static_cast<uint8_t>(v & 0xFF));
  digits.insert(digits.begin(), static_cast<uint8_t>(0x80 | digits.size()));
  return digits;
}

BerBufferPtr Decoder(const Bytes& bytes) { return ber_init(bytes.data(), bytes.size()); }

TEST(BerEncode, IntegerWidthsAndSign) {
  struct Case {
    int value;
    Bytes content;
  } cases[] = {
      {0, {0x00}},          {1, {0x01}},         {127, {0x7F}},
      {128, {0x00, 0x80}},  {255, {0x00, 0xFF}}, {256, {0x01, 0x00}},
      {-1, {0xFF}},         {-128, {0x80}},      {-129, {0xFF, 0x7F}},
      {32768, {0x00, 0x80, 0x00}},               {INT_MAX, {0x7F, 0xFF, 0xFF, 0xFF}},
      {INT_MIN, {0x80, 0x00, 0x00, 0x00}},       {-8388609, {0xFF, 0x7F, 0xFF, 0xFF}},
  };
  for (const Case& c : cases) {
    BerBuffer ber(BER_OPTION_DER);
    ASSERT_EQ(ber_printf(&ber, "i", c.value), static_cast<int>(2 + c.content.size())) << c.value;
    EXPECT_EQ(Encoded(ber), Cat({{0x02, static_cast<uint8_t>(c.content.size())}, c.content})) << c.value;

    BerBuffer enumerated(0);
    ASSERT_GT(ber_printf(&enumerated, "e", c.value), 0);
    EXPECT_EQ(Encoded(enumerated)[0], 0x0A);

    auto dec = Decoder(Encoded(ber));
    int back = 12345;
    EXPECT_EQ(ber_scanf(dec.get(), "i", &back), 0x02);
    EXPECT_EQ(back, c.value);
  }
}

TEST(BerEncode, PrimitivesAndTags) {
  BerBuffer ber(BER_OPTION_DER);
  ASSERT_EQ(ber_printf(&ber, "bbn", 7, 0), 2);
  EXPECT_EQ(Encoded(ber), (Bytes{0x01, 0x01, 0xFF, 0x01, 0x01, 0x00, 0x05, 0x00}));

  // 't' tags exactly one element; multi-octet tags are written big-endian.
  BerBuffer tagged(BER_OPTION_DER);
  ASSERT_GT(ber_printf(&tagged, "tiitn", 0x80, 1, 2, 0x1F20), 0);
  EXPECT_EQ(Encoded(tagged), (Bytes{0x80, 0x01, 0x01, 0x02, 0x01, 0x02, 0x1F, 0x20, 0x00}));
  EXPECT_EQ(tagged.pendingTag, LBER_DEFAULT);

  // Bit strings: unused-bit octet, then the octets holding the bits.
  BerBuffer bits(BER_OPTION_DER);
  ASSERT_EQ(ber_printf(&bits, "B", "\xAB\xC0", 12), 5);
  EXPECT_EQ(Encoded(bits), (Bytes{0x03, 0x03, 0x04, 0xAB, 0xC0}));
  auto dec = Decoder(Encoded(bits));
  std::string back;
  int count = 0;
  ASSERT_NE(ber_scanf(dec.get(), "B", &back, &count), -1);
  EXPECT_EQ(back, "\xAB\xC0");
  EXPECT_EQ(count, 12);

  // A null text encodes as an empty string rather than crashing.
  BerBuffer nullText(BER_OPTION_DER);
  ASSERT_EQ(ber_printf(&nullText, "s", static_cast<const char*>(nullptr)), 2);
  EXPECT_EQ(Encoded(nullText), (Bytes{0x04, 0x00}));
}

TEST(BerEncode, PrimitiveLengths) {
  for (size_t n : {0u, 1u, 127u, 128u, 255u, 256u, 300u, 65535u, 65536u, 70000u}) {
    std::string data(n, 'x');
    BerBuffer ber(0);
    ASSERT_NE(ber_printf(&ber, "o", data.data(), static_cast<int>(n)), -1);
    Bytes expect = Cat({{0x04}, MinimalLength(n)});
    Bytes got = Encoded(ber);
    ASSERT_EQ(got.size(), expect.size() + n);
    EXPECT_EQ(Bytes(got.begin(), got.begin() + expect.size()), expect) << n;
  }
  BerBuffer a(0), b(0);
  std::string s128(128, 'a'), s300(300, 'b');
  ber_printf(&a, "s", s128.c_str());
  ber_printf(&b, "s", s300.c_str());
  EXPECT_EQ(Bytes(a.buffer(), a.buffer() + 3), (Bytes{0x04, 0x81, 0x80}));
  EXPECT_EQ(Bytes(b.buffer(), b.buffer() + 4), (Bytes{0x04, 0x82, 0x01, 0x2C}));
}

TEST(BerEncode, ResultFramingDerAndNot) {
  BerBuffer der(BER_OPTION_DER);
  ASSERT_EQ(ber_printf(&der, "{it{ess}}", 5, 0x65, 0, "", ""), 14);
  EXPECT_EQ(Encoded(der), (Bytes{0x30, 0x0C, 0x02, 0x01, 0x05, 0x65, 0x07, 0x0A, 0x01, 0x00, 0x04, 0x00, 0x04, 0x00}));

  BerBuffer plain(0);
  ASSERT_EQ(ber_printf(&plain, "{it{ess}}", 5, 0x65, 0, "", ""), 22);
  EXPECT_EQ(Encoded(plain), (Bytes{0x30, 0x84, 0, 0, 0, 0x10, 0x02, 0x01, 0x05, 0x65, 0x84, 0, 0, 0, 0x07, 0x0A, 0x01,
                                   0x00, 0x04, 0x00, 0x04, 0x00}));

  // 200 content bytes: 0x81 0xC8 with DER, 0x84 00 00 00 C8 without.
  std::string text(197, 'q');
  BerBuffer der200(BER_OPTION_DER), plain200(0);
  ber_printf(&der200, "{s}", text.c_str());
  ber_printf(&plain200, "{s}", text.c_str());
  EXPECT_EQ(Bytes(der200.buffer(), der200.buffer() + 3), (Bytes{0x30, 0x81, 0xC8}));
  EXPECT_EQ(Bytes(plain200.buffer(), plain200.buffer() + 6), (Bytes{0x30, 0x84, 0, 0, 0, 0xC8}));
  EXPECT_EQ(der200.current, 203u);
  EXPECT_EQ(plain200.current, 206u);
}

TEST(BerEncode, DerConstructedLengthsAtEveryThreshold) {
  // Content is moved down by the unused reserved octets; the encoding must
  // equal an independently built minimal one.
  for (size_t n : {0u, 124u, 125u, 126u, 127u, 252u, 253u, 254u, 65530u, 65531u, 65532u, 70000u}) {
    std::string data(n, static_cast<char>('a' + n % 26));
    BerBuffer ber(BER_OPTION_DER);
    ASSERT_NE(ber_printf(&ber, "{o}", data.data(), static_cast<int>(n)), -1);
    Bytes inner = Cat({{0x04}, MinimalLength(n), Bytes(data.begin(), data.end())});
    Bytes expect = Cat({{0x30}, MinimalLength(inner.size()), inner});
    EXPECT_EQ(Encoded(ber), expect) << n;
  }
}

TEST(BerEncode, NestedElementsAndSiblings) {
  BerBuffer ber(BER_OPTION_DER);
  ASSERT_NE(ber_printf(&ber, "{i{s[ss]}{}t[i]}", 1, "dn", "a", "b", 0xA3, 9), -1);
  Bytes expect = {0x30, 0x18, 0x02, 0x01, 0x01,                                     //
                  0x30, 0x0C, 0x04, 0x02, 'd',  'n',  0x31, 0x06, 0x04, 0x01, 'a', 0x04, 0x01, 'b',  //
                  0x30, 0x00,                                                        //
                  0xA3, 0x03, 0x02, 0x01, 0x09};
  EXPECT_EQ(Encoded(ber), expect);

  // Two top-level elements one after the other.
  BerBuffer two(0);
  ASSERT_NE(ber_printf(&two, "{i}", 1), -1);
  ASSERT_NE(ber_printf(&two, "{i}", 2), -1);
  EXPECT_EQ(two.current, 18u);
  EXPECT_EQ(two.buffer()[9], 0x30);

  // The same nesting without DER decodes to the same values.
  BerBuffer plain(0);
  ASSERT_NE(ber_printf(&plain, "{i{s[ss]}{}t[i]}", 1, "dn", "a", "b", 0xA3, 9), -1);
  auto dec = Decoder(Encoded(plain));
  int one = 0, nine = 0;
  std::string dn, a, b;
  ber_tag_t tag = 0;
  ASSERT_NE(ber_scanf(dec.get(), "{i{a[aa]}{}t[i]}", &one, &dn, &a, &b, &tag, &nine), -1);
  EXPECT_EQ(one, 1);
  EXPECT_EQ(dn + a + b, "dnab");
  EXPECT_EQ(tag, 0xA3u);
  EXPECT_EQ(nine, 9);
}

TEST(BerEncode, GrowthAcrossUnitsWithOpenElements) {
  for (int options : {0, BER_OPTION_DER}) {
    BerBuffer ber(options);
    ASSERT_NE(ber_printf(&ber, "{it{s{", 7, 0x64, "cn=big"), -1);
    std::vector<std::string> values;
    for (int i = 0; i < 40; ++i) {
      values.push_back(std::string(97 + i * 13, static_cast<char>('A' + i % 26)));
      ASSERT_NE(ber_printf(&ber, "{s[", ("attr" + std::to_string(i)).c_str()), -1);
      ASSERT_NE(ber_printf(&ber, "o", values.back().data(), static_cast<int>(values.back().size())), -1);
      ASSERT_NE(ber_printf(&ber, "]}"), -1);
      EXPECT_EQ(ber.capacity() % kBerGrowthUnit, 0u);
    }
    ASSERT_NE(ber_printf(&ber, "}}}"), -1);
    EXPECT_TRUE(ber.openElements.empty());
    EXPECT_GT(ber.capacity(), 10 * kBerGrowthUnit);

    auto dec = Decoder(Encoded(ber));
    int msgid = 0;
    ber_tag_t tag = 0;
    std::string dn;
    ASSERT_NE(ber_scanf(dec.get(), "{it{a", &msgid, &tag, &dn), -1);
    EXPECT_EQ(msgid, 7);
    EXPECT_EQ(tag, 0x64u);
    EXPECT_EQ(dn, "cn=big");
    ber_len_t len;
    size_t last;
    int i = 0;
    for (ber_tag_t t = ber_first_item(dec.get(), &len, &last); t != LBER_DEFAULT; t = ber_next_item(dec.get(), &len, last), ++i) {
      std::string type;
      std::vector<BerValue> vals;
      ASSERT_NE(ber_scanf(dec.get(), "{a[V]}", &type, &vals), -1);
      EXPECT_EQ(type, "attr" + std::to_string(i));
      ASSERT_EQ(vals.size(), 1u);
      EXPECT_EQ(vals[0].bv_val, values[i]);
    }
    EXPECT_EQ(i, 40);
    EXPECT_EQ(dec->current, dec->end);
  }
}

TEST(BerEncode, GrowthFormula) {
  BerBuffer ber(0);
  ASSERT_NE(ber_printf(&ber, "n"), -1);
  EXPECT_EQ(ber.capacity(), 1024u);
  std::string big(2500, 'z');
  ASSERT_NE(ber_printf(&ber, "o", big.data(), 2500), -1);  // header write, then 3 units for the data
  EXPECT_EQ(ber.capacity(), 4096u);
}

TEST(BerEncode, FailuresStopEncoding) {
  BerBuffer ber(0);
  EXPECT_EQ(ber_printf(&ber, "}"), -1);
  EXPECT_EQ(ber_printf(&ber, "iQi", 1, 2), -1);
  EXPECT_EQ(ber_printf(&ber, "o", "x", -1), -1);
  EXPECT_EQ(ber_printf(&ber, "B", "x", -3), -1);
  // A failed encode may leave elements open; the caller drops the buffer.
  BerBuffer open(0);
  EXPECT_EQ(ber_printf(&open, "{{i?", 1), -1);
  EXPECT_EQ(open.openElements.size(), 2u);
}

TEST(BerEncode, ArraysWithSharedTag) {
  std::vector<std::string> texts = {"one", "", "three"};
  std::vector<BerValue> values = {BerValue("\0\1", 2), BerValue(std::string("v"))};
  BerBuffer ber(BER_OPTION_DER);
  ASSERT_NE(ber_printf(&ber, "{tv}{V}{v}", 0x80, &texts, &values, static_cast<const std::vector<std::string>*>(nullptr)),
            -1);
  Bytes expect = {0x30, 0x0E, 0x80, 0x03, 'o', 'n', 'e', 0x80, 0x00, 0x80, 0x05, 't', 'h', 'r', 'e', 'e',
                  0x30, 0x07, 0x04, 0x02, 0x00, 0x01, 0x04, 0x01, 'v', 0x30, 0x00};
  EXPECT_EQ(Encoded(ber), expect);
}

TEST(BerDecode, IntegerOctetCounts) {
  struct Case {
    Bytes bytes;
    bool ok;
    int value;
  } cases[] = {
      {{0x02, 0x00}, true, 0},
      {{0x02, 0x01, 0xFF}, true, -1},
      {{0x02, 0x01, 0x7F}, true, 127},
      {{0x02, 0x02, 0x00, 0x80}, true, 128},
      {{0x02, 0x01, 0x80}, true, -128},
      {{0x02, 0x03, 0xFF, 0x7F, 0xFF}, true, -32769},
      {{0x02, 0x04, 0x80, 0x00, 0x00, 0x00}, true, INT_MIN},
      {{0x02, 0x04, 0x7F, 0xFF, 0xFF, 0xFF}, true, INT_MAX},
      {{0x02, 0x05, 0x00, 0x00, 0x00, 0x00, 0x01}, false, 0},
      {{0x02, 0x02, 0x01}, false, 0},  // short
      {{0x01, 0x01, 0x05}, true, 5},   // any tag: booleans decode alike
  };
  for (const Case& c : cases) {
    auto dec = Decoder(c.bytes);
    int v = 999;
    int rc = ber_scanf(dec.get(), "i", &v);
    if (c.ok) {
      EXPECT_EQ(rc, static_cast<int>(c.bytes[0]));
      EXPECT_EQ(v, c.value);
    } else {
      EXPECT_EQ(rc, -1);
      EXPECT_EQ(v, 999);
    }
  }
}

TEST(BerDecode, StringIntoCallerBuffer) {
  Bytes abcd = {0x04, 0x04, 'a', 'b', 'c', 'd'};
  char buf[8];
  int size = 5;  // length == size - 1 fits with its NUL
  auto dec = Decoder(abcd);
  ASSERT_EQ(ber_scanf(dec.get(), "s", buf, &size), 0x04);
  EXPECT_EQ(size, 4);
  EXPECT_STREQ(buf, "abcd");

  size = 4;  // length == size does not
  dec = Decoder(abcd);
  std::memset(buf, 'X', sizeof buf);
  EXPECT_EQ(ber_scanf(dec.get(), "s", buf, &size), -1);
  EXPECT_EQ(size, 4);
  EXPECT_EQ(buf[0], 'X');

  size = 0;
  dec = Decoder(abcd);
  EXPECT_EQ(ber_scanf(dec.get(), "s", buf, &size), -1);
}

TEST(BerDecode, StringsKeepEmbeddedBytesAndNul) {
  Bytes bytes = {0x04, 0x03, 'a', 0x00, 'b', 0x04, 0x00};
  auto dec = Decoder(bytes);
  BerValue v;
  std::unique_ptr<BerValue> empty;
  ASSERT_NE(ber_scanf(dec.get(), "oO", &v, &empty), -1);
  EXPECT_EQ(v.bv_len(), 3u);
  EXPECT_EQ(v.data()[3], '\0');
  EXPECT_EQ(std::string(v.data(), 3), std::string("a\0b", 3));
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->bv_len(), 0u);
}

TEST(BerDecode, SkipAndTruncation) {
  // 'x' skips a whole element; one whose length runs past the end fails.
  auto dec = Decoder({0x30, 0x03, 0x02, 0x01, 0x05, 0x02, 0x01, 0x06});
  int v = 0;
  ASSERT_NE(ber_scanf(dec.get(), "xi", &v), -1);
  EXPECT_EQ(v, 6);
  dec = Decoder({0x04, 0x05, 'a', 'b'});
  EXPECT_EQ(ber_scanf(dec.get(), "x"), -1);
  dec = Decoder({0x04, 0x05, 'a', 'b'});
  std::string s;
  EXPECT_EQ(ber_scanf(dec.get(), "a", &s), -1);
  // A length of 0xFFFFFFFF must not wrap the bounds check.
  dec = Decoder({0x04, 0x84, 0xFF, 0xFF, 0xFF, 0xFF, 'a'});
  EXPECT_EQ(ber_scanf(dec.get(), "a", &s), -1);
  EXPECT_EQ(ber_scanf(dec.get(), "x"), -1);
  // Null must have length 0.
  dec = Decoder({0x05, 0x01, 0x00});
  EXPECT_EQ(ber_scanf(dec.get(), "n"), -1);
  dec = Decoder({0x05, 0x00});
  EXPECT_EQ(ber_scanf(dec.get(), "n"), 0x05);
  // Unknown letters fail.
  dec = Decoder({0x02, 0x01, 0x01});
  EXPECT_EQ(ber_scanf(dec.get(), "q"), -1);
}

TEST(BerDecode, StringArrays) {
  std::vector<std::string> out = {"stale"};
  int after = 0;
  // Empty SEQUENCE: output empty, decoding goes on.
  auto dec = Decoder({0x30, 0x00, 0x02, 0x01, 0x03});
  ASSERT_EQ(ber_scanf(dec.get(), "{v}i", &out, &after), 0x02);
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(after, 3);

  // Missing header: output empty, not a failure.
  dec = Decoder({});
  out = {"stale"};
  EXPECT_EQ(ber_scanf(dec.get(), "v", &out), 0);
  EXPECT_TRUE(out.empty());

  // Elements of any tag, in order.
  dec = Decoder({0x30, 0x07, 0x04, 0x02, 'c', 'n', 0x80, 0x01, 'x'});
  ASSERT_EQ(ber_scanf(dec.get(), "{v}", &out), 2);
  EXPECT_EQ(out, (std::vector<std::string>{"cn", "x"}));

  // A failed element keeps those before it and fails the letter.
  dec = Decoder({0x30, 0x06, 0x04, 0x01, 'a', 0x04, 0x05, 'b'});
  EXPECT_EQ(ber_scanf(dec.get(), "v", &out), -1);
  EXPECT_EQ(out, (std::vector<std::string>{"a"}));

  // A container longer than the data: the missing element fails.
  dec = Decoder({0x31, 0x08, 0x04, 0x01, 'a'});
  std::vector<BerValue> values;
  EXPECT_EQ(ber_scanf(dec.get(), "V", &values), -1);
  ASSERT_EQ(values.size(), 1u);
  EXPECT_EQ(values[0].bv_val, "a");

  dec = Decoder({0x31, 0x00});
  EXPECT_EQ(ber_scanf(dec.get(), "[V]", &values), 0);
  EXPECT_TRUE(values.empty());
}

TEST(BerDecode, Tags) {
  BerBufferPtr dec = Decoder({0x1F, 0x20});
  EXPECT_EQ(ber_read_tag(dec.get()), 0x1F20u);
  dec = Decoder({0xBF, 0x81, 0x82, 0x03});
  EXPECT_EQ(ber_read_tag(dec.get()), 0xBF818203u);
  dec = Decoder({0x1F, 0x81, 0x82, 0x83, 0x04});  // a fourth further octet
  EXPECT_EQ(ber_read_tag(dec.get()), LBER_DEFAULT);
  dec = Decoder({0x1F, 0x81});  // input ends
  EXPECT_EQ(ber_read_tag(dec.get()), LBER_DEFAULT);
  dec = Decoder({});
  EXPECT_EQ(ber_read_tag(dec.get()), LBER_DEFAULT);

  // 't' peeks, 'T' consumes the header, 'l' peeks the length.
  dec = Decoder({0x63, 0x03, 0x02, 0x01, 0x2A});
  ber_tag_t t = 0, T = 0;
  ber_len_t l = 0;
  int v = 0;
  ASSERT_EQ(ber_scanf(dec.get(), "tl", &t, &l), 3);
  EXPECT_EQ(t, 0x63u);
  EXPECT_EQ(l, 3u);
  EXPECT_EQ(dec->current, 0u);
  ASSERT_EQ(ber_scanf(dec.get(), "Ti", &T, &v), 0x02);
  EXPECT_EQ(T, 0x63u);
  EXPECT_EQ(v, 42);
}

TEST(BerDecode, Headers) {
  ber_len_t len = 0;
  auto dec = Decoder({0x30, 0x84, 0x00, 0x00, 0x01, 0x00});
  EXPECT_EQ(ber_peek_header(dec.get(), &len), 0x30u);
  EXPECT_EQ(len, 256u);
  EXPECT_EQ(dec->current, 0u);
  EXPECT_EQ(ber_read_header(dec.get(), &len), 0x30u);
  EXPECT_EQ(dec->current, 6u);

  dec = Decoder({0x30, 0x85, 0, 0, 0, 0, 1});
  EXPECT_EQ(ber_read_header(dec.get(), &len), LBER_DEFAULT);
  EXPECT_EQ(dec->current, 0u);
  dec = Decoder({0x30, 0x80});
  EXPECT_EQ(ber_read_header(dec.get(), &len), 0x30u);
  EXPECT_EQ(len, 0u);
  dec = Decoder({0x30, 0x82, 0x01});
  EXPECT_EQ(ber_read_header(dec.get(), &len), LBER_DEFAULT);
}

TEST(BerDecode, FirstAndNextItem) {
  auto dec = Decoder({0x30, 0x08, 0x04, 0x01, 'a', 0x87, 0x03, 'x', 'y', 'z', 0x02, 0x01, 0x01});
  ber_len_t len = 0;
  size_t last = 0;
  std::vector<std::pair<ber_tag_t, std::string>> seen;
  for (ber_tag_t tag = ber_first_item(dec.get(), &len, &last); tag != LBER_DEFAULT; tag = ber_next_item(dec.get(), &len, last)) {
    std::string s;
    ASSERT_NE(ber_scanf(dec.get(), "a", &s), -1);
    EXPECT_EQ(len, s.size());
    seen.emplace_back(tag, s);
  }
  EXPECT_EQ(seen, (std::vector<std::pair<ber_tag_t, std::string>>{{0x04, "a"}, {0x87, "xyz"}}));
  EXPECT_EQ(last, 10u);
  int trailing = 0;
  ASSERT_NE(ber_scanf(dec.get(), "i", &trailing), -1);
  EXPECT_EQ(trailing, 1);

  dec = Decoder({0x31, 0x00, 0x02, 0x01, 0x01});
  EXPECT_EQ(ber_first_item(dec.get(), &len, &last), LBER_DEFAULT);
  EXPECT_EQ(dec->current, 2u);
}

TEST(BerDecode, BitStringRules) {
  std::string bits;
  int count = 0;
  auto dec = Decoder({0x03, 0x01, 0x00});  // no bits
  ASSERT_NE(ber_scanf(dec.get(), "B", &bits, &count), -1);
  EXPECT_EQ(count, 0);
  dec = Decoder({0x03, 0x01, 0x03});  // unused bits but no octets
  EXPECT_EQ(ber_scanf(dec.get(), "B", &bits, &count), -1);
  dec = Decoder({0x03, 0x02, 0x09, 0xFF});  // more than 7 unused bits
  EXPECT_EQ(ber_scanf(dec.get(), "B", &bits, &count), -1);
  dec = Decoder({0x03, 0x00});
  EXPECT_EQ(ber_scanf(dec.get(), "B", &bits, &count), -1);
}

TEST(BerTrace, HexPrintAndDump) {
  // Graphic characters print as a blank and themselves, others as two hex
  // digits; 16 items a line; "(end)" when nothing is pending.
  const uint8_t sixteen[16] = {'A', 0x00, ' ', '~', 0x7F, 0xFF, 'z', '0', '1', '2', '3', '4', '5', '6', '7', '8'};
  testing::internal::CaptureStderr();
  ber_hex_print(sixteen, 16);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "\t A 00 20  ~ 7f ff  z  0  1  2  3  4  5  6  7  8\n\t(end)\n");
  testing::internal::CaptureStderr();
  ber_hex_print(sixteen, 2);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "\t A 00\n");
  testing::internal::CaptureStderr();
  ber_hex_print(nullptr, 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "\t(end)\n");

  auto dec = ber_init("\x02\x01\x05", 3);
  ber_read_tag(dec.get());
  testing::internal::CaptureStderr();
  ber_dump(dec.get(), 1);
  std::string out = testing::internal::GetCapturedStderr();
  EXPECT_EQ(out.substr(0, 15), "ber_dump: buf 0");
  EXPECT_NE(out.find("\n          current len 2, contents:\n\t01 05\n"), std::string::npos) << out;
}

}  // namespace
}  // namespace kry
