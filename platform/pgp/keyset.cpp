// Key sets: making, filling, merging, import and export, signer look-up.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "platform/pgp/armor.h"
#include "platform/pgp/keyblock.h"
#include "platform/pgp/merge.h"
#include "platform/pgp/sigcheck.h"
#include "platform/pgp/internal.h"

namespace krypgp {

std::string FingerprintString(const PublicKeyInfo& info) {
  return std::string(reinterpret_cast<const char*>(info.fingerprint.data()),
                     size_t(info.fingerprintLen));
}

void IndexKey(KRYKeySet* set, KRYKey* key) {
  key->set = set;
  set->byFingerprint[FingerprintString(key->info)] = key;
  set->byKeyID.emplace(key->info.keyID64, key);
  for (auto& sub : key->subKeys)
    if (sub->info.fingerprintLen != 0) set->byKeyID.emplace(sub->info.keyID64, key);
}

void ReindexSet(KRYKeySet* set) {
  set->byFingerprint.clear();
  set->byKeyID.clear();
  for (auto& k : set->keys) IndexKey(set, k.get());
}

KRYKey* FindKeyByID(const KRYKeySet* set, uint64_t id, const PublicKeyInfo** info) {
  auto range = set->byKeyID.equal_range(id);
  for (auto it = range.first; it != range.second; ++it) {
    KRYKey* k = it->second;
    if (k->info.keyID64 == id) {
      if (info) *info = &k->info;
      return k;
    }
    for (auto& sub : k->subKeys)
      if (!sub->removed && sub->info.fingerprintLen != 0 && sub->info.keyID64 == id) {
        if (info) *info = &sub->info;
        return k;
      }
  }
  return nullptr;
}

SignerLookup ContextLookup(KRYContext* ctx, const KRYKeySet* first, const KRYKeySet* skip) {
  return [ctx, first, skip](uint64_t id, KRYKey** owner) -> PublicKeyInfo* {
    const PublicKeyInfo* info = nullptr;
    if (first != nullptr) {
      if (KRYKey* k = FindKeyByID(first, id, &info)) {
        *owner = k;
        return const_cast<PublicKeyInfo*>(info);
      }
    }
    if (ctx == nullptr) return nullptr;
    for (KRYKeySet* s : ctx->sets) {
      if (s == first || s == skip) continue;
      if (KRYKey* k = FindKeyByID(s, id, &info)) {
        *owner = k;
        return const_cast<PublicKeyInfo*>(info);
      }
    }
    return nullptr;
  };
}

// Merges a key into the set (taking ownership), keeping the indexes right.
// Returns the key in the set.
KRYKey* AddKeyToSet(KRYKeySet* set, std::unique_ptr<KRYKey> key) {
  auto it = set->byFingerprint.find(FingerprintString(key->info));
  if (it != set->byFingerprint.end()) {
    KRYKey* t = it->second;
    size_t subsBefore = t->subKeys.size();
    MergeKey(t, *key);
    for (size_t i = subsBefore; i < t->subKeys.size(); ++i)
      if (t->subKeys[i]->info.fingerprintLen != 0) set->byKeyID.emplace(t->subKeys[i]->info.keyID64, t);
    return t;
  }
  KRYKey* raw = key.get();
  set->keys.push_back(std::move(key));
  IndexKey(set, raw);
  return raw;
}

KRYError NewSet(KRYContext* ctx, KRYKeySet** out) {
  auto* s = new (std::nothrow) KRYKeySet;
  if (s == nullptr) return kKRYError_OutOfMemory;
  s->context = ctx;
  ctx->sets.insert(s);
  *out = s;
  return kKRYError_NoErr;
}

void DeleteSet(KRYKeySet* set) {
  if (set == nullptr) return;
  if (set->context) set->context->sets.erase(set);
  delete set;
}

KRYError ReadAllPackets(const uint8_t* data, size_t len, std::vector<Packet>* packets) {
  // Binary packets start with a byte that has its top bit set; anything
  // else is text that may hold armour blocks anywhere (mail, requests).
  if (len > 0 && !(data[0] & 0x80)) {
    std::vector<ArmorBlock> blocks;
    KRYError err = DearmorAll(data, len, &blocks);
    if (err == kKRYError_ItemNotFound) return kKRYError_BadArmor;
    if (err != kKRYError_NoErr) return err;
    for (const ArmorBlock& b : blocks) {
      err = ParsePackets(b.data.data(), b.data.size(), packets);
      if (err != kKRYError_NoErr) return err;
    }
    return kKRYError_NoErr;
  }
  return ParsePackets(data, len, packets);
}

KRYError ReadFile(const std::string& path, Bytes* out) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return errno == ENOENT ? kKRYError_FileNotFound : kKRYError_FileIO;
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> guard(f, std::fclose);
  uint8_t buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
    if (out->size() + n > kMaxInput) return kKRYError_TooLarge;
    out->insert(out->end(), buf, buf + n);
  }
  return std::ferror(f) ? kKRYError_FileIO : kKRYError_NoErr;
}

