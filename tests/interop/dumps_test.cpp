// Key dumps and offline bulk loads with the real binaries: krycertd -l loads
// dump files through the add pipeline, krycertctl dump writes them back, and
// a private SKS (when installed) takes our dump and gives us its own, with
// the same keys on both sides by digest.
#include <sys/mount.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "interop_support.h"
#include "platform/pgp/packet.h"
#include "platform/pgp/sksdigest.h"
#include "runtime/keysplit.h"

namespace krytest {
namespace {

std::vector<std::string> KeysOf(const std::string& path) {
  kry::SplitResult r;
  kry::SplitKeyDump(ReadFile(path), &r);
  return r.keys;
}

std::string Digest(const std::string& key) {
  krypgp::SksDigest d{};
  if (krypgp::ComputeSksDigest(reinterpret_cast<const uint8_t*>(key.data()), key.size(), &d) != kKRYError_NoErr)
    return "bad";
  return krypgp::SksDigestHex(d);
}

// Digests of every key in the *.pgp files of `dir`.
std::multiset<std::string> DumpDigests(const std::string& dir) {
  std::multiset<std::string> out;
  const RunResult ls = RunShell("ls " + ShellQuote(dir) + "/*.pgp 2>/dev/null");
  size_t at = 0;
  for (size_t nl; (nl = ls.output.find('\n', at)) != std::string::npos; at = nl + 1)
    for (const std::string& k : KeysOf(ls.output.substr(at, nl - at))) out.insert(Digest(k));
  return out;
}

// A stopped server tree with databases and `extra` configuration.
struct Offline {
  explicit Offline(const std::string& extra = "") {
    tree.WriteConfig("Allow ip 127.0.0.1 all\nAcceptModernKeys yes\nSizeLimit 0\n" + extra);
    ok = tree.CreateDatabases();
  }
  RunResult Load(const std::vector<std::string>& paths) {
    std::vector<std::string> args = {"-g", "-l"};
    args.insert(args.end(), paths.begin(), paths.end());
    return tree.Run(args, 120);
  }
  RunResult Dump(const std::string& dir, const std::string& more = "") {
    return Ctl(tree, "dump " + ShellQuote(dir) + " " + more);
  }
  ServerTree tree;
  bool ok = false;
};

// The packets of a binary key, and a key made of some of them.
std::vector<krypgp::Packet> Packets(const std::string& key) {
  std::vector<krypgp::Packet> p;
  krypgp::ParsePackets(reinterpret_cast<const uint8_t*>(key.data()), key.size(), &p);
  return p;
}
std::string Join(const std::vector<krypgp::Packet>& packets) {
  krypgp::Bytes out;
  for (const krypgp::Packet& p : packets) krypgp::WritePacket(p, &out);
  return std::string(out.begin(), out.end());
}
size_t UserIDs(const std::string& key) {
  size_t n = 0;
  for (const krypgp::Packet& p : Packets(key)) n += p.tag == krypgp::kTagUserID;
  return n;
}

TEST(Dumps, LoadCountsAndSkipsMalformedDumpAndReloadKeepTheSameKeys) {
  if (CorpusDir().empty()) GTEST_SKIP() << "no corpus";
  TempDir work;
  // A dump file with garbage before the first key and a key cut short at
  // its end, beside two armoured corpus files and a repeated key.
  std::string raw = std::string("\xb4\x05junk!", 7);
  for (const std::string& k : KeysOf(Corpus("bulk-dsa.asc"))) raw += k;
  raw += KeysOf(Corpus("rsa.asc"))[0].substr(0, 40);
  WriteFile(work.File("a.pgp"), raw);
  Offline a(TrustedSignerLines());
  ASSERT_TRUE(a.ok);
  RunResult r = a.Load(
      {work.File("a.pgp"), Corpus("bulk-rsa.asc"), Corpus("rsa.asc"), Corpus("rsa.asc"), Corpus("dsa-elg.asc")});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_TRUE(Has(r.output, "bulk load done: 403 keys")) << r.output;
  EXPECT_TRUE(Has(r.output, "402 stored, 0 merged, 1 unchanged, 0 pending, 0 refused")) << r.output;
  EXPECT_TRUE(Has(r.output, "2 malformed")) << r.output;

  ASSERT_TRUE(a.tree.Start()) << a.tree.Output();
  // A disabled key is not served, so it is not dumped either.
  r = RunLdapTool(a.tree.port, "ldapadd", {},
                  std::string("dn: ") + kVirtualDN + "\nkryRequest:< file://" + Corpus("disable-dsa-by-trusted.req") +
                      "\n",
                  work.File("disable.ldif"));
  ASSERT_EQ(r.exitCode, 0) << r.output;
  // A second load while the server holds the directory is refused.
  r = a.Load({Corpus("rsa.asc")});
  EXPECT_NE(r.exitCode, 0);
  EXPECT_TRUE(Has(r.output, "stop the server before a bulk load")) << r.output;

  r = a.Dump(work.File("out"), "--per-file 150");
  ASSERT_EQ(r.exitCode, 0) << r.output << a.tree.Events();
  EXPECT_TRUE(Has(r.output, "keys:                401")) << r.output;
  EXPECT_TRUE(Has(ReadFile(work.File("out/krycertd-dump.txt")), "files 3\n"));
  const std::multiset<std::string> first = DumpDigests(work.File("out"));
  EXPECT_EQ(first.size(), 401u);
  EXPECT_EQ(std::set<std::string>(first.begin(), first.end()).size(), 401u);  // each key once
  EXPECT_EQ(first.count("bad"), 0u);
  // An existing dump stays unless it is to be overwritten.
  r = a.Dump(work.File("out"));
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(Has(r.output, "already holds dump files")) << r.output;
  ASSERT_EQ(a.Dump(work.File("out"), "--overwrite").exitCode, 0);
  EXPECT_EQ(RunShell("ls " + ShellQuote(work.File("out"))).output,
            "krycertd-0000.pgp\nkrycertd-dump.txt\n");  // the old 0001 and 0002 are gone

  // The dump loads into another server as the same keys.
  Offline b;
  ASSERT_TRUE(b.ok);
  r = b.Load({work.File("out")});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_TRUE(Has(r.output, "401 stored")) << r.output;
  ASSERT_TRUE(b.tree.Start()) << b.tree.Output();
  ASSERT_EQ(b.Dump(work.File("again")).exitCode, 0);
  EXPECT_EQ(DumpDigests(work.File("again")), first);
}

// Dumps taken while keys are being added: each key stored before the adds
// appears exactly once in every dump, every key in a dump is whole, and
// every add succeeds.
TEST(Dumps, DumpsDuringAddsHoldEachStoredKeyOnceAndWhole) {
  if (CorpusDir().empty()) GTEST_SKIP() << "no corpus";
  TempDir work;
  Offline a;
  ASSERT_TRUE(a.ok);
  ASSERT_EQ(a.Load({Corpus("bulk-rsa.asc"), Corpus("bulk-dsa.asc")}).exitCode, 0);
  ASSERT_TRUE(a.tree.Start()) << a.tree.Output();
  ASSERT_EQ(a.Dump(work.File("before")).exitCode, 0);
  const std::multiset<std::string> before = DumpDigests(work.File("before"));
  ASSERT_EQ(before.size(), 400u);

  std::string ldif;
  const std::vector<std::string> added = KeysOf(Corpus("bulk-ed25519.asc"));
  for (size_t i = 0; i < 300 && i < added.size(); ++i) {
    const std::string file = work.File("k" + std::to_string(i) + ".pgp");
    WriteFile(file, added[i]);
    ldif += std::string("dn: ") + kVirtualDN + "\nkryKey:< file://" + file + "\n\n";
  }
  std::atomic<bool> adding{true};
  RunResult adds;
  std::thread adder([&] {
    adds = RunLdapTool(a.tree.port, "ldapadd", {"-c"}, ldif, work.File("adds.ldif"));
    adding = false;
  });
  int dumps = 0;
  while (adding || dumps < 2) {
    const std::string dir = work.File("during" + std::to_string(dumps++));
    const RunResult r = a.Dump(dir, "--per-file 64");
    ASSERT_EQ(r.exitCode, 0) << r.output;
    const std::multiset<std::string> got = DumpDigests(dir);
    EXPECT_EQ(got.count("bad"), 0u);
    for (const std::string& d : before) EXPECT_EQ(got.count(d), 1u) << "dump " << dumps;
  }
  adder.join();
  EXPECT_EQ(adds.exitCode, 0) << adds.output;
}

// Two halves of one key in the same dump, one right after the other, are
// handled by different workers: the second must merge with the stored first
// half, never replace it.
TEST(Dumps, VersionsOfOneKeyInADumpMergeInInputOrder) {
  if (CorpusDir().empty()) GTEST_SKIP() << "no corpus";
  TempDir work;
  std::string dump;
  size_t pairs = 0;
  for (const std::string& key : KeysOf(Corpus("bulk-rsa.asc"))) {
    std::vector<krypgp::Packet> p = Packets(key), first, second;
    if (UserIDs(key) != 2) continue;
    // pub uid sig uid sig sub sig: each half keeps one user ID.
    int uid = -1;
    for (const krypgp::Packet& pk : p) {
      if (pk.tag == krypgp::kTagUserID) ++uid;
      if (pk.tag == krypgp::kTagPublicSubkey) uid = 2;
      if (uid != 1) first.push_back(pk);
      if (uid != 0) second.push_back(pk);
    }
    dump += Join(first) + Join(second);
    ++pairs;
  }
  ASSERT_GT(pairs, 50u);
  WriteFile(work.File("halves.pgp"), dump);
  setenv("KRYCERTD_LOAD_THREADS", "4", 1);
  Offline a;
  ASSERT_TRUE(a.ok);
  RunResult r = a.Load({work.File("halves.pgp")});
  unsetenv("KRYCERTD_LOAD_THREADS");
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_TRUE(Has(r.output, std::to_string(pairs) + " stored, " + std::to_string(pairs) + " merged")) << r.output;
  ASSERT_TRUE(a.tree.Start()) << a.tree.Output();
  ASSERT_EQ(a.Dump(work.File("out")).exitCode, 0);
  size_t whole = 0;
  for (const std::string& k : KeysOf(work.File("out/krycertd-0000.pgp"))) whole += UserIDs(k) == 2;
  EXPECT_EQ(whole, pairs);
}

// A load that runs out of disk stops with a message and leaves files that
// verify; once there is room, the same load recovers the directory and
// completes it.
TEST(Dumps, LoadStopsCleanlyOnAFullDiskAndCompletesOnceThereIsRoom) {
  if (CorpusDir().empty()) GTEST_SKIP() << "no corpus";
  if (geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
  if (RunShell("command -v db5.3_verify >/dev/null").exitCode != 0) GTEST_SKIP() << "db5.3_verify missing";
  Offline a;
  if (mount("tmpfs", a.tree.data.c_str(), "tmpfs", 0, "size=3m,mode=0700") != 0)
    GTEST_SKIP() << "cannot mount a tmpfs: " << std::strerror(errno);
  struct Unmount {
    std::string dir;
    ~Unmount() { umount2(dir.c_str(), MNT_DETACH); }
  } unmount{a.tree.data};
  ASSERT_TRUE(a.tree.CreateDatabases());
  const std::vector<std::string> files = {Corpus("bulk-rsa.asc"), Corpus("bulk-ed25519.asc"), Corpus("bulk-dsa.asc")};
  RunResult r = a.Load(files);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(Has(r.output, "bulk load stopped: Writing key")) << r.output;
  const RunResult verify = RunShell("cd " + ShellQuote(a.tree.data) +
                                    " && for f in *.dbb; do db5.3_verify -q $f || echo BAD $f; done 2>&1");
  EXPECT_FALSE(Has(verify.output, "BAD")) << verify.output;
  ASSERT_EQ(mount("tmpfs", a.tree.data.c_str(), "tmpfs", MS_REMOUNT, "size=32m,mode=0700"), 0) << std::strerror(errno);
  r = a.Load(files);
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_TRUE(Has(r.output, "bulk load done: 1400 keys")) << r.output;
  EXPECT_TRUE(Has(r.output, "0 pending, 0 refused")) << r.output;
  ASSERT_TRUE(a.tree.Start()) << a.tree.Output();
  ASSERT_EQ(a.Dump(a.tree.root + "/out").exitCode, 0);
  EXPECT_EQ(DumpDigests(a.tree.root + "/out").size(), 1400u);
}

// Keys naming a designated revoker load the revoker's stored copy into a
// key set of the worker's context; the worker may end before the writer has
// stored them, and the load must neither crash nor lose them.
TEST(Dumps, KeysWithDesignatedRevokersLoadAfterTheirWorkersEnd) {
  if (CorpusDir().empty()) GTEST_SKIP() << "no corpus";
  TempDir work;
  std::string dump = KeysOf(Corpus("trusted-signer.asc"))[0];
  const std::string revocable = KeysOf(Corpus("designated-revoker.asc"))[0];
  for (const std::string& k : KeysOf(Corpus("bulk-rsa.asc"))) dump += k;
  for (int i = 0; i < 8; ++i) dump += revocable;  // the last keys: the workers end first
  WriteFile(work.File("d.pgp"), dump);
  setenv("KRYCERTD_LOAD_THREADS", "8", 1);
  Offline a("RepLogFile " + work.File("replog") + "\nReplica 127.0.0.2:3890\n");
  ASSERT_TRUE(a.ok);
  const RunResult r = a.Load({work.File("d.pgp")});
  unsetenv("KRYCERTD_LOAD_THREADS");
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_TRUE(Has(r.output, "302 stored, 0 merged, 7 unchanged")) << r.output;
  // Replicas follow a load: one add record per stored key.
  const std::string log = ReadFile(work.File("replog"));
  size_t records = 0;
  for (size_t at = log.find("changetype: add"); at != std::string::npos; at = log.find("changetype: add", at + 1))
    ++records;
  EXPECT_EQ(records, 302u);
}

bool HaveSks() { return RunShell("command -v sks >/dev/null 2>&1").exitCode == 0; }

std::string SksScript() {
  const char* src = std::getenv("KRY_SOURCE_DIR");
  return std::string(src ? src : ".") + "/tests/support/sks/run-sks.sh";
}

// HTTP status of op=hget for each digest, in order.
std::vector<int> HgetStatuses(int port, const std::vector<std::string>& digests) {
  std::string cmd = "curl -s --max-time 30 -w '%{http_code}\\n'";
  for (const std::string& d : digests)
    cmd += " -o /dev/null 'http://127.0.0.1:" + std::to_string(port) + "/pks/lookup?op=hget&search=" + d + "&options=mr'";
  std::vector<int> out;
  const std::string text = RunShell(cmd).output;
  size_t at = 0;
  for (size_t nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1)
    out.push_back(std::atoi(text.substr(at, nl - at).c_str()));
  return out;
}

TEST(Dumps, SksTakesOurDumpAndWeTakeItsDump) {
  if (CorpusDir().empty()) GTEST_SKIP() << "no corpus";
  if (!HaveSks()) GTEST_SKIP() << "sks is not installed: the SKS dump interop is not tested";
  TempDir work;
  Offline ours;
  ASSERT_TRUE(ours.ok);
  ASSERT_EQ(ours.Load({Corpus("bulk-dsa.asc"), Corpus("multi-uid.asc"), Corpus("photo-id-two.asc")}).exitCode, 0);
  ASSERT_TRUE(ours.tree.Start()) << ours.tree.Output();
  ASSERT_EQ(ours.Dump(work.File("ours")).exitCode, 0);
  const std::multiset<std::string> digests = DumpDigests(work.File("ours"));
  ASSERT_EQ(digests.size(), 102u);

  // (a) SKS builds its database from our dump and serves every key by digest.
  const int hkp = FreePort();
  const std::string sks = work.File("sks");
  RunResult r = RunShell("NORECON=1 timeout 120 " + ShellQuote(SksScript()) + " " + ShellQuote(sks) + " " +
                         std::to_string(hkp) + " " + std::to_string(FreePort()) + " " + ShellQuote(work.File("ours")) +
                         " 2>&1");
  ASSERT_EQ(r.exitCode, 0) << r.output;
  const std::vector<int> statuses = HgetStatuses(hkp, std::vector<std::string>(digests.begin(), digests.end()));
  RunShell("kill $(cat " + ShellQuote(sks + "/db.pid") + "); sleep 1");
  EXPECT_EQ(std::vector<int>(statuses.size(), 200), statuses);

  // (b) SKS's own dump (its database closed) loads into a stopped server.
  r = RunShell("mkdir -p " + ShellQuote(work.File("theirs")) + " && cd " + ShellQuote(sks) + " && timeout 60 sks -basedir " +
               ShellQuote(sks) + " dump 40 " + ShellQuote(work.File("theirs")) + " 2>&1");
  ASSERT_EQ(r.exitCode, 0) << r.output;
  const std::multiset<std::string> theirs = DumpDigests(work.File("theirs"));
  EXPECT_EQ(theirs, digests);
  Offline again;
  ASSERT_TRUE(again.ok);
  r = again.Load({work.File("theirs")});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_TRUE(Has(r.output, "102 stored")) << r.output;
  ASSERT_TRUE(again.tree.Start()) << again.tree.Output();
  ASSERT_EQ(again.Dump(work.File("back")).exitCode, 0);
  EXPECT_EQ(DumpDigests(work.File("back")), digests);
}

}  // namespace
}  // namespace krytest
