// The random pool. The operating system's generator is the source of all
// random bytes; the entropy figures exist for callers that still ask for
// them, and they always report a full pool.
#include <sys/random.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>

#include <openssl/evp.h>

#include "platform/pgp/kry.h"

namespace {

constexpr int kMinimumEntropyBits = 300;
constexpr int kPoolBits = 8 * 64;

std::mutex g_poolLock;
unsigned char g_mix[32];  // keystroke timings, folded into requested bytes
uint64_t g_events = 0;    // keystrokes since the mix was last hashed

// Hashes the keystrokes gathered so far into the mix. Caller holds the lock.
bool StirMix() {
  unsigned char input[sizeof g_mix + sizeof g_events];
  std::memcpy(input, g_mix, sizeof g_mix);
  std::memcpy(input + sizeof g_mix, &g_events, sizeof g_events);
  unsigned int len = 0;
  return EVP_Digest(input, sizeof input, g_mix, &len, EVP_sha256(), nullptr) == 1;
}

}  // namespace

// The server hands every request's timing in here, so this stays cheap: a
// multiply-xorshift step folds the event into a word, and the hash runs
// only when random bytes are taken.
KRYError KRYGlobalRandomPoolAddKeystroke(int event) {
  const auto now = uint64_t(std::chrono::steady_clock::now().time_since_epoch().count());
  std::lock_guard<std::mutex> lock(g_poolLock);
  g_events = (g_events ^ now ^ (uint64_t(uint32_t(event)) << 32)) * 0x9E3779B97F4A7C15ull;
  g_events ^= g_events >> 29;
  return kKRYError_NoErr;
}

int KRYGlobalRandomPoolGetEntropy() { return kPoolBits; }
int KRYGlobalRandomPoolGetMinimumEntropy() { return kMinimumEntropyBits; }
KRYBoolean KRYGlobalRandomPoolHasMinimumEntropy() { return 1; }

KRYError KRYGlobalRandomPoolGetBytes(void* out, size_t len) {
  if (out == nullptr && len != 0) return kKRYError_BadParams;
  auto* p = static_cast<unsigned char*>(out);
  size_t done = 0;
  while (done < len) {
    ssize_t n = getrandom(p + done, len - done, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return kKRYError_CryptoFailure;
    }
    done += static_cast<size_t>(n);
  }
  std::lock_guard<std::mutex> lock(g_poolLock);
  if (!StirMix()) return kKRYError_CryptoFailure;
  for (size_t i = 0; i < len; ++i) p[i] ^= g_mix[i % sizeof g_mix];
  return kKRYError_NoErr;
}

KRYError KRYCollectRandomDataDialog(KRYContextRef, int, const KRYRandomDialogOptions*) {
  return kKRYError_NoErr;
}