KRYError ImportInto(KRYContext* ctx, const uint8_t* data, size_t len, KRYKeySet* set, bool check) {
  if (len > kMaxInput) return kKRYError_TooLarge;
  std::vector<Packet> packets;
  KRYError err = ReadAllPackets(data, len, &packets);
  if (err != kKRYError_NoErr) return err;
  BuildResult built;
  err = BuildKeys(packets, &built);
  if (err != kKRYError_NoErr) return err;
  if (built.keys.empty()) return built.skippedKeys ? kKRYError_UnsupportedAlgorithm : kKRYError_NoKeyData;
  std::vector<KRYKey*> added;
  added.reserve(built.keys.size());
  for (auto& k : built.keys) added.push_back(AddKeyToSet(set, std::move(k)));
  if (!check) return kKRYError_NoErr;
  SignerLookup lookup = ContextLookup(ctx, set, nullptr);
  for (KRYKey* k : added) CheckKeySignatures(k, lookup, false);
  return kKRYError_NoErr;
}

KRYError ExportBytes(const KRYKeySet* set, int format, bool withSecret, bool binary,
                     std::string* out) {
  if (format != 0 && format != kKRYExportFormat_Basic && format != kKRYExportFormat_Complete)
    return kKRYError_BadParams;
  ExportSpec fileSpec;
  fileSpec.basic = format == kKRYExportFormat_Basic;
  fileSpec.withSecret = withSecret;
  Bytes data;
  bool anySecret = false;
  for (const auto& k : set->keys) {
    SerializeKey(*k, fileSpec, &data);
    anySecret |= withSecret && k->secretPacket.tag != 0;
  }
  if (binary) {
    out->assign(data.begin(), data.end());
  } else {
    *out = Armor(anySecret ? "PGP PRIVATE KEY BLOCK" : "PGP PUBLIC KEY BLOCK", data);
  }
  return kKRYError_NoErr;
}

}  // namespace krypgp

using namespace krypgp;

KRYError KRYNewKeySet(KRYContextRef context, KRYKeySetRef* outSet) {
  if (context == nullptr || outSet == nullptr) return kKRYError_BadParams;
  return NewSet(context, outSet);
}

KRYError KRYNewSingletonKeySet(KRYKeyRef key, KRYKeySetRef* outSet) {
  if (key == nullptr || outSet == nullptr || key->set == nullptr) return kKRYError_BadParams;
  KRYKeySet* s;
  KRYError err = NewSet(key->set->context, &s);
  if (err != kKRYError_NoErr) return err;
  AddKeyToSet(s, CopyKey(*key));
  *outSet = s;
  return kKRYError_NoErr;
}

KRYError KRYAddKeys(KRYKeySetRef source, KRYKeySetRef target) {
  if (source == nullptr || target == nullptr) return kKRYError_BadParams;
  if (source->context != target->context) return kKRYError_WrongContext;
  if (source == target) return kKRYError_NoErr;
  std::vector<KRYKey*> touched;
  for (const auto& k : source->keys) touched.push_back(AddKeyToSet(target, CopyKey(*k)));
  // Signatures that arrived without a check may be checkable now.
  SignerLookup lookup = ContextLookup(target->context, target, nullptr);
  for (KRYKey* k : touched) CheckKeySignatures(k, lookup, false);
  return kKRYError_NoErr;
}

KRYError KRYCountKeys(KRYKeySetRef set, int* outCount) {
  if (set == nullptr || outCount == nullptr) return kKRYError_BadParams;
  *outCount = int(set->keys.size());
  return kKRYError_NoErr;
}

KRYBoolean KRYKeySetIsMember(KRYKeyRef key, KRYKeySetRef set) {
  if (key == nullptr || set == nullptr) return 0;
  return set->byFingerprint.count(FingerprintString(key->info)) ? 1 : 0;
}

