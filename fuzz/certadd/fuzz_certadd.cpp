// Runs arbitrary bytes through the key-submission pipeline as the value of
// a kryKey attribute, against an empty directory in a scratch folder. A
// block the pipeline accepts must come out as a certificate entry with a DN
// and a key block that imports again as exactly one key; anything else must
// be refused with a result code.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "back-ldbm/backend.h"
#include "cert/access.h"
#include "cert/addkey.h"
#include "ldap/entry.h"
#include "platform/pgp/kry.h"
#include "runtime/globals.h"

using namespace kry;

namespace {

struct Setting {
  Backend* be = nullptr;
  KRYContextRef context = nullptr;
};

Setting& Setup() {
  static Setting s = [] {
    Setting n;
    KRYsdkInit(0);
    InitGlobals(&g_globals);
    g_globals->DefaultAccess = ACL_ALL;
    g_globals->rsaAvailable = true;
    char dir[] = "/tmp/fuzz_certadd.XXXXXX";
    if (!mkdtemp(dir)) abort();
    n.be = backend_new("ldbm", g_globals->backends);
    backend_set_directory(n.be, dir);
    if (CreateDatabases(n.be) <= 0) abort();
    if (KRYNewContext(kKRYsdkAPIVersion, &n.context) != 0) abort();
    static std::string scratch = dir;
    // Database handles are closed and the scratch folder removed at exit,
    // so that the leak check sees only the pipeline's own allocations.
    atexit([] {
      KRYFreeContext(Setup().context);
      backend_close_all(g_globals->backends);
      ReleaseGlobals(&g_globals);
      if (std::system(("rm -rf '" + scratch + "'").c_str()) != 0) {
      }
    });
    return n;
  }();
  return s;
}

}  // namespace

// Berkeley DB keeps its private regions' memory linked by offsets, which
// the leak checker cannot follow: a page pool allocated while a file is read
// looks lost although the open handle still owns it. Only leaks inside the
// library are ignored.
extern "C" const char* __lsan_default_suppressions() { return "leak:libdb-5.3.so\n"; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Setting& s = Setup();
  AddRequestState state;
  if (GrowEntries(&state.list, 1) != 0) abort();
  state.list.slots[0] = std::make_unique<Entry>();
  state.list.count = 1;
  const std::string block(reinterpret_cast<const char*>(data), size);
  attr_merge(state.list.slots[0].get(), "kryKey", block);
  if (state.list.slots[0]->attrs.empty()) return 0;  // an empty value is not stored
  RequestKeys keys;
  keys.context = s.context;
  const int rc = CreateAddKeyEntries(&state, s.be, block, keys);
  if (rc != 0) return 0;
  const Entry* cert = state.list.slots[0].get();
  if (cert->dn.empty() || cert->attrs.empty() || cert->attrs[0].values.empty()) abort();
  const std::string& stored = cert->attrs[0].values[0];
  KRYImportOptions in{};
  in.inputBuffer = stored.data();
  in.inputLength = stored.size();
  KRYKeySetRef again = nullptr;
  int count = 0;
  if (KRYImportKeySet(s.context, &in, &again) != 0 || KRYCountKeys(again, &count) != 0 || count != 1) abort();
  KRYFreeKeySet(again);
  for (int i = 1; i < state.list.count; ++i)
    if (!state.list.slots[static_cast<size_t>(i)] || state.list.slots[static_cast<size_t>(i)]->dn.empty()) abort();
  return 0;
}
