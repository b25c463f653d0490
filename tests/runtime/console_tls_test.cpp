// Remote consoles over TLS: krycertctl from a non-local address with the
// certificate of a key allowed to give commands, the refusal of other keys
// and of clients that do not speak TLS, and a server that keeps running.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <string>

#include "runtime/console_proto.h"
#include "support/harness.h"
#include "support/corpus_ids.h"
#include "support/ldaps_tools.h"
#include "tests/support/corpus_files.h"
#include "tests/support/corpus_ids.h"

namespace krytest {
namespace {

// A loopback address the server does not count as its own host.
const char kRemote[] = "127.0.0.2";

std::string CorpusFile(const std::string& name) { return corpus::Path(name); }

bool Contains(const std::string& haystack, const std::string& needle) {
  return haystack.find(needle) != std::string::npos;
}

class RemoteConsole : public ::testing::Test {
 protected:
  void SetUp() override {
    if (CorpusDir().empty()) GTEST_SKIP() << "no corpus";
    WriteConfig("Allow keyid 0x" + corpus::KeyId("trusted-signer") + " command\n");
    ASSERT_TRUE(t_.CreateDatabases());
    ASSERT_TRUE(t_.Start({"-t", std::to_string(FreePort())})) << t_.Output();
    for (const char* name : {"trusted-signer", "rsa"}) {
      certs_[name] = MakeClientCert(CorpusFile(std::string(name) + "-secret.asc"), dir_.path(), name);
      ASSERT_TRUE(certs_[name].ok()) << name;
    }
  }
  void WriteConfig(const std::string& commandLines) {
    t_.WriteConfig("PublicKeyRing " + CorpusFile("server-pubring.pkr") + "\nPrivateKeyRing " +
                   CorpusFile("server-secring.skr") + "\nServerSecureKeyID 0x" + corpus::KeyId("server") + "\n" +
                   "SecureMode Required\nCommandTimeout " + std::to_string(commandTimeout_) + "\n" + commandLines);
  }
  void TearDown() override {
    if (t_.Running()) {
      EXPECT_EQ(t_.Stop(SIGTERM), 0) << t_.Output();
    }
  }

  RunResult Ctl(const std::string& who, const std::string& command) {
    std::string cmd = "KRYCERTD_SETTINGS=" + ShellQuote(t_.settings) + " timeout 60 " +
                      ShellQuote(ToolBinary("krycertctl")) + " --timeout 5 --command-port " +
                      std::to_string(t_.commandPort);
    if (!who.empty())
      cmd += std::string(" --source ") + kRemote + " --tls --cert " + ShellQuote(certs_[who].cert) + " --key " +
             ShellQuote(certs_[who].key);
    return RunShell(cmd + " " + command + " 2>&1");
  }
  // A raw TCP connection from the remote address.
  int ConnectRemote() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    inet_pton(AF_INET, kRemote, &from.sin_addr);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<uint16_t>(t_.commandPort));
    if (bind(s, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
        connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
      close(s);
      return -1;
    }
    return s;
  }
  // True when the server closes `s` within the time-out without answering.
  static bool ClosedWithoutAnswer(int s, int timeoutMs) {
    pollfd p{s, POLLIN, 0};
    char buf[16];
    return poll(&p, 1, timeoutMs) == 1 && recv(s, buf, sizeof buf, 0) <= 0;
  }

