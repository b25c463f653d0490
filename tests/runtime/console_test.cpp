// The command port against the real server: krycertctl's commands, the
// session rules (one console at a time, LOGON first, time-outs, versions,
// who may connect) and malformed console messages.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "runtime/console_proto.h"
#include "support/harness.h"

namespace krytest {
namespace {

using kry::ConsoleMessage;

bool Contains(const std::string& haystack, const std::string& needle) {
  return haystack.find(needle) != std::string::npos;
}

std::string CtlBinary() {
  const char* dir = std::getenv("KRY_BINARY_DIR");
  return std::string(dir ? dir : ".") + "/tools/krycertctl/krycertctl";
}

// A console speaking raw protocol bytes.
class RawConsole {
 public:
  bool Connect(int port) { return c_.Connect(port); }
  bool SendRaw(const std::string& bytes) { return c_.Send(bytes); }
  bool Send(uint8_t type, const std::string& payload = "") { return c_.Send(kry::BuildConsoleMessage(type, payload)); }
  bool Logon(uint16_t major = 2, uint16_t minor = 5, const std::string& user = "tester") {
    kry::LogonRequest l;
    l.major = major;
    l.minor = minor;
    l.user = user;
    return Send(kry::kMsgLogon, kry::EncodeLogon(l));
  }
  // Reads one message; false on time-out or end of stream.
  bool Read(ConsoleMessage* m, int timeoutMs = 5000) {
    for (;;) {
      size_t used = 0;
      if (!pending_.empty() && kry::ParseConsoleFrame(reinterpret_cast<const uint8_t*>(pending_.data()),
                                                      pending_.size(), m, &used) == kry::FrameResult::kOk) {
        pending_.erase(0, used);
        return true;
      }
      pollfd p{c_.fd(), POLLIN, 0};
      if (poll(&p, 1, timeoutMs) != 1) return false;
      char buf[2048];
      ssize_t n = recv(c_.fd(), buf, sizeof buf, 0);
      if (n <= 0) return false;
      pending_.append(buf, static_cast<size_t>(n));
    }
  }
  bool LogonOk(kry::LogonReply* reply = nullptr) {
    ConsoleMessage m;
    kry::LogonReply r;
    if (!Logon() || !Read(&m) || m.type != kry::kReplyLogon || !kry::DecodeLogonReply(m.payload, &r)) return false;
    if (reply) *reply = r;
    return !r.tooOld;
  }
  bool WaitClosed(int timeoutMs = 5000) { return c_.WaitClosed(timeoutMs); }
  void Close() { c_.Close(); }
  int fd() const { return c_.fd(); }

 private:
  Client c_;
  std::string pending_;
};

// One running server with databases and open access for adds.
class Console : public ::testing::Test {
 protected:
  void SetUp() override {
    t_.WriteConfig("Allow ip 127.0.0.1 all\nCommandTimeout 2\n");
    ASSERT_TRUE(t_.CreateDatabases());
    ASSERT_TRUE(t_.Start()) << t_.Output();
  }
  void TearDown() override {
    if (t_.Running()) {
      EXPECT_EQ(t_.Stop(SIGTERM), 0) << t_.Output();
    }
  }

  RunResult Ctl(const std::string& args) {
    std::string cmd = "KRYCERTD_SETTINGS=" + ShellQuote(t_.settings) + " timeout 60 " + ShellQuote(CtlBinary()) +
                      " --command-port " + std::to_string(t_.commandPort) + " " + args + " 2>&1";
    return RunShell(cmd);
  }
  RunResult Ldap(const std::string& tool, const std::string& args, int port = 0) {
    std::string cmd = "timeout 20 " + tool + " -P 2 -x -o nettimeout=10 -H ldap://127.0.0.1:" +
                      std::to_string(port ? port : t_.port) + " " + args + " 2>&1";
    return RunShell(cmd);
  }
  // Waits until the command port takes a new session again, and lets that
  // session end before the caller opens the next one.
  void WaitForPort() {
    for (int i = 0; i < 50; ++i) {
      RawConsole c;
      if (c.Connect(t_.commandPort) && c.LogonOk()) {
        c.Close();
        Settle();
        return;
      }
      usleep(100 * 1000);
    }
    FAIL() << "command port did not come back";
  }
  // The server notices a closed session within a few milliseconds; a
  // console connecting in that moment is still turned away.
  static void Settle() { usleep(200 * 1000); }

