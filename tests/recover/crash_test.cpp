// Crash safety of the running server: four connections add, modify and
// delete entries while the server is killed with SIGKILL at random moments,
// 20 rounds. After every restart each acknowledged add is found by DN, by a
// one-level search and by its indexed attributes, each acknowledged delete
// stays deleted, each acknowledged modify shows its values, db5.3_verify
// passes on every file, new adds succeed and no ID is used for two DNs.
// One round truncates a map file and one zeroes a page of an index file
// before the restart.
//
// Key submissions of corpus keys run beside the plain entries: every key
// whose submission was acknowledged (stored, or refused as unchanged) is
// found by its key ID with its key block after each restart, and every
// stored certificate has its user-ID entries.
#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "back-ldbm/dbcache.h"
#include "back-ldbm/rebuild.h"
#include "ldap/entry.h"
#include "support/harness.h"
#include "tests/support/corpus_files.h"

namespace krytest {
namespace {

const std::string kActive = "OU=ACTIVE,O=KRY KEYSPACE,C=US";
constexpr int kRounds = 20;
constexpr int kConnections = 4;
constexpr int kTruncateRound = 6;   // dn2id.dbb cut to half after the kill
constexpr int kZeroPageRound = 13;  // a page of an index file zeroed
constexpr size_t kPopulationCap = 300;  // deletes win beyond this (SizeLimit is 500)

// What the clients were told about one DN.
struct Known {
  enum State { kAbsent, kPresent, kUnknown } state = kAbsent;
  std::string certId;
  std::string userId;    // last acknowledged value
  std::string inFlight;  // a modify sent and not answered: may show either
};

class Model {
 public:
  std::mutex lock;
  std::map<std::string, Known> dns;  // upper-case DN -> state
  std::set<std::string> keys;        // short key IDs of acknowledged submissions
};

// Corpus keys to submit: the armoured block and its short key ID.
struct PoolKey {
  std::string block;
  std::string shortId;
};

std::vector<PoolKey> LoadKeyPool() {
  std::vector<PoolKey> pool;
  const std::string corpus = CorpusDir();
  if (corpus.empty()) return pool;
  std::map<std::string, std::string> ids;  // name -> short key ID
  std::istringstream tsv(ReadFile(corpus::Path("KEYIDS.tsv")));
  std::string name, fpr, keyId, shortId;
  while (tsv >> name >> fpr >> keyId >> shortId) ids[name] = shortId;
  for (const char* n : {"rsa", "dsa-elg", "multi-uid", "signed-by-trusted", "trusted-signer",
                        "old-signer", "photo-id"}) {
    std::string block = ReadFile(corpus::Path(std::string(n) + ".asc"));
    if (!block.empty() && ids.count(n)) pool.push_back({block, ids[n]});
  }
  return pool;
}

const std::string kVirtualDN = "kryCertID=virtual," + kActive;

// One client connection running random operations until told to stop.
class Worker {
 public:
  Worker(int port, int index, int round, Model* model, const std::vector<PoolKey>* keys, unsigned seed)
      : port_(port), index_(index), round_(round), model_(model), keys_(keys), rng_(seed) {}

  void Run(const std::atomic<bool>& stop) {
    if (!client_.Connect(port_) || !Exchange(BindRequest(NextId(), "", ""), nullptr)) return;
    while (!stop.load()) {
      // Mostly adds while the directory is small, mostly deletes beyond
      // the cap.
      const int addShare = Population() < kPopulationCap ? 55 : 30;
      const int pick = static_cast<int>(rng_() % 100);
      bool ok;
      if (pick < 8 && !keys_->empty()) ok = SubmitKey();
      else if (pick < addShare || Mine().empty()) ok = AddOne();
      else if (pick < addShare + 25) ok = ModifyOne();
      else ok = DeleteOne();
      if (!ok) return;  // the server is gone
    }
  }
  int failures() const { return failures_; }
  std::string lastFailure() const { return lastFailure_; }

 private:
  int NextId() { return ++msgid_; }

