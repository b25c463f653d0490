#include "runtime/keysplit.h"

#include "platform/pgp/armor.h"
#include "platform/pgp/packet.h"

namespace kry {

namespace {

// The tag of a packet header's first byte (new or old format).
int HeaderTag(uint8_t first) { return (first & 0x40) ? (first & 0x3F) : ((first >> 2) & 0x0F); }

void SplitBinary(const uint8_t* data, size_t len, SplitResult* out) {
  krypgp::ByteReader r(data, len);
  size_t keyStart = 0;
  bool inKey = false, strayCounted = false;
  while (!r.empty()) {
    const size_t at = r.pos();
    krypgp::Packet p;
    if (krypgp::ReadPacket(r, &p) != kKRYError_NoErr) {
      // A broken header of the next key leaves the key before it whole;
      // any other broken packet cuts that key short, and it is not handed
      // on in part.
      ++out->malformed;
      if (inKey && HeaderTag(data[at]) == krypgp::kTagPublicKey)
        out->keys.emplace_back(reinterpret_cast<const char*>(data) + keyStart, at - keyStart);
      return;
    }
    if (p.tag == krypgp::kTagPublicKey) {
      if (inKey) out->keys.emplace_back(reinterpret_cast<const char*>(data) + keyStart, at - keyStart);
      keyStart = at;
      inKey = true;
    } else if (!inKey && !strayCounted) {
      ++out->malformed;
      strayCounted = true;
    }
  }
  if (inKey) out->keys.emplace_back(reinterpret_cast<const char*>(data) + keyStart, len - keyStart);
}

}  // namespace

void SplitKeyDump(const std::string& data, SplitResult* out) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(data.data());
  if (data.empty()) return;
  if (bytes[0] & 0x80) {
    SplitBinary(bytes, data.size(), out);
    return;
  }
  // Text: every armour block in it, one after the other; a broken block is
  // skipped past its BEGIN line so that the blocks after it still load.
  size_t from = 0;
  while (from < data.size()) {
    krypgp::ArmorBlock block;
    const KRYError err = krypgp::DearmorOne(bytes, data.size(), from, &block);
    if (err == kKRYError_ItemNotFound) return;
    if (err != kKRYError_NoErr) {
      ++out->malformed;
      const size_t begin = data.find("-----BEGIN", from);
      if (begin == std::string::npos) return;
      from = begin + 1;
      continue;
    }
    SplitBinary(block.data.data(), block.data.size(), out);
    from = block.endOffset > from ? block.endOffset : data.size();
  }
}

}  // namespace kry
