// Choosing and unlocking the server key in-process: every branch of the
// selection by secure mode, passphrase need and passphrase source, with the
// event-log lines each leaves; and the TLS receive time-out.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "log/eventlog.h"
#include "platform/pgp/kry.h"
#include "runtime/globals.h"
#include "runtime/serverkey.h"
#include "runtime/tlsconn.h"
#include "tests/support/corpus_files.h"
#include "tests/support/corpus_ids.h"

namespace kry {
namespace {

// The 8 bytes of a corpus key's ID.
std::vector<uint8_t> IDBytes(const std::string& name) {
  const std::string hex = corpus::KeyId(name);
  std::vector<uint8_t> id;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    id.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  return id;
}

std::string Corpus(const std::string& name) { return corpus::Path(name); }

std::string Slurp(const std::string& path) {
  std::ifstream f(path);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

class SelectServerKeyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/krykeytestXXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    events_ = dir_ + "/events.log";
    setenv("KRYCERTD_EVENTLOG", events_.c_str(), 1);
    ErrorLogInit("krycertd", EVENTLOG_VERBOSE, 636, 0);
    ASSERT_EQ(0, InitGlobals(&g_globals));
    ASSERT_EQ(0, KRYsdkInit(0));
    ASSERT_EQ(0, KRYNewContext(kKRYsdkAPIVersion, &ctx_));
    g_globals->keyContext = ctx_;
    ASSERT_EQ(0, KRYNewKeySet(ctx_, &ring_));
    for (const char* f : {"server-pubring.pkr", "server-secring.skr", "server-secring-protected.skr"}) {
      KRYImportOptions o{};
      std::string path = Corpus(f);
      o.inputFile = path.c_str();
      KRYKeySetRef s = nullptr;
      ASSERT_EQ(0, KRYImportKeySet(ctx_, &o, &s)) << f;
      KRYAddKeys(s, ring_);
      KRYFreeKeySet(s);
    }
    serviceMode = false;
  }
  void TearDown() override {
    serviceMode = false;
    KRYSetPassphraseSource(kKRYPassphraseSource_Terminal, nullptr);
    KRYFreeKeySet(ring_);
    KRYFreeContext(ctx_);
    g_globals->keyContext = nullptr;
    ReleaseGlobals(&g_globals);
    KRYsdkCleanup();
    ErrorLogClose();
    unsetenv("KRYCERTD_EVENTLOG");
    std::system(("rm -rf '" + dir_ + "'").c_str());
  }
  // Runs the selection; returns its code and fills mode_, id_, pass_.
  int Select(const std::vector<uint8_t>& configured, int mode, bool startNow) {
    mode_ = mode;
    id_.clear();
    pass_ = "unset";
    return SelectServerKey(ctx_, configured, ring_, startNow, &mode_, &id_, &pass_);
  }
  // A passphrase file of the given mode, configured as the source.
  void PassphraseFile(const std::string& text, mode_t mode) {
    std::string path = dir_ + "/pass";
    std::ofstream(path) << text << "\n";
    chmod(path.c_str(), mode);
    g_globals->ServerKeyPassphraseFile = path;
  }
  std::string Events() const { return Slurp(events_); }

