// Helpers shared by the network library's own files.
#pragma once

#include <cerrno>

namespace krynet_internal {

void SetLastError(int code);

// Records errno as the last error and returns -1.
inline int FailWithErrno() {
  SetLastError(errno);
  return -1;
}

inline int Fail(int code) {
  SetLastError(code);
  return -1;
}

}  // namespace krynet_internal
