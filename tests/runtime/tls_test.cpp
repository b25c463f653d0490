// The secure port against real clients: openssl s_client, ldapsearch over
// ldaps:// and an OpenSSL client, with server keys of every algorithm, client
// certificates made by krykey, passphrase sources and hostile peers.
#include <signal.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/harness.h"
#include "support/tlsclient.h"
#include "tests/support/corpus_files.h"
#include "tests/support/corpus_ids.h"

namespace krytest {
namespace {

// "0x" and the key ID of a corpus key, as configuration and events spell it.
std::string KeyID(const std::string& name) { return "0x" + corpus::KeyId(name); }
std::string ServerKeyID() { return KeyID("server"); }
std::string ProtectedKeyID() { return KeyID("protected-server"); }
std::string RsaKeyID() { return KeyID("rsa"); }
std::string SignerKeyID() { return KeyID("trusted-signer"); }

bool Contains(const std::string& haystack, const std::string& needle) {
  return haystack.find(needle) != std::string::npos;
}

std::string Krykey() { return KRYKEY_BIN; }

std::string Corpus(const std::string& name) { return corpus::Path(name); }

// `krykey tls-cert` of a secret key file into PREFIX.crt / PREFIX.key.
bool MakeClientCert(const std::string& keyFile, const std::string& prefix, const std::string& extra = "") {
  RunResult r = RunShell(ShellQuote(Krykey()) + " tls-cert " + ShellQuote(keyFile) + " --out " + ShellQuote(prefix) +
                         " " + extra + " 2>&1");
  EXPECT_EQ(r.exitCode, 0) << r.output;
  return r.exitCode == 0;
}

// A server tree with the secure port on.
class SecureServer {
 public:
  explicit SecureServer(const std::string& mode = "required", const std::string& keyID = ServerKeyID()) {
    securePort = FreePort();
    while (securePort == t.port || securePort == t.commandPort) securePort = FreePort();
    tlsLines = "SecurePort " + std::to_string(securePort) + "\nSecureMode " + mode + "\n" +
               (keyID.empty() ? "" : "ServerSecureKeyID " + keyID + "\n");
  }
  ~SecureServer() {
    if (t.Running()) {
      EXPECT_EQ(t.Stop(SIGTERM), 0) << t.Output();
    }
  }
  // Writes the configuration (the standard lines say "SecureMode disabled";
  // the later line wins) and starts the server with -g -s.
  bool Start(const std::string& extra = "", const std::vector<std::string>& env = {}) {
    t.WriteConfig("Allow ip 127.0.0.1 all\n" + tlsLines + extra);
    if (!t.CreateDatabases()) return false;
    std::vector<std::string> fullEnv = {"KRYCERTD_IO_TIMEOUT_MS=" + std::to_string(ioTimeoutMs)};
    fullEnv.insert(fullEnv.end(), env.begin(), env.end());
    return t.Start({}, fullEnv);
  }
  // ldapsearch of the root DSE over ldaps:// with the given LDAPTLS_*
  // settings; the result line.
  RunResult Ldaps(const std::string& tlsEnv) const {
    return RunShell(tlsEnv + " timeout 30 ldapsearch -P 2 -x -o nettimeout=20 -H ldaps://127.0.0.1:" +
                    std::to_string(securePort) + " -b '' -s base 2>&1");
  }
  // Adds a key block file to the directory over the plain port.
  bool AddKey(const std::string& file) {
    RunResult r = RunLdapTool(t.port, "ldapadd", {},
                              "dn: kryCertID=virtual,OU=ACTIVE,O=KRY KEYSPACE,C=US\nkryKey:< file://" + file + "\n",
                              t.log + "/add.ldif");
    EXPECT_EQ(r.exitCode, 0) << r.output;
    return r.exitCode == 0;
  }
  // Waits for the event line naming the client key of the latest session.
  bool SawClientKey(const std::string& keyText) const {
    return t.WaitForEvent("TLS client authenticated with " + keyText + ".", 5000);
  }
  int CountEvents(const std::string& text) const {
    std::string e = t.Events();
    int n = 0;
    for (size_t at = e.find(text); at != std::string::npos; at = e.find(text, at + 1)) ++n;
    return n;
  }
  // The protected server key in the secret keyring and a passphrase file of
  // the given text and mode; the configuration line naming the file.
  std::string ProtectedKey(const std::string& passphrase, mode_t mode) {
    WriteFile(t.etc + "/KRYcertd-secring.skr", ReadFile(Corpus("server-secring-protected.skr")));
    passFile = t.etc + "/passphrase";
    WriteFile(passFile, passphrase + "\n");
    chmod(passFile.c_str(), mode);
    return "ServerKeyPassphraseFile " + passFile + "\n";
  }
  // Connects over TLS and checks that the protected key is presented.
  void ExpectProtectedKeyServed() {
    TLSClient c;
    ASSERT_TRUE(c.Connect(securePort));
    EXPECT_TRUE(Contains(c.PeerSubject(), ProtectedKeyID())) << c.PeerSubject();
    EXPECT_TRUE(SearchOverTLS(&c));
  }
  // A full search of the root DSE over TLS with an OpenSSL client.
  bool SearchOverTLS(TLSClient* c, int msgid = 2) {
    if (!c->Send(SearchRequest(msgid, ""))) return false;
    int entries = 0;
    return c->ReadSearchDone(&entries) >= 0;
  }