  ServerTree t_;
};

TEST_F(Console, StopThenStartOnANewPortKeepsTheData) {
  const std::string dn = "cn=Kept Entry,OU=ACTIVE,O=KRY KEYSPACE,C=US";
  WriteFile(t_.log + "/add.ldif", "dn: " + dn + "\nobjectclass: person\ncn: Kept Entry\nsn: Entry\n");
  ASSERT_EQ(Ldap("ldapadd", "-f " + ShellQuote(t_.log + "/add.ldif")).exitCode, 0);

  RunResult r = Ctl("stop");
  ASSERT_EQ(r.exitCode, 0) << r.output;
  RunResult st = Ctl("--json status");
  EXPECT_TRUE(Contains(st.output, "\"running\":false")) << st.output;
  Client gone;
  EXPECT_FALSE(gone.Connect(t_.port, 500));

  int newPort = FreePort();
  r = Ctl("--json start --port " + std::to_string(newPort));
  ASSERT_EQ(r.exitCode, 0) << r.output << t_.Events();
  EXPECT_TRUE(Contains(r.output, "\"port\":" + std::to_string(newPort))) << r.output;
  r = Ldap("ldapsearch", "-LLL -b " + ShellQuote(dn) + " -s base '(objectclass=*)' sn", newPort);
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_TRUE(Contains(r.output, "sn: Entry")) << r.output;

  // A plain start after a stop serves where the server served before.
  ASSERT_EQ(Ctl("stop").exitCode, 0);
  r = Ctl("start");
  ASSERT_EQ(r.exitCode, 0) << r.output << t_.Events();
  EXPECT_EQ(Ldap("ldapsearch", "-LLL -b " + ShellQuote(dn) + " -s base '(objectclass=*)'", newPort).exitCode, 0);
}

TEST_F(Console, StopRepliesInProgressThenFinished) {
  RawConsole c;
  ASSERT_TRUE(c.Connect(t_.commandPort));
  ASSERT_TRUE(c.LogonOk());
  ConsoleMessage m;
  ASSERT_TRUE(c.Send(kry::kMsgStopServer));
  ASSERT_TRUE(c.Read(&m));
  EXPECT_EQ(m.type, kry::kReplyStopping);
  for (int i = 0; i < 100 && m.type == kry::kReplyStopping; ++i) {
    usleep(100 * 1000);
    ASSERT_TRUE(c.Send(kry::kMsgStopServer));
    ASSERT_TRUE(c.Read(&m));
  }
  EXPECT_EQ(m.type, kry::kReplyStopped);
  EXPECT_EQ(kry::DecodeStatus(m.payload), 0);
  // Start while stopped, then a second start while running changes nothing.
  kry::StartParams p;
  p.port = std::to_string(t_.port);
  p.securePort = "0";
  ASSERT_TRUE(c.Send(kry::kMsgStartServer, kry::EncodeStartParams(p)));
  ASSERT_TRUE(c.Read(&m));
  kry::StartReply sr;
  ASSERT_TRUE(kry::DecodeStartReply(m.payload, &sr));
  EXPECT_EQ(sr.status, 0) << t_.Events();
  p.port = std::to_string(FreePort());
  ASSERT_TRUE(c.Send(kry::kMsgStartServer, kry::EncodeStartParams(p)));
  ASSERT_TRUE(c.Read(&m));
  ASSERT_TRUE(kry::DecodeStartReply(m.payload, &sr));
  EXPECT_EQ(sr.status, 0);
  EXPECT_EQ(sr.port, t_.port);
}

TEST_F(Console, StartFailuresAndCreateWhileRunning) {
  RunResult r = Ctl("create-db");
  EXPECT_EQ(r.exitCode, 1) << r.output;
  EXPECT_TRUE(Contains(r.output, "status 5")) << r.output;
  EXPECT_TRUE(t_.WaitForEvent("Cannot create database while server is running!", 3000));

  ASSERT_EQ(Ctl("stop").exitCode, 0);
  r = Ctl("start --port 0 --secure-port 0");
  EXPECT_EQ(r.exitCode, 1) << r.output;
  EXPECT_TRUE(Contains(r.output, "status 2")) << r.output;
  EXPECT_TRUE(t_.WaitForEvent("Invalid server start parameter, unable to start server!", 3000));

  r = Ctl("start --port 5000 --secure-port 5000");
  EXPECT_EQ(r.exitCode, 1) << r.output;
  EXPECT_TRUE(t_.WaitForEvent("Error: Unsecure port and secure port cannot be the same!", 3000));

  // With SecureMode disabled a secure port cannot be asked for.
  r = Ctl("start --port " + std::to_string(t_.port) + " --secure-port 6360");
  EXPECT_EQ(r.exitCode, 1) << r.output;
  EXPECT_TRUE(t_.WaitForEvent("Secure port disabled.", 3000));

  // Stopped, the existing databases are reported and nothing is lost.
  r = Ctl("create-db");
  EXPECT_EQ(r.exitCode, 1) << r.output;
  EXPECT_TRUE(t_.WaitForEvent("The entire database already exists.", 3000));
  EXPECT_EQ(Ctl("check-config").exitCode, 0);
  r = Ctl("--json start --keep-ports");
  EXPECT_EQ(r.exitCode, 0) << r.output << t_.Events();
  EXPECT_TRUE(Contains(r.output, "\"port\":" + std::to_string(t_.port))) << r.output;
}

TEST_F(Console, CreateDatabasesWhileStoppedCreatesMissingFiles) {
  ASSERT_EQ(Ctl("stop").exitCode, 0);
  t_.WriteConfig("Directory ../data2\n");
  ASSERT_EQ(system(("mkdir -p " + ShellQuote(t_.root + "/data2")).c_str()), 0);
  RunResult r = Ctl("create-db");
  EXPECT_EQ(r.exitCode, 0) << r.output << t_.Events();
  EXPECT_TRUE(t_.WaitForEvent("Databases initialized.", 3000));
  t_.WriteConfig("SizeLimit -1\n");
  r = Ctl("check-config");
  EXPECT_EQ(r.exitCode, 1) << r.output;
  EXPECT_TRUE(Contains(r.output, "status 4")) << r.output;
}

TEST_F(Console, StatisticsMatchTheMonitorEntry) {
  RunResult mon = Ldap("ldapsearch", "-LLL -b cn=monitor -s base '(objectclass=*)'");
  ASSERT_EQ(mon.exitCode, 0) << mon.output;
  RunResult r = Ctl("--json stats");
  ASSERT_EQ(r.exitCode, 0) << r.output;
  auto monitorValue = [&mon](const std::string& name) {
    size_t at = mon.output.find("\n" + name + ": ");
    return at == std::string::npos ? -1L : std::atol(mon.output.c_str() + at + name.size() + 3);
  };
  auto jsonValue = [&r](const std::string& name) {
    size_t at = r.output.find("\"" + name + "\":");
    return at == std::string::npos ? -1L : std::atol(r.output.c_str() + at + name.size() + 3);
  };
  EXPECT_EQ(jsonValue("total_connections"), monitorValue("totalconnections")) << r.output << mon.output;
  EXPECT_EQ(jsonValue("max_connections"), monitorValue("dtablesize"));
  // The monitor was read during its own search: one operation (the
  // unbind) and one entry (the monitor entry itself) came after.
  EXPECT_GE(jsonValue("ops_initiated"), monitorValue("opsinitiated"));
  EXPECT_LE(jsonValue("ops_initiated"), monitorValue("opsinitiated") + 2);
  EXPECT_EQ(jsonValue("entries_sent"), monitorValue("entriessent") + 1);
  EXPECT_EQ(jsonValue("current_connections"), 0);
  EXPECT_GE(jsonValue("uptime_seconds"), 0);
}

TEST_F(Console, LongConnectionListArrivesInChunks) {
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < 60; ++i) {
    clients.push_back(std::make_unique<Client>());
    ASSERT_TRUE(clients.back()->Connect(t_.port));
  }
  // The listener takes them in turn; wait until all are in the table.
  RunResult r;
  for (int i = 0; i < 50; ++i) {
    r = Ctl("--json connections");
    if (Contains(r.output, "\"count\":60")) break;
    usleep(100 * 1000);
  }
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_TRUE(Contains(r.output, "\"count\":60")) << r.output;
  size_t at = r.output.find("\"chunks\":");
  ASSERT_NE(at, std::string::npos);
  EXPECT_GE(std::atoi(r.output.c_str() + at + 9), 2) << r.output;

