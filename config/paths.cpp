#include "config/paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <vector>

#include "log/eventlog.h"
#include "log/trace.h"

namespace kry {

void NormalizePath(std::string* path) {
  Debug(LDAP_DEBUG_TRACE, "=> NormalizePath\n");
  for (char& c : *path)
    if (c == '\\') c = '/';
  Debug(LDAP_DEBUG_TRACE, "<= NormalizePath\n");
}

int AdjustPath(const char* baseDirectory, const char* path, std::string* setting) {
  (void)baseDirectory;
  Debug(LDAP_DEBUG_TRACE, "=> AdjustPath\n");
  int rc = 0;
  setting->clear();
  setting->shrink_to_fit();
  try {
    std::string copy(path ? path : "");
    NormalizePath(&copy);
    *setting = std::move(copy);
  } catch (const std::bad_alloc&) {
    LogError(EVENTLOG_ERROR, "Out of memory");
    rc = 1;
  }
  Debug(LDAP_DEBUG_TRACE, "<= AdjustPath, rc=%d\n", rc);
  return rc;
}

int GetCurrentDir(std::string* buffer) {
  Debug(LDAP_DEBUG_TRACE, "=> GetCurrentDir\n");
  int rc = 0;
  try {
    std::vector<char> buf(512);
    for (;;) {
      if (getcwd(buf.data(), buf.size()) != nullptr) {
        *buffer = buf.data();
        break;
      }
      if (errno != ERANGE) {
        LogError(EVENTLOG_ERROR, "Error accessing current directory: %s.", std::strerror(errno));
        rc = 1;
        break;
      }
      buf.resize(buf.size() + 512);
    }
  } catch (const std::bad_alloc&) {
    LogError(EVENTLOG_ERROR, "Out of memory");
    rc = 1;
  }
  Debug(LDAP_DEBUG_TRACE, "<= GetCurrentDir, rc=%d\n", rc);
  return rc;
}

bool IsExistingDirectory(const std::string& path) {
  struct stat st;
  return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace kry
