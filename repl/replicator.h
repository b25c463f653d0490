// One replica's worker: a thread that reads the replication log from the
// replica's stored position, sends it every record that names it, and
// stores the new position once the replica acknowledged. A replica that is
// down only holds back itself.
#pragma once

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "repl/ldapclient.h"
#include "repl/replconfig.h"
#include "repl/statefile.h"

namespace kryrepl {

// Wakes the workers when the log changed (or once a second) and tells them
// to stop. Also remembers which bad records were logged already, so that
// each is logged once, not once per replica.
class Shared {
 public:
  void Notify();
  void RequestStop();
  bool stopping() const { return stop_.load(); }
  // Waits until Notify or RequestStop after generation `seen`, or `ms`.
  // Returns the generation now.
  uint64_t Wait(uint64_t seen, int ms);
  uint64_t generation();
  // True the first time for a record (file and offset).
  bool FirstReport(uint64_t inode, uint64_t offset);

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  uint64_t generation_ = 0;
  std::atomic<bool> stop_{false};
  std::set<std::pair<uint64_t, uint64_t>> reported_;
};

struct WorkerSettings {
  std::string logFile, stateDir;
  TLSFiles tls;
  std::string source;  // local address to connect from; empty: any
  int timeoutMs = 30000;
  int maxBackoffSeconds = 60;
};

struct ReplicaStatus {
  std::string name;
  uint64_t offset = 0;
  uint64_t delivered = 0, refused = 0, retried = 0;
  std::string lastError;
  long lastErrorTime = 0;  // seconds since 1970; 0: none
  bool connected = false;
};

class Replicator {
 public:
  Replicator(std::string name, ReplicaAddress address, const WorkerSettings& settings, Shared* shared);
  ~Replicator();
  Replicator(const Replicator&) = delete;
  Replicator& operator=(const Replicator&) = delete;
  void Start();
  void Join();
  ReplicaStatus Status() const;

 private:
  void Run();
  // Reads the bytes after the position under the log's lock, checking first
  // that the file is still the one the position belongs to. False when the
  // log cannot be read now.
  bool ReadTail(std::string* chunk);
  // After a rotation (the path now names another file) the records still
  // unread in the old file, which stays open: true with `chunk` holding at
  // least one whole record, false when none is left.
  bool DrainOldFile(const struct stat& current, std::string* chunk);
  // Keeps the file the position belongs to open, for DrainOldFile.
  void HoldOpen(int fd, const struct stat& st);
  // Sends one record until it is delivered or refused (or the process
  // stops); false only when stopping.
  bool Deliver(const std::string& dn, const std::string& type, const std::string& value, uint64_t offset);
  // Handles one complete record at the position; false when stopping.
  bool HandleRecord(std::string_view text);
  void NoteError(const std::string& error, bool retry);
  void Save();
  void SleepInterruptibly(int seconds);

  const std::string name_;
  const ReplicaAddress address_;
  const WorkerSettings settings_;
  Shared* const shared_;
  const std::string statePath_;
  LdapClient client_;
  // The log file the position belongs to, held open (-1: none).
  class HeldFile {
   public:
    HeldFile() = default;
    ~HeldFile() { Reset(-1); }
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;
    void Reset(int fd);
    int get() const { return fd_; }

   private:
    int fd_ = -1;
  } held_;
  LogPosition position_;        // worker thread only
  uint64_t savedOffset_ = UINT64_MAX;
  std::chrono::steady_clock::time_point lastSave_;
  bool failing_ = false;        // a connection failure was logged and not yet cleared
  mutable std::mutex statusLock_;
  ReplicaStatus status_;
  std::thread thread_;
};

}  // namespace kryrepl
