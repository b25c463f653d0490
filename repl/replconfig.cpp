#include "repl/replconfig.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "config/lines.h"
#include "util/strutil.h"

namespace kryrepl {

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

bool Digits(const std::string& s) {
  if (s.empty() || s.size() > 9) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

}  // namespace

int ReadReplConfig(const std::string& path, ReplConfig* config, std::string* error) {
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "r"));
  if (!file) {
    *error = "cannot open " + path;
    return 1;
  }
  int lineNumber = 0;
  std::string line;
  std::vector<std::string> tokens;
  while (kry::ReadConfigLine(file.get(), &lineNumber, &line)) {
    if (line.empty() || line[0] == '#') continue;
    kry::SplitConfigLine(line, &tokens, lineNumber, path.c_str());
    if (tokens.empty()) continue;
    const std::string& key = tokens[0];
    const std::string where = path + "(" + std::to_string(lineNumber) + "): ";
    if (kry::StrIEquals(key, "RepLogFile") && tokens.size() == 2) {
      config->repLogFile = tokens[1];
      for (char& c : config->repLogFile)
        if (c == '\\') c = '/';
    } else if (kry::StrIEquals(key, "Replica")) {
      config->replicas.insert(config->replicas.end(), tokens.begin() + 1, tokens.end());
    } else if (kry::StrIEquals(key, "repdCommandPort") || kry::StrIEquals(key, "repdCommandTimeout")) {
      const bool port = kry::StrIEquals(key, "repdCommandPort");
      if (tokens.size() != 2 || !Digits(tokens[1]) || (port && (std::atoi(tokens[1].c_str()) < 1 ||
                                                                 std::atoi(tokens[1].c_str()) > 65534))) {
        *error = where + "invalid \"" + key + "\" line";
        return 1;
      }
      (port ? config->commandPort : config->commandTimeout) = std::atoi(tokens[1].c_str());
    }
  }
  return 0;
}

bool ParseReplica(const std::string& text, ReplicaAddress* out) {
  std::string rest = text;
  *out = ReplicaAddress();
  if (size_t scheme = rest.find("://"); scheme != std::string::npos) {
    const std::string proto = kry::ToLower(rest.substr(0, scheme));
    if (proto == "ldaps") {
      out->tls = true;
      out->port = 636;
    } else if (proto != "ldap") {
      return false;
    }
    rest.erase(0, scheme + 3);
  }
  size_t portAt = std::string::npos;
  if (!rest.empty() && rest[0] == '[') {
    const size_t close = rest.find(']');
    if (close == std::string::npos) return false;
    out->host = rest.substr(1, close - 1);
    if (close + 1 < rest.size()) {
      if (rest[close + 1] != ':') return false;
      portAt = close + 2;
    }
  } else {
    const size_t colon = rest.find(':');
    out->host = rest.substr(0, colon);
    if (colon != std::string::npos) portAt = colon + 1;
  }
  if (out->host.empty()) return false;
  if (portAt != std::string::npos && portAt < rest.size()) {
    const std::string port = rest.substr(portAt);
    if (!Digits(port)) return false;
    out->port = std::atoi(port.c_str());
    if (out->port < 1 || out->port > 65535) return false;
  }
  return true;
}

}  // namespace kryrepl
