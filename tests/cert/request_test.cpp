// The request-block parser and its line reader.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "cert/replog.h"
#include "cert/request.h"
#include "../pgp/testutil.h"
#include "../support/corpus_ids.h"

namespace kry {
namespace {

// Request text as an unsigned block carries it (key-block lines escaped).
int Parse(const std::string& text, ParsedRequest* out) {
  return ParseRequestText(text.data(), text.size(), true, out);
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
  ASSERT_EQ(Parse(std::string() + "REQUEST: DELETE  \n\n0x0123456789ABCDEF\n0xzzzzzzzzzzzzzzzz\n", &r), 0);
  EXPECT_EQ(r.kind, kRequestDelete);
  EXPECT_EQ(r.location, 2);
  ASSERT_EQ(r.keyIDs.size(), 2u);
  EXPECT_EQ(r.keyIDs[1], "0xzzzzzzzzzzzzzzzz");
  ASSERT_EQ(Parse(std::string() + "request: disable\nLocation: Pending\n\n", &r), 0);
  EXPECT_EQ(r.kind, kRequestDisable);
  EXPECT_EQ(r.location, 1);
  EXPECT_TRUE(r.keyIDs.empty());
  // Short, long and unprefixed IDs are refused as body errors.
  for (const char* bad : {"0x89ABCDEF", "0x0123456789ABCDEF0", "000123456789ABCDEF"})
    EXPECT_EQ(Parse(std::string() + "REQUEST: DELETE\n\n" + bad + "\n", &r), -11984) << bad;
}

TEST(ProcessReqBuffer, HeaderErrors) {
  ParsedRequest r;
  const std::string del = "REQUEST: DELETE\n\n0x0123456789ABCDEF\n";
  EXPECT_EQ(Parse(del, &r), 0);
  EXPECT_EQ(Parse(std::string() + "REQUEST: DELETE\nREQUEST: DELETE\n\n", &r), -11986);
  EXPECT_EQ(Parse(std::string() + "REQUEST: DELETE\nLOCATION: ACTIVE\nLOCATION: ACTIVE\n\n", &r), -11986);
  EXPECT_EQ(Parse(std::string() + "REQUEST: DELETE\nPLEASE: NOW\n\n", &r), -11986);
  EXPECT_EQ(Parse(std::string() + "LOCATION: ACTIVE\n\n", &r), -11986);   // no kind
  EXPECT_EQ(Parse(std::string() + "REQUEST: DELETE\n", &r), -11986);      // headers never end
  EXPECT_EQ(Parse("-----BEGIN PGP SIGNED MESSAGE-----\nHash: SHA1\n", &r), -11986);
  // A thousand repeated headers do not overflow into a valid kind.
  std::string many;
  for (int i = 0; i < 1000; ++i) many += "REQUEST: ADD\n";
  EXPECT_EQ(Parse(many + "\n", &r), -11986);
}

TEST(ProcessReqBuffer, AddKeyBlock) {
  ParsedRequest r;
  const std::string body = "- -----BEGIN PGP PUBLIC KEY BLOCK-----\n\nmQINBGE=\n=abcd\n"
                           "- -----END PGP PUBLIC KEY BLOCK-----\n";
  ASSERT_EQ(Parse(std::string() + "REQUEST: ADD\n\n" + body, &r), 0);
  EXPECT_EQ(r.keyBlock, "-----BEGIN PGP PUBLIC KEY BLOCK-----\n\nmQINBGE=\n=abcd\n-----END PGP PUBLIC KEY BLOCK-----\n");
  // The escape is required, and so is the footer.
  EXPECT_EQ(Parse(std::string() + "REQUEST: ADD\n\n-----BEGIN PGP PUBLIC KEY BLOCK-----\n", &r), -11984);
  EXPECT_EQ(Parse(std::string() + "REQUEST: ADD\n\n- -----BEGIN PGP PUBLIC KEY BLOCK-----\nAAAA\n", &r), -11984);
}

TEST(ProcessReqBuffer, HugeInputsEndCleanly) {
  ParsedRequest r;
  std::string many = std::string() + "REQUEST: DELETE\n\n";
  for (int i = 0; i < 100000; ++i) many += "0x0123456789ABCDEF\n";
  ASSERT_EQ(Parse(many, &r), 0);
  EXPECT_EQ(r.keyIDs.size(), 100000u);
  // A 10 KB line is cut to the buffer, so its ID is refused, not truncated
  // into a valid one.
  EXPECT_EQ(Parse(std::string() + "REQUEST: DELETE\n\n0x0123456789ABCDEF" + std::string(10240, 'A') + "\n", &r),
            -11984);
}

// Clear-signed blocks from the corpus, and forgeries made from them: the
// request must be read from exactly the text the signature covers.
class SignedBlock : public pgptest::Lib {
 protected:
  void SetUp() override {
    if (corpus::Dir().empty()) GTEST_SKIP() << "no corpus";
    Lib::SetUp();
    trusted_ = ImportFile("trusted-signer.asc");
    genuine_ = pgptest::ReadFile(pgptest::Corpus("delete-rsa-by-trusted.req"));
  }
  void TearDown() override {
    if (trusted_) KRYFreeKeySet(trusted_);
    if (ctx) Lib::TearDown();
  }
  int Process(const std::string& block, ParsedRequest* r, bool wrapperRequired = true) {
    return ProcessReqBuffer(block.data(), block.size(), wrapperRequired, ctx, r);
  }
  // Whether the block, as the server reads it, is a delete of `name` that
  // trusted-signer signed.
  bool DeletesByTrusted(const std::string& block, const std::string& name) {
    ParsedRequest r;
    if (Process(block, &r) != 0 || r.kind != kRequestDelete) return false;
    const std::string id = "0x" + corpus::KeyId(name);
    if (std::find(r.keyIDs.begin(), r.keyIDs.end(), id) == r.keyIDs.end()) return false;
    bool verified = false;
    std::string signer;
    return VerifyCertRequest(block.data(), block.size(), trusted_, ctx, &verified, &signer) == 0 && verified;
  }
  static std::string Replace(std::string s, const std::string& from, const std::string& to) {
    for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
      s.replace(at, from.size(), to);
    return s;
  }

