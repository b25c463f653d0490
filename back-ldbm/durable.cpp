#include "back-ldbm/durable.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace kry {

namespace {

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

int WriteAll(int fd, const std::string& s) {
  size_t off = 0;
  while (off < s.size()) {
    ssize_t n = write(fd, s.data() + off, s.size() - off);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    off += static_cast<size_t>(n);
  }
  return 0;
}

}  // namespace

int SyncDirectoryOf(const std::string& path) {
  int fd = open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  int rc = fsync(fd) == 0 ? 0 : errno;
  close(fd);
  return rc;
}

namespace {

int Replace(const std::string& path, const std::string& contents, bool sync) {
  const std::string tmp = path + ".tmp";
  // Written over and then cut to size rather than truncated first: a
  // temporary file kept ready (ReserveRoomToReplace) then needs no new
  // space, even on a full disk.
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return errno;
  int rc = WriteAll(fd, contents);
  if (rc == 0 && ftruncate(fd, static_cast<off_t>(contents.size())) != 0) rc = errno;
  if (rc == 0 && sync && fsync(fd) != 0) rc = errno;
  if (close(fd) != 0 && rc == 0) rc = errno;
  if (rc == 0) {
    if (!sync) return std::rename(tmp.c_str(), path.c_str()) == 0 ? 0 : errno;
    return RenameDurably(tmp, path);
  }
  unlink(tmp.c_str());
  return rc;
}

}  // namespace

int ReserveRoomToReplace(const std::string& path, size_t bytes) {
  const std::string tmp = path + ".tmp";
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return errno;
  int rc = WriteAll(fd, std::string(bytes, '\0'));
  if (close(fd) != 0 && rc == 0) rc = errno;
  return rc;
}

int WriteFileDurably(const std::string& path, const std::string& contents) { return Replace(path, contents, true); }

int WriteFileReplacing(const std::string& path, const std::string& contents) {
  return Replace(path, contents, false);
}

int SyncFileAndDirectory(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  int rc = fsync(fd) == 0 ? 0 : errno;
  close(fd);
  return rc == 0 ? SyncDirectoryOf(path) : rc;
}

int RenameDurably(const std::string& from, const std::string& to) {
  if (std::rename(from.c_str(), to.c_str()) != 0) return errno;
  return SyncDirectoryOf(to);
}

int RemoveFileDurably(const std::string& path) {
  if (unlink(path.c_str()) != 0 && errno != ENOENT) return errno;
  return SyncDirectoryOf(path);
}

}  // namespace kry
