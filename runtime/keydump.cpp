#include "runtime/keydump.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

#include "back-ldbm/cache.h"
#include "back-ldbm/dn2id.h"
#include "back-ldbm/durable.h"
#include "back-ldbm/id2entry.h"
#include "cert/certentry.h"
#include "cert/servedkeys.h"
#include "ldap/entry.h"
#include "log/eventlog.h"
#include "platform/pgp/armor.h"
#include "runtime/globals.h"
#include "util/strutil.h"

namespace kry {

namespace {

constexpr int kProgressSeconds = 2;

bool HasValue(const Entry& e, const char* type, const char* value) {
  if (const Attribute* a = attr_lookup(&e, type))
    for (const std::string& v : a->values)
      if (StrIEquals(v, value)) return true;
  return false;
}

// The binary key of an ACTIVE certificate entry as HKP serves it; empty for
// any other entry, a disabled certificate or a block that does not decode.
std::string ServedKey(const Entry& e) {
  const std::string suffix = std::string(",") + kActiveDN;
  if (!HasValue(e, "objectclass", kCertificateClass) || HasValue(e, "kryDisabled", "1") ||
      e.dn.size() <= suffix.size() || !StrIEquals(e.dn.substr(e.dn.size() - suffix.size()), suffix))
    return std::string();
  std::vector<Attribute> none, copy;
  bool useCopy = false;
  if (ServingOwnSignaturesOnly() && CutServedKeyBlocks(&e, &none, &copy, &useCopy) != 0) return std::string();
  const std::vector<Attribute>& attrs = useCopy ? copy : e.attrs;
  const std::string* text = nullptr;
  for (const char* type : {"kryKeyV2", "kryKey"}) {
    for (const Attribute& a : attrs)
      if (!text && StrIEquals(a.type, type) && !a.values.empty()) text = &a.values[0];
  }
  if (!text) return std::string();
  std::vector<krypgp::ArmorBlock> blocks;
  if (krypgp::DearmorAll(reinterpret_cast<const uint8_t*>(text->data()), text->size(), &blocks) != kKRYError_NoErr)
    return std::string();
  std::string key;
  for (const krypgp::ArmorBlock& b : blocks) key.append(b.data.begin(), b.data.end());
  return key;
}

std::vector<uint32_t> ExistingDumpFiles(const std::string& dir) {
  std::vector<uint32_t> numbers;
  std::unique_ptr<DIR, int (*)(DIR*)> d(opendir(dir.c_str()), closedir);
  if (!d) return numbers;
  const size_t prefix = std::strlen(kDumpFilePrefix);
  while (dirent* ent = readdir(d.get())) {
    const std::string name = ent->d_name;
    if (name.size() <= prefix + 4 || name.compare(0, prefix, kDumpFilePrefix) != 0 ||
        name.compare(name.size() - 4, 4, ".pgp") != 0)
      continue;
    const std::string digits = name.substr(prefix, name.size() - prefix - 4);
    if (!digits.empty() && digits.find_first_not_of("0123456789") == std::string::npos)
      numbers.push_back(static_cast<uint32_t>(std::strtoul(digits.c_str(), nullptr, 10)));
  }
  return numbers;
}

// One numbered file being written under its temporary name.
class DumpFile {
 public:
  ~DumpFile() { Abandon(); }
  int Open(const std::string& dir, uint32_t n) {
    final_ = dir + "/" + DumpFileName(n);
    temp_ = dir + "/." + DumpFileName(n) + ".tmp";
    fd_ = open(temp_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    return fd_ < 0 ? errno : 0;
  }
  bool open_() const { return fd_ >= 0; }
  int Write(const std::string& bytes) {
    for (size_t done = 0; done < bytes.size();) {
      const ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return n < 0 ? errno : EIO;
      done += static_cast<size_t>(n);
    }
    return 0;
  }
  // Syncs, closes and renames into place. 0 or errno.
  int Finish() {
    int rc = fsync(fd_) == 0 ? 0 : errno;
    if (close(fd_) != 0 && rc == 0) rc = errno;
    fd_ = -1;
    if (rc == 0) rc = RenameDurably(temp_, final_);
    if (rc != 0) unlink(temp_.c_str());
    return rc;
  }
  const std::string& path() const { return final_; }

 private:
  void Abandon() {
    if (fd_ < 0) return;
    close(fd_);
    fd_ = -1;
    unlink(temp_.c_str());
  }
  int fd_ = -1;
  std::string temp_, final_;
};

DumpReply Refused(const std::string& why) {
  DumpReply r;
  r.status = kConsoleDumpRefused;
  r.text = why;
  LogError(EVENTLOG_WARNING, "Key dump refused: %s", why.c_str());
  return r;
}

DumpReply Failed(DumpReply r, const std::string& why) {
  r.status = kConsoleDumpFailed;
  r.text = why;
  LogError(EVENTLOG_ERROR, "Key dump failed: %s", why.c_str());
  return r;
}

// The directory checks: absolute, a directory (made when missing), and no
// dump of an earlier run unless it is to be replaced. Empty when usable.
std::string CheckDirectory(const DumpRequest& request, std::vector<uint32_t>* old) {
  const std::string& dir = request.directory;
  if (dir.empty() || dir[0] != '/') return "the dump directory must be an absolute path.";
  if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
    return "cannot make directory '" + dir + "': " + std::strerror(errno) + ".";
  struct stat st {};
  if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return "'" + dir + "' is not a directory.";
  *old = ExistingDumpFiles(dir);
  if (!old->empty() && !request.overwrite)
    return "'" + dir + "' already holds dump files; ask for them to be overwritten.";
  return std::string();
}

std::string InfoText(const DumpReply& r, uint32_t perFile) {
  char when[32] = "";
  const time_t now = time(nullptr);
  struct tm tm {};
  gmtime_r(&now, &tm);
  strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return StrFormat("keys %llu\nfiles %u\nbytes %llu\nkeys-per-file %u\ncreated %s\n",
                   static_cast<unsigned long long>(r.keys), r.files, static_cast<unsigned long long>(r.bytes),
                   perFile, when);
}

}  // namespace

std::string DumpFileName(uint32_t n) { return StrFormat("%s%04u.pgp", kDumpFilePrefix, n); }

DumpReply DumpKeys(Backend* be, const DumpRequest& request, const std::function<bool(const DumpReply&)>& progress) {
  std::vector<uint32_t> old;
  const std::string why = CheckDirectory(request, &old);
  if (!why.empty()) return Refused(why);
  const uint32_t perFile = request.perFile == 0 ? kDefaultKeysPerFile : request.perFile;

  // The certificates of the moment; adds after it belong to the next dump.
  std::vector<EntryID> ids;
  {
    HeldEntry ou(be, entry_by_dn(be, kActiveDN));
    if (ou.get() && GetKeysChildren(be, ou.get(), &ids) != 0) return Refused("the certificate list cannot be read.");
  }
  DumpReply r;
  DumpFile file;
  uint32_t inFile = 0;
  auto last = std::chrono::steady_clock::now();
  for (EntryID id : ids) {
    if (dird_shutdown) return Failed(r, "the server is stopping.");
    std::string key;
    {
      HeldEntry e(be, id2entry(be, id));
      if (e.get()) key = ServedKey(*e.get());
    }
    if (key.empty()) continue;
    if (!file.open_()) {
      if (int rc = file.Open(request.directory, r.files))
        return Failed(r, "cannot create a file in '" + request.directory + "': " + std::strerror(rc) + ".");
    }
    if (int rc = file.Write(key)) return Failed(r, "writing '" + file.path() + "' failed: " + std::strerror(rc) + ".");
    ++r.keys;
    r.bytes += key.size();
    if (++inFile == perFile) {
      if (int rc = file.Finish()) return Failed(r, "writing '" + file.path() + "' failed: " + std::strerror(rc) + ".");
      ++r.files;
      inFile = 0;
    }
    if (progress && std::chrono::steady_clock::now() - last >= std::chrono::seconds(kProgressSeconds)) {
      last = std::chrono::steady_clock::now();
      if (!progress(r)) return Failed(r, "the console went away.");
    }
  }
  if (file.open_()) {
    if (int rc = file.Finish()) return Failed(r, "writing '" + file.path() + "' failed: " + std::strerror(rc) + ".");
    ++r.files;
  }
  // Files of the earlier dump past the new ones would mix two dumps.
  for (uint32_t n : old)
    if (n >= r.files) RemoveFileDurably(request.directory + "/" + DumpFileName(n));
  if (int rc = WriteFileDurably(request.directory + "/" + kDumpInfoFile, InfoText(r, perFile)))
    return Failed(r, std::string("writing the dump's summary failed: ") + std::strerror(rc) + ".");
  LogError(EVENTLOG_INFO, "Key dump written to '%s': %llu keys, %llu bytes in %u files.", request.directory.c_str(),
           static_cast<unsigned long long>(r.keys), static_cast<unsigned long long>(r.bytes), r.files);
  return r;
}

}  // namespace kry