  KRYKeySetRef trusted_ = nullptr;
  std::string genuine_;
};

TEST_F(SignedBlock, GenuineBlockInItsLineEndings) {
  EXPECT_TRUE(DeletesByTrusted(genuine_, "rsa"));
  EXPECT_TRUE(DeletesByTrusted(Replace(genuine_, "\n", "\r\n"), "rsa"));
  EXPECT_TRUE(DeletesByTrusted(genuine_ + "\n \t\r\n", "rsa"));
  // CR alone ends no line for the decoder, so nothing is read.
  EXPECT_FALSE(DeletesByTrusted(Replace(genuine_, "\n", "\r"), "rsa"));
  // A dash-escaped key-ID line is signed as the line without its escape.
  const std::string id = "0x" + corpus::KeyId("rsa");
  EXPECT_TRUE(DeletesByTrusted(Replace(genuine_, "\n" + id + "\n", "\n- " + id + "\n"), "rsa"));
  // An add's key block comes back from the signed text without escapes.
  ParsedRequest r;
  ASSERT_EQ(Process(pgptest::ReadFile(pgptest::Corpus("add-signed-by-trusted.req")), &r), 0);
  EXPECT_EQ(r.kind, kRequestAdd);
  EXPECT_EQ(r.keyBlock.rfind("-----BEGIN PGP PUBLIC KEY BLOCK-----\n", 0), 0u) << r.keyBlock;
  EXPECT_EQ(r.keyBlock.find("\n- "), std::string::npos);
  EXPECT_NE(r.keyBlock.find("\n-----END PGP PUBLIC KEY BLOCK-----\n"), std::string::npos);
}

TEST_F(SignedBlock, ForgedHeadersCannotBorrowASignature) {
  const std::string header = "-----BEGIN PGP SIGNED MESSAGE-----";
  const std::string fake = "Hash: SHA512\n\nREQUEST: DELETE\n\n0x" + corpus::KeyId("ed25519") + "\n\n";
  for (const char* end : {"\v", "\f", "\r", " ", "\t", "\r\r", " \v", ""}) {
    const std::string forged = header + end + "\n" + fake + genuine_;
    EXPECT_FALSE(DeletesByTrusted(forged, "ed25519")) << testing::PrintToString(std::string(end));
    EXPECT_FALSE(DeletesByTrusted(Replace(forged, "\n", "\r\n"), "ed25519"));
  }
  // Anything before the armour header, even the genuine request's own
  // text, and anything after the signature is refused.
  ParsedRequest r;
  EXPECT_EQ(Process("REQUEST: DELETE\n\n0x" + corpus::KeyId("ed25519") + "\n\n" + genuine_, &r), -11986);
  EXPECT_EQ(Process("\n" + genuine_, &r), -11986);
  EXPECT_EQ(Process(genuine_ + "0x" + corpus::KeyId("ed25519") + "\n", &r), -11986);
  EXPECT_EQ(Process(genuine_ + "\v", &r), -11986);
  const std::string second = pgptest::ReadFile(pgptest::Corpus("delete-rsa-by-self.req"));
  EXPECT_EQ(Process(genuine_ + second, &r), -11986);
  EXPECT_EQ(Process(genuine_ + "\n" + second, &r), -11986);
  // A key ID slipped in before the signature is read, but not signed.
  const std::string slipped =
      Replace(genuine_, "\n-----BEGIN PGP SIGNATURE", "\n0x" + corpus::KeyId("ed25519") + "\n-----BEGIN PGP SIGNATURE");
  EXPECT_FALSE(DeletesByTrusted(slipped, "ed25519"));
  // A bare CR inside the signed text would split a line the decoder kept.
  const std::string id = "0x" + corpus::KeyId("rsa");
  EXPECT_EQ(Process(Replace(genuine_, "\n" + id + "\n", "\n" + id + "\r0x" + corpus::KeyId("ed25519") + "\n"), &r),
            -11986);
  // A signature block that does not decode is a signature error.
  EXPECT_EQ(Process(Replace(genuine_, "-----END PGP SIGNATURE-----", "-----END PGP SIGNATURE-----x"), &r), 21);
}

TEST_F(SignedBlock, UnsignedBlocksOnlyWhereAllowedAndNeverAroundASignedOne) {
  ParsedRequest r;
  const std::string del = "REQUEST: DELETE\n\n0x" + corpus::KeyId("rsa") + "\n";
  EXPECT_EQ(Process(del, &r, true), -11986);
  ASSERT_EQ(Process(del, &r, false), 0);
  EXPECT_FALSE(r.clearSigned);
  EXPECT_EQ(Process(del + "\n" + genuine_, &r, false), -11986);
  ASSERT_EQ(Process(genuine_, &r, false), 0);
  EXPECT_TRUE(r.clearSigned);
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
