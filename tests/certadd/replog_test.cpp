// The replication log written by key adds and signed requests, replayed
// into a second server with the LDAP client tools; and requests that the
// tests sign themselves with GnuPG.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <sstream>

#include "back-ldbm/dbcache.h"
#include "cert/certentry.h"
#include "certadd_support.h"
#include "ldap/dn.h"

namespace krytest {
namespace {

const char kVirtual[] = "kryCertID=virtual,OU=ACTIVE,O=KRY KEYSPACE,C=US";

std::string Signers() {
  const std::string t = "0x" + CertIDOf("trusted-signer");
  return "PublicKeyRing " + Corpus("server-pubring.pkr") + "\nAllow keyid " + t + " add\nAllow keyid " + t +
         " delete\nAcceptModernKeys yes\n";
}

RunResult SendRequest(KeyServer& s, const std::string& text) {
  const std::string file = s.tree().log + "/request.txt";
  WriteFile(file, text);
  return s.AddLdif(std::string("dn: ") + kVirtual + "\nkryRequest:< file://" + file + "\n");
}

std::string Base64Decode(const std::string& in) {
  static const std::string abc = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  unsigned val = 0;
  int bits = -8;
  for (char c : in) {
    const size_t p = abc.find(c);
    if (p == std::string::npos) continue;
    val = ((val << 6) | static_cast<unsigned>(p)) & 0xFFFFFFu;
    bits += 6;
    if (bits >= 0) {
      out += static_cast<char>((val >> bits) & 0xFF);
      bits -= 8;
    }
  }
  return out;
}

struct Record {
  std::vector<std::string> lines;  // unfolded
  std::string text;                // as written, with its empty line
  std::string Value() const {      // the decoded attribute value
    const std::string& l = lines.back();
    const size_t colon = l.find(':');
    if (l.compare(colon, 3, ":: ") == 0) return Base64Decode(l.substr(colon + 3));
    return l.substr(colon + 2);
  }
  // The record without the replica and time lines, as ldapmodify takes it.
  std::string Change() const {
    const size_t dn = text.find("dn: ");
    return text.substr(dn);
  }
};

std::vector<Record> Records(const std::string& log) {
  std::vector<Record> out;
  size_t start = 0;
  for (size_t end = log.find("\n\n"); end != std::string::npos; start = end + 2, end = log.find("\n\n", start)) {
    Record r;
    r.text = log.substr(start, end + 2 - start);
    std::istringstream in(log.substr(start, end - start));
    for (std::string line; std::getline(in, line);) {
      if (!line.empty() && line[0] == ' ' && !r.lines.empty())
        r.lines.back() += line.substr(1);
      else
        r.lines.push_back(line);
    }
    out.push_back(std::move(r));
  }
  EXPECT_EQ(start, log.size()) << "trailing partial record";
  return out;
}

class RepLog : public ::testing::Test {
 protected:
  void SetUp() override {
    if (CorpusDir().empty()) GTEST_SKIP() << "no corpus";
  }
};

TEST_F(RepLog, RecordsReplayIntoAnEmptyServer) {
  TempDir dir;
  const std::string log = dir.File("rep.log");
  KeyServer a(Signers() + "RepLogFile " + log + "\nReplica 127.0.0.2:3890\nReplica replica-b.example\n");
  ASSERT_TRUE(a.ok()) << a.tree().Output();
  ASSERT_EQ(a.AddFile(Corpus("rsa.asc")).exitCode, 0);
  ASSERT_EQ(a.AddFile(Corpus("multi-uid.asc")).exitCode, 0);  // one record for all its entries
  ASSERT_EQ(a.AddFile(Corpus("rsa.asc")).exitCode, 68);       // unchanged: nothing stored, nothing logged
  RunResult r = a.AddLdif(std::string("dn: ") + kVirtual + "\nkryRequest:< file://" +
                          Corpus("delete-rsa-by-trusted.req") + "\n");
  ASSERT_EQ(r.exitCode, 0) << r.output;
  // A refused request writes nothing.
  ASSERT_NE(SendRequest(a, ReadFile(Corpus("tampered-delete.req"))).exitCode, 0);

  std::vector<Record> recs = Records(ReadFile(log));
  ASSERT_EQ(recs.size(), 3u) << ReadFile(log);
  for (const Record& rec : recs) {
    ASSERT_EQ(rec.lines.size(), 6u) << rec.text;
    EXPECT_EQ(rec.lines[0], "replica: 127.0.0.2:3890");
    EXPECT_EQ(rec.lines[1], "replica: replica-b.example");
    EXPECT_EQ(rec.lines[2].rfind("time: ", 0), 0u);
    EXPECT_GT(std::stol(rec.lines[2].substr(6)), 1600000000L);
    EXPECT_EQ(rec.lines[3], std::string("dn: ") + kVirtual);
    EXPECT_EQ(rec.lines[4], "changetype: add");
  }
  EXPECT_EQ(recs[0].lines[5].rfind("kryKey:: ", 0), 0u);
  EXPECT_NE(recs[0].Value().find("-----BEGIN PGP PUBLIC KEY BLOCK-----"), std::string::npos);
  EXPECT_EQ(recs[2].lines[5].rfind("kryRequest:: ", 0), 0u);
  EXPECT_EQ(recs[2].Value(), ReadFile(Corpus("delete-rsa-by-trusted.req")));

  KeyServer b(Signers());
  ASSERT_TRUE(b.ok()) << b.tree().Output();
  ASSERT_EQ(b.AddLdif(recs[0].Change()).exitCode, 0);
  ASSERT_EQ(b.AddLdif(recs[1].Change()).exitCode, 0);
  EXPECT_EQ(b.KeyBlocks(ShortIDOf("rsa")).size(), 1u);
  EXPECT_EQ(b.KeyBlocks(ShortIDOf("multi-uid")), a.KeyBlocks(ShortIDOf("multi-uid")));
  r = b.AddLdif(recs[2].Change());
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_TRUE(b.KeyBlocks(ShortIDOf("rsa")).empty());
}

TEST_F(RepLog, DeleteFromAReplicaIsNotLoggedAgain) {
  TempDir dir;
  const std::string log = dir.File("rep.log");
  KeyServer a(Signers() + "RepLogFile " + log + "\nReplica 127.0.0.1:3999\n");
  ASSERT_TRUE(a.ok()) << a.tree().Output();
  ASSERT_EQ(a.AddFile(Corpus("rsa.asc")).exitCode, 0);
  ASSERT_EQ(a.AddFile(Corpus("dsa-elg.asc")).exitCode, 0);
  RunResult r = SendRequest(a, ReadFile(Corpus("delete-rsa-by-trusted.req")));
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_TRUE(a.KeyBlocks(ShortIDOf("rsa")).empty());
  r = SendRequest(a, ReadFile(Corpus("disable-dsa-by-trusted.req")));
  EXPECT_EQ(r.exitCode, 0) << r.output;
  std::vector<Record> recs = Records(ReadFile(log));
  ASSERT_EQ(recs.size(), 3u);  // two adds and the disable
  EXPECT_EQ(recs[2].Value(), ReadFile(Corpus("disable-dsa-by-trusted.req")));
}

// Without host-name look-up the client has no name: that makes it no
// replica, so its delete is logged like any other.
TEST_F(RepLog, ClientWithoutAHostNameIsNoReplica) {
  TempDir dir;
  const std::string log = dir.File("rep.log");
  KeyServer a(Signers() + "RepLogFile " + log + "\nReplica replica-b.example\nLookupHostname off\n");
  ASSERT_TRUE(a.ok()) << a.tree().Output();
  ASSERT_EQ(a.AddFile(Corpus("rsa.asc")).exitCode, 0);
  RunResult r = SendRequest(a, ReadFile(Corpus("delete-rsa-by-trusted.req")));
  EXPECT_EQ(r.exitCode, 0) << r.output;
  std::vector<Record> recs = Records(ReadFile(log));
  ASSERT_EQ(recs.size(), 2u);
  EXPECT_EQ(recs[1].Value(), ReadFile(Corpus("delete-rsa-by-trusted.req")));
}

// Only the replica's whole address counts: a client at 127.0.0.1 is not
// the replica at 127.0.0.10, and its deletes are logged, one per key.
TEST_F(RepLog, DeleteFromANeighbourAddressIsLogged) {
  TempDir dir;
  const std::string log = dir.File("rep.log");
  KeyServer a(Signers() + "RepLogFile " + log + "\nReplica 127.0.0.10:3999\n");
  ASSERT_TRUE(a.ok()) << a.tree().Output();
  ASSERT_EQ(a.AddFile(Corpus("rsa.asc")).exitCode, 0);
  ASSERT_EQ(a.AddFile(Corpus("ed25519.asc")).exitCode, 0);
  RunResult r = SendRequest(a, ReadFile(Corpus("delete-two-by-trusted.req")));
  EXPECT_EQ(r.exitCode, 0) << r.output;
  std::vector<Record> recs = Records(ReadFile(log));
  ASSERT_EQ(recs.size(), 4u) << a.tree().Events();
  EXPECT_EQ(recs[2].Value(), ReadFile(Corpus("delete-two-by-trusted.req")));
  EXPECT_EQ(recs[3].Value(), recs[2].Value());
}

// An add cut short after its certificate entry (here its user-ID entry
// cannot be stored: a DN map record left without an entry holds its DN)
// writes no replication record. After an unclean stop, recovery writes the
// missing entry from the stored key block, and an outdated one (as an add
// to a stored key leaves it when cut short), the key is found again, and
// only then is each add logged. Keys stored whole are left alone.
TEST_F(RepLog, AddCutShortIsCompletedByRecoveryAndOnlyThenLogged) {
  TempDir dir;
  const std::string log = dir.File("rep.log");
  KeyServer a(Signers() + "Allow ip 127.0.0.1 all\nRepLogFile " + log + "\nReplica 127.0.0.2:3890\n");
  ASSERT_TRUE(a.ok()) << a.tree().Output();
  ASSERT_EQ(a.Stop(), 0);
  Gpg gpg;
  ASSERT_TRUE(gpg.Import(ReadFile(Corpus("rsa.asc"))));
  std::string uid, escaped;
  for (const std::string& l : gpg.Listing(CertIDOf("rsa")))
    if (Columns(l)[0] == "uid") uid = Columns(l)[9];
  ASSERT_EQ(kry::EscapeDNString(uid, &escaped), 0);
  const std::string uidDN = kry::dn_normalized_upper("kryUserID=" + escaped + ",KRYCERTID=" + CertIDOf("rsa") + "," +
                                                     kActiveOU);
  DB* dn2id = kry::ldbm_open(a.tree().data + "/dn2id.dbb", 0, 0600, 0);
  ASSERT_NE(dn2id, nullptr);
  const kry::EntryID nowhere = 999999;
  ASSERT_EQ(kry::ldbm_store(dn2id, kry::TextKey(uidDN), kry::Datum{&nowhere, sizeof nowhere}, 0), 0);
  kry::ldbm_close(dn2id);
  ASSERT_TRUE(a.tree().Start());

  EXPECT_NE(a.AddFile(Corpus("rsa.asc")).exitCode, 0);
  EXPECT_TRUE(a.KeyBlocks(ShortIDOf("rsa")).empty());
  EXPECT_EQ(ReadFile(log), "") << "a key the server does not serve was logged";
  for (const char* f : {"multi-uid.asc", "dsa-elg.asc", "revoked.asc", "expired-cert.asc", "signed-by-both.asc"})
    ASSERT_EQ(a.AddFile(Corpus(f)).exitCode, 0) << f;
  const size_t whole = Records(ReadFile(log)).size();
  const std::string multi = "(kryKeyID=" + ShortIDOf("multi-uid") + ")";
  std::vector<LdifEntry> before = a.Search(kActiveOU, multi, {"kryKeySize"});
  ASSERT_FALSE(before.empty());
  ASSERT_EQ(a.Modify(before[0].dn, "replace: kryKeySize\nkryKeySize: 00001\n").exitCode, 0);

  a.tree().Stop(SIGKILL);
  ASSERT_TRUE(a.tree().Start()) << a.tree().Output();
  EXPECT_EQ(a.KeyBlocks(ShortIDOf("rsa")).size(), 1u) << a.tree().Events();
  for (const LdifEntry& e : a.Search(kActiveOU, multi, {"kryKeySize"}))
    EXPECT_EQ(e.First("krykeysize"), before[0].First("krykeysize")) << e.dn;
  const std::string events = a.tree().Events();
  size_t completed = 0;
  for (size_t p = 0; (p = events.find("an add cut short", p)) != std::string::npos; ++p) ++completed;
  EXPECT_EQ(completed, 2u) << events;
  std::vector<Record> recs = Records(ReadFile(log));
  ASSERT_EQ(recs.size(), whole + 2);
  EXPECT_NE(recs.back().Value().find("-----BEGIN PGP PUBLIC KEY BLOCK-----"), std::string::npos);
  EXPECT_EQ(a.AddFile(Corpus("rsa.asc")).exitCode, 68);
}

// A request signed here with the trusted signer's secret key.
std::string SignedByTrusted(const std::string& text) {
  Gpg gpg;
  EXPECT_TRUE(gpg.Import(ReadFile(Corpus("trusted-signer-secret.asc"))));
  const std::string out = gpg.home() + "/signed.txt";
  RunResult r = gpg.Run("--clearsign --local-user 0x" + CertIDOf("trusted-signer") + " --output " + out, text);
  EXPECT_EQ(r.exitCode, 0) << r.output;
  return ReadFile(out);
}

TEST_F(RepLog, PendingDeleteLeavesTheActiveCopy) {
  KeyServer s(Signers() + "MustSigID 0x" + CertIDOf("trusted-signer") + "\n");
  ASSERT_TRUE(s.ok()) << s.tree().Output();
  ASSERT_EQ(s.AddFile(Corpus("rsa.asc")).exitCode, 49);  // parked under PENDING
  ASSERT_EQ(s.AddBlock(CertifiedByTrusted("rsa", "rsa.asc")).exitCode, 0);
  const std::string filter = "(kryKeyID=" + ShortIDOf("rsa") + ")";
  ASSERT_EQ(s.Search(kPendingOU, filter, {"kryCertID"}).size(), 1u);
  RunResult r = SendRequest(
      s, SignedByTrusted("REQUEST: DELETE\nLOCATION: PENDING\n\n0x" + CertIDOf("rsa") + "\n"));
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_TRUE(s.Search(kPendingOU, filter, {"kryCertID"}).empty());
  EXPECT_EQ(s.KeyBlocks(ShortIDOf("rsa")).size(), 1u);
}

// A disable that meets a user-ID entry already disabled answers 32 and
// undoes the marks it set on the other user-ID entries.
TEST_F(RepLog, DisableStopsAtADisabledUserID) {
  KeyServer s(Signers());
  ASSERT_TRUE(s.ok()) << s.tree().Output();
  ASSERT_EQ(s.AddFile(Corpus("multi-uid.asc")).exitCode, 0);
  const std::string filter = "(kryKeyID=" + ShortIDOf("multi-uid") + ")";
  std::vector<LdifEntry> uids = s.Search(kActiveOU, filter, {"kryDisabled"});
  ASSERT_GE(uids.size(), 2u);
  RunResult r = s.Modify(uids.back().dn, "replace: kryDisabled\nkryDisabled: 1\n");
  ASSERT_EQ(r.exitCode, 0) << r.output;
  r = SendRequest(s, SignedByTrusted("REQUEST: DISABLE\n\n0x" + CertIDOf("multi-uid") + "\n"));
  EXPECT_EQ(r.exitCode, 32) << r.output;
  EXPECT_NE(r.output.find("Keys not disabled: 0x" + CertIDOf("multi-uid")), std::string::npos) << r.output;
  for (const LdifEntry& e : s.Search(kActiveOU, filter, {"kryDisabled"}))
    EXPECT_EQ(e.First("krydisabled"), e.dn == uids.back().dn ? "1" : "0") << e.dn;
  // The certificate entry keeps its mark.
  EXPECT_EQ(s.AddFile(Corpus("multi-uid.asc")).exitCode, 52);
}

TEST_F(RepLog, MalformedRequestsChangeNothing) {
  TempDir dir;
  const std::string log = dir.File("rep.log");
  KeyServer s(Signers() + "RepLogFile " + log + "\nReplica 127.0.0.2\n");
  ASSERT_TRUE(s.ok()) << s.tree().Output();
  ASSERT_EQ(s.AddFile(Corpus("rsa.asc")).exitCode, 0);
  const std::string id = "0x" + CertIDOf("rsa");
  std::string many;
  for (int i = 0; i < 100000; ++i) many += id + "\n";
  const std::vector<std::string> bad = {
      "REQUEST: DELETE\n\n" + id + "\n",                                          // no wrapper
      SignedByTrusted("REQUEST: DELETE\nREQUEST: DELETE\n\n" + id + "\n"),         // repeated header
      SignedByTrusted("REQUEST: DELETE\nPRIORITY: HIGH\n\n" + id + "\n"),          // unknown header
      SignedByTrusted("REQUEST: DELETE\n\n0x" + ShortIDOf("rsa") + "\n"),          // short key ID
      SignedByTrusted("REQUEST: ADD\n\n- -----BEGIN PGP PUBLIC KEY BLOCK-----\n\nAAAA\n"),  // no footer
      SignedByTrusted("REQUEST: DELETE\n\n" + std::string(10240, 'x') + "\n"),     // 10 KB line
      SignedByTrusted("REQUEST: DELETE\n\n" + many + "0x\n"),                       // 100,000 lines, last bad
  };
  for (const std::string& req : bad) {
    RunResult r = SendRequest(s, req);
    EXPECT_EQ(r.exitCode, 2) << r.output;
    EXPECT_NE(r.output.find("Invalid kryRequest block format."), std::string::npos) << r.output;
  }
  EXPECT_EQ(s.KeyBlocks(ShortIDOf("rsa")).size(), 1u);
  EXPECT_EQ(Records(ReadFile(log)).size(), 1u);
}

// Adds from several connections at once, while another process holds the
// log's lock file for a while: every record arrives whole and none is lost.
TEST_F(RepLog, ConcurrentWritersAndAHeldLockFile) {
  TempDir dir;
  const std::string log = dir.File("rep.log");
  KeyServer s(Signers() + "RepLogFile " + log + "\nReplica 127.0.0.2\n");
  ASSERT_TRUE(s.ok()) << s.tree().Output();
  const int fd = ::open((log + ".lock").c_str(), O_WRONLY | O_CREAT, 0600);
  ASSERT_GE(fd, 0);
  struct flock fl {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_len = 1;
  ASSERT_EQ(::fcntl(fd, F_OFD_SETLK, &fl), 0);

  const std::vector<std::string> names = {"rsa", "dsa-elg", "ed25519", "multi-uid", "ecdsa-p256", "expired"};
  std::string cmd;
  for (const std::string& n : names)
    cmd += "(timeout 60 ldapadd -P 2 -x -H ldap://127.0.0.1:" + std::to_string(s.tree().port) +
           " -f /dev/stdin > /dev/null 2>&1 <<'EOF'\ndn: " + kVirtual + "\nkryKey:< file://" + Corpus(n + ".asc") +
           "\nEOF\n) &\n";
  cmd += "wait\n";
  const std::string script = dir.File("adds.sh");
  WriteFile(script, cmd);
  // Release the lock after a second, in the middle of the adds.
  auto started = std::chrono::steady_clock::now();
  RunResult bg = RunShell("sh " + ShellQuote(script) + " > /dev/null 2>&1 < /dev/null &");
  EXPECT_EQ(bg.exitCode, 0);
  ::sleep(1);
  fl.l_type = F_UNLCK;
  ASSERT_EQ(::fcntl(fd, F_OFD_SETLK, &fl), 0);
  ::close(fd);
  // The waiting writers go on once the lock is free.
  std::vector<Record> recs;
  for (int i = 0; i < 100 && recs.size() < names.size(); ++i) {
    ::usleep(100000);
    recs = Records(ReadFile(log));
  }
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
  ASSERT_EQ(recs.size(), names.size()) << ReadFile(log);
  for (const Record& rec : recs) {
    ASSERT_EQ(rec.lines.size(), 5u) << rec.text;
    EXPECT_EQ(rec.lines[3], "changetype: add");
    EXPECT_NE(rec.Value().find("-----END PGP PUBLIC KEY BLOCK-----"), std::string::npos);
  }
}

}  // namespace
}  // namespace krytest
