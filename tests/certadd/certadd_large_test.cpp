// A key block of about 11 MB carrying 50,000 certifications by unknown
// signers: the server must answer it within bounded time and memory and
// keep serving other connections meanwhile.
#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <thread>

#include "certadd_support.h"

namespace krytest {
namespace {

// One version-4 certification packet (type 0x10, RSA, SHA-256) with a
// random issuer and random signature bytes of `mpiBytes` bytes.
std::string ForgedCertification(std::mt19937_64& rng, size_t mpiBytes) {
  std::string body;
  body += '\x04';
  body += '\x10';
  body += '\x01';
  body += '\x08';
  body += std::string("\x00\x06\x05\x02", 4);
  const uint32_t created = 1700000000u + static_cast<uint32_t>(rng() % 10000000);
  for (int s = 24; s >= 0; s -= 8) body += static_cast<char>(created >> s);
  body += std::string("\x00\x0a\x09\x10", 4);
  const uint64_t issuer = rng();
  for (int s = 56; s >= 0; s -= 8) body += static_cast<char>(issuer >> s);
  body += static_cast<char>(rng());
  body += static_cast<char>(rng());
  const size_t bits = mpiBytes * 8;
  body += static_cast<char>(bits >> 8);
  body += static_cast<char>(bits);
  body += static_cast<char>(0x80 | (rng() & 0x7F));
  for (size_t i = 1; i < mpiBytes; ++i) body += static_cast<char>(rng());
  std::string packet;
  packet += '\xC2';  // new format, tag 2
  const size_t len = body.size() - 192;
  packet += static_cast<char>((len >> 8) + 192);
  packet += static_cast<char>(len & 0xFF);
  return packet + body;
}

TEST(CertAddLarge, FiftyThousandCertificationsDoNotStallOthers) {
  if (CorpusDir().empty()) GTEST_SKIP() << "no corpus";
  KeyServer server("");
  ASSERT_TRUE(server.ok()) << server.tree().Output();
  ASSERT_EQ(server.AddFile(Corpus("dsa-elg.asc")).exitCode, 0);

  // The rsa key's packets with the certifications after its user ID's
  // self-signature (the first user ID packet and its signature).
  Gpg gpg;
  ASSERT_EQ(gpg.Run("-o " + ShellQuote(gpg.home() + "/rsa.bin") + " --dearmor " + ShellQuote(Corpus("rsa.asc")))
                .exitCode,
            0);
  const std::string key = ReadFile(gpg.home() + "/rsa.bin");
  std::mt19937_64 rng(42);
  std::string certs;
  for (int i = 0; i < 50000; ++i) certs += ForgedCertification(rng, 192);
  // Insert after the first user ID packet's self-signature: find the user
  // ID packet (tag 13) by its text, then skip its signature packet.
  const size_t uid = key.find("Alice Rsa");
  ASSERT_NE(uid, std::string::npos);
  size_t sig = key.find('\x89', uid);  // old-format tag 2, two-byte length
  ASSERT_NE(sig, std::string::npos);
  const size_t sigLen = (static_cast<unsigned char>(key[sig + 1]) << 8) | static_cast<unsigned char>(key[sig + 2]);
  const size_t insertAt = sig + 3 + sigLen;
  const std::string big = key.substr(0, insertAt) + certs + key.substr(insertAt);
  ASSERT_GT(big.size(), 10u * 1000 * 1000);

  RunResult big_result;
  const auto start = std::chrono::steady_clock::now();
  int refused = 0;
  std::thread adder([&] {
    for (int i = 0; i < 3; ++i) {
      big_result = server.AddBlock(big);
      refused += big_result.exitCode == 21;
    }
  });
  // Another connection is served meanwhile, promptly.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const auto before = std::chrono::steady_clock::now();
  std::vector<std::string> blocks = server.KeyBlocks(ShortIDOf("dsa-elg"));
  const auto searchTime = std::chrono::steady_clock::now() - before;
  EXPECT_EQ(blocks.size(), 1u);
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(searchTime).count(), 5000);
  adder.join();
  const auto total = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
  std::printf("large add: exit %d after %lld s\n", big_result.exitCode, static_cast<long long>(total.count()));
  EXPECT_LT(total.count(), 30);
  EXPECT_EQ(refused, 3) << big_result.output;
  EXPECT_NE(big_result.output.find("more than MaxSignaturesPerUserID (1000) signatures."), std::string::npos)
      << big_result.output;
  EXPECT_TRUE(server.KeyBlocks(ShortIDOf("rsa")).empty());
  EXPECT_TRUE(server.tree().Running());
  EXPECT_EQ(server.KeyBlocks(ShortIDOf("dsa-elg")).size(), 1u);
}

}  // namespace
}  // namespace krytest
