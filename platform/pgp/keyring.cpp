// Keyring files: the server's public and secret rings (binary packets as
// GnuPG writes them, or armour), opened into key sets and written back.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <new>

#include "platform/pgp/internal.h"

using namespace krypgp;

KRYError KRYNewFileSpecFromFullPath(KRYContextRef context, const char* path,
                                    KRYFileSpecRef* outSpec) {
  if (context == nullptr || path == nullptr || outSpec == nullptr || *path == 0)
    return kKRYError_BadParams;
  *outSpec = nullptr;
  struct stat st;
  if (stat(path, &st) != 0) return errno == ENOENT ? kKRYError_FileNotFound : kKRYError_FileIO;
  auto* fileSpec = new (std::nothrow) KRYFileSpec;
  if (fileSpec == nullptr) return kKRYError_OutOfMemory;
  fileSpec->path = path;
  *outSpec = fileSpec;
  return kKRYError_NoErr;
}

KRYError KRYFreeFileSpec(KRYFileSpecRef fileSpec) {
  delete fileSpec;
  return kKRYError_NoErr;
}

namespace {

KRYError LoadRing(KRYContext* ctx, const KRYFileSpec* fileSpec, KRYKeySet* set) {
  Bytes data;
  KRYError err = ReadFile(fileSpec->path, &data);
  if (err != kKRYError_NoErr) return err;
  if (data.empty()) return kKRYError_NoErr;  // an empty ring is a valid ring
  return ImportInto(ctx, data.data(), data.size(), set);
}

KRYError OpenRings(KRYContext* ctx, KRYFileSpec* pub, KRYFileSpec* sec, uint32_t flags,
                   KRYKeySet** outSet) {
  if (ctx == nullptr || pub == nullptr || outSet == nullptr) return kKRYError_BadParams;
  *outSet = nullptr;
  KRYKeySet* set;
  KRYError err = NewSet(ctx, &set);
  if (err != kKRYError_NoErr) return err;
  err = LoadRing(ctx, pub, set);
  // Secret keys join their public keys by fingerprint (AddKeyToSet merges).
  if (err == kKRYError_NoErr && sec != nullptr) err = LoadRing(ctx, sec, set);
  if (err != kKRYError_NoErr) {
    DeleteSet(set);
    return err;
  }
  set->ringPath = pub->path;
  set->writable = (flags & kKRYOpenKeyRing_Writable) != 0;
  *outSet = set;
  return kKRYError_NoErr;
}

}  // namespace

KRYError KRYOpenKeyRing(KRYContextRef context, KRYFileSpecRef fileSpec, uint32_t flags,
                        KRYKeySetRef* outSet) {
  return OpenRings(context, fileSpec, nullptr, flags, outSet);
}

KRYError KRYOpenKeyRingPair(KRYContextRef context, KRYFileSpecRef pubSpec, KRYFileSpecRef secSpec,
                            uint32_t flags, KRYKeySetRef* outSet) {
  if (secSpec == nullptr) return kKRYError_BadParams;
  return OpenRings(context, pubSpec, secSpec, flags, outSet);
}

KRYError KRYCommitKeyRingChanges(KRYKeySetRef set) {
  if (set == nullptr) return kKRYError_BadParams;
  if (!set->writable || set->ringPath.empty()) return kKRYError_NoErr;
  std::string data;
  KRYError err = ExportBytes(set, kKRYExportFormat_Complete, false, true, &data);
  if (err != kKRYError_NoErr) return err;
  // Write beside the ring and rename over it, so a crash never leaves half
  // a keyring.
  std::string tmp = set->ringPath + ".tmp";
  std::FILE* f = std::fopen(tmp.c_str(), "wb");
  if (f == nullptr) return kKRYError_FileIO;
  bool ok = std::fwrite(data.data(), 1, data.size(), f) == data.size();
  ok = (std::fflush(f) == 0) && ok;
  ok = (fsync(fileno(f)) == 0) && ok;
  ok = (std::fclose(f) == 0) && ok;
  if (!ok || std::rename(tmp.c_str(), set->ringPath.c_str()) != 0) {
    std::remove(tmp.c_str());
    return kKRYError_FileIO;
  }
  return kKRYError_NoErr;
}

KRYError KRYsdkLoadDefaultPrefs(KRYContextRef context) {
  return context ? kKRYError_NoErr : kKRYError_BadParams;
}

KRYError KRYsdkPrefSetFileSpec(KRYContextRef context, int pref, KRYFileSpecRef fileSpec) {
  if (context == nullptr || fileSpec == nullptr) return kKRYError_BadParams;
  if (pref != kKRYPref_RandomSeedFile) return kKRYError_BadParams;
  context->randomSeedFile = fileSpec->path;
  return kKRYError_NoErr;
}
