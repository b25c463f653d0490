#include "log/logfile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

namespace kry {

LogFileHandle::~LogFileHandle() {
  if (fd_ >= 0) ::close(fd_);
}

int LogFileHandle::Open(const std::string& path, int flags, int mode) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = ::open(path.c_str(), flags | O_CLOEXEC, mode);
  return fd_ < 0 ? errno : 0;
}

int LogFileHandle::Size(uint64_t* size) const {
  struct stat st {};
  if (fstat(fd_, &st) != 0) return errno;
  *size = static_cast<uint64_t>(st.st_size);
  return 0;
}

int LogFileHandle::CopyFrom(const LogFileHandle& from, uint64_t count) {
  constexpr size_t kChunk = 64 * 1024;
  std::unique_ptr<char[]> buf(new char[kChunk]);
  off_t offset = 0;
  while (count > 0) {
    size_t want = count < kChunk ? static_cast<size_t>(count) : kChunk;
    ssize_t n = pread(from.fd_, buf.get(), want, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return EIO;
    for (ssize_t done = 0; done < n;) {
      ssize_t w = ::write(fd_, buf.get() + done, static_cast<size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) return w < 0 ? errno : EIO;
      done += w;
    }
    offset += n;
    count -= static_cast<uint64_t>(n);
  }
  return 0;
}

int LogFileHandle::Truncate() { return ftruncate(fd_, 0) == 0 ? 0 : errno; }

int SplitLogPath(const std::string& path, std::string* dir, std::string* name) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    *dir = ".";
    *name = path;
  } else {
    *dir = slash == 0 ? "/" : path.substr(0, slash);
    *name = path.substr(slash + 1);
  }
  return name->empty() ? EINVAL : 0;
}

int ListDirectory(const std::string& dir, std::vector<std::string>* names) {
  std::unique_ptr<DIR, int (*)(DIR*)> d(opendir(dir.c_str()), closedir);
  if (!d) return errno;
  names->clear();
  while (struct dirent* e = readdir(d.get())) {
    std::string n = e->d_name;
    if (n != "." && n != "..") names->push_back(std::move(n));
  }
  return 0;
}

}  // namespace kry
