// Key IDs and fingerprints of the test corpus, read from its KEYIDS.tsv
// (name, fingerprint, 16-digit key ID, 8-digit key ID), so that tests name
// keys by their corpus name and keep passing when the corpus is made anew.
// A name the file lacks (or a missing file) fails the calling test and
// yields an empty string.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>

namespace corpus {

struct KeyIds {
  std::string fingerprint, keyId, shortId;
};

inline std::string Dir() {
  const char* c = std::getenv("KRY_CORPUS");
  return c ? c : "";
}

inline const KeyIds* Lookup(const std::string& name) {
  static std::mutex m;
  static std::map<std::string, std::map<std::string, KeyIds>> byDir;
  std::lock_guard<std::mutex> lock(m);
  const std::string dir = Dir();
  auto it = byDir.find(dir);
  if (it == byDir.end()) {
    std::map<std::string, KeyIds> table;
    std::ifstream f(dir + "/KEYIDS.tsv");
    std::string line;
    while (std::getline(f, line)) {
      std::istringstream in(line);
      std::string n;
      KeyIds k;
      if (std::getline(in, n, '\t') && std::getline(in, k.fingerprint, '\t') &&
          std::getline(in, k.keyId, '\t') && std::getline(in, k.shortId))
        table[n] = k;
    }
    it = byDir.emplace(dir, std::move(table)).first;
  }
  auto k = it->second.find(name);
  if (k == it->second.end()) {
    ADD_FAILURE() << "no key named '" << name << "' in " << dir << "/KEYIDS.tsv";
    return nullptr;
  }
  return &k->second;
}

// 16 hexadecimal digits, upper case, no "0x".
inline std::string KeyId(const std::string& name) {
  const KeyIds* k = Lookup(name);
  return k ? k->keyId : "";
}
// The last 8 digits of the key ID.
inline std::string ShortId(const std::string& name) {
  const KeyIds* k = Lookup(name);
  return k ? k->shortId : "";
}
// 40 hexadecimal digits, upper case.
inline std::string Fingerprint(const std::string& name) {
  const KeyIds* k = Lookup(name);
  return k ? k->fingerprint : "";
}

}  // namespace corpus
