#include "platform/pgp/packet.h"

namespace krypgp {

namespace {

// New-format length (RFC 4880 4.2.2). partial is set for a partial length.
bool ReadNewLength(ByteReader& r, uint32_t* len, bool* partial) {
  uint8_t a;
  if (!r.u8(&a)) return false;
  *partial = false;
  if (a < 192) {
    *len = a;
  } else if (a < 224) {
    uint8_t b;
    if (!r.u8(&b)) return false;
    *len = ((uint32_t(a) - 192) << 8) + b + 192;
  } else if (a == 255) {
    if (!r.u32(len)) return false;
  } else {
    *len = 1u << (a & 0x1F);
    *partial = true;
  }
  return true;
}

}  // namespace

KRYError ReadPacket(ByteReader& r, Packet* out) {
  size_t start = r.pos();
  const uint8_t* startPtr = r.cur();
  uint8_t ctb;
  if (!r.u8(&ctb) || !(ctb & 0x80)) return kKRYError_MalformedPacket;
  out->body.clear();
  out->header.clear();
  if (ctb & 0x40) {
    out->tag = ctb & 0x3F;
    uint32_t len;
    bool partial;
    if (!ReadNewLength(r, &len, &partial)) return kKRYError_MalformedPacket;
    bool wasPartial = partial;
    // RFC 4880: the first partial chunk is at least 512 bytes; we accept
    // smaller ones (they do no harm) but cap the total.
    for (;;) {
      const uint8_t* chunk;
      if (len > kMaxPacketBody || out->body.size() + len > kMaxPacketBody)
        return kKRYError_MalformedPacket;
      if (!r.take(len, &chunk)) return kKRYError_MalformedPacket;
      out->body.insert(out->body.end(), chunk, chunk + len);
      if (!partial) break;
      if (!ReadNewLength(r, &len, &partial)) return kKRYError_MalformedPacket;
    }
    if (!wasPartial) {
      size_t hlen = r.pos() - start - out->body.size();
      out->header.assign(startPtr, startPtr + hlen);
    }
    return kKRYError_NoErr;
  }
  out->tag = (ctb >> 2) & 0x0F;
  uint32_t len = 0;
  switch (ctb & 3) {
    case 0: {
      uint8_t b;
      if (!r.u8(&b)) return kKRYError_MalformedPacket;
      len = b;
      break;
    }
    case 1:
      if (!r.u16(&len)) return kKRYError_MalformedPacket;
      break;
    case 2:
      if (!r.u32(&len)) return kKRYError_MalformedPacket;
      break;
    case 3:  // indeterminate: to the end of the input
      if (r.remaining() > kMaxPacketBody) return kKRYError_MalformedPacket;
      len = uint32_t(r.remaining());
      break;
  }
  if (len > kMaxPacketBody) return kKRYError_MalformedPacket;
  size_t hlen = r.pos() - start;
  const uint8_t* body;
  if (!r.take(len, &body)) return kKRYError_MalformedPacket;
  out->body.assign(body, body + len);
  if ((ctb & 3) != 3) out->header.assign(startPtr, startPtr + hlen);
  return kKRYError_NoErr;
}

KRYError ParsePackets(const uint8_t* data, size_t len, std::vector<Packet>* out) {
  ByteReader r(data, len);
  while (!r.empty()) {
    Packet p;
    KRYError err = ReadPacket(r, &p);
    if (err != kKRYError_NoErr) return err;
    out->push_back(std::move(p));
  }
  return kKRYError_NoErr;
}

void WritePacket(const Packet& p, Bytes* out) {
  if (!p.header.empty()) {
    out->insert(out->end(), p.header.begin(), p.header.end());
    out->insert(out->end(), p.body.begin(), p.body.end());
    return;
  }
  size_t len = p.body.size();
  if (p.tag < 16) {
    uint8_t ctb = uint8_t(0x80 | (p.tag << 2));
    if (len < 256) {
      out->push_back(ctb);
      out->push_back(uint8_t(len));
    } else if (len < 65536) {
      out->push_back(ctb | 1);
      PutU16(out, uint32_t(len));
    } else {
      out->push_back(ctb | 2);
      PutU32(out, uint32_t(len));
    }
  } else {
    out->push_back(uint8_t(0xC0 | p.tag));
    if (len < 192) {
      out->push_back(uint8_t(len));
    } else if (len < 8384) {
      out->push_back(uint8_t(((len - 192) >> 8) + 192));
      out->push_back(uint8_t((len - 192) & 0xFF));
    } else {
      out->push_back(0xFF);
      PutU32(out, uint32_t(len));
    }
  }
  out->insert(out->end(), p.body.begin(), p.body.end());
}

Packet MakePacket(int tag, Bytes body) {
  Packet p;
  p.tag = tag;
  p.body = std::move(body);
  return p;
}

}  // namespace krypgp
