// KRYDecode: finds the signatures of a message, checks each against the
// signer key set and reports them to the caller's event handler.
#include <cstring>

#include "platform/pgp/armor.h"
#include "platform/pgp/internal.h"
#include "platform/pgp/message.h"
#include "platform/pgp/sigpacket.h"

using namespace krypgp;

namespace {

struct Found {
  std::vector<Packet> sigs;
  Bytes literal;
  bool haveLiteral = false;
  bool literalIsText = false;
};

KRYError Collect(const Bytes& data, int depth, Found* f) {
  if (depth > kMaxNesting) return kKRYError_MalformedPacket;
  std::vector<Packet> packets;
  KRYError err = ParsePackets(data.data(), data.size(), &packets);
  if (err != kKRYError_NoErr) return err;
  for (Packet& p : packets) {
    switch (p.tag) {
      case kTagSignature:
        f->sigs.push_back(std::move(p));
        break;
      case kTagCompressed: {
        Bytes inner;
        err = Decompress(p.body, &inner);
        if (err != kKRYError_NoErr) return err;
        err = Collect(inner, depth + 1, f);
        if (err != kKRYError_NoErr) return err;
        break;
      }
      case kTagLiteral: {
        if (f->haveLiteral) return kKRYError_MalformedPacket;  // one message, one literal
        ByteReader r(p.body);
        uint8_t fmt, nameLen;
        uint32_t date;
        if (!r.u8(&fmt) || !r.u8(&nameLen) || !r.skip(nameLen) || !r.u32(&date))
          return kKRYError_MalformedPacket;
        f->literal.assign(r.cur(), r.cur() + r.remaining());
        f->literalIsText = fmt == 't' || fmt == 'u';
        f->haveLiteral = true;
        break;
      }
      default:
        break;  // one-pass signature, marker and others carry nothing we need
    }
  }
  return kKRYError_NoErr;
}

// Text signatures hash the data with CRLF line ends.
Bytes CanonicalText(const Bytes& in) {
  Bytes out;
  out.reserve(in.size() + in.size() / 32);
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] == '\n' && (i == 0 || in[i - 1] != '\r')) out.push_back('\r');
    out.push_back(in[i]);
  }
  return out;
}

KRYError Report(KRYContext* ctx, const KRYDecodeOptions* o, const Packet& p, const Bytes& data,
                const Bytes* canonical) {
  SigInfo info;
  KRYEvent ev;
  std::memset(&ev, 0, sizeof ev);
  ev.type = kKRYEvent_Signature;
  KRYSignatureEventData& e = ev.signatureData;
  bool parsed = ParseSignature(p.body, &info);
  uint64_t id = 0;
  if (parsed) {
    e.creationTime = info.created;
    e.sigType = info.type;
    e.hashAlgorithm = info.hashAlgorithm;
    if (SigIssuer(info, &id)) {
      e.signingKeyID.bytes[0] = 8;
      e.signingKeyID.bytes[1] = uint8_t(info.pkAlgorithm);
      for (int i = 0; i < 8; ++i) e.signingKeyID.bytes[2 + i] = uint8_t(id >> (56 - 8 * i));
      const PublicKeyInfo* signer = nullptr;
      KRYKey* key = o->keySet ? FindKeyByID(o->keySet, id, &signer) : nullptr;
      if (key != nullptr && (info.type == 0x00 || info.type == 0x01)) {
        e.signingKey = key;
        e.checked = 1;
        SigTarget t;
        const Bytes& d = (info.type == 0x01 && canonical) ? *canonical : data;
        t.data = d.data();
        t.dataLen = d.size();
        e.verified =
            VerifySignature(p.body, info, *const_cast<PublicKeyInfo*>(signer), t) ? 1 : 0;
      }
    }
  }
  if (o->eventHandler == nullptr) return kKRYError_NoErr;
  return o->eventHandler(ctx, &ev, o->eventUserData);
}

KRYError Output(const KRYDecodeOptions* o, const uint8_t* data, size_t len) {
  if (o->discardOutput || o->outputData == nullptr) return kKRYError_NoErr;
  char* p = static_cast<char*>(KRYNewData(nullptr, len + 1, 0));
  if (p == nullptr) return kKRYError_OutOfMemory;
  if (len) std::memcpy(p, data, len);
  p[len] = 0;
  *o->outputData = p;
  if (o->outputLength) *o->outputLength = len;
  return kKRYError_NoErr;
}

}  // namespace

KRYError KRYDecode(KRYContextRef context, const KRYDecodeOptions* o) {
  if (context == nullptr || o == nullptr || (o->inputBuffer == nullptr && o->inputLength != 0))
    return kKRYError_BadParams;
  if (o->keySet != nullptr && o->keySet->context != context) return kKRYError_WrongContext;
  if (o->outputData) *o->outputData = nullptr;
  if (o->endOffset) *o->endOffset = o->inputLength;
  const uint8_t* d = static_cast<const uint8_t*>(o->inputBuffer);
  size_t n = o->inputLength;
  if (n > kMaxInput) return kKRYError_TooLarge;

  ClearSigned cs;
  KRYError err = LooksArmored(d, n) ? ParseClearSigned(d, n, &cs) : kKRYError_ItemNotFound;
  if (err == kKRYError_NoErr) {
    Found f;
    err = Collect(cs.signatureData, 0, &f);
    if (err != kKRYError_NoErr) return err;
    for (const Packet& p : f.sigs) {
      err = Report(context, o, p, cs.canonical, &cs.canonical);
      if (err != kKRYError_NoErr) return err;
    }
    if (o->endOffset) *o->endOffset = cs.endOffset;
    return Output(o, reinterpret_cast<const uint8_t*>(cs.text.data()), cs.text.size());
  }
  if (err != kKRYError_ItemNotFound) return err;

  Bytes binary;
  if (LooksArmored(d, n)) {
    ArmorBlock block;
    err = DearmorOne(d, n, 0, &block);
    if (err != kKRYError_NoErr) return err == kKRYError_ItemNotFound ? kKRYError_BadArmor : err;
    binary.swap(block.data);
  } else if (n > 0 && (d[0] & 0x80)) {
    binary.assign(d, d + n);
  } else {
    // Plain text: an unsigned message. Nothing to report.
    return Output(o, d, n);
  }
  Found f;
  err = Collect(binary, 0, &f);
  if (err != kKRYError_NoErr) return err;
  Bytes canonical;
  if (f.haveLiteral) canonical = CanonicalText(f.literal);
  for (const Packet& p : f.sigs) {
    err = Report(context, o, p, f.literal, &canonical);
    if (err != kKRYError_NoErr) return err;
  }
  return Output(o, f.literal.data(), f.literal.size());
}
