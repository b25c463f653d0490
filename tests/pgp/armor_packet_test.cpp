// Armour and packet framing.
#include "platform/pgp/armor.h"
#include "platform/pgp/packet.h"
#include "tests/pgp/testutil.h"

using namespace krypgp;

namespace {

const uint8_t* U(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

TEST(Armor, Crc24MatchesTheOpenPGPCheckValue) {
  EXPECT_EQ(0xB704CEu, Crc24(nullptr, 0));
  EXPECT_EQ(0x21CF02u, Crc24(U("123456789"), 9));
}

TEST(Armor, RoundTripsWithHeadersAndSeveralBlocks) {
  Bytes data;
  for (int i = 0; i < 1000; ++i) data.push_back(uint8_t(i * 7));
  std::string one = Armor("PGP PUBLIC KEY BLOCK", data, {{"Comment", "first: block"}});
  Bytes small = {1, 2};
  std::string text = "leading junk\r\n" + one + "between\n" + Armor("PGP SIGNATURE", small);
  std::vector<ArmorBlock> blocks;
  ASSERT_EQ(0, DearmorAll(U(text), text.size(), &blocks));
  ASSERT_EQ(2u, blocks.size());
  EXPECT_EQ("PGP PUBLIC KEY BLOCK", blocks[0].label);
  ASSERT_EQ(1u, blocks[0].headers.size());
  EXPECT_EQ("first: block", blocks[0].headers[0].second);
  EXPECT_EQ(data, blocks[0].data);
  EXPECT_EQ(small, blocks[1].data);
  // Lines are at most 64 columns, as GnuPG writes them.
  std::istringstream in(one);
  std::string line;
  while (std::getline(in, line)) EXPECT_LE(line.size(), 64u);
}

TEST(Armor, CRLFAndTrailingBlanksAreAccepted) {
  Bytes data = {0x99, 0x01, 0x02, 0x03};
  std::string text = Armor("PGP MESSAGE", data);
  std::string crlf;
  for (char c : text) {
    if (c == '\n') crlf += "  \r";
    crlf += c;
  }
  ArmorBlock b;
  ASSERT_EQ(0, DearmorOne(U(crlf), crlf.size(), 0, &b));
  EXPECT_EQ(data, b.data);
}

TEST(Armor, BrokenBlocksAreRefused) {
  Bytes data = {10, 20, 30, 40, 50};
  std::string good = Armor("PGP PUBLIC KEY BLOCK", data);
  ArmorBlock b;
  std::string badCrc = good;
  badCrc[badCrc.find("\n=") + 2] ^= 1;
  EXPECT_EQ(kKRYError_ArmorChecksum, DearmorOne(U(badCrc), badCrc.size(), 0, &b));
  std::string noEnd = good.substr(0, good.find("-----END"));
  EXPECT_EQ(kKRYError_BadArmor, DearmorOne(U(noEnd), noEnd.size(), 0, &b));
  std::string wrongEnd = good;
  wrongEnd.replace(wrongEnd.find("END PGP PUBLIC"), 14, "END PGP PRIVAT");
  EXPECT_EQ(kKRYError_BadArmor, DearmorOne(U(wrongEnd), wrongEnd.size(), 0, &b));
  std::string badChar = good;
  badChar[badChar.find("\n\n") + 2] = '*';
  EXPECT_EQ(kKRYError_BadArmor, DearmorOne(U(badChar), badChar.size(), 0, &b));
  std::string none = "no armour here\n";
  EXPECT_EQ(kKRYError_ItemNotFound, DearmorOne(U(none), none.size(), 0, &b));
}

TEST(Packet, OldAndNewHeaderFormsRoundTrip) {
  for (size_t len : {0u, 1u, 191u, 192u, 255u, 256u, 8383u, 8384u, 70000u}) {
    for (int tag : {kTagUserID, kTagUserAttribute}) {
      Packet p = MakePacket(tag, Bytes(len, 0xAB));
      Bytes out;
      WritePacket(p, &out);
      std::vector<Packet> back;
      ASSERT_EQ(0, ParsePackets(out.data(), out.size(), &back)) << len;
      ASSERT_EQ(1u, back.size());
      EXPECT_EQ(tag, back[0].tag);
      EXPECT_EQ(p.body, back[0].body);
      // What was read is written back byte for byte.
      Bytes again;
      WritePacket(back[0], &again);
      EXPECT_EQ(out, again);
    }
  }
}

TEST(Packet, PartialLengthsAreJoined) {
  // New-format literal packet: 512-byte partial chunk, 2-byte chunk via a
  // 1-byte length, then a final definite length.
  Bytes raw = {0xCB, 0xE9};  // tag 11, partial 2^9
  for (int i = 0; i < 512; ++i) raw.push_back(uint8_t(i));
  raw.push_back(0xE1);  // partial 2^1
  raw.push_back(0xAA);
  raw.push_back(0xBB);
  raw.push_back(3);  // final 3 bytes
  raw.insert(raw.end(), {1, 2, 3});
  std::vector<Packet> ps;
  ASSERT_EQ(0, ParsePackets(raw.data(), raw.size(), &ps));
  ASSERT_EQ(1u, ps.size());
  EXPECT_EQ(517u, ps[0].body.size());
  EXPECT_TRUE(ps[0].header.empty());  // rewritten with a definite length
  // A partial chain that runs off the end is refused.
  Bytes cut(raw.begin(), raw.begin() + 520);
  ps.clear();
  EXPECT_EQ(kKRYError_MalformedPacket, ParsePackets(cut.data(), cut.size(), &ps));
}

TEST(Packet, LengthsPastTheInputAreRefused) {
  const Bytes cases[] = {
      {0x99, 0x10, 0x00, 0x01},              // old format, 2-byte length 4096, 1 byte there
      {0xC2, 0xFF, 0x7F, 0xFF, 0xFF, 0xFF},  // new format, 4-byte length ~2 GB
      {0x80},                                // no length at all
      {0x40, 0x00},                          // bit 7 clear: not a packet
      {0xC2, 0xC5},                          // two-octet length missing its second octet
  };
  for (const Bytes& c : cases) {
    std::vector<Packet> ps;
    EXPECT_EQ(kKRYError_MalformedPacket, ParsePackets(c.data(), c.size(), &ps));
  }
}

}  // namespace
