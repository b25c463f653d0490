// Runs the configuration readers over arbitrary file contents, and the
// expression engine over "pattern\ntext" splits of the same input, with
// scratch settings and backends.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "back-ldbm/backend.h"
#include "cert/access.h"
#include "config/config.h"
#include "ldap/regex.h"
#include "log/eventlog.h"
#include "runtime/globals.h"

namespace {

const std::string& ConfigPath() {
  static const std::string path = [] {
    char tmpl[] = "/tmp/kryfuzzcfg-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) std::abort();
    std::string root = tmpl;
    mkdir((root + "/bin").c_str(), 0700);
    mkdir((root + "/data").c_str(), 0700);
    if (chdir((root + "/bin").c_str()) != 0) std::abort();
    setenv("KRYCERTD_EVENTLOG", "/dev/null", 1);
    // Drop every event: the readers' messages are not what is tested here.
    kry::ErrorLogInit("krycertd", 1000, 389, 0);
    return root + "/bin/fuzz.cfg";
  }();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& path = ConfigPath();
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return 0;
  if (size > 0 && std::fwrite(data, 1, size, f) != size) {
    std::fclose(f);
    return 0;
  }
  std::fclose(f);

  {
    kry::Globals g;
    kry::g_globals = &g;
    g.CommandPort = 0;
    kry::backend_new("ldbm", g.backends);
    kry::Backend* be = nullptr;
    kry::ReadCommand(path.c_str(), &be, 0);
    be = nullptr;
    kry::ReadConfig(path.c_str(), &be, nullptr, 0, 0, 0);
    kry::AccessAllowed("10.1.2.3", "host.example.com", g.accessList, kry::ACL_READ, g.DefaultAccess);

    std::vector<std::unique_ptr<kry::Backend>> scratch;
    kry::Backend* sb = kry::backend_new("ldbm", scratch);
    kry::CheckConfig(path.c_str(), sb);
    kry::g_globals = nullptr;
  }

  std::string input(reinterpret_cast<const char*>(data), size);
  size_t nl = input.find('\n');
  std::string pattern = input.substr(0, nl);
  std::string text = nl == std::string::npos ? std::string() : input.substr(nl + 1);
  if (pattern.find('\0') == std::string::npos && pattern.size() < 600) {
    kry::MutexGuard guard(kry::RegexLock());
    if (kry::re_comp(pattern.c_str()) == nullptr) kry::re_match(text.c_str(), text.size());
  }
  return 0;
}
