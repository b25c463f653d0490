#include "config/settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <new>
#include <vector>

#include "runtime/globals.h"
#include "util/strutil.h"

namespace kry {

namespace {

constexpr const char* kMachineSettings = "/etc/krycertd/settings";

enum class Kind { kText, kWord };

struct Field {
  const char* name;
  Kind kind;
  size_t offset;
  size_t size;   // text fields only
  bool onlyWhenEmpty;
};

#define KRY_TEXT(f, empty) {#f, Kind::kText, offsetof(RegistrySettings, f), sizeof(RegistrySettings::f), empty}
#define KRY_WORD(f) {#f, Kind::kWord, offsetof(RegistrySettings, f), 0, false}

// In the order the values are read and written.
const Field kReadOrder[] = {
    KRY_TEXT(ConfigFile, true),      KRY_TEXT(Port, true),          KRY_WORD(PortDisabled),
    KRY_WORD(SecurePortDisabled),    KRY_WORD(DefaultPort),         KRY_TEXT(SecurePort, true),
    KRY_WORD(DefaultSecurePort),     KRY_WORD(NoSignatureCheck),    KRY_WORD(AutoRefresh),
    KRY_WORD(RefreshTime),           KRY_TEXT(InstalledVersion, true), KRY_TEXT(CommandTimeout, true),
    KRY_TEXT(CommandPort, true),
};

#undef KRY_TEXT
#undef KRY_WORD

char* TextField(RegistrySettings* r, const Field& f) { return reinterpret_cast<char*>(r) + f.offset; }
const char* TextField(const RegistrySettings& r, const Field& f) {
  return reinterpret_cast<const char*>(&r) + f.offset;
}
uint32_t* WordField(RegistrySettings* r, const Field& f) {
  return reinterpret_cast<uint32_t*>(reinterpret_cast<char*>(r) + f.offset);
}
uint32_t WordValue(const RegistrySettings& r, const Field& f) {
  uint32_t v;
  std::memcpy(&v, reinterpret_cast<const char*>(&r) + f.offset, sizeof v);
  return v;
}

const Field* FindField(const std::string& name) {
  for (const Field& f : kReadOrder)
    if (name == f.name) return &f;
  return nullptr;
}

bool ParseWord(const std::string& text, uint32_t* out) {
  if (text.empty() || text.size() > 10) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (v > 0xFFFFFFFFull) return false;
  *out = static_cast<uint32_t>(v);
  return true;
}

// Splits "Name=Value"; false for comments, blank lines and lines without '='.
bool SplitSetting(const std::string& line, std::string* name, std::string* value) {
  if (line.empty() || line[0] == '#') return false;
  size_t eq = line.find('=');
  if (eq == std::string::npos || eq == 0) return false;
  *name = line.substr(0, eq);
  *value = line.substr(eq + 1);
  if (!value->empty() && value->back() == '\r') value->pop_back();
  return true;
}

bool ReadLines(const std::string& path, std::vector<std::string>* lines) {
  std::ifstream in(path);
  if (!in) return false;
  std::string line;
  while (std::getline(in, line)) lines->push_back(line);
  return !in.bad();
}

std::string ValueText(const RegistrySettings& r, const Field& f) {
  if (f.kind == Kind::kWord) return std::to_string(WordValue(r, f));
  const char* t = TextField(r, f);
  return std::string(t, strnlen(t, f.size));
}

}  // namespace

void ClearRegistrySettings(RegistrySettings* record) { std::memset(record, 0, sizeof *record); }

std::string SettingsWritePath() {
  const char* env = std::getenv("KRYCERTD_SETTINGS");
  if (env != nullptr && *env != '\0') return env;
  return kMachineSettings;
}

int ReadRegistrySettings(RegistrySettings* record) {
  try {
    std::vector<std::string> lines;
    if (!ReadLines(SettingsWritePath(), &lines)) {
      const char* home = std::getenv("HOME");
      if (std::getenv("KRYCERTD_SETTINGS") != nullptr && *std::getenv("KRYCERTD_SETTINGS") != '\0') return 0;
      if (home == nullptr || *home == '\0') return 0;
      lines.clear();
      if (!ReadLines(std::string(home) + "/.config/krycertd/settings", &lines)) return 0;
    }
    // The last line of a name counts, as a later registry write would.
    std::vector<const std::string*> values(sizeof kReadOrder / sizeof kReadOrder[0], nullptr);
    std::vector<std::string> storage(values.size());
    std::string name, value;
    for (const std::string& line : lines) {
      if (!SplitSetting(line, &name, &value)) continue;
      for (size_t i = 0; i < values.size(); ++i) {
        if (name == kReadOrder[i].name) {
          storage[i] = value;
          values[i] = &storage[i];
        }
      }
    }
    for (size_t i = 0; i < values.size(); ++i) {
      const Field& f = kReadOrder[i];
      if (values[i] == nullptr) continue;
      if (f.kind == Kind::kText) {
        char* field = TextField(record, f);
        if (f.onlyWhenEmpty && field[0] != '\0') continue;
        if (values[i]->size() >= f.size) continue;  // does not fit: missing
        std::memset(field, 0, f.size);
        std::memcpy(field, values[i]->data(), values[i]->size());
      } else {
        uint32_t w = 0;
        if (ParseWord(*values[i], &w)) *WordField(record, f) = w;
      }
    }
    return 1;
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

int WriteRegistrySettings(const RegistrySettings& record) {
  try {
    const std::string path = SettingsWritePath();
    std::vector<std::string> old;
    ReadLines(path, &old);  // a missing file is written fresh

    const size_t n = sizeof kReadOrder / sizeof kReadOrder[0];
    std::vector<bool> written(n, false);
    std::string out;
    std::string name, value;
    for (const std::string& line : old) {
      const Field* f = SplitSetting(line, &name, &value) ? FindField(name) : nullptr;
      if (f == nullptr) {
        out += line + "\n";
        continue;
      }
      size_t idx = static_cast<size_t>(f - kReadOrder);
      if (written[idx]) continue;  // a repeated name collapses into one line
      out += std::string(f->name) + "=" + ValueText(record, *f) + "\n";
      written[idx] = true;
    }
    for (size_t i = 0; i < n; ++i)
      if (!written[i]) out += std::string(kReadOrder[i].name) + "=" + ValueText(record, kReadOrder[i]) + "\n";

    std::string tmpl = path + ".XXXXXX";
    std::vector<char> tmp(tmpl.begin(), tmpl.end());
    tmp.push_back('\0');
    int fd = mkstemp(tmp.data());
    if (fd < 0) return 0;
    struct stat st;
    mode_t mode = stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644;
    bool ok = fchmod(fd, mode) == 0;
    size_t done = 0;
    while (ok && done < out.size()) {
      ssize_t w = write(fd, out.data() + done, out.size() - done);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) ok = false;
      else done += static_cast<size_t>(w);
    }
    if (ok && fsync(fd) != 0) ok = false;
    if (close(fd) != 0) ok = false;
    if (ok && std::rename(tmp.data(), path.c_str()) != 0) ok = false;
    if (!ok) unlink(tmp.data());
    return ok ? 1 : 0;
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

void ApplyRegistrySettings(const RegistrySettings& record, Globals* g) {
  auto text = [](const char* field, size_t size) { return std::string(field, strnlen(field, size)); };
  std::string cfg = text(record.ConfigFile, sizeof record.ConfigFile);
  if (!cfg.empty()) g->configFile = cfg;
  // A port outside 0..65535 cannot be opened as written; it counts as no
  // port rather than wrapping to some other port number.
  auto port = [&text](const char* field, size_t size) {
    long v = AtoiSaturating(text(field, size));
    return v < 0 || v > 65535 ? 0 : static_cast<int>(v);
  };
  g->Port = port(record.Port, sizeof record.Port);
  g->SecurePort = port(record.SecurePort, sizeof record.SecurePort);
  g->CommandPort = port(record.CommandPort, sizeof record.CommandPort);
  g->CommandTimeout =
      static_cast<uint16_t>(AtoiSaturating(text(record.CommandTimeout, sizeof record.CommandTimeout)));
}

void RefreshRegistrySettings(const Globals& g, RegistrySettings* record) {
  if (!g.configFile.empty() && g.configFile.size() < sizeof record->ConfigFile) {
    std::memset(record->ConfigFile, 0, sizeof record->ConfigFile);
    std::memcpy(record->ConfigFile, g.configFile.data(), g.configFile.size());
  }
  auto put = [](char* field, size_t size, long v) {
    std::string text = std::to_string(v);
    std::memset(field, 0, size);
    if (text.size() < size) std::memcpy(field, text.data(), text.size());
  };
  put(record->Port, sizeof record->Port, g.Port);
  put(record->SecurePort, sizeof record->SecurePort, g.SecurePort);
  put(record->CommandTimeout, sizeof record->CommandTimeout, g.CommandTimeout);
  put(record->CommandPort, sizeof record->CommandPort, g.CommandPort);
  // The console restarts the server on the ports it served; a port that was
  // not open is recorded as disabled, so that it is not asked for again.
  record->PortDisabled = g.Port == 0 ? 1 : 0;
  record->SecurePortDisabled = g.SecurePort == 0 || g.SecureMode == SECURE_DISABLED ? 1 : 0;
}

}  // namespace kry
