// Helpers for the ldbm backend tests: a scratch directory and a backend
// that uses it.
#pragma once

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "back-ldbm/backend.h"
#include "back-ldbm/ldbm.h"

namespace kry {
namespace test {

class TempDir {
 public:
  TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/ldbmtest.XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data())) path_ = buf.data();
  }
  ~TempDir() {
    if (!path_.empty())
      nftw(
          path_.c_str(),
          [](const char* p, const struct stat*, int, struct FTW*) { return std::remove(p); }, 16,
          FTW_DEPTH | FTW_PHYS);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline bool FileExists(const std::string& p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0;
}

inline std::string ReadFile(const std::string& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline void WriteFile(const std::string& p, const std::string& content) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << content;
}

// A registry with one ldbm backend on a fresh directory.
class TestBackend {
 public:
  TestBackend() {
    be_ = backend_new("ldbm", list_);
    if (be_) backend_set_directory(be_, dir_.path());
  }
  ~TestBackend() { backend_close_all(list_); }
  TestBackend(const TestBackend&) = delete;
  TestBackend& operator=(const TestBackend&) = delete;

  Backend* be() const { return be_; }
  LdbmState* li() const { return be_->ldbm.get(); }
  const TempDir& dir() const { return dir_; }
  std::vector<std::unique_ptr<Backend>>& list() { return list_; }

  int Config(std::vector<std::string> words, const char* file = "test.cfg", int line = 1) {
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    return backend_config(be_, file, line, static_cast<int>(words.size()), argv.data());
  }

 private:
  TempDir dir_;
  std::vector<std::unique_ptr<Backend>> list_;
  Backend* be_ = nullptr;
};

}  // namespace test
}  // namespace kry
