#include "repl/statefile.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>

#include "repl/fd.h"

namespace kryrepl {

std::string HashHex(std::string_view bytes) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_Digest(bytes.data(), bytes.size(), md, &len, EVP_sha256(), nullptr);
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned i = 0; i < len; ++i) {
    out += kHex[md[i] >> 4];
    out += kHex[md[i] & 15];
  }
  return out;
}

std::string StateFilePath(const std::string& directory, const std::string& replica) {
  std::string name;
  for (char c : replica) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                       c == '-';
    name += plain ? c : '_';
  }
  return directory + "/" + name + ".pos";
}

bool LoadPosition(const std::string& path, LogPosition* out) {
  std::FILE* f = std::fopen(path.c_str(), "r");
  if (!f) return false;
  char hash[80] = {0};
  LogPosition p;
  const int n = std::fscanf(f, "device %" SCNu64 "\ninode %" SCNu64 "\nhead %79s\noffset %" SCNu64, &p.device,
                            &p.inode, hash, &p.offset);
  std::fclose(f);
  if (n != 4) return false;
  p.headHash = hash[0] == '-' ? "" : hash;
  *out = p;
  return true;
}

int SavePosition(const std::string& path, const LogPosition& p) {
  const std::string tmp = path + ".tmp";
  char text[256];
  const int len = std::snprintf(text, sizeof text, "device %" PRIu64 "\ninode %" PRIu64 "\nhead %s\noffset %" PRIu64 "\n",
                                p.device, p.inode, p.headHash.empty() ? "-" : p.headHash.c_str(), p.offset);
  {
    Fd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640));
    if (fd.get() < 0) return errno;
    if (::write(fd.get(), text, static_cast<size_t>(len)) != len) return errno ? errno : EIO;
    if (::fsync(fd.get()) != 0) return errno;
    if (const int e = fd.Close()) return e;
  }
  if (::rename(tmp.c_str(), path.c_str()) != 0) return errno;
  const size_t slash = path.rfind('/');
  Fd dir(::open(slash == std::string::npos ? "." : path.substr(0, slash).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0) return errno;
  return ::fsync(dir.get()) == 0 ? 0 : errno;
}

}  // namespace kryrepl
