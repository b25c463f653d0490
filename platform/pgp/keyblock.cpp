#include "platform/pgp/keyblock.h"

#include "platform/pgp/pubkey.h"
#include "platform/pgp/s2k.h"
#include "platform/pgp/sigpacket.h"

namespace krypgp {

KRYError ParseKeyPacket(const Packet& p, PublicKeyInfo* info, SecretInfo* secret,
                        Packet* publicPacket) {
  bool isSecret = p.tag == kTagSecretKey || p.tag == kTagSecretSubkey;
  size_t publicLen = 0;
  KRYError err = ParsePublicKey(p.body, info, isSecret ? &publicLen : nullptr);
  if (err != kKRYError_NoErr) return err;
  if (!isSecret) {
    *publicPacket = p;
    return kKRYError_NoErr;
  }
  // v6 secret keys lay out their protection differently; the directory
  // never holds them, so they are skipped like any unknown key.
  if (info->version == 6) return kKRYError_UnsupportedAlgorithm;
  err = ParseSecretInfo(p.body, publicLen, secret);
  if (err != kKRYError_NoErr) return err;
  publicPacket->tag = p.tag == kTagSecretKey ? kTagPublicKey : kTagPublicSubkey;
  publicPacket->body = info->body;
  publicPacket->header.clear();
  return kKRYError_NoErr;
}

namespace {

std::unique_ptr<KRYSig> MakeSig(Packet&& p) {
  auto sig = std::make_unique<KRYSig>();
  sig->packet = std::move(p);
  if (!ParseSignature(sig->packet.body, &sig->info)) sig->notCorrupt = false;
  return sig;
}

}  // namespace

KRYError BuildKeys(std::vector<Packet>& packets, BuildResult* out) {
  KRYKey* key = nullptr;
  KRYUserID* uid = nullptr;
  KRYSubKey* sub = nullptr;
  std::vector<Packet>* trailing = nullptr;  // where a trust/unknown packet goes
  bool skipping = false;  // inside a key whose primary could not be read
  for (Packet& p : packets) {
    switch (p.tag) {
      case kTagPublicKey:
      case kTagSecretKey: {
        auto k = std::make_unique<KRYKey>();
        KRYError err = ParseKeyPacket(p, &k->info, &k->secret, &k->publicPacket);
        uid = nullptr;
        sub = nullptr;
        if (err != kKRYError_NoErr) {
          if (err == kKRYError_CryptoFailure) return err;
          ++out->skippedKeys;
          key = nullptr;
          trailing = nullptr;
          skipping = true;
          continue;
        }
        skipping = false;
        if (p.tag == kTagSecretKey) k->secretPacket = std::move(p);
        key = k.get();
        trailing = &key->trailing;
        out->keys.push_back(std::move(k));
        break;
      }
      case kTagPublicSubkey:
      case kTagSecretSubkey: {
        if (key == nullptr) continue;
        auto s = std::make_unique<KRYSubKey>();
        KRYError err = ParseKeyPacket(p, &s->info, &s->secret, &s->publicPacket);
        if (err == kKRYError_CryptoFailure) return err;
        if (err != kKRYError_NoErr) {
          // An unreadable subkey (e.g. an algorithm from the future) is
          // kept opaque so that it is written back unchanged.
          s->info = PublicKeyInfo();
          s->publicPacket = p;
          s->publicPacket.tag = kTagPublicSubkey;
          if (p.tag == kTagSecretSubkey) return err;
        } else if (p.tag == kTagSecretSubkey) {
          s->secretPacket = std::move(p);
        }
        s->key = key;
        sub = s.get();
        uid = nullptr;
        trailing = &sub->trailing;
        key->subKeys.push_back(std::move(s));
        break;
      }
      case kTagUserID:
      case kTagUserAttribute: {
        if (key == nullptr) continue;
        auto u = std::make_unique<KRYUserID>();
        u->packet = std::move(p);
        u->key = key;
        uid = u.get();
        sub = nullptr;
        trailing = &uid->trailing;
        key->userIDs.push_back(std::move(u));
        break;
      }
      case kTagSignature: {
        if (key == nullptr) continue;
        auto sig = MakeSig(std::move(p));
        sig->key = key;
        KRYSig* raw = sig.get();
        if (sub != nullptr) {
          sig->subKey = sub;
          sub->sigs.push_back(std::move(sig));
        } else if (uid != nullptr) {
          sig->userID = uid;
          uid->sigs.push_back(std::move(sig));
        } else {
          key->sigs.push_back(std::move(sig));
        }
        trailing = &raw->trailing;
        break;
      }
      default:
        if (skipping || trailing == nullptr) continue;
        trailing->push_back(std::move(p));
        break;
    }
  }
  return kKRYError_NoErr;
}

namespace {

void WriteTrailing(const std::vector<Packet>& trailing, const ExportSpec& fileSpec, Bytes* out) {
  if (fileSpec.basic) return;
  for (const Packet& p : trailing) WritePacket(p, out);
}

void WriteSigs(const SigList& sigs, const ExportSpec& fileSpec, Bytes* out) {
  for (const auto& s : sigs) {
    if (s->removed) continue;
    WritePacket(s->packet, out);
    WriteTrailing(s->trailing, fileSpec, out);
  }
}

}  // namespace

void SerializeKey(const KRYKey& key, const ExportSpec& fileSpec, Bytes* out) {
  bool secret = fileSpec.withSecret && key.secretPacket.tag != 0;
  WritePacket(secret ? key.secretPacket : key.publicPacket, out);
  WriteTrailing(key.trailing, fileSpec, out);
  WriteSigs(key.sigs, fileSpec, out);
  for (const auto& u : key.userIDs) {
    if (u->removed || (fileSpec.basic && u->isAttribute())) continue;
    WritePacket(u->packet, out);
    WriteTrailing(u->trailing, fileSpec, out);
    WriteSigs(u->sigs, fileSpec, out);
  }
  for (const auto& s : key.subKeys) {
    if (s->removed) continue;
    bool subSecret = fileSpec.withSecret && s->secretPacket.tag != 0;
    WritePacket(subSecret ? s->secretPacket : s->publicPacket, out);
    WriteTrailing(s->trailing, fileSpec, out);
    WriteSigs(s->sigs, fileSpec, out);
  }
}

}  // namespace krypgp