  // Raw: every chunk but the last needs a type-9 message; the last has 6.
  Settle();
  RawConsole c;
  ASSERT_TRUE(c.Connect(t_.commandPort));
  ASSERT_TRUE(c.LogonOk());
  int chunks = 0, entries = 0;
  ConsoleMessage m;
  kry::ListChunk chunk;
  do {
    ASSERT_TRUE(c.Send(kry::kMsgConnections));
    ASSERT_TRUE(c.Read(&m));
    ASSERT_EQ(m.type, kry::kReplyConnections);
    ASSERT_TRUE(kry::DecodeListChunk(m.payload, &chunk));
    ++chunks;
    entries += chunk.count;
    std::vector<std::pair<std::string, std::string>> list;
    ASSERT_TRUE(kry::SplitListEntries(chunk, &list));
    for (const auto& e : list) {
      EXPECT_TRUE(e.first == "localhost" || e.first == "127.0.0.1") << e.first;
      EXPECT_TRUE(Contains(e.second, ", 20")) << e.second;  // "Tue December 08, 2026 06:16:22 AM"
    }
  } while (chunk.status != kry::kConsoleLastConnections && chunks < 20);
  EXPECT_EQ(entries, 60);
  EXPECT_GE(chunks, 2);

  // A console that answers a chunk with anything else loses its session.
  ASSERT_TRUE(c.Send(kry::kMsgConnections));
  ASSERT_TRUE(c.Read(&m));
  ASSERT_TRUE(c.Send(kry::kMsgStatistics));
  EXPECT_TRUE(c.WaitClosed());
}

TEST_F(Console, EventsShowThisServersStartUpNewestFirst) {
  // The listener logs the start-up probe's connection on its own thread;
  // wait for that line so that this session's lines are surely newer.
  ASSERT_TRUE(t_.WaitForEvent("New connection on socket", 5000)) << t_.Events();
  RunResult r = Ctl("events");
  ASSERT_EQ(r.exitCode, 0) << r.output;
  // This very session's lines are the newest; the start-up's come later.
  size_t session = r.output.find("Received UNSECURE connection from localhost");
  size_t wrote = r.output.find("New connection on socket");
  ASSERT_NE(session, std::string::npos) << r.output;
  ASSERT_NE(wrote, std::string::npos) << r.output;
  EXPECT_LT(session, wrote) << r.output;  // logged after, listed before
  size_t startUp = r.output.find("Using default randseed file.");
  ASSERT_NE(startUp, std::string::npos) << r.output;
  EXPECT_LT(wrote, startUp) << r.output;
  // Entries carry the local time as "mm/dd/yy hh:mm:ss".
  size_t line = r.output.rfind('\n', session) + 1;
  EXPECT_EQ(r.output.substr(line + 2, 1) + r.output.substr(line + 5, 1) + r.output.substr(line + 11, 1), "//:")
      << r.output;
  // Events of another process in the same file are not shown.
  std::string events = ReadFile(t_.events);
  WriteFile(t_.events, events + "2099-01-01T00:00:00Z\tinfo\t0\t1\tsomeone else's event\n");
  r = Ctl("events");
  EXPECT_FALSE(Contains(r.output, "someone else's event")) << r.output;
}

TEST_F(Console, SecondConsoleIsClosedWhileASessionIsOpen) {
  RawConsole first;
  ASSERT_TRUE(first.Connect(t_.commandPort));
  ASSERT_TRUE(first.LogonOk());
  RawConsole second;
  ASSERT_TRUE(second.Connect(t_.commandPort));
  EXPECT_TRUE(second.WaitClosed(2000));
  RunResult r = Ctl("status");
  EXPECT_EQ(r.exitCode, 2) << r.output;
  // The first session is untouched.
  ConsoleMessage m;
  ASSERT_TRUE(first.Send(kry::kMsgStatistics));
  ASSERT_TRUE(first.Read(&m));
  EXPECT_EQ(m.type, kry::kReplyStatistics);
  first.Close();
  WaitForPort();
}

TEST_F(Console, LogonRules) {
  {  // Silent console: dropped after CommandTimeout (2 s here).
    RawConsole c;
    ASSERT_TRUE(c.Connect(t_.commandPort));
    EXPECT_TRUE(c.WaitClosed(6000));
  }
  Settle();
  {  // Too old a version: the reply says so, then the session is closed.
    RawConsole c;
    ASSERT_TRUE(c.Connect(t_.commandPort));
    ASSERT_TRUE(c.Logon(2, 4));
    ConsoleMessage m;
    ASSERT_TRUE(c.Read(&m));
    kry::LogonReply r;
    ASSERT_TRUE(kry::DecodeLogonReply(m.payload, &r));
    EXPECT_TRUE(r.tooOld);
    EXPECT_TRUE(c.WaitClosed());
  }
  WaitForPort();
  {  // Anything but a LOGON first.
    RawConsole c;
    ASSERT_TRUE(c.Connect(t_.commandPort));
    ASSERT_TRUE(c.Send(kry::kMsgStatistics));
    EXPECT_TRUE(c.WaitClosed());
    EXPECT_TRUE(t_.WaitForEvent("LOGON message expected, none received", 3000));
  }
  WaitForPort();
  {  // Not a console's sender kind.
    RawConsole c;
    ASSERT_TRUE(c.Connect(t_.commandPort));
    kry::LogonRequest l;
    l.kind = 512;
    l.user = "x";
    ASSERT_TRUE(c.Send(kry::kMsgLogon, kry::EncodeLogon(l)));
    EXPECT_TRUE(c.WaitClosed());
    EXPECT_TRUE(t_.WaitForEvent("Message is not from a KRYCertConsole", 3000));
  }
  WaitForPort();
  EXPECT_TRUE(t_.Running());
}

TEST_F(Console, EmptyUserNameShutsTheServerDown) {
  RawConsole c;
  ASSERT_TRUE(c.Connect(t_.commandPort));
  ASSERT_TRUE(c.Logon(2, 5, "   "));
  EXPECT_TRUE(c.WaitClosed());
  EXPECT_EQ(t_.Stop(0 /* just wait */, 20), 0) << t_.Output();
}

TEST_F(Console, OtherLocalUsersAndRemoteConsolesAreRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to connect as another user";
  pid_t pid = fork();
  if (pid == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(3);
    RawConsole c;
    if (!c.Connect(t_.commandPort) || !c.Logon(2, 5, "")) _exit(4);
    ConsoleMessage m;
    _exit(c.Read(&m, 5000) ? 5 : 0);  // no reply, and no shutdown either
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_TRUE(t_.WaitForEvent("Console authentication failed, disconnecting!", 3000));
  WaitForPort();
  EXPECT_TRUE(t_.Running());

  // From 127.0.0.2 the console is remote; it is refused and nothing ends.
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in from{};
  from.sin_family = AF_INET;
  from.sin_addr.s_addr = htonl(0x7F000002);
  ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&from), sizeof from), 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(static_cast<uint16_t>(t_.commandPort));
  ASSERT_EQ(connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
  std::string logon = kry::BuildConsoleMessage(kry::kMsgLogon, kry::EncodeLogon(kry::LogonRequest{2048, 2, 5, ""}));
  send(s, logon.data(), logon.size(), MSG_NOSIGNAL);
  char buf[16];
  pollfd p{s, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 5000), 1);
  EXPECT_LE(recv(s, buf, sizeof buf, 0), 0);
  close(s);
  EXPECT_TRUE(t_.WaitForEvent("Remote connection rejected on socket", 3000));
  WaitForPort();
  EXPECT_TRUE(t_.Running());
}