  // Sends a request and reads its result; false when the connection broke.
  bool Exchange(const std::string& request, int* code) {
    if (!client_.Send(request)) return false;
    std::string m;
    if (!client_.ReadMessage(&m, 10000)) return false;
    std::string text;
    int rc = ResultCode(m, nullptr, &text);
    if (code) *code = rc;
    if (rc != 0) {
      ++failures_;
      lastFailure_ = std::to_string(rc) + " " + text;
    }
    return true;
  }

  std::vector<std::string> Mine() {
    std::lock_guard<std::mutex> g(model_->lock);
    std::vector<std::string> out;
    for (auto& [dn, k] : model_->dns)
      if (k.state == Known::kPresent && k.inFlight.empty() && dn.find(Prefix()) == 0) out.push_back(dn);
    return out;
  }
  size_t Population() {
    std::lock_guard<std::mutex> g(model_->lock);
    return model_->dns.size();
  }
  std::string Prefix() const { return "CN=C" + std::to_string(index_) + "-"; }

  bool AddOne() {
    const std::string tag = "R" + std::to_string(round_) + "N" + std::to_string(++serial_);
    const std::string dn = Prefix() + tag + "," + kActive;
    Known k;
    k.state = Known::kUnknown;
    char cert[17];
    std::snprintf(cert, sizeof cert, "%08X%08X", static_cast<unsigned>(index_ * 1000 + round_),
                  static_cast<unsigned>(serial_));
    k.certId = cert;
    k.userId = "USER " + std::to_string(index_) + " " + tag;
    {
      std::lock_guard<std::mutex> g(model_->lock);
      model_->dns[dn] = k;
    }
    int code = -1;
    if (!Exchange(AddRequest(NextId(), dn,
                             {{"objectclass", {"crashentry"}}, {"kryCertID", {k.certId}}, {"kryUserID", {k.userId}}}),
                  &code))
      return false;
    std::lock_guard<std::mutex> g(model_->lock);
    if (code == 0) model_->dns[dn].state = Known::kPresent;
    else model_->dns.erase(dn);
    return true;
  }

  // A key is acknowledged when it was stored (0) or found unchanged (68).
  bool SubmitKey() {
    const PoolKey& key = (*keys_)[rng_() % keys_->size()];
    if (!client_.Send(AddRequest(NextId(), kVirtualDN, {{"kryKey", {key.block}}}))) return false;
    std::string m;
    if (!client_.ReadMessage(&m, 10000)) return false;
    std::string text;
    const int rc = ResultCode(m, nullptr, &text);
    if (rc != 0 && rc != 68) {
      ++failures_;
      lastFailure_ = "key " + key.shortId + ": " + std::to_string(rc) + " " + text;
      return true;
    }
    std::lock_guard<std::mutex> g(model_->lock);
    model_->keys.insert(key.shortId);
    return true;
  }

  bool ModifyOne() {
    std::vector<std::string> mine = Mine();
    const std::string dn = mine[rng_() % mine.size()];
    // Values are unique across workers and rounds, so a search by user ID
    // names exactly one entry.
    const std::string value = "CHANGED " + std::to_string(index_) + " R" + std::to_string(round_) + "M" +
                              std::to_string(++changes_);
    {
      std::lock_guard<std::mutex> g(model_->lock);
      model_->dns[dn].inFlight = value;
    }
    int code = -1;
    if (!Exchange(ModifyReplaceRequest(NextId(), dn, {{"kryUserID", {value}}}), &code)) return false;
    std::lock_guard<std::mutex> g(model_->lock);
    Known& k = model_->dns[dn];
    if (code == 0) k.userId = value;
    k.inFlight.clear();
    return true;
  }

  bool DeleteOne() {
    std::vector<std::string> mine = Mine();
    if (mine.empty()) return AddOne();
    const std::string dn = mine[rng_() % mine.size()];
    {
      std::lock_guard<std::mutex> g(model_->lock);
      model_->dns[dn].state = Known::kUnknown;
    }
    int code = -1;
    if (!Exchange(DeleteRequest(NextId(), dn), &code)) return false;
    std::lock_guard<std::mutex> g(model_->lock);
    model_->dns[dn].state = code == 0 ? Known::kAbsent : Known::kPresent;
    return true;
  }

