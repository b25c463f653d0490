#include "runtime/bulkload.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include "back-ldbm/backend.h"
#include "back-ldbm/recover.h"
#include "cert/addkey.h"
#include "cert/request.h"
#include "cert/requestkeys.h"
#include "ldap/add.h"
#include "ldap/entry.h"
#include "ldap/operation.h"
#include "log/eventlog.h"
#include "runtime/bulktally.h"
#include "runtime/connection.h"
#include "runtime/globals.h"
#include "runtime/keysplit.h"
#include "runtime/startup_hooks.h"

namespace kry {

namespace {

constexpr uint32_t kAddTag = 0x68;
constexpr int kMergedLogType = 0x20;  // set by the backend's add when it merged
constexpr int kProgressSeconds = 5;
constexpr size_t kItemsPerWorker = 64;  // how far the workers may run ahead

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The pipeline of one key up to the entries to store (what an add at the
// virtual DN does before the backend): the LDAP result.
int RunPipeline(Backend* be, const std::string& block, const RequestKeys& keys, AddRequestState* state) {
  if (GrowEntries(&state->list, 1) != 0) return 90;
  auto e = std::make_unique<Entry>();
  if (attr_merge(e.get(), "kryKey", block) != 0) return 90;
  state->list.slots[0] = std::move(e);
  state->list.count = 1;
  state->kind = kRequestAdd;
  // A dump carries no signed requests, so a server that takes only signed
  // adds takes none of it, as it would take none of them one by one.
  if (g_globals->MustSignAdds) {
    state->SetText("Requests to add certificates must be signed.");
    return 8;
  }
  return CreateAddKeyEntries(state, be, block, keys);
}

struct Outcome {
  std::string block;
  std::unique_ptr<AddRequestState> state = std::make_unique<AddRequestState>();
  int result = 0;
  uint64_t commitsSeen = 0;  // stores the writer had finished when the pipeline started
};

class Pipeline {
 public:
  Pipeline(Backend* be, const std::vector<std::string>& files, BulkTally* tally)
      : be_(be), files_(files), tally_(tally) {}

  int Run(int workers);

 private:
  void ReadFiles();
  void Work();
  bool Take(size_t* index, std::string* block);
  std::unique_ptr<Outcome> WaitFor(size_t index);
  int Store(Outcome* out, RequestKeysHolder* writerKeys);
  void Stop();
  void Progress(Clock::time_point start, Clock::time_point* last);

  Backend* be_;
  const std::vector<std::string>& files_;
  BulkTally* tally_;
  size_t window_ = kItemsPerWorker;

  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::pair<size_t, std::string>> input_;
  size_t nextIndex_ = 0;   // index of the next key read
  size_t nextStore_ = 0;   // index the writer waits for
  size_t workersLeft_ = 0;
  bool inputDone_ = false, stop_ = false;
  std::string fatal_;
  std::map<size_t, std::unique_ptr<Outcome>> done_;

  // Ordering of merges: a pipeline that read the stored copy of a key before
  // the writer stored a later version of the same key is run again. A key
  // is taken only within the window after the one being stored, so every
  // store older than the window's stores came before its pipeline started:
  // only the recent stores are remembered (writer thread only).
  void NoteCommit(const std::string& certID);
  std::atomic<uint64_t> commits_{0};
  std::map<std::string, uint64_t> lastCommit_;
  std::deque<std::pair<uint64_t, std::string>> recent_;
};

void Pipeline::NoteCommit(const std::string& certID) {
  const uint64_t seq = commits_.fetch_add(1, std::memory_order_acq_rel) + 1;
  lastCommit_[certID] = seq;
  recent_.emplace_back(seq, certID);
  while (recent_.size() > 2 * window_ + 2) {
    auto it = lastCommit_.find(recent_.front().second);
    if (it != lastCommit_.end() && it->second == recent_.front().first) lastCommit_.erase(it);
    recent_.pop_front();
  }
}

void Pipeline::Stop() {
  std::lock_guard<std::mutex> g(mu_);
  stop_ = true;
  cv_.notify_all();
}

void Pipeline::ReadFiles() {
  for (const std::string& path : files_) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    SplitResult split;
    if (!in.bad()) SplitKeyDump(text.str(), &split);
    std::unique_lock<std::mutex> g(mu_);
    if (in.bad()) {
      fatal_ = "Reading '" + path + "' failed.";
      stop_ = true;
    }
    tally_->malformed += split.malformed;
    for (std::string& block : split.keys) {
      cv_.wait(g, [&] { return stop_ || input_.size() < window_; });
      if (stop_) break;
      input_.emplace_back(nextIndex_++, std::move(block));
      cv_.notify_all();
    }
    if (stop_) break;
  }
  std::lock_guard<std::mutex> g(mu_);
  inputDone_ = true;
  cv_.notify_all();
}

bool Pipeline::Take(size_t* index, std::string* block) {
  std::unique_lock<std::mutex> g(mu_);
  cv_.wait(g, [&] {
    return stop_ || (!input_.empty() && input_.front().first < nextStore_ + window_) ||
           (inputDone_ && input_.empty());
  });
  if (stop_ || input_.empty()) return false;
  *index = input_.front().first;
  *block = std::move(input_.front().second);
  input_.pop_front();
  cv_.notify_all();
  return true;
}

void Pipeline::Work() {
  RequestKeysHolder keys;
  const bool ready = keys.Acquire(nullptr) == 0;
  size_t index = 0;
  std::string block;
  while (ready && Take(&index, &block)) {
    auto out = std::make_unique<Outcome>();
    out->commitsSeen = commits_.load(std::memory_order_acquire);
    out->result = RunPipeline(be_, block, keys.keys(), out->state.get());
    // Key sets belong to this worker's context, which ends with the worker,
    // possibly before the writer is done with the outcome.
    out->state->revokers.reset();
    out->block = std::move(block);
    std::lock_guard<std::mutex> g(mu_);
    done_[index] = std::move(out);
    cv_.notify_all();
  }
  std::lock_guard<std::mutex> g(mu_);
  if (!ready) {
    fatal_ = "No key-library context could be made for a worker.";
    stop_ = true;
  }
  --workersLeft_;
  cv_.notify_all();
}

std::unique_ptr<Outcome> Pipeline::WaitFor(size_t index) {
  std::unique_lock<std::mutex> g(mu_);
  cv_.wait(g, [&] {
    return stop_ || done_.count(index) || (inputDone_ && index >= nextIndex_) || workersLeft_ == 0;
  });
  auto it = done_.find(index);
  if (stop_ || it == done_.end()) return nullptr;
  std::unique_ptr<Outcome> out = std::move(it->second);
  done_.erase(it);
  nextStore_ = index + 1;
  cv_.notify_all();
  return out;
}

// Stores one outcome in input order; -1 after a write failure.
int Pipeline::Store(Outcome* out, RequestKeysHolder* writerKeys) {
  const std::string& certID = out->state->certID;
  auto last = certID.empty() ? lastCommit_.end() : lastCommit_.find(certID);
  if (last != lastCommit_.end() && last->second > out->commitsSeen) {
    if (writerKeys->keys().context == nullptr && writerKeys->Acquire(nullptr) != 0) return -1;
    out->state = std::make_unique<AddRequestState>();
    out->result = RunPipeline(be_, out->block, writerKeys->keys(), out->state.get());
  }
  int result = out->result;
  bool merged = false;
  if (result == 0) {
    Connection internal;
    internal.c_internal = true;
    Operation op;
    op.o_tag = kAddTag;
    std::string matched;
    result = StoreKeyEntries(be_, &internal, &op, out->state.get(), &matched);
    if (op.o_storeFailed) return -1;
    merged = op.o_logType == kMergedLogType;
    NoteCommit(out->state->certID);
  }
  tally_->Count(result, merged, out->state->hasText ? out->state->text : std::string());
  return 0;
}

void Pipeline::Progress(Clock::time_point start, Clock::time_point* last) {
  if (Clock::now() - *last < std::chrono::seconds(kProgressSeconds)) return;
  *last = Clock::now();
  std::lock_guard<std::mutex> g(mu_);
  std::fprintf(stderr, "krycertd: loading: %s\n", tally_->Line(SecondsSince(start)).c_str());
}

int Pipeline::Run(int workers) {
  workers = std::max(1, workers);
  window_ = kItemsPerWorker * static_cast<size_t>(workers);
  workersLeft_ = static_cast<size_t>(workers);
  std::thread reader([this] { ReadFiles(); });
  std::vector<std::thread> pool;
  for (int i = 0; i < workers; ++i) pool.emplace_back([this] { Work(); });

  const Clock::time_point start = Clock::now();
  Clock::time_point last = start;
  RequestKeysHolder writerKeys;
  int rc = 0;
  for (size_t index = 0;; ++index) {
    if (dird_shutdown) {
      std::lock_guard<std::mutex> g(mu_);
      fatal_ = "The load was interrupted.";
      break;
    }
    std::unique_ptr<Outcome> out = WaitFor(index);
    if (!out) break;
    if (Store(out.get(), &writerKeys) != 0) {
      std::lock_guard<std::mutex> g(mu_);
      fatal_ = "Writing key " + std::to_string(index + 1) + " to the database failed.";
      break;
    }
    Progress(start, &last);
  }
  Stop();
  reader.join();
  for (std::thread& t : pool) t.join();
  if (!fatal_.empty()) {
    LogError(EVENTLOG_ERROR,
             "Bulk load stopped: %s  Once the cause is removed (room made on a full disk), run the same load "
             "again: keys already stored are found unchanged.",
             fatal_.c_str());
    std::fprintf(stderr, "krycertd: bulk load stopped: %s\n", fatal_.c_str());
    rc = 1;
  }
  return rc;
}

// One worker per core; KRYCERTD_LOAD_THREADS overrides it (benchmarks
// compare thread counts with it).
int LoadWorkers() {
  if (const char* env = std::getenv("KRYCERTD_LOAD_THREADS")) {
    const long n = std::strtol(env, nullptr, 10);
    if (n > 0 && n <= 256) return static_cast<int>(n);
  }
  const unsigned cores = std::thread::hardware_concurrency();
  return cores == 0 ? 1 : static_cast<int>(cores);
}

}  // namespace

bool BulkLoadFiles(const std::vector<std::string>& paths, std::vector<std::string>* files, std::string* why) {
  for (const std::string& path : paths) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
      *why = "Cannot read '" + path + "': " + std::strerror(errno) + ".";
      return false;
    }
    if (!S_ISDIR(st.st_mode)) {
      files->push_back(path);
      continue;
    }
    std::vector<std::string> names;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(path.c_str()), closedir);
    if (!dir) {
      *why = "Cannot read directory '" + path + "': " + std::strerror(errno) + ".";
      return false;
    }
    while (dirent* d = readdir(dir.get())) {
      const std::string name = d->d_name;
      if (name.size() > 4 && name.compare(name.size() - 4, 4, ".pgp") == 0) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) files->push_back(path + "/" + name);
  }
  return true;
}

