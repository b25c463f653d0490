// The server's use of the backend's files: "krycertd -n", the start-up check
// and the data-directory lock between two server processes. Runs the real binary named by $KRYCERTD_BIN; skipped without it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "support/harness.h"
#include "ldbm_test_util.h"

namespace kry {
namespace {

class ServerDb : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* bin = std::getenv("KRYCERTD_BIN");
    const char* src = std::getenv("KRY_SOURCE_DIR");
    if (!bin || !src || access(bin, X_OK) != 0) GTEST_SKIP() << "KRYCERTD_BIN not available";
    bin_ = bin;
    root_ = dir_.path();
    for (const char* d : {"bin", "etc", "data", "log"}) mkdir((root_ + "/" + d).c_str(), 0700);
    std::string demo = std::string(src) + "/packaging/demo/";
    for (const char* f : {"KRYcertd-pubring.pkr", "KRYcertd-secring.skr"})
      test::WriteFile(root_ + "/etc/" + f, test::ReadFile(demo + f));
    const int port = krytest::FreePort(), commandPort = krytest::FreePort();
    test::WriteFile(root_ + "/bin/krycertd.cfg",
                    "Port " + std::to_string(port) + "\nCommandPort " + std::to_string(commandPort) +
                        "\nSecureMode disabled\nDirectory ../data\nLogLevel verbose\n"
                        "PublicKeyRing ../etc/KRYcertd-pubring.pkr\nPrivateKeyRing ../etc/KRYcertd-secring.skr\n"
                        "Allow ip 127.0.0.1 all\n");
    events_ = root_ + "/log/events.log";
  }

  // Runs the server in root/bin with `args`; returns its pid.
  pid_t Start(const std::vector<std::string>& args) {
    pid_t pid = fork();
    if (pid == 0) {
      if (chdir((root_ + "/bin").c_str()) != 0) _exit(127);
      setenv("KRYCERTD_EVENTLOG", events_.c_str(), 1);
      setenv("KRYCERTD_SETTINGS", (root_ + "/etc/settings").c_str(), 1);
      std::vector<char*> argv;
      argv.push_back(const_cast<char*>(bin_.c_str()));
      for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      freopen("/dev/null", "w", stdout);
      freopen("/dev/null", "w", stderr);
      execv(bin_.c_str(), argv.data());
      _exit(127);
    }
    return pid;
  }
  int Wait(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  int RunToEnd(const std::vector<std::string>& args) { return Wait(Start(args)); }
  std::string Events() { return test::ReadFile(events_); }
  bool WaitForEvent(const std::string& text, int ms) {
    for (int i = 0; i < ms / 50; ++i) {
      if (Events().find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  test::TempDir dir_;
  std::string bin_, root_, events_;
};

TEST_F(ServerDb, CreateCheckAndLock) {
  // Without databases the server refuses to serve.
  EXPECT_NE(RunToEnd({"-g", "-s"}), 0);
  EXPECT_NE(Events().find("All required databases do not exist. Use the \"Create Database\" button to create them."),
            std::string::npos);

  EXPECT_EQ(RunToEnd({"-g", "-n"}), 0);
  EXPECT_NE(Events().find("Databases initialized."), std::string::npos);
  EXPECT_EQ(test::ReadFile(root_ + "/data/NEXTID"), "5\n");
  EXPECT_EQ(RunToEnd({"-g", "-n"}), 0);
  EXPECT_NE(Events().find("The entire database already exists."), std::string::npos);
  if (system("command -v db5.3_verify >/dev/null 2>&1") == 0) {
    for (const char* f : {"id2entry.dbb", "id2children.dbb", "dn2id.dbb", "dn.dbb", "objectclass.dbb"}) {
      std::string cmd = "db5.3_verify '" + root_ + "/data/" + f + "' >/dev/null 2>&1";
      EXPECT_EQ(system(cmd.c_str()), 0) << f;
    }
  }

  // A second server on the same directory fails; the first keeps serving.
  pid_t first = Start({"-g", "-s"});
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  ASSERT_EQ(waitpid(first, nullptr, WNOHANG), 0) << Events();
  EXPECT_EQ(RunToEnd({"-g", "-s"}), 1);
  std::string ev = Events();
  EXPECT_NE(ev.find("Locking file (../data/.lockfile) failed with error "), std::string::npos) << ev;
  EXPECT_NE(ev.find("Database may already be locked by another server."), std::string::npos);
  EXPECT_EQ(waitpid(first, nullptr, WNOHANG), 0);  // still running

  // The lock goes with the first server.
  kill(first, SIGTERM);
  EXPECT_EQ(Wait(first), 0);
  pid_t again = Start({"-g", "-s"});
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(waitpid(again, nullptr, WNOHANG), 0) << Events();
  kill(again, SIGTERM);
  Wait(again);
}

}  // namespace
}  // namespace kry