  int port_, index_, round_;
  Model* model_;
  const std::vector<PoolKey>* keys_;
  std::mt19937 rng_;
  Client client_;
  int msgid_ = 0;
  int serial_ = 0;
  int changes_ = 0;
  int failures_ = 0;
  std::string lastFailure_;
};

std::vector<std::string> DatabaseFiles(const std::string& dir) {
  std::vector<std::string> out;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* de = readdir(d)) {
      std::string n = de->d_name;
      if (n.size() > 4 && n.compare(n.size() - 4, 4, ".dbb") == 0) out.push_back(dir + "/" + n);
    }
    closedir(d);
  }
  return out;
}

class CrashTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access(ServerBinary().c_str(), X_OK) != 0) GTEST_SKIP() << "server binary not built";
    if (RunShell("command -v db5.3_verify >/dev/null").exitCode != 0) GTEST_SKIP() << "db5.3_verify missing";
    tree_.WriteConfig("Allow ip 127.0.0.1 all\nIdleSyncTimeout 600\n");
    ASSERT_TRUE(tree_.CreateDatabases());
  }

  // Runs the pipelined searches of `requests` (at most a batch at a time)
  // and returns the responses in order.
  std::vector<std::pair<int, std::vector<SearchEntry>>> Searches(Client& c, const std::vector<std::string>& requests) {
    std::vector<std::pair<int, std::vector<SearchEntry>>> out;
    constexpr size_t kBatch = 40;
    for (size_t i = 0; i < requests.size(); i += kBatch) {
      size_t end = std::min(requests.size(), i + kBatch);
      std::string batch;
      for (size_t j = i; j < end; ++j) batch += requests[j];
      if (!c.Send(batch)) return out;
      for (size_t j = i; j < end; ++j) {
        std::vector<SearchEntry> entries;
        int code = ReadSearchResponses(c, &entries);
        out.emplace_back(code, std::move(entries));
      }
    }
    return out;
  }

  // Checks the directory against the model and settles what was unknown.
  void Verify(int round) {
    SCOPED_TRACE("after restart " + std::to_string(round));
    Client c;
    ASSERT_TRUE(c.Connect(tree_.port));
    int msgid = 0;
    auto all = Searches(c, {SearchEqualityRequest(++msgid, kActive, 1, "objectclass", "crashentry")});
    ASSERT_EQ(all.size(), 1u);
    ASSERT_EQ(all[0].first, 0);
    std::set<std::string> listed;
    for (auto& e : all[0].second) listed.insert(e.dn);

    std::vector<std::string> present;
    for (auto it = model_.dns.begin(); it != model_.dns.end();) {
      Known& k = it->second;
      const bool shown = listed.count(it->first) > 0;
      if (k.state == Known::kAbsent) {
        EXPECT_FALSE(shown) << "acknowledged delete came back: " << it->first;
      }
      if (k.state == Known::kPresent) {
        EXPECT_TRUE(shown) << "acknowledged add lost: " << it->first;
      }
      if (k.state == Known::kUnknown) k.state = shown ? Known::kPresent : Known::kAbsent;
      if (k.state == Known::kPresent && shown) present.push_back(it->first);
      listed.erase(it->first);
      it = k.state == Known::kAbsent ? model_.dns.erase(it) : std::next(it);
    }
    EXPECT_TRUE(listed.empty()) << "entries nobody added: " << *listed.begin();

    // By DN, by certificate ID and by user ID, three searches per entry.
    std::vector<std::string> requests;
    for (const std::string& dn : present) {
      const Known& k = model_.dns[dn];
      requests.push_back(SearchEqualityRequest(++msgid, dn, 0, "objectclass", "crashentry"));
      requests.push_back(SearchEqualityRequest(++msgid, kActive, 2, "kryCertID", k.certId));
    }
    auto results = Searches(c, requests);
    ASSERT_EQ(results.size(), requests.size());
    std::vector<std::string> byUserId;
    for (size_t i = 0; i < present.size(); ++i) {
      Known& k = model_.dns[present[i]];
      auto& byDn = results[2 * i];
      auto& byCert = results[2 * i + 1];
      ASSERT_EQ(byDn.first, 0) << present[i];
      ASSERT_EQ(byDn.second.size(), 1u) << "not found by DN: " << present[i];
      std::vector<std::string> v = byDn.second[0].Values("kryUserID");
      ASSERT_EQ(v.size(), 1u) << present[i];
      if (v[0] != k.userId) {
        EXPECT_EQ(v[0], k.inFlight) << "acknowledged modify lost: " << present[i];
      }
      k.userId = v[0];
      k.inFlight.clear();
      ASSERT_EQ(byCert.second.size(), 1u) << "not found by kryCertID: " << present[i];
      EXPECT_EQ(byCert.second[0].dn, present[i]);
      byUserId.push_back(SearchEqualityRequest(++msgid, kActive, 1, "kryUserID", k.userId));
    }
    auto users = Searches(c, byUserId);
    ASSERT_EQ(users.size(), byUserId.size());
    for (size_t i = 0; i < present.size(); ++i) {
      std::string shown;
      for (const SearchEntry& e : users[i].second) shown += " [" + e.dn + "]";
      ASSERT_EQ(users[i].second.size(), 1u) << "by kryUserID " << model_.dns[present[i]].userId << " of "
                                            << present[i] << ":" << shown;
      EXPECT_EQ(users[i].second[0].dn, present[i]);
    }
    VerifyKeys(c, &msgid);
  }

  // Every acknowledged key is found by its short key ID, with its block.
  void VerifyKeys(Client& c, int* msgid) {
    std::vector<std::string> ids(model_.keys.begin(), model_.keys.end());
    std::vector<std::string> requests;
    for (const std::string& id : ids)
      requests.push_back(SearchEqualityRequest(++*msgid, kActive, 2, "kryKeyID", id, {"kryKey"}));
    auto found = Searches(c, requests);
    ASSERT_EQ(found.size(), requests.size());
    for (size_t i = 0; i < ids.size(); ++i) {
      EXPECT_EQ(found[i].first, 0) << ids[i];
      EXPECT_FALSE(found[i].second.empty()) << "acknowledged key lost: " << ids[i];
      bool block = false;
      for (const SearchEntry& e : found[i].second)
        for (const std::string& v : e.Values("kryKey")) block |= v.find("BEGIN PGP PUBLIC KEY BLOCK") != std::string::npos;
      EXPECT_TRUE(block) << "no key block for " << ids[i];
    }
    // Acknowledged or not, no stored certificate is left without user-ID
    // entries: an add cut short by the kill is completed by recovery.
    auto certs = Searches(c, {SearchEqualityRequest(++*msgid, kActive, 1, "objectclass", "kryCertificate")});
    ASSERT_EQ(certs.size(), 1u);
    std::vector<std::string> children;
    for (const SearchEntry& e : certs[0].second)
      children.push_back(SearchEqualityRequest(++*msgid, e.dn, 1, "objectclass", "kryUserID"));
    auto uids = Searches(c, children);
    ASSERT_EQ(uids.size(), children.size());
    for (size_t i = 0; i < uids.size(); ++i)
      EXPECT_FALSE(uids[i].second.empty()) << "no user-ID entries below " << certs[0].second[i].dn;
  }

  // Every file passes Berkeley DB's own check.
  void VerifyFiles() {
    for (const std::string& f : DatabaseFiles(tree_.data)) {
      RunResult r = RunShell("db5.3_verify -q " + ShellQuote(f) + " 2>&1");
      EXPECT_EQ(r.exitCode, 0) << f << ": " << r.output;
    }
  }

  // No ID ever stands for two DNs.
  void CheckIdsNotReused() {
    DB* db = kry::ldbm_open(tree_.data + "/id2entry.dbb", DB_RDONLY, 0600, 0);
    ASSERT_NE(db, nullptr);
    for (kry::EntryID id : kry::StoredIds(db)) {
      kry::DbValue v = kry::ldbm_fetch(db, kry::Datum{&id, sizeof id});
      if (!v) continue;
      const char* text = static_cast<const char*>(v.data());
      kry::EntryPtr e = kry::str2entry(std::string_view(text, strnlen(text, v.size())));
      if (!e) continue;
      auto [it, added] = idHistory_.emplace(id, e->dn);
      EXPECT_TRUE(added || it->second == e->dn) << "ID " << id << " reused: " << it->second << " / " << e->dn;
    }
    kry::ldbm_close(db);
  }

  // Runs the workload for `ms` milliseconds, then kills the server.
  void LoadAndKill(int round, int ms, int* failures) {
    std::atomic<bool> stop{false};
    std::vector<std::unique_ptr<Worker>> workers;
    std::vector<std::thread> threads;
    for (int k = 0; k < kConnections; ++k) {
      workers.push_back(std::make_unique<Worker>(tree_.port, k, round, &model_, &keys_, 1000u * round + k));
      // The thread gets its worker, not the vector: a later push_back may
      // move the vector's storage while earlier threads run.
      Worker* w = workers.back().get();
      threads.emplace_back([w, &stop] { w->Run(stop); });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    tree_.Stop(SIGKILL);
    stop = true;
    for (auto& t : threads) t.join();
    for (auto& w : workers) {
      *failures += w->failures();
      if (w->failures()) ADD_FAILURE() << "round " << round << ": " << w->lastFailure();
    }
  }

  void Damage(int round) {
    if (round == kTruncateRound) {
      const std::string f = tree_.data + "/dn2id.dbb";
      struct stat st;
      ASSERT_EQ(stat(f.c_str(), &st), 0);
      ASSERT_EQ(truncate(f.c_str(), st.st_size / 2), 0);
    }
    if (round == kZeroPageRound) {
      const std::string f = tree_.data + "/kryuserid.dbb";
      FILE* fp = std::fopen(f.c_str(), "r+");
      ASSERT_NE(fp, nullptr);
      std::string zeros(4096, '\0');
      std::fseek(fp, 4096, SEEK_SET);
      std::fwrite(zeros.data(), 1, zeros.size(), fp);
      std::fclose(fp);
    }
  }

  ServerTree tree_;
  Model model_;
  const std::vector<PoolKey> keys_ = LoadKeyPool();
  std::map<kry::EntryID, std::string> idHistory_;
};

