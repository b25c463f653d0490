// Splitting key dumps: armoured text with a broken block between good ones,
// and cut or damaged binary input that must never crash nor hand on half a
// key.
#include "runtime/keysplit.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "platform/pgp/armor.h"

namespace kry {
namespace {

std::string CorpusText(const std::string& name) {
  const char* dir = std::getenv("KRY_CORPUS");
  std::ifstream in(std::string(dir ? dir : "") + "/" + name, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(KeySplit, ArmouredBlocksAroundABrokenOne) {
  const std::string rsa = CorpusText("rsa.asc"), dsa = CorpusText("dsa-elg.asc");
  if (rsa.empty() || dsa.empty()) GTEST_SKIP() << "no corpus";
  std::string broken = rsa;
  broken.replace(broken.find("-----END"), 5, "xxxxx");  // no END line any more
  SplitResult r;
  SplitKeyDump(rsa + "\nsome mail text\n" + broken + dsa, &r);
  EXPECT_EQ(r.keys.size(), 2u);
  EXPECT_EQ(r.malformed, 1u);
}

TEST(KeySplit, CutAndDamagedBinaryNeverYieldsHalfAKey) {
  const std::string text = CorpusText("multi-uid.asc");
  if (text.empty()) GTEST_SKIP() << "no corpus";
  std::vector<krypgp::ArmorBlock> blocks;
  ASSERT_EQ(krypgp::DearmorAll(reinterpret_cast<const uint8_t*>(text.data()), text.size(), &blocks), kKRYError_NoErr);
  const std::string key(blocks[0].data.begin(), blocks[0].data.end());
  for (size_t cut = 1; cut < key.size(); ++cut) {
    SplitResult r;
    SplitKeyDump(key + key.substr(0, cut), &r);
    // The whole first key always; the cut copy only when its packets all
    // came whole (a key without its last packets is still a key to judge).
    ASSERT_GE(r.keys.size(), 1u) << cut;
    EXPECT_EQ(r.keys[0], key) << cut;
    EXPECT_EQ(r.keys.size() + r.malformed, 2u) << cut;
  }
  std::string damaged = key;
  for (size_t i = 0; i < damaged.size(); i += 7) damaged[i] = static_cast<char>(damaged[i] ^ 0x5A);
  SplitResult r;
  SplitKeyDump(damaged, &r);  // only must not crash or read past the end
  SUCCEED();
}

}  // namespace
}  // namespace kry
