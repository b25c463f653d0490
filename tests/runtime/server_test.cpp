// The server binary's command line, start-up checks and shutdown, driven as
// a real process on loopback ports.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include <gtest/gtest.h>

#include "support/harness.h"

namespace krytest {
namespace {

bool Contains(const std::string& haystack, const std::string& needle) {
  return haystack.find(needle) != std::string::npos;
}

TEST(ServerCommandLine, CheckOnlyOnCleanFile) {
  ServerTree t;
  RunResult r = t.Run({"-g", "-c"});
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_TRUE(Contains(r.output, "No errors processing configuration file.")) << r.output;
}

TEST(ServerCommandLine, BadConfigLineStopsStartUp) {
  ServerTree t;
  t.WriteConfig("SizeLimit -1\n");
  RunResult r = t.Run({"-g", "-c"});
  EXPECT_EQ(r.exitCode, 1) << r.output;
  EXPECT_TRUE(Contains(r.output, t.config + "(6): Invalid Limit in \"SizeLimit <Limit>\" line")) << r.output;
  EXPECT_TRUE(Contains(r.output, "Errors processing configuration file.  Server not started.")) << r.output;
}

TEST(ServerCommandLine, InvalidPortsAndTimeouts) {
  ServerTree t;
  for (const char* bad : {"0", "65535", "12a"}) {
    RunResult r = t.Run({"-g", "-b", bad});
    EXPECT_EQ(r.exitCode, 1) << bad;
    EXPECT_TRUE(Contains(r.output, std::string("A port number of (") + bad + ") is not valid.")) << r.output;
  }
  RunResult p = t.Run({"-g", "-p", "70000"});
  EXPECT_EQ(p.exitCode, 1);
  EXPECT_TRUE(Contains(p.output, "A port number of (70000) is not valid.")) << p.output;
  RunResult k = t.Run({"-g", "-k", "x1"});
  EXPECT_EQ(k.exitCode, 1);
  EXPECT_TRUE(Contains(k.output, "A timeout of (x1) is not valid.")) << k.output;
}

TEST(ServerCommandLine, UsageForUnknownOptionOrExtraArguments) {
  ServerTree t;
  for (std::vector<std::string> args : {std::vector<std::string>{"-g", "-z"}, {"-g", "stray"}}) {
    RunResult r = t.Run(args);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(Contains(r.output,
                         "Usage: krycertd [-acnsg] [-f ConfigFile] [-p Port] [-t SecurePort] [-d DebugLevel] [-b "
                         "CommandPort] [-k CommandTimeout]"))
        << r.output;
  }
}

TEST(ServerStartUp, BothPortsDisabled) {
  ServerTree t;
  ASSERT_TRUE(t.CreateDatabases());
  RunResult r = t.Run({"-g", "-s", "-p", "0", "-t", "0"});
  EXPECT_EQ(r.exitCode, 1) << r.output;
  EXPECT_TRUE(Contains(r.output, "You must enable either the regular port or the secure port.")) << r.output;
}

// Optional TLS without a configured key: every key of the keyring is a
// candidate and counts as needing a passphrase, which a start with -s may
// not ask for, so the server starts without the secure port.
TEST(ServerStartUp, OptionalSecureModeWithoutKeyStartsPlain) {
  ServerTree t;
  int secure = FreePort();
  t.WriteConfig("SecureMode optional\nSecurePort " + std::to_string(secure) + "\n");
  ASSERT_TRUE(t.CreateDatabases());
  ASSERT_TRUE(t.Start()) << t.Output();
  EXPECT_TRUE(Contains(t.Output(), "Secure server key requires passphrase, disabling SecureMode.")) << t.Output();
  Client c;
  EXPECT_FALSE(c.Connect(secure, 500));
  EXPECT_EQ(t.Stop(SIGTERM), 0);
}

TEST(ServerStartUp, RefusesToServeWithoutDatabases) {
  ServerTree t;
  RunResult r = t.Run({"-g", "-s"});
  EXPECT_EQ(r.exitCode, 1) << r.output;
  // Reported after start-up turned the echo off: in the event file only.
  EXPECT_TRUE(Contains(t.Events(), "All required databases do not exist. Use the \"Create Database\" button to create them."))
      << t.Events();
}

TEST(ServerStartUp, CommandPortClash) {
  ServerTree t;
  t.WriteConfig("Port " + std::to_string(t.commandPort) + "\n");
  ASSERT_TRUE(t.CreateDatabases());
  RunResult r = t.Run({"-g", "-s"});
  EXPECT_EQ(r.exitCode, 1) << r.output;
  EXPECT_TRUE(Contains(r.output, "The regular port and the secure port cannot have the same value as the command port."))
      << r.output;
}

// A thread stack limit larger than memory makes every thread creation fail
// (the limit is the default stack size of new threads). The listener is the
// server's first thread: its failure is reported and start-up ends cleanly.
TEST(ServerStartUp, ListenerThreadThatCannotBeCreatedIsReported) {
  ServerTree t;
  ASSERT_TRUE(t.CreateDatabases());
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_STACK, &saved), 0);
  rlimit huge = saved;
  huge.rlim_cur = rlim_t{1} << 44;  // 16 TiB
  if (huge.rlim_max != RLIM_INFINITY && huge.rlim_max < huge.rlim_cur) GTEST_SKIP() << "stack limit capped";
  ASSERT_EQ(setrlimit(RLIMIT_STACK, &huge), 0);
  RunResult r = t.Run({"-g", "-s"});  // the child inherits the limit
  ASSERT_EQ(setrlimit(RLIMIT_STACK, &saved), 0);
  EXPECT_EQ(r.exitCode, 1) << r.output;
  EXPECT_TRUE(Contains(t.Events() + r.output, "Creating daemon thread failed.")) << r.output << t.Events();
}

