// Signed-message decoding (clear-signed, armoured and binary messages,
// compressed data) against a fixed signer set.
#include <fstream>
#include <sstream>

#include "platform/pgp/kry.h"

namespace {
// The trusted signer, embedded so the harness runs anywhere.
KRYContextRef g_ctx = nullptr;
KRYKeySetRef g_signers = nullptr;

void Init() {
  if (g_ctx) return;
  KRYsdkInit(0);
  KRYNewContext(kKRYsdkAPIVersion, &g_ctx);
  const char* corpus = std::getenv("KRY_CORPUS");
  std::ifstream f(std::string(corpus ? corpus : KRY_CORPUS_DEFAULT) + "/server-pubring.pkr",
                  std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  std::string ring = ss.str();
  KRYImportOptions o{};
  o.inputBuffer = ring.data();
  o.inputLength = ring.size();
  if (KRYImportKeySet(g_ctx, &o, &g_signers) != 0) KRYNewKeySet(g_ctx, &g_signers);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Init();
  char* out = nullptr;
  size_t len = 0;
  KRYDecodeOptions o{};
  o.inputBuffer = data;
  o.inputLength = size;
  o.keySet = g_signers;
  o.outputData = &out;
  o.outputLength = &len;
  o.eventHandler = [](KRYContextRef, const KRYEvent* ev, void*) -> KRYError {
    return ev->type == kKRYEvent_Signature ? 0 : 1;
  };
  KRYDecode(g_ctx, &o);
  KRYFreeData(out);
  return 0;
}