int BulkLoadKeys(Backend* be, const std::vector<std::string>& files, int workers, BulkTally* tally) {
  Pipeline pipeline(be, files, tally);
  return pipeline.Run(workers);
}

int BulkLoadCommand(Backend* be, const std::vector<std::string>& paths) {
  std::vector<std::string> files;
  std::string why;
  if (!BulkLoadFiles(paths, &files, &why)) {
    LogError(EVENTLOG_ERROR, "%s", why.c_str());
    return 1;
  }
  std::unique_ptr<DBLock> lock;
  if (LockDBs(be, &lock) != 0) {
    LogError(EVENTLOG_ERROR, "The data directory is in use: stop the server before a bulk load.");
    return 1;
  }
  int rc = 1;
  if (CheckRequiredDBs(be) != 0) {
    LogError(EVENTLOG_ERROR, "All required databases do not exist. Create them (krycertd -n) before a bulk load.");
  } else if (InitServerPolicies() != 0) {
    LogError(EVENTLOG_ERROR, "Initializing the server's policies failed; nothing was loaded.");
  } else if (RecoverDatabasesIfUnclean(be) == 0 && ApplyBlockList(be) == 0) {
    backend_set_bulk_load(be, true);
    BulkTally tally;
    const Clock::time_point start = Clock::now();
    rc = BulkLoadKeys(be, files, LoadWorkers(), &tally);
    // The one sync of the load: until it, a crash loses the load (the next
    // start finds the directory closed uncleanly and rebuilds it).
    if (backend_set_bulk_load(be, false) != 0) {
      LogError(EVENTLOG_ERROR,
               "Syncing the database after the bulk load failed: the next start (or load) verifies and rebuilds "
               "it; then run the load again so that every key is stored.");
      rc = 1;
    }
    const std::string line = tally.Line(SecondsSince(start));
    std::fprintf(stderr, "krycertd: bulk load %s: %s\n", rc == 0 ? "done" : "stopped", line.c_str());
    LogError(EVENTLOG_INFO, "Bulk load of %zu file(s): %s.", files.size(), line.c_str());
  }
  // Closed before the lock goes, so that a server started next finds the
  // files complete (and the clean-shutdown marker when the load armed it).
  if (be->ops.close) be->ops.close(be);
  UnlockDBs(&lock);
  return rc;
}

}  // namespace kry