TEST(ServerLifecycle, StartWritesSettingsAndStopsOnSigterm) {
  ServerTree t;
  ASSERT_TRUE(t.CreateDatabases());
  int overridePort = FreePort();
  std::swap(t.port, overridePort);
  ASSERT_TRUE(t.Start({"-p", std::to_string(t.port)})) << t.Output();
  // The listener writes the ports in force back to the settings file once
  // its sockets listen, so a client may connect a moment before the write.
  const std::string portLine = "Port=" + std::to_string(t.port) + "\n";
  std::string settings = ReadFile(t.settings);
  for (int i = 0; i < 100 && !Contains(settings, portLine); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    settings = ReadFile(t.settings);
  }
  EXPECT_TRUE(Contains(settings, "Port=" + std::to_string(t.port) + "\n")) << settings;
  EXPECT_TRUE(Contains(settings, "CommandPort=" + std::to_string(t.commandPort) + "\n")) << settings;
  EXPECT_EQ(t.Stop(SIGTERM), 0) << t.Output();
  // The event file holds tab-separated records.
  std::string events = ReadFile(t.events);
  EXPECT_TRUE(Contains(events, "\tverbose\t")) << events;
}

TEST(ServerLifecycle, SighupIsIgnoredAndSigintStops) {
  ServerTree t;
  ASSERT_TRUE(t.CreateDatabases());
  ASSERT_TRUE(t.Start()) << t.Output();
  t.Signal(SIGHUP);
  Client c;
  EXPECT_TRUE(c.Connect(t.port));
  EXPECT_TRUE(t.Running());
  EXPECT_EQ(t.Stop(SIGINT), 0) << t.Output();
}

TEST(ServerLifecycle, DebugTraceWithThreadIds) {
  ServerTree t;
  ASSERT_TRUE(t.CreateDatabases());
  ASSERT_TRUE(t.Start({"-d", std::to_string(0x1001)})) << t.Output();
  EXPECT_EQ(t.Stop(SIGTERM), 0);
  std::string out = t.Output();
  EXPECT_TRUE(Contains(out, "] <= main, rc=0\n")) << out;
  EXPECT_TRUE(Contains(out, "krycertd stopping")) << out;
  EXPECT_TRUE(Contains(out, "[ 0")) << out;
}

TEST(ServerLifecycle, ServiceModeStartsTheServerAtOnce) {
  // As under systemd: the program lives in bin/, which is also where the
  // relative default paths resolve; without -g the directory server starts
  // without -s and SIGTERM is the service stop.
  ServerTree t;
  ASSERT_TRUE(t.CreateDatabases());
  std::string installed = t.bin + "/krycertd";
  WriteFile(installed, ReadFile(ServerBinary()));
  ASSERT_EQ(chmod(installed.c_str(), 0755), 0);
  std::string saved = ServerBinary();
  setenv("KRYCERTD_BIN", installed.c_str(), 1);
  bool started = t.StartWithArgs({});
  setenv("KRYCERTD_BIN", saved.c_str(), 1);
  ASSERT_TRUE(started) << t.Output() << t.Events();
  Client c;
  ASSERT_TRUE(c.Connect(t.port));
  ASSERT_TRUE(c.Send(BindRequest(1, "", "")));
  std::string msg;
  ASSERT_TRUE(c.ReadMessage(&msg));
  EXPECT_EQ(ResultCode(msg), 0);
  EXPECT_EQ(t.Stop(SIGTERM), 0) << t.Output();
}

}  // namespace
}  // namespace krytest
