#include "runtime/lockfile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "log/eventlog.h"
#include "log/trace.h"
#include "util/strutil.h"

namespace kry {

namespace {

constexpr int kLockAttempts = 50;
constexpr useconds_t kLockRetryMicros = 200 * 1000;

int LockByteZero(int fd, short type) {
  struct flock fl;
  std::memset(&fl, 0, sizeof fl);
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = 0;
  fl.l_len = 1;
  fl.l_pid = 0;  // required for open-file-description locks
  return fcntl(fd, F_OFD_SETLK, &fl);
}

// The lock is held by another open file description.
inline bool IsLockViolation(int e) { return e == EAGAIN || e == EACCES; }

std::string ErrorText(int e) { return ErrnoText(e); }

}  // namespace

int CreateLockFile(const char* fileName, int wait, LockFileHandle* handle) {
  Debug(LDAP_DEBUG_TRACE, "=> CreateLockFile\n");
  handle->fd = -1;
  const char* name = fileName ? fileName : "";
  int fd = open(name, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    int e = errno;
    LogError(EVENTLOG_ERROR, "Creating file (%s) failed with error %d: %s", name, e, ErrorText(e).c_str());
    Debug(LDAP_DEBUG_TRACE, "<= CreateLockFile\n");
    return 1;
  }
  int lastError = 0;
  for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
    if (LockByteZero(fd, F_WRLCK) == 0) {
      handle->fd = fd;
      Debug(LDAP_DEBUG_TRACE, "<= CreateLockFile\n");
      return 0;
    }
    lastError = errno;
    if (!IsLockViolation(lastError) || !wait) break;
    if (attempt + 1 < kLockAttempts) usleep(kLockRetryMicros);
  }
  LogError(EVENTLOG_ERROR, "Locking file (%s) failed with error %d: %s", name, lastError,
           ErrorText(lastError).c_str());
  close(fd);
  Debug(LDAP_DEBUG_TRACE, "<= CreateLockFile\n");
  return 1;
}

int UnlockLockFile(LockFileHandle* handle) {
  Debug(LDAP_DEBUG_TRACE, "=> UnlockLockFile\n");
  int rc = 0;
  if (handle && handle->fd >= 0) {
    if (LockByteZero(handle->fd, F_UNLCK) == 0) {
      close(handle->fd);
      handle->fd = -1;
    } else {
      int e = errno;
      LogError(EVENTLOG_ERROR, "Unlocking file failed with error %d: %s", e, ErrorText(e).c_str());
      rc = 1;
    }
  }
  Debug(LDAP_DEBUG_TRACE, "<= UnlockLockFile\n");
  return rc;
}

FILE* lock_fopen(const char* path, const char* mode, int wait, LockFileHandle* handle) {
  Debug(LDAP_DEBUG_TRACE, "=> lock_fopen\n");
  handle->fd = -1;
  std::string lockName = std::string(path ? path : "") + ".lock";
  FILE* fp = nullptr;
  if (CreateLockFile(lockName.c_str(), wait, handle) == 0) {
    fp = std::fopen(path, mode);
    if (!fp) {
      int e = errno;
      LogError(EVENTLOG_ERROR, "Creating file (%s) failed with error %d: %s", path, e, ErrorText(e).c_str());
      UnlockLockFile(handle);
    }
  }
  Debug(LDAP_DEBUG_TRACE, "<= lock_fopen\n");
  return fp;
}

int lock_fclose(FILE* stream, LockFileHandle* handle) {
  Debug(LDAP_DEBUG_TRACE, "=> lock_fclose\n");
  if (handle) UnlockLockFile(handle);
  int rc = stream ? std::fclose(stream) : 0;
  Debug(LDAP_DEBUG_TRACE, "<= lock_fclose\n");
  return rc;
}

}  // namespace kry
