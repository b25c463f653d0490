// A file descriptor owned by one object and closed when it goes.
#pragma once

#include <unistd.h>

#include <cerrno>

namespace kryrepl {

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  // Closes now and reports the close's error (0 when fine).
  int Close() {
    const int r = ::close(fd_);
    fd_ = -1;
    return r == 0 ? 0 : errno;
  }

 private:
  int fd_;
};

}  // namespace kryrepl