  ServerTree t;
  int securePort = 0;
  std::string tlsLines;
  std::string passFile;
  // Socket waits of the server: a stalled handshake or an idle connection
  // ends after this long.
  int ioTimeoutMs = 2000;
};

const char kReqCertNever[] = "LDAPTLS_REQCERT=never";

TEST(TlsServer, SClientSeesCertificateNamingTheServerKey) {
  SecureServer s;
  ASSERT_TRUE(s.Start()) << s.t.Output();
  RunResult r = RunShell("echo | timeout 20 openssl s_client -connect 127.0.0.1:" + std::to_string(s.securePort) +
                         " 2>&1");
  EXPECT_TRUE(Contains(r.output, std::string("subject=CN = ") + ServerKeyID())) << r.output;
  // The fingerprint travels in the subjectAltName.
  RunResult x = RunShell("echo | timeout 20 openssl s_client -connect 127.0.0.1:" + std::to_string(s.securePort) +
                         " 2>/dev/null | openssl x509 -noout -ext subjectAltName 2>&1");
  EXPECT_TRUE(Contains(x.output, "URI:openpgp4fpr:" + corpus::Fingerprint("server"))) << x.output;
  EXPECT_TRUE(s.t.WaitForEvent("Negotiated cipher suite number ", 5000)) << s.t.Events();
}

TEST(TlsServer, LdapsearchWithAndWithoutClientCertificate) {
  SecureServer s;
  ASSERT_TRUE(s.Start()) << s.t.Output();
  const std::string dir = s.t.log;
  ASSERT_TRUE(MakeClientCert(Corpus("rsa-secret.asc"), dir + "/rsa"));
  ASSERT_TRUE(MakeClientCert(Corpus("trusted-signer-secret.asc"), dir + "/signer"));

  // No certificate: served, no client key.
  RunResult r = s.Ldaps(kReqCertNever);
  EXPECT_TRUE(Contains(r.output, "result: 32 No such object")) << r.output;
  EXPECT_TRUE(s.SawClientKey("no key")) << s.t.Events();

  // A key of the server's keyrings.
  r = s.Ldaps(std::string(kReqCertNever) + " LDAPTLS_CERT=" + dir + "/signer.crt LDAPTLS_KEY=" + dir + "/signer.key");
  EXPECT_TRUE(Contains(r.output, "result: 32")) << r.output;
  EXPECT_TRUE(s.SawClientKey(std::string("key ") + SignerKeyID())) << s.t.Events();

  // A key the server does not know yet counts for nothing; once its
  // certificate is in the directory, it is the client's key.
  r = s.Ldaps(std::string(kReqCertNever) + " LDAPTLS_CERT=" + dir + "/rsa.crt LDAPTLS_KEY=" + dir + "/rsa.key");
  EXPECT_TRUE(Contains(r.output, "result: 32")) << r.output;
  EXPECT_EQ(s.CountEvents(std::string("key ") + RsaKeyID()), 0);
  ASSERT_TRUE(s.AddKey(Corpus("rsa.asc")));
  r = s.Ldaps(std::string(kReqCertNever) + " LDAPTLS_CERT=" + dir + "/rsa.crt LDAPTLS_KEY=" + dir + "/rsa.key");
  EXPECT_TRUE(Contains(r.output, "result: 32")) << r.output;
  EXPECT_TRUE(s.SawClientKey(std::string("key ") + RsaKeyID())) << s.t.Events();
}

// The server's certificate, made again by krykey, pins the server for a
// client that verifies it (and its name: the certificate names the key, so
// only the pin is checked here).
TEST(TlsServer, PinnedServerCertificateVerifies) {
  SecureServer s;
  ASSERT_TRUE(s.Start()) << s.t.Output();
  const std::string pin = s.t.log + "/server";
  ASSERT_TRUE(MakeClientCert(Corpus("server-secring.skr"), pin, std::string("--public --keyid ") + ServerKeyID()));
  struct stat st;
  EXPECT_NE(stat((pin + ".key").c_str(), &st), 0) << "--public writes no private key";
  RunResult r = RunShell("echo | timeout 20 openssl s_client -verify_return_error -CAfile " + pin +
                         ".crt -connect 127.0.0.1:" + std::to_string(s.securePort) + " 2>&1");
  EXPECT_TRUE(Contains(r.output, "Verify return code: 0 (ok)")) << r.output;
  r = s.Ldaps("LDAPTLS_REQCERT=allow LDAPTLS_CACERT=" + pin + ".crt");
  EXPECT_TRUE(Contains(r.output, "result: 32")) << r.output;
}

// A certificate naming a known key but carrying another public key proves
// nothing: the connection is served with a null client key.
TEST(TlsServer, CertificateWithForeignPublicKeyGetsNoClientKey) {
  SecureServer s;
  ASSERT_TRUE(s.Start()) << s.t.Output();
  const std::string dir = s.t.log;
  RunResult g = RunShell("cd " + ShellQuote(dir) +
                         " && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj "
                         "/CN=" + std::string(SignerKeyID()) + " -keyout forged.key -out forged.crt 2>&1");
  ASSERT_EQ(g.exitCode, 0) << g.output;
  RunResult r = s.Ldaps(std::string(kReqCertNever) + " LDAPTLS_CERT=" + dir + "/forged.crt LDAPTLS_KEY=" + dir +
                        "/forged.key");
  EXPECT_TRUE(Contains(r.output, "result: 32")) << r.output;
  EXPECT_TRUE(s.SawClientKey("no key")) << s.t.Events();
  EXPECT_EQ(s.CountEvents(std::string("key ") + SignerKeyID()), 0);
}

TEST(TlsServer, OptionalModeWithProtectedKeyAndStartNowRunsWithoutSecurePort) {
  SecureServer s("optional", ProtectedKeyID());
  WriteFile(s.t.etc + "/KRYcertd-secring.skr", ReadFile(Corpus("server-secring-protected.skr")));
  ASSERT_TRUE(s.Start()) << s.t.Output();
  EXPECT_TRUE(Contains(s.t.Output(), "Secure server key requires passphrase, disabling SecureMode.")) << s.t.Output();
  Client c;
  EXPECT_FALSE(c.Connect(s.securePort, 500));
}

TEST(TlsServer, ProtectedKeyUnlockedFromPassphraseFile) {
  SecureServer s("required", ProtectedKeyID());
  ASSERT_TRUE(s.Start(s.ProtectedKey("server secret", 0600))) << s.t.Output();
  s.ExpectProtectedKeyServed();
}

TEST(TlsServer, PassphraseFromCredentialsDirectory) {
  SecureServer s("required", ProtectedKeyID());
  WriteFile(s.t.etc + "/KRYcertd-secring.skr", ReadFile(Corpus("server-secring-protected.skr")));
  const std::string creds = s.t.root + "/credentials";
  mkdir(creds.c_str(), 0700);
  WriteFile(creds + "/krycertd-passphrase", "server secret");
  chmod((creds + "/krycertd-passphrase").c_str(), 0400);
  ASSERT_TRUE(s.Start("", {"CREDENTIALS_DIRECTORY=" + creds})) << s.t.Output();
  s.ExpectProtectedKeyServed();
}

// A stop and start from the console keeps the unlocked key: the passphrase
// file may be gone by then, and nothing is asked.
TEST(TlsServer, ConsoleRestartKeepsTheServerKey) {
  SecureServer s("required", ProtectedKeyID());
  ASSERT_TRUE(s.Start(s.ProtectedKey("server secret", 0600))) << s.t.Output();
  std::remove(s.passFile.c_str());
  const char* dir = std::getenv("KRY_BINARY_DIR");
  std::string ctl = "KRYCERTD_SETTINGS=" + ShellQuote(s.t.settings) + " timeout 60 " +
                    ShellQuote(std::string(dir ? dir : ".") + "/tools/krycertctl/krycertctl") + " --command-port " +
                    std::to_string(s.t.commandPort) + " ";
  RunResult r = RunShell(ctl + "stop 2>&1");
  ASSERT_EQ(r.exitCode, 0) << r.output;
  TLSClient gone;
  EXPECT_FALSE(gone.Connect(s.securePort, 1000));
  r = RunShell(ctl + "start --port " + std::to_string(s.t.port) + " --secure-port " + std::to_string(s.securePort) +
               " 2>&1");
  ASSERT_EQ(r.exitCode, 0) << r.output << s.t.Events();
  s.ExpectProtectedKeyServed();
}

TEST(TlsServer, StartUpRefusesBadPassphraseSources) {
  // Readable by others: refused before anything is read.
  {
    SecureServer s("required", ProtectedKeyID());
    EXPECT_FALSE(s.Start(s.ProtectedKey("server secret", 0644)));
    EXPECT_TRUE(Contains(s.t.Output(), "may be read or written by group or others")) << s.t.Output();
    EXPECT_TRUE(Contains(s.t.Output(), "Could not retrieve LDAPS signing key")) << s.t.Output();
  }
  // The wrong passphrase stops a Required start.
  {
    SecureServer s("required", ProtectedKeyID());
    EXPECT_FALSE(s.Start(s.ProtectedKey("not it", 0600)));
    EXPECT_TRUE(Contains(s.t.Output(), "Getting passphrase failed with error")) << s.t.Output();
  }
  // A key ID that is not in the keyring.
  {
    SecureServer s("required", "0x0123456789ABCDEF");
    EXPECT_FALSE(s.Start());
    EXPECT_TRUE(Contains(s.t.Output(), "Cannot find Server Secure KeyID (0x0123456789ABCDEF) in keyring."))
        << s.t.Output();
    EXPECT_TRUE(Contains(s.t.Output(), "Could not retrieve LDAPS signing key")) << s.t.Output();
  }
}

// A throw-away GnuPG home making unprotected signing keys.
struct GpgKeys {
  explicit GpgKeys(const std::string& dir) : home(dir + "/gnupg") { mkdir(home.c_str(), 0700); }
  // Makes a key ("nistp256", "dsa2048", ...); its 16-digit ID, or "".
  std::string Make(const std::string& algo) {
    std::string gpg = "GNUPGHOME=" + ShellQuote(home) + " gpg --batch --pinentry-mode loopback --passphrase ''";
    RunResult r = RunShell(gpg + " --quick-gen-key " + ShellQuote("TLS " + algo + " <" + algo + "@example.org>") + " " +
                           algo + " sign never 2>&1 && " + gpg + " --with-colons --list-keys " +
                           ShellQuote(algo + "@example.org") + " | awk -F: '/^pub/{print $5}'");
    std::string id = r.output.size() >= 17 ? r.output.substr(r.output.size() - 17, 16) : "";
    EXPECT_EQ(r.exitCode, 0) << r.output;
    return id;
  }
  // Writes the secret and public keys of `id` to the two files.
  bool Export(const std::string& id, const std::string& secFile, const std::string& pubFile) {
    std::string gpg = "GNUPGHOME=" + ShellQuote(home) + " gpg --batch --pinentry-mode loopback --passphrase ''";
    RunResult r = RunShell(gpg + " --export-secret-keys " + id + " > " + ShellQuote(secFile) + " && " + gpg +
                           " --export " + id + " > " + ShellQuote(pubFile) + " 2>&1");
    return r.exitCode == 0;
  }
  std::string home;
};

// The server key of each algorithm authenticates the server; the same kind
// of key authenticates a client.
TEST(TlsServer, EdDsaAndEcdsaKeysOnBothSides) {
  SecureServer s("required", "");
  GpgKeys gpg(s.t.root);
  std::string ecdsa = gpg.Make("nistp256");
  ASSERT_EQ(ecdsa.size(), 16u);
  const std::string ecSec = s.t.log + "/ec-sec.gpg", ecPub = s.t.log + "/ec-pub.gpg";
  ASSERT_TRUE(gpg.Export(ecdsa, ecSec, ecPub));

  // Server: the Ed25519 key of the corpus.
  WriteFile(s.t.etc + "/KRYcertd-secring.skr", ReadFile(Corpus("ed25519-secret.asc")));
  WriteFile(s.t.etc + "/KRYcertd-pubring.pkr", ReadFile(Corpus("ed25519.asc")));
  s.tlsLines += "ServerSecureKeyID " + KeyID("ed25519") + "\n";
  ASSERT_TRUE(s.Start("AcceptModernKeys yes\n")) << s.t.Output();
  for (int version : {0x0303, 0x0304}) {
    TLSClient c;
    c.Configure("", "", version);
    ASSERT_TRUE(c.Connect(s.securePort)) << version;
    EXPECT_TRUE(Contains(c.PeerSubject(), "CN=" + KeyID("ed25519"))) << c.PeerSubject();
    EXPECT_TRUE(s.SearchOverTLS(&c));
  }
  // Client: the ECDSA key, known once it is in the directory.
  ASSERT_TRUE(s.AddKey(ecPub));
  ASSERT_TRUE(MakeClientCert(ecSec, s.t.log + "/ec"));
  RunResult r = s.Ldaps(std::string(kReqCertNever) + " LDAPTLS_CERT=" + s.t.log + "/ec.crt LDAPTLS_KEY=" + s.t.log +
                        "/ec.key");
  EXPECT_TRUE(Contains(r.output, "result: 32")) << r.output;
  EXPECT_TRUE(s.SawClientKey("key 0x" + ecdsa)) << s.t.Events();
}

TEST(TlsServer, EcdsaServerKeyAndEdDsaClientKey) {
  SecureServer s("required", "");
  GpgKeys gpg(s.t.root);
  std::string ecdsa = gpg.Make("nistp256");
  ASSERT_EQ(ecdsa.size(), 16u);
  ASSERT_TRUE(gpg.Export(ecdsa, s.t.etc + "/KRYcertd-secring.skr", s.t.etc + "/KRYcertd-pubring.pkr"));
  s.tlsLines += "ServerSecureKeyID 0x" + ecdsa + "\n";
  ASSERT_TRUE(s.Start("AcceptModernKeys yes\n")) << s.t.Output();
  ASSERT_TRUE(s.AddKey(Corpus("ed25519.asc")));
  ASSERT_TRUE(MakeClientCert(Corpus("ed25519-secret.asc"), s.t.log + "/ed"));
  for (int version : {0x0303, 0x0304}) {
    TLSClient c;
    c.Configure(s.t.log + "/ed.crt", s.t.log + "/ed.key", version);
    ASSERT_TRUE(c.Connect(s.securePort)) << version;
    EXPECT_TRUE(Contains(c.PeerSubject(), "CN=0x" + ecdsa)) << c.PeerSubject();
    EXPECT_TRUE(s.SearchOverTLS(&c));
    EXPECT_TRUE(s.SawClientKey("key " + KeyID("ed25519"))) << s.t.Events();
  }
}

// DSA serves only TLS 1.2 with DSS suites; where the TLS library's settings
// leave none, start-up says so clearly instead of serving a port no client
// can use.
TEST(TlsServer, DsaServerKeyWorksOverTls12OrStopsStartUpClearly) {
  SecureServer s("required", "");
  GpgKeys gpg(s.t.root);
  std::string dsa = gpg.Make("dsa2048");
  ASSERT_EQ(dsa.size(), 16u);
  ASSERT_TRUE(gpg.Export(dsa, s.t.etc + "/KRYcertd-secring.skr", s.t.etc + "/KRYcertd-pubring.pkr"));
  s.tlsLines += "ServerSecureKeyID 0x" + dsa + "\n";
  if (!s.Start()) {
    EXPECT_TRUE(Contains(s.t.Output(), "Making the TLS certificate of the server key failed with error")) << s.t.Output();
    return;
  }
  EXPECT_TRUE(Contains(s.t.Output(), "only TLS 1.2 clients that enable DHE-DSS cipher suites")) << s.t.Output();
  TLSClient c;
  c.Configure("", "", 0x0303);
  c.SetCipherList("DHE-DSS-AES256-GCM-SHA384");
  ASSERT_TRUE(c.Connect(s.securePort));
  EXPECT_TRUE(Contains(c.PeerSubject(), "CN=0x" + dsa)) << c.PeerSubject();
  EXPECT_EQ(c.CipherName(), "DHE-DSS-AES256-GCM-SHA384");
  EXPECT_TRUE(s.SearchOverTLS(&c));
}

// Peers that break the protocol lose their own connection and nothing else.
TEST(TlsServer, HostilePeersLoseOnlyTheirConnection) {
  SecureServer s;
  ASSERT_TRUE(s.Start()) << s.t.Output();
  // Plain LDAP instead of a ClientHello.
  Client garbage;
  ASSERT_TRUE(garbage.Connect(s.securePort));
  garbage.Send(SearchRequest(1, ""));
  EXPECT_TRUE(garbage.WaitClosed(5000));
  EXPECT_TRUE(s.t.WaitForEvent("Establishing a TLS connection failed with error -11090", 5000)) << s.t.Events();

  // A ClientHello cut short, then silence: the handshake's wait ends it.
  Client stalled;
  ASSERT_TRUE(stalled.Connect(s.securePort));
  stalled.Send(std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11));
  // Meanwhile others are served.
  TLSClient other;
  ASSERT_TRUE(other.Connect(s.securePort));
  EXPECT_TRUE(s.SearchOverTLS(&other));
  EXPECT_TRUE(stalled.WaitClosed(8000));

