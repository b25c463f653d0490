// The small file layer of access-log cycling: an owned descriptor, whole-file
// copy and truncation, path splitting and directory listing. Failures return
// the errno value (ENOENT tells a missing file apart); 0 is success.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kry {

// An open descriptor, closed when the object goes.
class LogFileHandle {
 public:
  LogFileHandle() = default;
  ~LogFileHandle();
  LogFileHandle(const LogFileHandle&) = delete;
  LogFileHandle& operator=(const LogFileHandle&) = delete;

  // open(2) with close-on-exec; 0 or errno.
  int Open(const std::string& path, int flags, int mode = 0);
  int fd() const { return fd_; }
  // Size of the open file; 0 or errno.
  int Size(uint64_t* size) const;
  // Copies the first `count` bytes of `from` to the current position; 0 or
  // errno (EIO when `from` ends early).
  int CopyFrom(const LogFileHandle& from, uint64_t count);
  // Truncates the file to length 0; 0 or errno.
  int Truncate();

 private:
  int fd_ = -1;
};

// Splits `path` at its last '/' into a directory ("." when none) and a file
// name; EINVAL when the name is empty.
int SplitLogPath(const std::string& path, std::string* dir, std::string* name);
// The names in `dir` (without "." and ".."); 0 or errno.
int ListDirectory(const std::string& dir, std::vector<std::string>* names);

}  // namespace kry
