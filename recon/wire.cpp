#include "recon/wire.h"

#include "util/bigendian.h"

namespace recon {
namespace {

void PutString(std::string* s, const std::string& v) {
  kry::AppendBE32(s, (uint32_t)v.size());
  s->append(v);
}

void PutZp(std::string* s, const Zp& z) {
  auto b = z.ToBytesLE();
  s->append(reinterpret_cast<const char*>(b.data()), b.size());
}

void PutSet(std::string* s, const std::vector<Zp>& v) {
  kry::AppendBE32(s, (uint32_t)v.size());
  for (const Zp& z : v) PutZp(s, z);
}

void PutPrefix(std::string* s, const Prefix& p) {
  kry::AppendBE32(s, (uint32_t)p.bits);
  kry::AppendBE32(s, (uint32_t)p.bytes.size());
  s->append(reinterpret_cast<const char*>(p.bytes.data()), p.bytes.size());
}

// Reads a body strictly: every read checks what is left, and the caller
// checks that nothing is left over.
class Reader {
 public:
  Reader(const uint8_t* d, size_t n) : d_(d), n_(n) {}
  bool U32(uint32_t* v) {
    if (n_ - pos_ < 4) return false;
    *v = kry::LoadBE32(d_ + pos_);
    pos_ += 4;
    return true;
  }
  bool Bytes(size_t len, std::string* out) {
    if (n_ - pos_ < len) return false;
    out->assign(reinterpret_cast<const char*>(d_ + pos_), len);
    pos_ += len;
    return true;
  }
  bool String(std::string* out) {
    uint32_t len;
    return U32(&len) && Bytes(len, out);
  }
  bool Element(Zp* z) {
    if (n_ - pos_ < (size_t)Zp::kBytes) return false;
    // A value at or above the prime is not an element of the field.
    std::array<uint8_t, Zp::kBytes> raw;
    std::copy(d_ + pos_, d_ + pos_ + Zp::kBytes, raw.begin());
    *z = Zp::FromBytesLE(raw.data(), raw.size());
    pos_ += Zp::kBytes;
    return z->ToBytesLE() == raw;
  }
  DecodeStatus Set(size_t maxElements, std::vector<Zp>* out) {
    uint32_t count;
    if (!U32(&count)) return DecodeStatus::kMalformed;
    if (count > maxElements) return DecodeStatus::kTooMany;
    if ((n_ - pos_) / Zp::kBytes < count) return DecodeStatus::kMalformed;
    out->resize(count);
    for (Zp& z : *out) {
      if (!Element(&z)) return DecodeStatus::kMalformed;
    }
    return DecodeStatus::kOk;
  }
  bool PrefixBits(Prefix* p) {
    uint32_t bits, nbytes;
    std::string raw;
    if (!U32(&bits) || !U32(&nbytes) || bits > 8 * (uint32_t)Zp::kBytes ||
        nbytes != (bits + 7) / 8 || !Bytes(nbytes, &raw)) {
      return false;
    }
    p->bits = (int)bits;
    p->bytes.assign(raw.begin(), raw.end());
    return true;
  }
  bool Done() const { return pos_ == n_; }

 private:
  const uint8_t* d_;
  size_t n_;
  size_t pos_ = 0;
};

DecodeStatus DecodeBody(MsgType t, Reader* r, size_t maxElements, Message* out) {
  DecodeStatus st = DecodeStatus::kOk;
  switch (t) {
    case MsgType::kReconRqstPoly: {
      uint32_t size;
      if (!r->PrefixBits(&out->prefix) || !r->U32(&size)) return DecodeStatus::kMalformed;
      out->size = size;
      st = r->Set(maxElements, &out->samples);
      break;
    }
    case MsgType::kReconRqstFull:
      if (!r->PrefixBits(&out->prefix)) return DecodeStatus::kMalformed;
      st = r->Set(maxElements, &out->elements);
      break;
    case MsgType::kElements:
    case MsgType::kFullElements:
      st = r->Set(maxElements, &out->elements);
      break;
    case MsgType::kSyncFail:
    case MsgType::kDone:
    case MsgType::kFlush:
      break;
    case MsgType::kError:
    case MsgType::kDbRqst:
    case MsgType::kDbRepl:
      if (!r->String(&out->text)) return DecodeStatus::kMalformed;
      break;
    case MsgType::kConfig: {
      uint32_t count;
      if (!r->U32(&count) || count > 64) return DecodeStatus::kMalformed;
      for (uint32_t i = 0; i < count; ++i) {
        std::string k, v;
        if (!r->String(&k) || !r->String(&v)) return DecodeStatus::kMalformed;
        out->config.emplace_back(std::move(k), std::move(v));
      }
      break;
    }
    default:
      return DecodeStatus::kMalformed;
  }
  if (st != DecodeStatus::kOk) return st;
  return r->Done() ? DecodeStatus::kOk : DecodeStatus::kMalformed;
}

}  // namespace

std::string EncodeMessage(const Message& m) {
  std::string body(1, (char)m.type);
  switch (m.type) {
    case MsgType::kReconRqstPoly:
      PutPrefix(&body, m.prefix);
      kry::AppendBE32(&body, (uint32_t)m.size);
      PutSet(&body, m.samples);
      break;
    case MsgType::kReconRqstFull:
      PutPrefix(&body, m.prefix);
      PutSet(&body, m.elements);
      break;
    case MsgType::kElements:
    case MsgType::kFullElements:
      PutSet(&body, m.elements);
      break;
    case MsgType::kError:
    case MsgType::kDbRqst:
    case MsgType::kDbRepl:
      PutString(&body, m.text);
      break;
    case MsgType::kConfig:
      kry::AppendBE32(&body, (uint32_t)m.config.size());
      for (const auto& kv : m.config) {
        PutString(&body, kv.first);
        PutString(&body, kv.second);
      }
      break;
    default:
      break;
  }
  std::string frame;
  PutString(&frame, body);
  return frame;
}

std::string EncodeString(const std::string& s) {
  std::string frame;
  PutString(&frame, s);
  return frame;
}

DecodeStatus DecodeMessage(const uint8_t* data, size_t len, size_t maxElements, Message* out) {
  if (len < 1) return DecodeStatus::kMalformed;
  *out = Message();
  out->type = (MsgType)data[0];
  Reader r(data + 1, len - 1);
  return DecodeBody(out->type, &r, maxElements, out);
}

const char* MsgTypeName(MsgType t) {
  static const char* const kNames[] = {"ReconRqst_Poly", "ReconRqst_Full", "Elements",
                                       "FullElements",   "SyncFail",       "Done",
                                       "Flush",          "Error",          "DbRqst",
                                       "DbRepl",         "Config"};
  size_t i = (size_t)t;
  return i < sizeof(kNames) / sizeof(kNames[0]) ? kNames[i] : "unknown";
}

}  // namespace recon