  std::string dir_, events_;
  KRYContextRef ctx_ = nullptr;
  KRYKeySetRef ring_ = nullptr;
  int mode_ = 0;
  std::vector<uint8_t> id_;
  std::string pass_;
};

TEST_F(SelectServerKeyTest, UnprotectedKeyNeedsNoPassphraseInAnyMode) {
  for (int mode : {SECURE_REQUIRED, SECURE_OPTIONAL}) {
    serviceMode = true;
    EXPECT_EQ(0, Select(IDBytes("server"), mode, true));
    EXPECT_EQ(mode_, mode);
    EXPECT_EQ(id_, IDBytes("server"));
    EXPECT_EQ(pass_, "");
  }
  // Disabled: nothing chosen.
  EXPECT_EQ(0, Select(IDBytes("server"), SECURE_DISABLED, true));
  EXPECT_TRUE(id_.empty());
}

TEST_F(SelectServerKeyTest, ProtectedKeyWithoutAnyoneToAsk) {
  ASSERT_EQ(0, ConfigurePassphraseSource());
  // Optional with -s: TLS off, with the warning.
  EXPECT_EQ(kKRYError_UserAbort, Select(IDBytes("protected-server"), SECURE_OPTIONAL, true));
  EXPECT_EQ(mode_, SECURE_DISABLED);
  EXPECT_TRUE(id_.empty());
  EXPECT_NE(Events().find("Secure server key requires passphrase, disabling SecureMode."), std::string::npos);
  // Required as a service: an error that stops start-up.
  serviceMode = true;
  ASSERT_EQ(0, ConfigurePassphraseSource());
  EXPECT_EQ(kKRYError_PassphraseUnavailable, Select(IDBytes("protected-server"), SECURE_REQUIRED, true));
  EXPECT_EQ(mode_, SECURE_REQUIRED);
  std::string e = Events();
  EXPECT_NE(e.find("Secure server key requires passphrase but interaction with Desktop disabled, exiting."),
            std::string::npos);
  EXPECT_NE(e.find("Getting passphrase failed with error -11980"), std::string::npos);
  // Optional as a service likewise turns TLS off.
  EXPECT_EQ(kKRYError_UserAbort, Select(IDBytes("protected-server"), SECURE_OPTIONAL, false));
  EXPECT_EQ(mode_, SECURE_DISABLED);
}

TEST_F(SelectServerKeyTest, PassphraseFileServesEveryModeAndOptionalBecomesRequired) {
  PassphraseFile("server secret", 0600);
  serviceMode = true;
  ASSERT_EQ(0, ConfigurePassphraseSource());
  ASSERT_TRUE(PassphraseCanBeRead());
  EXPECT_EQ(0, Select(IDBytes("protected-server"), SECURE_OPTIONAL, true));
  EXPECT_EQ(mode_, SECURE_REQUIRED);
  EXPECT_EQ(id_, IDBytes("protected-server"));
  EXPECT_EQ(pass_, "server secret");
  // Without a configured key, the key the passphrase unlocks is chosen.
  EXPECT_EQ(0, Select({}, SECURE_REQUIRED, true));
  EXPECT_EQ(id_.size(), 8u);
  // A wrong passphrase is a failure, not a reason to turn TLS off.
  PassphraseFile("guess", 0600);
  ASSERT_EQ(0, ConfigurePassphraseSource());
  int rc = Select(IDBytes("protected-server"), SECURE_OPTIONAL, true);
  EXPECT_EQ(rc, kKRYError_BadPassphrase);
  EXPECT_NE(Events().find("Getting passphrase failed with error -11905"), std::string::npos);
}

TEST_F(SelectServerKeyTest, PassphraseFileOthersMayReadIsRefused) {
  for (mode_t mode : {0640, 0604, 0620}) {
    PassphraseFile("server secret", mode);
    EXPECT_EQ(1, ConfigurePassphraseSource()) << std::oct << mode;
    EXPECT_FALSE(PassphraseCanBeRead());
  }
  EXPECT_NE(Events().find("may be read or written by group or others"), std::string::npos);
  g_globals->ServerKeyPassphraseFile = dir_;  // a directory
  EXPECT_EQ(1, ConfigurePassphraseSource());
  // The credentials directory is the fallback, with the same rule; an empty
  // credential gives nothing to read.
  g_globals->ServerKeyPassphraseFile.clear();
  std::ofstream(dir_ + "/krycertd-passphrase").flush();
  setenv("CREDENTIALS_DIRECTORY", dir_.c_str(), 1);
  EXPECT_EQ(0, ConfigurePassphraseSource());
  EXPECT_FALSE(PassphraseCanBeRead());
  std::ofstream(dir_ + "/krycertd-passphrase") << "server secret\n";
  chmod((dir_ + "/krycertd-passphrase").c_str(), 0400);
  setenv("CREDENTIALS_DIRECTORY", dir_.c_str(), 1);
  EXPECT_EQ(0, ConfigurePassphraseSource());
  EXPECT_TRUE(PassphraseCanBeRead());
  unsetenv("CREDENTIALS_DIRECTORY");
}

TEST_F(SelectServerKeyTest, MissingKeysAndKeyrings) {
  std::vector<uint8_t> unknown = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(kKRYError_ItemNotFound, Select(unknown, SECURE_REQUIRED, true));
  EXPECT_NE(Events().find("Cannot find Server Secure KeyID (0x0102030405060708) in keyring."), std::string::npos);
  mode_ = SECURE_REQUIRED;
  EXPECT_EQ(kKRYError_NoKeyRings, SelectServerKey(ctx_, IDBytes("server"), nullptr, true, &mode_, &id_, &pass_));
  EXPECT_NE(Events().find("No keyrings specified in config file for use with TLS"), std::string::npos);
  // A public key only: no private key, TLS off.
  PassphraseFile("x", 0600);
  ASSERT_EQ(0, ConfigurePassphraseSource());
  KRYKeySetRef pub = nullptr;
  KRYImportOptions o{};
  std::string path = Corpus("rsa.asc");
  o.inputFile = path.c_str();
  ASSERT_EQ(0, KRYImportKeySet(ctx_, &o, &pub));
  mode_ = SECURE_OPTIONAL;
  EXPECT_EQ(kKRYError_NoPrivateKey, SelectServerKey(ctx_, {}, pub, true, &mode_, &id_, &pass_));
  EXPECT_EQ(mode_, SECURE_DISABLED);
  EXPECT_NE(Events().find("No private keys found in the keyring, disabling SecureMode."), std::string::npos);
  KRYFreeKeySet(pub);
}

TEST(TlsReceive, TimeOutIsTwiceTheTimeLimitAndAtLeastFiveMinutes) {
  EXPECT_EQ(TLSReceiveTimeoutSeconds(100), 300);
  EXPECT_EQ(TLSReceiveTimeoutSeconds(150), 300);
  EXPECT_EQ(TLSReceiveTimeoutSeconds(151), 302);
  EXPECT_EQ(TLSReceiveTimeoutSeconds(200), 400);
}

}  // namespace
}  // namespace kry
