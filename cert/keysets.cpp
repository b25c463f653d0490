#include "cert/keysets.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <vector>

#include "back-ldbm/durable.h"
#include "log/eventlog.h"

namespace kry {

std::string LibraryErrorText(int code) {
  char buf[200];
  KRYGetErrorString(code, buf, sizeof buf);
  return buf;
}

namespace {

struct FileSpecHolder {
  KRYFileSpecRef fileSpec = nullptr;
  ~FileSpecHolder() {
    if (fileSpec) KRYFreeFileSpec(fileSpec);
  }
};

}  // namespace

int GetKeySetFromKeyRings(KRYContextRef context, const std::string& publicPath, const std::string& privatePath,
                          KRYKeySetRef* set) {
  *set = nullptr;
  if (publicPath.empty()) {
    LogError(EVENTLOG_VERBOSE, "No keyring file specified.");
    return 0;
  }
  FileSpecHolder pub, priv;
  int rc = KRYNewFileSpecFromFullPath(context, publicPath.c_str(), &pub.fileSpec);
  if (rc != 0) {
    LogError(EVENTLOG_ERROR, "Opening public keyring (%s) failed with error %d (%s)", publicPath.c_str(), rc,
             LibraryErrorText(rc).c_str());
    return rc;
  }
  if (!privatePath.empty()) {
    rc = KRYNewFileSpecFromFullPath(context, privatePath.c_str(), &priv.fileSpec);
    if (rc != 0 && rc != kKRYError_FileNotFound) {
      LogError(EVENTLOG_ERROR, "Opening private keyring (%s) failed with error %d (%s)", privatePath.c_str(), rc,
               LibraryErrorText(rc).c_str());
      return rc;
    }
  }
  if (priv.fileSpec) {
    rc = KRYOpenKeyRingPair(context, pub.fileSpec, priv.fileSpec, 0, set);
    if (rc != 0)
      LogError(EVENTLOG_ERROR, "Opening keyring pair (%s and %s) failed with error %d (%s)", publicPath.c_str(),
               privatePath.c_str(), rc, LibraryErrorText(rc).c_str());
  } else {
    rc = KRYOpenKeyRing(context, pub.fileSpec, 0, set);
    if (rc != 0)
      LogError(EVENTLOG_ERROR, "Opening public keyring (%s) failed with error %d (%s)", publicPath.c_str(), rc,
               LibraryErrorText(rc).c_str());
  }
  return rc;
}

namespace {

constexpr size_t kSeedFileBytes = 1024;

// Writes a new seed file of random bytes (owner read and write only, synced
// and renamed into place). 0, or kKRYError_FileIO after an event that names
// the cause.
int CreateSeedFile(const std::string& path) {
  unsigned char seed[kSeedFileBytes];
  if (KRYGlobalRandomPoolGetBytes(seed, sizeof seed) != 0) {
    LogError(EVENTLOG_ERROR, "Could not create the KRY random seed file (%s): the random pool failed.", path.c_str());
    return kKRYError_FileIO;
  }
  int err = WriteFileDurably(path, std::string(reinterpret_cast<const char*>(seed), sizeof seed));
  std::fill(std::begin(seed), std::end(seed), 0);
  if (err != 0) {
    LogError(EVENTLOG_ERROR, "Could not create the KRY random seed file (%s): %s.", path.c_str(), std::strerror(err));
    return kKRYError_FileIO;
  }
  LogError(EVENTLOG_INFO, "Created the KRY random seed file (%s).", path.c_str());
  return 0;
}

}  // namespace

int SetRandSeedFile(KRYContextRef context, const std::string& path) {
  if (path.empty()) {
    LogError(EVENTLOG_VERBOSE, "Using default randseed file.");
    return 0;
  }
  int rc = KRYsdkLoadDefaultPrefs(context);
  FileSpecHolder fileSpec;
  if (rc == 0) rc = KRYNewFileSpecFromFullPath(context, path.c_str(), &fileSpec.fileSpec);
  // A configured seed file that does not exist yet is made here, from the
  // pool: left alone, the setting would silently do nothing.
  if (rc == kKRYError_FileNotFound && (rc = CreateSeedFile(path)) == 0)
    rc = KRYNewFileSpecFromFullPath(context, path.c_str(), &fileSpec.fileSpec);
  if (rc == 0) rc = KRYsdkPrefSetFileSpec(context, kKRYPref_RandomSeedFile, fileSpec.fileSpec);
  if (rc != 0)
    LogError(EVENTLOG_ERROR, "Setting the KRY random seed file (%s) failed with error %d (%s)", path.c_str(), rc,
             LibraryErrorText(rc).c_str());
  return rc;
}

int KeySet2Key(KRYKeySetRef set, KRYKeyRef* key) {
  *key = nullptr;
  KRYKeyListRef list = nullptr;
  int rc = KRYOrderKeySet(set, kKRYKeyOrdering_Any, &list);
  if (rc != 0) {
    LogError(EVENTLOG_ERROR, "Ordering keyset failed.");
    return rc;
  }
  KRYKeyIterRef iter = nullptr;
  rc = KRYNewKeyIter(list, &iter);
  if (rc != 0) {
    LogError(EVENTLOG_ERROR, "Getting key iter failed.");
    KRYFreeKeyList(list);
    return rc;
  }
  rc = KRYKeyIterNext(iter, key);
  if (rc == kKRYError_EndOfIteration) {
    *key = nullptr;
    rc = 0;
  } else if (rc != 0) {
    LogError(EVENTLOG_ERROR, "Finding key failed.");
  }
  KRYFreeKeyIter(iter);
  KRYFreeKeyList(list);
  return rc;
}

int ConvertKeySet2KeyBlock(KRYKeySetRef set, bool exportPrivate, int format, size_t sizeHint, std::string* block) {
  size_t size = sizeHint ? sizeHint : 8192;
  for (;;) {
    std::vector<char> buf(size + 1);
    size_t real = 0;
    KRYExportOptions opts{};
    opts.format = format;
    opts.exportPrivateKeys = exportPrivate;
    opts.outputBuffer = buf.data();
    opts.outputSize = buf.size();
    opts.outputLength = &real;
    int rc = KRYExportKeySet(set, &opts);
    if (rc != 0 && rc != kKRYError_OutputBufferTooSmall) {
      LogError(EVENTLOG_ERROR, "ASCII-armoring keyset failed. Library error: %s", LibraryErrorText(rc).c_str());
      return rc;
    }
    if (real + 1 > buf.size()) {
      size = real;
      continue;
    }
    block->assign(buf.data(), real);
    return 0;
  }
}

int TransferKeys(KRYContextRef target, KRYKeySetRef set, bool exportPrivate, KRYKeySetRef* out) {
  *out = nullptr;
  // An empty set has nothing to export; its copy is a new empty set.
  int count = 0;
  if (KRYCountKeys(set, &count) == 0 && count == 0) return KRYNewKeySet(target, out);
  std::string block;
  int rc = ConvertKeySet2KeyBlock(set, exportPrivate, kKRYExportFormat_Complete, 0, &block);
  if (rc != 0) return rc;
  KRYImportOptions in{};
  in.inputBuffer = block.data();
  in.inputLength = block.size();
  rc = KRYImportKeySet(target, &in, out);
  if (rc != 0)
    LogError(EVENTLOG_ERROR, "Internal key set operation failed with error %d (%s)", rc, LibraryErrorText(rc).c_str());
  return rc;
}

}  // namespace kry