TEST_F(Console, MalformedMessagesInsideASession) {
  RawConsole c;
  ASSERT_TRUE(c.Connect(t_.commandPort));
  ASSERT_TRUE(c.LogonOk());
  ConsoleMessage m;
  auto statsStillAnswered = [&]() {
    return c.Send(kry::kMsgStatistics) && c.Read(&m) && m.type == kry::kReplyStatistics;
  };
  // Wrong magic, a length below 8, a 1000-byte flood: ignored.
  std::string wrongMagic = kry::BuildConsoleMessage(kry::kMsgStatistics, "");
  wrongMagic[0] = 'X';
  ASSERT_TRUE(c.SendRaw(wrongMagic));
  EXPECT_FALSE(c.Read(&m, 500));
  EXPECT_TRUE(statsStillAnswered());
  std::string shortLength = kry::BuildConsoleMessage(kry::kMsgStatistics, "");
  shortLength[5] = 4;
  ASSERT_TRUE(c.SendRaw(shortLength));
  EXPECT_FALSE(c.Read(&m, 500));
  EXPECT_TRUE(statsStillAnswered());
  ASSERT_TRUE(c.SendRaw(std::string(1000, 'A')));
  EXPECT_FALSE(c.Read(&m, 500));
  EXPECT_TRUE(statsStillAnswered());
  // A length above what arrives: dropped after CommandTimeout.
  std::string longer = kry::BuildConsoleMessage(kry::kMsgStatistics, "");
  longer[5] = 40;
  ASSERT_TRUE(c.SendRaw(longer));
  EXPECT_FALSE(c.Read(&m, 3000));
  EXPECT_TRUE(statsStillAnswered());
  // Two messages in one send are both answered.
  ASSERT_TRUE(c.SendRaw(kry::BuildConsoleMessage(kry::kMsgKeepAlive, "") +
                        kry::BuildConsoleMessage(kry::kMsgStatistics, "")));
  ASSERT_TRUE(c.Read(&m));
  EXPECT_EQ(m.type, kry::kReplyStatistics);
  // LDAP is served throughout.
  EXPECT_EQ(Ldap("ldapsearch", "-LLL -b cn=monitor -s base '(objectclass=*)'").exitCode, 0);
  // Unknown type, and a LOGON inside the session: the session ends.
  ASSERT_TRUE(c.Send(77));
  EXPECT_TRUE(c.WaitClosed());
  WaitForPort();
  RawConsole d;
  ASSERT_TRUE(d.Connect(t_.commandPort));
  ASSERT_TRUE(d.LogonOk());
  ASSERT_TRUE(d.Logon());
  EXPECT_TRUE(d.WaitClosed());
  WaitForPort();

  // A console that goes away in the middle of a chunked list.
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < 40; ++i) {
    clients.push_back(std::make_unique<Client>());
    ASSERT_TRUE(clients.back()->Connect(t_.port));
  }
  RawConsole e;
  ASSERT_TRUE(e.Connect(t_.commandPort));
  ASSERT_TRUE(e.LogonOk());
  ASSERT_TRUE(e.Send(kry::kMsgConnections));
  e.Close();
  WaitForPort();
  EXPECT_EQ(Ldap("ldapsearch", "-LLL -b cn=monitor -s base '(objectclass=*)'").exitCode, 0);
  EXPECT_TRUE(t_.Events().find("Message is not from a KRY console") != std::string::npos);
}