TEST_F(CrashTest, KillNineUnderLoadLosesNothingAcknowledged) {
  std::mt19937 rng(20261208);
  int failures = 0;
  for (int round = 0; round < kRounds; ++round) {
    ASSERT_TRUE(tree_.Start()) << "restart " << round << ":\n" << tree_.Output() << tree_.Events();
    if (round > 0) {
      Verify(round);
      VerifyFiles();
      CheckIdsNotReused();
      if (HasFatalFailure()) {
        tree_.Stop(SIGKILL);  // the checks below start their own server
        break;
      }
    }
    LoadAndKill(round, 250 + static_cast<int>(rng() % 900), &failures);
    Damage(round);
    if (HasFatalFailure()) break;
  }
  EXPECT_EQ(failures, 0);
  if (!keys_.empty()) {
    EXPECT_GE(model_.keys.size(), keys_.size() / 2) << "few key submissions were acknowledged";
  }
  std::string events = tree_.Events();
  size_t recoveries = 0;
  for (size_t p = 0; (p = events.find("not shut down in order", p)) != std::string::npos; ++p) ++recoveries;
  EXPECT_EQ(recoveries, static_cast<size_t>(kRounds - 1));

  // An orderly stop leaves nothing to recover.
  ASSERT_TRUE(tree_.Start());
  Verify(kRounds);
  EXPECT_EQ(tree_.Stop(SIGTERM), 0);
  ASSERT_TRUE(tree_.Start());
  EXPECT_EQ(tree_.Stop(SIGTERM), 0);
  events = tree_.Events();
  size_t after = 0;
  for (size_t p = 0; (p = events.find("not shut down in order", p)) != std::string::npos; ++p) ++after;
  EXPECT_EQ(after, static_cast<size_t>(kRounds));
}

