#include "platform/pgp/sksdigest.h"

#include <openssl/evp.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "platform/pgp/packet.h"

namespace krypgp {
namespace {

void PutBE32(uint32_t v, uint8_t* p) {
  p[0] = uint8_t(v >> 24);
  p[1] = uint8_t(v >> 16);
  p[2] = uint8_t(v >> 8);
  p[3] = uint8_t(v);
}

bool PacketLess(const Packet* a, const Packet* b) {
  if (a->tag != b->tag) return a->tag < b->tag;
  return std::lexicographical_compare(a->body.begin(), a->body.end(), b->body.begin(), b->body.end());
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

KRYError ComputeSksDigest(const uint8_t* data, size_t len, SksDigest* out) {
  std::vector<Packet> packets;
  KRYError err = ParsePackets(data, len, &packets);
  if (err != kKRYError_NoErr) return err;
  std::vector<const Packet*> order;
  order.reserve(packets.size());
  for (const Packet& p : packets) order.push_back(&p);
  std::sort(order.begin(), order.end(), PacketLess);

  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) != 1) return kKRYError_CryptoFailure;
  for (const Packet* p : order) {
    uint8_t head[8];
    PutBE32(uint32_t(p->tag), head);
    PutBE32(uint32_t(p->body.size()), head + 4);
    EVP_DigestUpdate(ctx.get(), head, sizeof head);
    if (!p->body.empty()) EVP_DigestUpdate(ctx.get(), p->body.data(), p->body.size());
  }
  unsigned int n = 0;
  if (EVP_DigestFinal_ex(ctx.get(), out->data(), &n) != 1 || n != out->size()) return kKRYError_CryptoFailure;
  return kKRYError_NoErr;
}

std::string SksDigestHex(const SksDigest& d) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string s;
  s.reserve(32);
  for (uint8_t b : d) {
    s += kHex[b >> 4];
    s += kHex[b & 15];
  }
  return s;
}

bool ParseSksDigestHex(const std::string& hex, SksDigest* out) {
  if (hex.size() != 32) return false;
  for (size_t i = 0; i < 16; ++i) {
    int hi = HexValue(hex[2 * i]), lo = HexValue(hex[2 * i + 1]);
    if (hi < 0 || lo < 0) return false;
    (*out)[i] = uint8_t(hi << 4 | lo);
  }
  return true;
}

}  // namespace krypgp
