// Armour decoding: every block of arbitrary text, then re-armouring what
// came out must decode to the same bytes.
#include <cstdlib>

#include "platform/pgp/armor.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<krypgp::ArmorBlock> blocks;
  if (krypgp::DearmorAll(data, size, &blocks) != 0) return 0;
  for (const auto& b : blocks) {
    std::string again = krypgp::Armor(b.label, b.data, b.headers);
    krypgp::ArmorBlock back;
    if (krypgp::DearmorOne(reinterpret_cast<const uint8_t*>(again.data()), again.size(), 0, &back) != 0 ||
        back.data != b.data)
      std::abort();
  }
  return 0;
}
