#include "back-ldbm/salvage.h"

#include <db.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "back-ldbm/durable.h"
#include "log/trace.h"

namespace kry {

namespace {

void VerifyMessage(const DB_ENV*, const char* prefix, const char* msg) {
  Debug(LDAP_DEBUG_ANY, "berkeley db verify: %s%s\n", prefix ? prefix : "", msg ? msg : "");
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decodes one data line of the dump (a blank, then hexadecimal pairs).
bool DecodeHexLine(const char* line, size_t len, std::string* out) {
  out->clear();
  while (len > 0 && (line[len - 1] == '\n' || line[len - 1] == '\r')) --len;
  if (len < 1 || line[0] != ' ' || (len - 1) % 2 != 0) return false;
  out->reserve((len - 1) / 2);
  for (size_t i = 1; i < len; i += 2) {
    int hi = HexValue(line[i]), lo = HexValue(line[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out->push_back(static_cast<char>(hi << 4 | lo));
  }
  return true;
}

struct FileCloser {
  void operator()(FILE* f) const {
    if (f) std::fclose(f);
  }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// Reads the dump: data lines (a blank, then hexadecimal pairs) are keys and
// values in turn; every other line ("VERSION=3", "HEADER=END", "DATA=END",
// ...) only starts a new pair. The header is not waited for: salvage writes
// none when the file's meta page is damaged, and the records after it are
// as good as any.
int ParseDump(FILE* in, const RecordSink& sink) {
  char* line = nullptr;
  size_t cap = 0;
  ssize_t n;
  bool haveKey = false;
  std::string key, value;
  while ((n = getline(&line, &cap, in)) >= 0) {
    if (n == 0 || line[0] != ' ') {
      haveKey = false;
      continue;
    }
    std::string* target = haveKey ? &value : &key;
    if (!DecodeHexLine(line, static_cast<size_t>(n), target)) {
      haveKey = false;  // resynchronise on the next well-formed key
      continue;
    }
    if (haveKey) sink(key, value);
    haveKey = !haveKey;
  }
  std::free(line);
  return 0;
}

}  // namespace

int VerifyDatabaseFile(const std::string& path) {
  DB* db = nullptr;
  int rc = db_create(&db, nullptr, 0);
  if (rc != 0) return rc;
  db->set_errcall(db, VerifyMessage);
  // The handle is gone after verify, whatever its result.
  return db->verify(db, path.c_str(), nullptr, nullptr, 0);
}

int SalvageDatabaseFile(const std::string& path, const std::string& dumpPath, bool aggressive,
                        const RecordSink& sink) {
  int rc;
  {
    FilePtr out(std::fopen(dumpPath.c_str(), "w"));
    if (!out) return errno;
    DB* db = nullptr;
    rc = db_create(&db, nullptr, 0);
    if (rc != 0) return rc;
    db->set_errcall(db, VerifyMessage);
    uint32_t flags = DB_SALVAGE | (aggressive ? DB_AGGRESSIVE : 0);
    rc = db->verify(db, path.c_str(), nullptr, out.get(), flags);
    // Salvage reports the damage it worked around; what it wrote is still
    // the best there is.
    if (rc != 0) Debug(LDAP_DEBUG_ANY, "salvage of \"%s\": %s\n", path.c_str(), db_strerror(rc));
    if (std::fflush(out.get()) != 0) return errno;
  }
  FilePtr in(std::fopen(dumpPath.c_str(), "r"));
  if (!in) return errno;
  rc = ParseDump(in.get(), sink);
  in.reset();
  unlink(dumpPath.c_str());
  return rc;
}

AsideFile::~AsideFile() {
  if (fp_) std::fclose(fp_);
}

bool AsideFile::Add(EntryID id, const std::string& reason, std::string_view bytes) {
  if (!fp_) {
    fp_ = std::fopen(path_.c_str(), "a");
    if (!fp_) return false;
  }
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    hex.push_back(kHex[c >> 4]);
    hex.push_back(kHex[c & 15]);
  }
  std::string idText = id ? std::to_string(id) : std::string("unknown");
  if (std::fprintf(fp_, "id: %s\nreason: %s\nhex: %s\n\n", idText.c_str(), reason.c_str(), hex.c_str()) < 0)
    return false;
  ++count_;
  return true;
}

int AsideFile::Sync() {
  if (!fp_) return 0;
  if (std::fflush(fp_) != 0 || fsync(fileno(fp_)) != 0) return errno;
  return SyncDirectoryOf(path_);
}

}  // namespace kry