  int commandTimeout_ = 3;
  ServerTree t_;
  TempDir dir_;
  std::map<std::string, ClientCert> certs_;
};

TEST_F(RemoteConsole, AllowedKeyGivesCommandsOthersAreRefused) {
  RunResult r = Ctl("trusted-signer", "--json status");
  ASSERT_EQ(r.exitCode, 0) << r.output << t_.Events();
  EXPECT_TRUE(Contains(r.output, "\"running\":true")) << r.output;
  r = Ctl("trusted-signer", "stats");
  EXPECT_EQ(r.exitCode, 0) << r.output;
  // The server's own certificate, made again from its key, pins it; any
  // other certificate does not.
  const std::string pin = dir_.File("server");
  ASSERT_EQ(RunShell(ShellQuote(ToolBinary("krykey")) + " tls-cert " + ShellQuote(CorpusFile("server-secring.skr")) +
                     " --keyid " + corpus::KeyId("server") + " --public --out " + ShellQuote(pin) + " 2>&1")
                .exitCode,
            0);
  r = Ctl("trusted-signer", "--server-cert " + ShellQuote(pin + ".crt") + " status");
  EXPECT_EQ(r.exitCode, 0) << r.output;
  r = Ctl("trusted-signer", "--server-cert " + ShellQuote(certs_["rsa"].cert) + " status");
  EXPECT_EQ(r.exitCode, 2) << r.output;
  EXPECT_TRUE(Contains(r.output, "TLS handshake")) << r.output;

  // A key the server does not know proves nothing; one it knows (here from
  // the directory) but that is not allowed to give commands is refused.
  r = Ctl("rsa", "status");
  EXPECT_EQ(r.exitCode, 2) << r.output;
  EXPECT_TRUE(t_.WaitForEvent("Unable to retrieve console key to authenticate, disconnecting!", 3000));
  r = RunLdapTool(t_.port, "ldapadd", {}, "dn: kryCertID=virtual,OU=ACTIVE,O=KRY KEYSPACE,C=US\nkryKey:< file://" +
                                              CorpusFile("rsa.asc") + "\n", dir_.File("add.ldif"));
  ASSERT_EQ(r.exitCode, 0) << r.output;
  r = Ctl("rsa", "status");
  EXPECT_EQ(r.exitCode, 2) << r.output;
  EXPECT_TRUE(t_.WaitForEvent("Console authentication failed, disconnecting!", 3000)) << t_.Events();
  // The refused console left the process and the port as they were.
  EXPECT_TRUE(t_.Running());
  r = Ctl("", "status");
  EXPECT_EQ(r.exitCode, 0) << r.output;
  r = Ctl("trusted-signer", "stop");
  EXPECT_EQ(r.exitCode, 0) << r.output;
  // With the directory server stopped, keys are still looked up safely.
  r = Ctl("rsa", "status");
  EXPECT_EQ(r.exitCode, 2) << r.output;
  r = Ctl("trusted-signer", "--json status");
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_TRUE(Contains(r.output, "\"running\":false")) << r.output;
  r = Ctl("trusted-signer", "start");
  EXPECT_EQ(r.exitCode, 0) << r.output << t_.Events();
}

// Console authority goes to full key IDs only, and to none when no line
// grants it.
TEST_F(RemoteConsole, ShortIDsAndMissingLinesGrantNothing) {
  ASSERT_EQ(t_.Stop(SIGTERM), 0) << t_.Output();
  WriteConfig("Allow keyid 0x" + corpus::ShortId("trusted-signer") + " command\n");
  RunResult run = t_.Run({"-g", "-s", "-t", std::to_string(FreePort())}, 10);
  EXPECT_NE(run.exitCode, 0);
  EXPECT_TRUE(Contains(run.output + t_.Events(), "a console key must be named by its full 16-digit key ID"))
      << run.output;
  WriteConfig("");
  ASSERT_TRUE(t_.Start({"-t", std::to_string(FreePort())})) << t_.Output();
  RunResult r = Ctl("trusted-signer", "status");
  EXPECT_EQ(r.exitCode, 2) << r.output;
  EXPECT_TRUE(t_.WaitForEvent("Console authentication failed, disconnecting!", 3000)) << t_.Events();
}

TEST_F(RemoteConsole, ClientsThatDoNotFinishTLSLoseOnlyTheirSession) {
  // A console speaking in the clear from a remote address.
  int s = ConnectRemote();
  ASSERT_GE(s, 0);
  std::string logon = kry::BuildConsoleMessage(kry::kMsgLogon, kry::EncodeLogon(kry::LogonRequest{2048, 2, 5, "x"}));
  send(s, logon.data(), logon.size(), MSG_NOSIGNAL);
  EXPECT_TRUE(ClosedWithoutAnswer(s, 8000));
  close(s);
  // Until the server has ended that session, a new console is turned away
  // at once; after it, one that says nothing is dropped when its handshake
  // has waited CommandTimeout seconds.
  ASSERT_TRUE(t_.WaitForEvent("Establishing a TLS connection failed", 3000)) << t_.Events();
  usleep(300 * 1000);
  s = ConnectRemote();
  ASSERT_GE(s, 0);
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(ClosedWithoutAnswer(s, 10000));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
  close(s);
  usleep(300 * 1000);
  // A TLS client without a certificate.
  RunResult r = RunShell("timeout 20 openssl s_client -connect 127.0.0.1:" + std::to_string(t_.commandPort) +
                         " -bind " + kRemote + ":0 </dev/null 2>&1");
  EXPECT_TRUE(t_.WaitForEvent("Unable to retrieve console key to authenticate, disconnecting!", 5000))
      << r.output << t_.Events();
  EXPECT_TRUE(t_.Running());
  r = Ctl("trusted-signer", "status");
  EXPECT_EQ(r.exitCode, 0) << r.output << t_.Events();
}

// With the usual ten seconds per console message, longer than krycertctl
// retries a refused session.
class PatientRemoteConsole : public RemoteConsole {
 protected:
  PatientRemoteConsole() { commandTimeout_ = 10; }
};

// A remote peer that connects and says nothing holds the session only
// until a local console arrives: the local console is served, the silent
// peer is cut off.
TEST_F(PatientRemoteConsole, SilentRemotePeerDoesNotHoldOffTheLocalConsole) {
  for (int round = 0; round < 3; ++round) {
    int s = ConnectRemote();
    ASSERT_GE(s, 0);
    usleep(300 * 1000);  // the server is now waiting in its handshake
    RunResult r = Ctl("", "status");
    EXPECT_EQ(r.exitCode, 0) << round << ": " << r.output << t_.Events();
    EXPECT_TRUE(ClosedWithoutAnswer(s, 1000)) << round;
    close(s);
  }
  // An allowed remote console still works afterwards.
  RunResult r = Ctl("trusted-signer", "status");
  EXPECT_EQ(r.exitCode, 0) << r.output << t_.Events();
}

}  // namespace
}  // namespace krytest
