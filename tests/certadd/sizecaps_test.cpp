// Size caps on submitted keys: flooded and oversized keys built here from a
// corpus key and forged packets are refused over LDAP and HKP with a text
// naming the cap, and what is stored stays as it was.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "certadd_support.h"
#include "support/corpus_ids.h"

namespace krytest {
namespace {

// An old-format packet header for `tag` and a body of `len` bytes.
std::string Header(int tag, size_t len) {
  std::string h;
  if (len < 256) return h + static_cast<char>(0x80 | (tag << 2)) + static_cast<char>(len);
  h += static_cast<char>(0x80 | (tag << 2) | 2);
  for (int s = 24; s >= 0; s -= 8) h += static_cast<char>(len >> s);
  return h;
}

// A version-4 certification (RSA, SHA-256) by a random issuer whose
// signature is `mpiBytes` random bytes: cheap to make, and a server that
// has not the issuer's key cannot tell it from a real one.
std::string Certification(std::mt19937_64& rng, size_t mpiBytes) {
  std::string body("\x04\x10\x01\x08\x00\x06\x05\x02", 8);
  const uint32_t created = 1700000000u + static_cast<uint32_t>(rng() % 10000000);
  for (int s = 24; s >= 0; s -= 8) body += static_cast<char>(created >> s);
  body += std::string("\x00\x0a\x09\x10", 4);
  const uint64_t issuer = rng();
  for (int s = 56; s >= 0; s -= 8) body += static_cast<char>(issuer >> s);
  body += std::string("\x12\x34", 2);
  body += static_cast<char>((mpiBytes * 8) >> 8);
  body += static_cast<char>(mpiBytes * 8);
  body += static_cast<char>(0x80 | (rng() & 0x7F));
  for (size_t i = 1; i < mpiBytes; ++i) body += static_cast<char>(rng());
  return Header(2, body.size()) + body;
}

// The binary packets of corpus key `name`.
std::string BinaryKey(const std::string& name) {
  Gpg gpg;
  const std::string out = gpg.home() + "/key.bin";
  EXPECT_EQ(gpg.Run("-o " + ShellQuote(out) + " --dearmor " + ShellQuote(Corpus(name + ".asc"))).exitCode, 0);
  return ReadFile(out);
}

// `key` with `packets` placed after the self-signature of its first user ID
// (the packet after the user ID packet that holds `userID`).
std::string Insert(const std::string& key, const std::string& userID, const std::string& packets) {
  const size_t uid = key.find(userID);
  EXPECT_NE(uid, std::string::npos);
  const size_t sig = key.find('\x89', uid);  // old-format tag 2, two-byte length
  const size_t len = (static_cast<unsigned char>(key[sig + 1]) << 8) | static_cast<unsigned char>(key[sig + 2]);
  return key.substr(0, sig + 3 + len) + packets + key.substr(sig + 3 + len);
}

// ASCII armour (RFC 4880 section 6) around binary packets.
std::string Armour(const std::string& bin) {
  uint32_t crc = 0xB704CE;
  for (unsigned char c : bin) {
    crc ^= static_cast<uint32_t>(c) << 16;
    for (int i = 0; i < 8; ++i) crc = (crc << 1) ^ ((crc & 0x800000) ? 0x864CFB : 0);
  }
  static const char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  auto encode = [](const std::string& in) {
    std::string out;
    for (size_t i = 0; i < in.size(); i += 3) {
      uint32_t v = static_cast<unsigned char>(in[i]) << 16;
      if (i + 1 < in.size()) v |= static_cast<unsigned char>(in[i + 1]) << 8;
      if (i + 2 < in.size()) v |= static_cast<unsigned char>(in[i + 2]);
      out += kB64[v >> 18];
      out += kB64[(v >> 12) & 63];
      out += i + 1 < in.size() ? kB64[(v >> 6) & 63] : '=';
      out += i + 2 < in.size() ? kB64[v & 63] : '=';
    }
    return out;
  };
  std::string body = encode(bin), text = "-----BEGIN PGP PUBLIC KEY BLOCK-----\n\n";
  for (size_t i = 0; i < body.size(); i += 64) text += body.substr(i, 64) + "\n";
  const std::string c{static_cast<char>(crc >> 16), static_cast<char>(crc >> 8), static_cast<char>(crc)};
  return text + "=" + encode(c) + "\n-----END PGP PUBLIC KEY BLOCK-----\n";
}

// Status and body of an HKP submission of `block`.
std::pair<int, std::string> HkpSubmit(int port, const std::string& dir, const std::string& block) {
  WriteFile(dir + "/submit.asc", block);
  RunResult r = RunShell("curl -s --max-time 60 -o " + ShellQuote(dir + "/body") +
                         " -w '%{http_code}' --data-urlencode keytext@" + ShellQuote(dir + "/submit.asc") +
                         " http://127.0.0.1:" + std::to_string(port) + "/pks/add");
  return {std::atoi(r.output.c_str()), ReadFile(dir + "/body")};
}

class SizeCaps : public ::testing::Test {
 protected:
  void SetUp() override {
    if (CorpusDir().empty()) GTEST_SKIP() << "no corpus";
    key_ = BinaryKey("rsa");
  }
  std::string key_;
  std::mt19937_64 rng_{23};
};

TEST_F(SizeCaps, FloodedAndOversizedKeysAreRefusedAndTheStoredCopyStays) {
  const int hkp = FreePort();
  KeyServer server("HKPPort " + std::to_string(hkp) + "\n");
  ASSERT_TRUE(server.ok()) << server.tree().Output();
  ASSERT_EQ(server.AddFile(Corpus("rsa.asc")).exitCode, 0);
  const std::vector<std::string> before = server.KeyBlocks(corpus::ShortId("rsa"));
  ASSERT_EQ(before.size(), 1u);

  std::string flood;
  for (int i = 0; i < 20000; ++i) flood += Certification(rng_, 8);
  const std::string flooded = Insert(key_, "Alice Rsa", flood);
  ASSERT_LT(flooded.size(), 1000000u);  // under MaxKeyLength: the signature caps must catch it
  RunResult r = server.AddBlock(flooded);
  EXPECT_EQ(r.exitCode, 21) << r.output;
  EXPECT_NE(r.output.find("Certificate has a user ID with more than MaxSignaturesPerUserID (1000) signatures."),
            std::string::npos)
      << r.output;
  const auto answer = HkpSubmit(hkp, server.tree().log, Armour(flooded));
  EXPECT_EQ(answer.first, 422);
  EXPECT_NE(answer.second.find("MaxSignaturesPerUserID (1000)"), std::string::npos) << answer.second;
  EXPECT_TRUE(server.tree().WaitForEvent("MaxSignaturesPerUserID", 5000));

  // Each packet cap, one key each.
  const std::string longUserID = Header(13, 9000) + std::string(9000, 'u');
  r = server.AddBlock(Insert(key_, "Alice Rsa", longUserID));
  EXPECT_EQ(r.exitCode, 21);
  EXPECT_NE(r.output.find("has a packet longer than MaxPacketLength (8192 bytes)."), std::string::npos) << r.output;
  r = server.AddBlock(Insert(key_, "Alice Rsa", Certification(rng_, 70000)));
  EXPECT_EQ(r.exitCode, 21);
  EXPECT_NE(r.output.find("has a signature packet longer than MaxSigPacketLength (65536 bytes)."), std::string::npos)
      << r.output;
  std::string big;
  for (int i = 0; i < 600; ++i) big += Certification(rng_, 2000);
  r = server.AddBlock(Insert(key_, "Alice Rsa", big));
  EXPECT_EQ(r.exitCode, 21);
  EXPECT_NE(r.output.find("is longer than MaxKeyLength (1048576 bytes)."), std::string::npos) << r.output;

  EXPECT_EQ(server.KeyBlocks(corpus::ShortId("rsa")), before);
}

TEST_F(SizeCaps, TotalSignaturesAndMergesPastACapAreRefused) {
  KeyServer server("MaxSignatures 60\n");
  ASSERT_TRUE(server.ok()) << server.tree().Output();
  std::string first;
  for (int i = 0; i < 40; ++i) first += Certification(rng_, 64);
  RunResult r = server.AddBlock(Insert(key_, "Alice Rsa", first));
  ASSERT_EQ(r.exitCode, 0) << r.output;
  const std::vector<std::string> stored = server.KeyBlocks(corpus::ShortId("rsa"));
  ASSERT_EQ(stored.size(), 1u);

  // 40 more keep to the cap on their own, not with the 40 stored.
  std::string second;
  for (int i = 0; i < 40; ++i) second += Certification(rng_, 64);
  r = server.AddBlock(Insert(key_, "Alice Rsa", second));
  EXPECT_EQ(r.exitCode, 21);
  EXPECT_NE(r.output.find("With the stored copy, the certificate carries more than MaxSignatures (60) signatures."),
            std::string::npos)
      << r.output;
  EXPECT_EQ(server.KeyBlocks(corpus::ShortId("rsa")), stored);

  r = server.AddBlock(Insert(key_, "Alice Rsa", first + second));
  EXPECT_EQ(r.exitCode, 21);
  EXPECT_NE(r.output.find("Certificate carries more than MaxSignatures (60) signatures."), std::string::npos)
      << r.output;
}

}  // namespace
}  // namespace krytest