// The value of an unlabelled counter in a Prometheus scrape; -1 if absent.
long Counter(const std::string& scrape, const std::string& name) {
  const size_t at = scrape.find("\n" + name + " ");
  return at == std::string::npos ? -1 : std::atol(scrape.c_str() + at + name.size() + 2);
}

// Adds acknowledged on several connections at once are on disk when they are
// answered, although they may share syncs: a kill right after the last
// answer loses none of them. Prints the syncs per add.
TEST_F(CrashTest, ConcurrentAcknowledgedAddsSurviveKillAndSyncAtMostOnceEach) {
  const int metrics = FreePort();
  tree_.WriteConfig("Allow ip 127.0.0.1 all\nIdleSyncTimeout 600\nMetricsPort " + std::to_string(metrics) + "\n");
  ASSERT_TRUE(tree_.Start());
  constexpr int kClients = 16, kEach = 20;
  std::vector<std::thread> threads;
  std::atomic<int> acknowledged{0};
  for (int k = 0; k < kClients; ++k)
    threads.emplace_back([&, k] {
      Client c;
      if (!c.Connect(tree_.port)) return;
      for (int i = 0; i < kEach; ++i) {
        const std::string dn = "CN=G" + std::to_string(k) + "-" + std::to_string(i) + "," + kActive;
        std::string m;
        if (!c.Send(AddRequest(i + 1, dn, {{"objectclass", {"crashentry"}}})) || !c.ReadMessage(&m) ||
            ResultCode(m) != 0)
          return;
        ++acknowledged;
      }
    });
  for (auto& t : threads) t.join();
  const std::string scrape = RunShell("curl -s http://127.0.0.1:" + std::to_string(metrics) + "/metrics").output;
  tree_.Stop(SIGKILL);
  ASSERT_EQ(acknowledged.load(), kClients * kEach);
  const long commits = Counter(scrape, "krycertd_db_commits_total");
  const long syncs = Counter(scrape, "krycertd_db_commit_syncs_total");
  std::printf("%ld adds acknowledged after %ld syncs (%.2f per add)\n", commits, syncs,
              commits > 0 ? static_cast<double>(syncs) / commits : 0.0);
  EXPECT_EQ(commits, kClients * kEach);
  EXPECT_GT(syncs, 0);
  // How many share a sync depends on how long the disk takes to sync
  // against how long an add takes to write: never more than one each.
  EXPECT_LE(syncs, commits);

  ASSERT_TRUE(tree_.Start());
  Client c;
  ASSERT_TRUE(c.Connect(tree_.port));
  std::vector<SearchEntry> found;
  ASSERT_TRUE(c.Send(SearchEqualityRequest(1, kActive, 1, "objectclass", "crashentry")));
  EXPECT_EQ(ReadSearchResponses(c, &found), 0);
  EXPECT_EQ(found.size(), static_cast<size_t>(kClients * kEach)) << "acknowledged adds lost";
  tree_.Stop(SIGKILL);
}