  // Renegotiation asked for again and again (TLS 1.2) is refused.
  RunResult r = RunShell("(for i in $(seq 20); do echo R; sleep 0.05; done) | timeout 20 openssl s_client -tls1_2 "
                         "-connect 127.0.0.1:" + std::to_string(s.securePort) + " 2>&1");
  EXPECT_TRUE(Contains(r.output, "RENEGOTIATING")) << r.output;
  EXPECT_FALSE(Contains(r.output, "Renegotiation successful")) << r.output;
  TLSClient after;
  ASSERT_TRUE(after.Connect(s.securePort));
  EXPECT_TRUE(s.SearchOverTLS(&after, 3));
}

// A request larger than the stream's read-ahead arrives in one TLS record:
// the decrypted rest waits inside the session, not on the socket, and must
// be read without waiting for more bytes that never come.
TEST(TlsServer, RequestLargerThanReadAheadInOneRecord) {
  SecureServer s;
  ASSERT_TRUE(s.Start()) << s.t.Output();
  TLSClient c;
  ASSERT_TRUE(c.Connect(s.securePort));
  std::string request = SearchEqualityRequest(5, "OU=ACTIVE,O=KRY KEYSPACE,C=US", 2, "cn", std::string(12000, 'a'));
  request += SearchRequest(6, "");
  ASSERT_LT(request.size(), 16000u);
  ASSERT_TRUE(c.Send(request));
  int entries = 0;
  EXPECT_GE(c.ReadSearchDone(&entries, 1500), 0);
  EXPECT_GE(c.ReadSearchDone(&entries, 1500), 0);
}

TEST(TlsServer, HundredConcurrentConnections) {
  SecureServer s;
  s.ioTimeoutMs = 120000;  // all stay open until every one is connected
  ASSERT_TRUE(s.Start("MaxConnectionsPerAddress 100\n")) << s.t.Output();
  constexpr int kClients = 100;
  std::vector<std::unique_ptr<TLSClient>> clients(kClients);
  std::atomic<int> connected{0};
  std::vector<std::thread> threads;
  for (int w = 0; w < 4; ++w)
    threads.emplace_back([&, w] {
      for (int i = w; i < kClients; i += 4) {
        clients[i] = std::make_unique<TLSClient>();
        if (clients[i]->Connect(s.securePort, 30000)) ++connected;
      }
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(connected.load(), kClients);
  int served = 0;
  for (auto& c : clients) served += s.SearchOverTLS(c.get()) ? 1 : 0;
  EXPECT_EQ(served, kClients);
}

}  // namespace
}  // namespace krytest
