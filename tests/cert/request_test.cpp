// The request-block parser and its line reader.
#include <gtest/gtest.h>

#include <string>

#include "cert/replog.h"
#include "cert/request.h"

namespace kry {
namespace {

const char kWrap[] = "-----BEGIN PGP SIGNED MESSAGE-----\nHash: SHA256\n\n";
const char kSig[] = "-----BEGIN PGP SIGNATURE-----\n\nAAAA\n-----END PGP SIGNATURE-----\n";

int Parse(const std::string& text, ParsedRequest* out, bool wrapper = true) {
  return ProcessReqBuffer(text.data(), text.size(), wrapper, out);
}

std::string Lines(const std::string& s) {
  std::string out;
  const char* p = s.data();
  size_t left = s.size(), len = 0;
  char buf[8];
  while (GetLine(&p, &left, buf, sizeof buf, &len) == 0) out += "[" + std::string(buf, len) + "]";
  return out;
}

TEST(GetLine, TerminatorsTrailingBlanksAndLongLines) {
  EXPECT_EQ(Lines("a\nb\r\nc\rd"), "[a][b][c][d]");
  EXPECT_EQ(Lines("x  \t\n\n\r\n"), "[x][][]");
  // A CR LF pair is one terminator, LF CR is two.
  EXPECT_EQ(Lines("a\n\rb"), "[a][][b]");
  // Only bufSize-1 characters are kept; the rest of the line is skipped.
  EXPECT_EQ(Lines("0123456789abc\nz"), "[0123456][z]");
  EXPECT_EQ(Lines(""), "");
}

TEST(ProcessReqBuffer, DeleteAndDisableLists) {
  ParsedRequest r;
  ASSERT_EQ(Parse(std::string(kWrap) + "REQUEST: DELETE  \n\n0x0123456789ABCDEF\n0xzzzzzzzzzzzzzzzz\n" + kSig, &r), 0);
  EXPECT_EQ(r.kind, kRequestDelete);
  EXPECT_EQ(r.location, 2);
  ASSERT_EQ(r.keyIDs.size(), 2u);
  EXPECT_EQ(r.keyIDs[1], "0xzzzzzzzzzzzzzzzz");
  ASSERT_EQ(Parse(std::string(kWrap) + "request: disable\nLocation: Pending\n\n", &r), 0);
  EXPECT_EQ(r.kind, kRequestDisable);
  EXPECT_EQ(r.location, 1);
  EXPECT_TRUE(r.keyIDs.empty());
  // Short, long and unprefixed IDs are refused as body errors.
  for (const char* bad : {"0x89ABCDEF", "0x0123456789ABCDEF0", "000123456789ABCDEF"})
    EXPECT_EQ(Parse(std::string(kWrap) + "REQUEST: DELETE\n\n" + bad + "\n", &r), -11984) << bad;
}

TEST(ProcessReqBuffer, HeaderErrors) {
  ParsedRequest r;
  const std::string del = "REQUEST: DELETE\n\n0x0123456789ABCDEF\n";
  EXPECT_EQ(Parse(del, &r, true), -11986);  // no wrapper on a plain connection
  EXPECT_EQ(Parse(del, &r, false), 0);
  EXPECT_EQ(Parse(std::string(kWrap) + "REQUEST: DELETE\nREQUEST: DELETE\n\n", &r), -11986);
  EXPECT_EQ(Parse(std::string(kWrap) + "REQUEST: DELETE\nLOCATION: ACTIVE\nLOCATION: ACTIVE\n\n", &r), -11986);
  EXPECT_EQ(Parse(std::string(kWrap) + "REQUEST: DELETE\nPLEASE: NOW\n\n", &r), -11986);
  EXPECT_EQ(Parse(std::string(kWrap) + "LOCATION: ACTIVE\n\n", &r), -11986);   // no kind
  EXPECT_EQ(Parse(std::string(kWrap) + "REQUEST: DELETE\n", &r), -11986);      // headers never end
  EXPECT_EQ(Parse("-----BEGIN PGP SIGNED MESSAGE-----\nHash: SHA1\n", &r), -11986);
  // A thousand repeated headers do not overflow into a valid kind.
  std::string many = kWrap;
  for (int i = 0; i < 1000; ++i) many += "REQUEST: ADD\n";
  EXPECT_EQ(Parse(many + "\n", &r), -11986);
}

TEST(ProcessReqBuffer, AddKeyBlock) {
  ParsedRequest r;
  const std::string body = "- -----BEGIN PGP PUBLIC KEY BLOCK-----\n\nmQINBGE=\n=abcd\n"
                           "- -----END PGP PUBLIC KEY BLOCK-----\n";
  ASSERT_EQ(Parse(std::string(kWrap) + "REQUEST: ADD\n\n" + body + kSig, &r), 0);
  EXPECT_EQ(r.keyBlock, "-----BEGIN PGP PUBLIC KEY BLOCK-----\n\nmQINBGE=\n=abcd\n-----END PGP PUBLIC KEY BLOCK-----\n");
  // The escape is required, and so is the footer.
  EXPECT_EQ(Parse(std::string(kWrap) + "REQUEST: ADD\n\n-----BEGIN PGP PUBLIC KEY BLOCK-----\n", &r), -11984);
  EXPECT_EQ(Parse(std::string(kWrap) + "REQUEST: ADD\n\n- -----BEGIN PGP PUBLIC KEY BLOCK-----\nAAAA\n", &r), -11984);
}

TEST(ProcessReqBuffer, HugeInputsEndCleanly) {
  ParsedRequest r;
  std::string many = std::string(kWrap) + "REQUEST: DELETE\n\n";
  for (int i = 0; i < 100000; ++i) many += "0x0123456789ABCDEF\n";
  ASSERT_EQ(Parse(many, &r), 0);
  EXPECT_EQ(r.keyIDs.size(), 100000u);
  // A 10 KB line is cut to the buffer, so its ID is refused, not truncated
  // into a valid one.
  EXPECT_EQ(Parse(std::string(kWrap) + "REQUEST: DELETE\n\n0x0123456789ABCDEF" + std::string(10240, 'A') + "\n", &r),
            -11984);
}

TEST(RepLogRecord, LayoutAndFolding) {
  const std::string rec = FormatRepLogRecord("replica: a:389\nreplica: b\n", 1700000000, "kryKey", "short");
  EXPECT_EQ(rec,
            "replica: a:389\nreplica: b\ntime: 1700000000\n"
            "dn: kryCertID=virtual,OU=ACTIVE,O=KRY KEYSPACE,C=US\nchangetype: add\nkryKey: short\n\n");
  // A multi-line value is written in base64, folded at 76 columns.
  const std::string block(300, 'k');
  const std::string folded = FormatRepLogRecord("", 1, "kryRequest", block + "\n");
  EXPECT_NE(folded.find("kryRequest:: "), std::string::npos);
  size_t start = 0;
  for (size_t nl = folded.find('\n'); nl != std::string::npos; start = nl + 1, nl = folded.find('\n', start))
    EXPECT_LE(nl - start, 77u);  // the entry-text writer's fold
  EXPECT_EQ(folded.substr(folded.size() - 2), "\n\n");
}

// The loop check names a replica only by its whole host: a client at
// 127.0.0.1 is not the replica at 127.0.0.10.
TEST(RepLogRecord, ReplicaHostsMatchWhole) {
  const std::string list =
      "replica: 127.0.0.10:389\nreplica: ldaps://Replica-B.Example.:636\nreplica: [::1]:389\nreplica: c.example\n";
  for (const char* peer : {"127.0.0.10", "replica-b.example", "REPLICA-B.EXAMPLE.", "::1", "C.example"})
    EXPECT_TRUE(ReplicaListHasHost(list, peer)) << peer;
  for (const char* peer : {"127.0.0.1", "27.0.0.10", "127.0.0.100", "b.example", "example", "c.example.org", "389",
                           "replica", "ldaps", ""})
    EXPECT_FALSE(ReplicaListHasHost(list, peer)) << peer;
}

}  // namespace
}  // namespace kry
