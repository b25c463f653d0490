// Compressed-data packets (RFC 4880 5.6): 1 ZIP (raw deflate), 2 ZLIB,
// 3 BZip2. Output is capped so a small bomb cannot exhaust memory.
#include <bzlib.h>
#include <zlib.h>

#include "platform/pgp/message.h"

namespace krypgp {

namespace {

KRYError Inflate(const uint8_t* in, size_t len, bool raw, Bytes* out) {
  z_stream zs{};
  if (inflateInit2(&zs, raw ? -15 : 15) != Z_OK) return kKRYError_OutOfMemory;
  zs.next_in = const_cast<Bytef*>(in);
  zs.avail_in = uInt(len);
  uint8_t buf[65536];
  int rc = Z_OK;
  while (rc != Z_STREAM_END) {
    zs.next_out = buf;
    zs.avail_out = sizeof buf;
    rc = inflate(&zs, Z_NO_FLUSH);
    if (rc != Z_OK && rc != Z_STREAM_END) break;
    size_t got = sizeof buf - zs.avail_out;
    if (out->size() + got > kMaxDecompressed) {
      inflateEnd(&zs);
      return kKRYError_TooLarge;
    }
    out->insert(out->end(), buf, buf + got);
    if (rc == Z_OK && got == 0 && zs.avail_in == 0) break;  // truncated stream
  }
  inflateEnd(&zs);
  // Raw deflate data from some writers lacks a final block marker; what was
  // decoded is still the message, so only hard errors count.
  if (rc == Z_DATA_ERROR || rc == Z_MEM_ERROR || rc == Z_NEED_DICT) return kKRYError_Decompression;
  if (rc != Z_STREAM_END && !raw) return kKRYError_Decompression;
  return kKRYError_NoErr;
}

KRYError Bunzip(const uint8_t* in, size_t len, Bytes* out) {
  bz_stream bs{};
  if (BZ2_bzDecompressInit(&bs, 0, 0) != BZ_OK) return kKRYError_OutOfMemory;
  bs.next_in = const_cast<char*>(reinterpret_cast<const char*>(in));
  bs.avail_in = unsigned(len);
  char buf[65536];
  int rc = BZ_OK;
  while (rc != BZ_STREAM_END) {
    bs.next_out = buf;
    bs.avail_out = sizeof buf;
    rc = BZ2_bzDecompress(&bs);
    if (rc != BZ_OK && rc != BZ_STREAM_END) break;
    size_t got = sizeof buf - bs.avail_out;
    if (out->size() + got > kMaxDecompressed) {
      BZ2_bzDecompressEnd(&bs);
      return kKRYError_TooLarge;
    }
    out->insert(out->end(), buf, buf + got);
    if (rc == BZ_OK && got == 0 && bs.avail_in == 0) break;
  }
  BZ2_bzDecompressEnd(&bs);
  return rc == BZ_STREAM_END ? kKRYError_NoErr : kKRYError_Decompression;
}

}  // namespace

KRYError Decompress(const Bytes& body, Bytes* out) {
  if (body.empty()) return kKRYError_MalformedPacket;
  if (body.size() - 1 > 0xFFFFFFFFu) return kKRYError_TooLarge;
  const uint8_t* in = body.data() + 1;
  size_t len = body.size() - 1;
  switch (body[0]) {
    case 0: out->assign(in, in + len); return kKRYError_NoErr;
    case 1: return Inflate(in, len, true, out);
    case 2: return Inflate(in, len, false, out);
    case 3: return Bunzip(in, len, out);
    default: return kKRYError_UnsupportedAlgorithm;
  }
}

}  // namespace krypgp
