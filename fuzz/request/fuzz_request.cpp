// Feeds arbitrary bytes to the request-block parser, with and without the
// mandatory signature wrapper, and checks what it reports back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "cert/request.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static KRYContextRef context = [] {
    KRYContextRef c = nullptr;
    if (KRYsdkInit(0) != 0 || KRYNewContext(kKRYsdkAPIVersion, &c) != 0) std::abort();
    return c;
  }();
  const char* text = reinterpret_cast<const char*>(data);
  for (bool required : {true, false}) {
    kry::ParsedRequest req;
    if (kry::ProcessReqBuffer(text, size, required, context, &req) != 0) continue;
    if (req.location != 1 && req.location != 2) std::abort();
    for (const std::string& id : req.keyIDs)
      if (id.size() != 18 || id[0] != '0' || id[1] != 'x') std::abort();
    if (req.kind == kry::kRequestAdd && req.keyBlock.empty()) std::abort();
  }
  return 0;
}