TEST(ConsoleClient, UnreachableServerAndBadArguments) {
  int port = FreePort();
  RunResult r = RunShell(ShellQuote(CtlBinary()) + " --command-port " + std::to_string(port) + " status 2>&1");
  EXPECT_EQ(r.exitCode, 2) << r.output;
  EXPECT_TRUE(Contains(r.output, "cannot connect")) << r.output;
  r = RunShell(ShellQuote(CtlBinary()) + " stop --port 5 2>&1");
  EXPECT_EQ(r.exitCode, 2) << r.output;
  r = RunShell(ShellQuote(CtlBinary()) + " start --port 70000 2>&1");
  EXPECT_EQ(r.exitCode, 2) << r.output;
  // TLS needs both PEM files, and the files need TLS.
  for (const char* args : {"--tls --cert c.pem status", "--cert c.pem --key k.pem status",
                           "--server-cert s.pem status"}) {
    r = RunShell(ShellQuote(CtlBinary()) + " " + args + " 2>&1");
    EXPECT_EQ(r.exitCode, 2) << args << r.output;
    EXPECT_TRUE(Contains(r.output, "--tls needs --cert and --key")) << args << r.output;
  }
  r = RunShell(ShellQuote(CtlBinary()) + " --command-port " + std::to_string(port) +
               " --source 127.0.0.300 status 2>&1");
  EXPECT_TRUE(Contains(r.output, "bad source address")) << r.output;
}

}  // namespace
}  // namespace krytest
