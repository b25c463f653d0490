// Lock files: an exclusive lock on byte 0 of a file, held through
// an open file description (fcntl F_OFD_SETLK). Like the Windows handle locks
// of the design, the lock belongs to the open file, so it excludes other
// processes and also other opens of the same file in this process; it is
// not re-entrant. The lock file is created when missing, never truncated and
// never deleted.
#pragma once

#include <cstdio>

namespace kry {

// An open lock file; fd -1 when no lock is held.
struct LockFileHandle {
  int fd = -1;
  bool held() const { return fd >= 0; }
};

// Opens or creates fileName and locks byte 0. With wait false one attempt
// is made; with wait true up to 50 attempts 200 ms apart. Returns 0 with
// *handle set, or 1 with *handle cleared after logging
// "Creating file (%s) failed with error %d: %s" or
// "Locking file (%s) failed with error %d: %s" (error: the errno value).
int CreateLockFile(const char* fileName, int wait, LockFileHandle* handle);
// Unlocks and closes: 0, or 1 after logging
// "Unlocking file failed with error %d: %s" (the handle stays open).
int UnlockLockFile(LockFileHandle* handle);

// Takes the lock file path + ".lock", then opens path with fopen(path,
// mode). Returns the stream, or null with no lock held.
FILE* lock_fopen(const char* path, const char* mode, int wait, LockFileHandle* handle);
// Releases the lock, then closes the stream when it is not null; returns the
// close's result (0 without a stream).
int lock_fclose(FILE* stream, LockFileHandle* handle);

}  // namespace kry