// "krycertd -r": refused while a server holds the directory; after a kill
// it rebuilds the files by hand and leaves the directory closed in order, so
// the next start has nothing to recover.
TEST_F(CrashTest, RecoverCommand) {
  ASSERT_TRUE(tree_.Start());
  RunResult busy = tree_.Run({"-g", "-r"});
  EXPECT_EQ(busy.exitCode, 1) << busy.output;
  EXPECT_NE(tree_.Events().find("Database may already be locked by another server."), std::string::npos);
  Client c;
  ASSERT_TRUE(c.Connect(tree_.port));
  const std::string dn = "CN=BYHAND," + kActive;
  std::string m;
  ASSERT_TRUE(c.Send(AddRequest(1, dn, {{"objectclass", {"crashentry"}}, {"kryCertID", {"00000000DEADBEEF"}}})));
  ASSERT_TRUE(c.ReadMessage(&m));
  ASSERT_EQ(ResultCode(m), 0);
  tree_.Stop(SIGKILL);
  unlink((tree_.data + "/dn2id.dbb").c_str());

  RunResult r = tree_.Run({"-g", "-r"});
  EXPECT_EQ(r.exitCode, 0) << r.output << tree_.Events();
  EXPECT_NE(tree_.Events().find("Database recovery finished"), std::string::npos);
  VerifyFiles();
  ASSERT_TRUE(tree_.Start());
  EXPECT_EQ(tree_.Events().find("not shut down in order"), std::string::npos);
  ASSERT_TRUE(c.Connect(tree_.port));
  std::vector<SearchEntry> found;
  ASSERT_TRUE(c.Send(SearchEqualityRequest(2, kActive, 1, "kryCertID", "00000000DEADBEEF")));
  EXPECT_EQ(ReadSearchResponses(c, &found), 0);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].dn, dn);
  EXPECT_EQ(tree_.Stop(SIGTERM), 0);
}

}  // namespace
}  // namespace krytest
