// The file loop shared by the three configuration readers.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "config/lines.h"
#include "config/passes.h"
#include "log/eventlog.h"
#include "log/trace.h"

namespace kry {

namespace {
struct FileCloser {
  void operator()(std::FILE* f) const {
    if (f) std::fclose(f);
  }
};
}  // namespace

int ForEachConfigLine(const char* path, std::FILE* openFile, const std::function<int(const ConfigLine&)>& handler,
                      int* lastLine) {
  *lastLine = 0;
  std::unique_ptr<std::FILE, FileCloser> owned;
  std::FILE* file = openFile;
  if (file == nullptr) {
    owned.reset(std::fopen(path, "r"));
    // A directory opens for reading here but yields no lines; reading it as
    // an empty configuration would report success for a wrong path.
    struct stat st;
    if (owned && fstat(fileno(owned.get()), &st) == 0 && S_ISDIR(st.st_mode)) {
      owned.reset();
      errno = EISDIR;
    }
    if (!owned) {
      LogError(EVENTLOG_ERROR, "Could not open configuration file (%s): %s\n", path, std::strerror(errno));
      return 1;
    }
    file = owned.get();
  }
  Debug(LDAP_DEBUG_CONFIG, "reading config file %s\n", path);
  try {
    ConfigLine line;
    line.path = path;
    std::string text;
    int lineNumber = 0;
    while (ReadConfigLine(file, &lineNumber, &text)) {
      *lastLine = lineNumber;
      if (text.empty() || text[0] == '#') continue;
      Debug(LDAP_DEBUG_CONFIG, "line %d (%s)\n", lineNumber, text.c_str());
      line.lineNumber = lineNumber;
      SplitConfigLine(text, &line.tokens, lineNumber, path);
      if (line.tokens.empty()) {
        Debug(LDAP_DEBUG_ANY, "%s(%d): bad config line (ignored)\n", path, lineNumber);
        continue;
      }
      int rc = handler(line);
      if (rc != 0) return rc;
    }
    if (std::ferror(file)) {
      LogError(EVENTLOG_ERROR, "Could not open configuration file (%s): %s\n", path, std::strerror(errno));
      return 1;
    }
  } catch (const std::bad_alloc&) {
    LogError(EVENTLOG_ERROR, "%s(%d): Out of memory\n", path, *lastLine);
    return 2;
  }
  return 0;
}

}  // namespace kry