KRYError KRYFreeKeySet(KRYKeySetRef set) {
  DeleteSet(set);
  return kKRYError_NoErr;
}

namespace {

KRYError ImportKeySet(KRYContextRef context, const KRYImportOptions* options, bool check,
                      KRYKeySetRef* outSet) {
  if (context == nullptr || options == nullptr || outSet == nullptr) return kKRYError_BadParams;
  *outSet = nullptr;
  Bytes fileData;
  const uint8_t* data = static_cast<const uint8_t*>(options->inputBuffer);
  size_t len = options->inputLength;
  if (data == nullptr) {
    if (options->inputFile == nullptr) return kKRYError_BadParams;
    KRYError err = ReadFile(options->inputFile, &fileData);
    if (err != kKRYError_NoErr) return err;
    data = fileData.data();
    len = fileData.size();
  }
  KRYKeySet* set;
  KRYError err = NewSet(context, &set);
  if (err != kKRYError_NoErr) return err;
  err = ImportInto(context, data, len, set, check);
  if (err != kKRYError_NoErr) {
    DeleteSet(set);
    return err;
  }
  *outSet = set;
  return kKRYError_NoErr;
}

}  // namespace

KRYError KRYImportKeySet(KRYContextRef context, const KRYImportOptions* options,
                         KRYKeySetRef* outSet) {
  return ImportKeySet(context, options, true, outSet);
}

KRYError KRYImportKeySetUnchecked(KRYContextRef context, const KRYImportOptions* options,
                                  KRYKeySetRef* outSet) {
  return ImportKeySet(context, options, false, outSet);
}

KRYError KRYExportKeySet(KRYKeySetRef set, const KRYExportOptions* options) {
  if (set == nullptr || options == nullptr || options->outputLength == nullptr ||
      (options->outputBuffer == nullptr && options->outputSize != 0))
    return kKRYError_BadParams;
  std::string text;
  KRYError err = ExportBytes(set, options->format, options->exportPrivateKeys != 0,
                             options->binary != 0, &text);
  if (err != kKRYError_NoErr) return err;
  *options->outputLength = text.size();
  if (text.size() > options->outputSize) return kKRYError_OutputBufferTooSmall;
  std::memcpy(options->outputBuffer, text.data(), text.size());
  if (text.size() < options->outputSize) static_cast<char*>(options->outputBuffer)[text.size()] = 0;
  return kKRYError_NoErr;
}

KRYError KRYExportKeySetAlloc(KRYKeySetRef set, int format, KRYBoolean exportPrivate,
                              KRYBoolean binary, char** outData, size_t* outLength) {
  if (set == nullptr || outData == nullptr || outLength == nullptr) return kKRYError_BadParams;
  std::string text;
  KRYError err = ExportBytes(set, format, exportPrivate != 0, binary != 0, &text);
  if (err != kKRYError_NoErr) return err;
  char* p = static_cast<char*>(KRYNewData(nullptr, text.size() + 1, 0));
  if (p == nullptr) return kKRYError_OutOfMemory;
  std::memcpy(p, text.data(), text.size());
  p[text.size()] = 0;
  *outData = p;
  *outLength = text.size();
  return kKRYError_NoErr;
}

KRYError KRYCheckKeyRingSigs(KRYKeySetRef toCheck, KRYKeySetRef signers, KRYBoolean checkAll,
                             void*, void*) {
  if (toCheck == nullptr) return kKRYError_BadParams;
  if (signers != nullptr && signers->context != toCheck->context) return kKRYError_WrongContext;
  // Signers come from the named set, then from toCheck itself; other sets
  // of the context are not consulted, so the caller decides whom to trust.
  const KRYKeySet* primary = signers != nullptr ? signers : toCheck;
  SignerLookup lookup = [primary, toCheck](uint64_t id, KRYKey** owner) -> PublicKeyInfo* {
    const PublicKeyInfo* info = nullptr;
    KRYKey* k = FindKeyByID(primary, id, &info);
    if (k == nullptr && primary != toCheck) k = FindKeyByID(toCheck, id, &info);
    if (k == nullptr) return nullptr;
    *owner = k;
    return const_cast<PublicKeyInfo*>(info);
  };
  for (auto& k : toCheck->keys) CheckKeySignatures(k.get(), lookup, checkAll != 0);
  return kKRYError_NoErr;
}

KRYError KRYPropagateTrust(KRYKeySetRef set, void*) {
  return set == nullptr ? kKRYError_BadParams : kKRYError_NoErr;
}
