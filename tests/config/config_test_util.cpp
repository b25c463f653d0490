#include "config_test_util.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "config/config.h"
#include "log/eventlog.h"

namespace kry::test {

namespace {
std::string EventFile() {
  static std::string path = [] {
    char tmpl[] = "/tmp/krycfg-events-XXXXXX";
    int fd = mkstemp(tmpl);
    if (fd >= 0) close(fd);
    setenv("KRYCERTD_EVENTLOG", tmpl, 1);
    ErrorLogInit("krycertd", EVENTLOG_VERBOSE, 389, 0);
    return std::string(tmpl);
  }();
  return path;
}

long FileSize(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : 0;
}
}  // namespace

void ConfigFixture::SetUp() {
  std::string events = EventFile();
  UpdateErrorLogValues(EVENTLOG_VERBOSE, 389, 1);
  char tmpl[] = "/tmp/krycfg-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  root_ = tmpl;
  ASSERT_EQ(mkdir((root_ + "/bin").c_str(), 0700), 0);
  ASSERT_EQ(mkdir((root_ + "/data").c_str(), 0700), 0);
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  oldCwd_ = cwd;
  ASSERT_EQ(chdir((root_ + "/bin").c_str()), 0);
  globals_ = std::make_unique<Globals>();
  g_globals = globals_.get();
  backend_ = backend_new("ldbm", globals_->backends);
  eventOffset_ = FileSize(events);
  ::testing::internal::CaptureStderr();
}

std::string ConfigFixture::Logged() {
  logged_ += ::testing::internal::GetCapturedStderr();
  ::testing::internal::CaptureStderr();
  return logged_;
}

void ConfigFixture::TearDown() {
  std::string rest = ::testing::internal::GetCapturedStderr();
  if (HasFailure()) std::fprintf(stderr, "%s%s", logged_.c_str(), rest.c_str());
  g_globals = nullptr;
  globals_.reset();
  if (!oldCwd_.empty()) {
    EXPECT_EQ(chdir(oldCwd_.c_str()), 0);
  }
  std::string cmd = "rm -rf '" + root_ + "'";
  EXPECT_EQ(std::system(cmd.c_str()), 0);
}

std::string ConfigFixture::WriteFile(const std::string& text, const std::string& name) {
  std::ofstream out(name, std::ios::binary | std::ios::trunc);
  out << text;
  return name;
}

int ConfigFixture::Read(const std::string& text, int port, int securePort, int commandTimeout) {
  WriteFile(text, cfg_);
  Backend* be = nullptr;
  return ReadConfig(cfg_.c_str(), &be, nullptr, port, securePort, commandTimeout);
}

int ConfigFixture::Command(const std::string& text, int commandPortOverride) {
  WriteFile(text, cfg_);
  Backend* be = nullptr;
  return ReadCommand(cfg_.c_str(), &be, commandPortOverride);
}

int ConfigFixture::Check(const std::string& text) {
  WriteFile(text, cfg_);
  return CheckConfig(cfg_.c_str(), backend_);
}

std::vector<Event> ConfigFixture::Events() {
  std::vector<Event> out;
  std::ifstream in(EventFile(), std::ios::binary);
  in.seekg(eventOffset_);
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> fields;
    std::stringstream ss(line);
    std::string f;
    while (std::getline(ss, f, '\t')) fields.push_back(f);
    if (fields.size() >= 5) out.push_back({fields[1], UnescapeEventText(fields[4])});
  }
  eventOffset_ = FileSize(EventFile());
  return out;
}

std::string ConfigFixture::At(int line, const std::string& text) const {
  return cfg_ + "(" + std::to_string(line) + "): " + text;
}

}  // namespace kry::test
