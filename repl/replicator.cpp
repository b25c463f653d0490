#include "repl/replicator.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>

#include "log/eventlog.h"
#include "repl/record.h"
#include "runtime/lockfile.h"

namespace kryrepl {

namespace {

constexpr size_t kMaxChunk = 8u << 20;  // bytes read per pass
constexpr size_t kHeadBytes = 512;      // bytes of the first record that identify a log

bool Delivered(int rc) { return rc == 0 || rc == 68 || rc == 49; }
// Busy, unavailable and out of memory pass; anything else is about the record.
bool Transient(int rc) { return rc < 0 || rc == 51 || rc == 52 || rc == 90; }

// The identity hash of a log that starts with `head`: its first record, or
// its first kHeadBytes bytes when that record is longer; empty while
// neither is there.
std::string HeadHash(const std::string& head) {
  const size_t first = CompleteRecordLength(head);
  if (first > 0) return HashHex(std::string_view(head).substr(0, std::min(first, kHeadBytes)));
  if (head.size() >= kHeadBytes) return HashHex(std::string_view(head).substr(0, kHeadBytes));
  return std::string();
}

}  // namespace

void Shared::Notify() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++generation_;
  cv_.notify_all();
}

void Shared::RequestStop() {
  std::lock_guard<std::mutex> lock(mutex_);
  stop_ = true;
  ++generation_;
  cv_.notify_all();
}

uint64_t Shared::Wait(uint64_t seen, int ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return generation_ != seen || stop_.load(); });
  return generation_;
}

uint64_t Shared::generation() {
  std::lock_guard<std::mutex> lock(mutex_);
  return generation_;
}

bool Shared::FirstReport(uint64_t inode, uint64_t offset) {
  std::lock_guard<std::mutex> lock(mutex_);
  return reported_.insert({inode, offset}).second;
}

Replicator::Replicator(std::string name, ReplicaAddress address, const WorkerSettings& settings, Shared* shared)
    : name_(std::move(name)),
      address_(std::move(address)),
      settings_(settings),
      shared_(shared),
      statePath_(StateFilePath(settings.stateDir, name_)) {
  status_.name = name_;
  if (LoadPosition(statePath_, &position_)) savedOffset_ = position_.offset;
  status_.offset = position_.offset;
}

Replicator::~Replicator() { Join(); }

void Replicator::Start() { thread_ = std::thread([this] { Run(); }); }

void Replicator::Join() {
  if (thread_.joinable()) thread_.join();
}

ReplicaStatus Replicator::Status() const {
  std::lock_guard<std::mutex> lock(statusLock_);
  return status_;
}

void Replicator::Run() {
  uint64_t seen = shared_->generation();
  while (!shared_->stopping()) {
    std::string chunk;
    bool progressed = false;
    if (ReadTail(&chunk)) {
      size_t used = 0;
      while (size_t len = CompleteRecordLength(std::string_view(chunk).substr(used))) {
        if (!HandleRecord(std::string_view(chunk).substr(used, len))) break;
        used += len;
        position_.offset += len;
        progressed = true;
        if (std::chrono::steady_clock::now() - lastSave_ > std::chrono::milliseconds(500)) Save();
        {
          std::lock_guard<std::mutex> lock(statusLock_);
          status_.offset = position_.offset;
        }
      }
      Save();
    }
    if (shared_->stopping()) break;
    // A full chunk leaves more to read at once; otherwise wait for news.
    if (!progressed || chunk.size() < kMaxChunk) seen = shared_->Wait(seen, 1000);
  }
  Save();
  client_.Close();
}

bool Replicator::ReadTail(std::string* chunk) {
  // No log yet (the server has written nothing): nothing to read or report.
  if (::access(settings_.logFile.c_str(), F_OK) != 0) return false;
  kry::LockFileHandle handle;
  std::FILE* f = kry::lock_fopen(settings_.logFile.c_str(), "rb", 1, &handle);
  if (!f) return false;
  struct stat st {};
  std::string head(kHeadBytes * 2, '\0');
  bool ok = fstat(fileno(f), &st) == 0;
  if (ok) {
    head.resize(std::fread(head.data(), 1, head.size(), f));
    const std::string hash = HeadHash(head);
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    const bool fresh = position_.device == 0 && position_.inode == 0;
    const bool same = position_.device == st.st_dev && position_.inode == st.st_ino && size >= position_.offset &&
                      (position_.headHash.empty() || position_.headHash == hash);
    if (!fresh && !same && DrainOldFile(st, chunk)) {
      kry::lock_fclose(f, &handle);
      return true;
    }
    if (!fresh && !same)
      kry::LogError(kry::EVENTLOG_WARNING,
                    "Replication log (%s) was truncated, replaced or rotated; replica %s starts again at its "
                    "beginning (stored position %llu).",
                    settings_.logFile.c_str(), name_.c_str(), static_cast<unsigned long long>(position_.offset));
    if (!same) {
      position_ = LogPosition{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), "", 0};
      savedOffset_ = UINT64_MAX;
    }
    if (position_.headHash.empty()) position_.headHash = hash;
    chunk->resize(static_cast<size_t>(std::min<uint64_t>(size - std::min(size, position_.offset), kMaxChunk)));
    ok = std::fseek(f, static_cast<long>(position_.offset), SEEK_SET) == 0;
    if (ok) chunk->resize(std::fread(chunk->data(), 1, chunk->size(), f));
    HoldOpen(fileno(f), st);
  }
  kry::lock_fclose(f, &handle);
  return ok;
}

bool Replicator::DrainOldFile(const struct stat& current, std::string* chunk) {
  struct stat old {};
  if (held_.get() < 0 || fstat(held_.get(), &old) != 0) return false;
  // Only a file that was moved away or deleted; one truncated in place has
  // nothing left to read.
  if (old.st_ino == current.st_ino && old.st_dev == current.st_dev) return false;
  if (static_cast<uint64_t>(old.st_dev) != position_.device || static_cast<uint64_t>(old.st_ino) != position_.inode)
    return false;
  if (static_cast<uint64_t>(old.st_size) <= position_.offset) return false;
  chunk->resize(static_cast<size_t>(std::min<uint64_t>(static_cast<uint64_t>(old.st_size) - position_.offset, kMaxChunk)));
  const ssize_t n = ::pread(held_.get(), chunk->data(), chunk->size(), static_cast<off_t>(position_.offset));
  chunk->resize(n > 0 ? static_cast<size_t>(n) : 0);
  return CompleteRecordLength(*chunk) > 0;
}

void Replicator::HoldOpen(int fd, const struct stat& st) {
  struct stat held {};
  if (held_.get() >= 0 && fstat(held_.get(), &held) == 0 && held.st_ino == st.st_ino && held.st_dev == st.st_dev)
    return;
  held_.Reset(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
}

void Replicator::HeldFile::Reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

bool Replicator::HandleRecord(std::string_view text) {
  LogRecord record;
  const ParseStatus parsed = ParseRecord(text, &record);
  if (parsed != ParseStatus::kOk) {
    if (shared_->FirstReport(position_.inode, position_.offset))
      kry::LogError(kry::EVENTLOG_ERROR, "Replication log (%s): record %s at position %llu skipped.",
                    settings_.logFile.c_str(), ParseStatusText(parsed),
                    static_cast<unsigned long long>(position_.offset));
    return true;
  }
  if (!RecordNamesReplica(record, name_)) return true;
  return Deliver(record.dn, record.type, record.value, position_.offset);
}

bool Replicator::Deliver(const std::string& dn, const std::string& type, const std::string& value,
                         uint64_t offset) {
  int backoff = 1;
  while (!shared_->stopping()) {
    int rc = -1;
    if (client_.connected() ||
        client_.Open(address_.host, address_.port, address_.tls, settings_.tls, settings_.timeoutMs,
                     settings_.source))
      rc = client_.Add(dn, type, value);
    if (Delivered(rc)) {
      if (failing_)
        kry::LogError(kry::EVENTLOG_INFO, "Replica %s is reachable again.", name_.c_str());
      failing_ = false;
      std::lock_guard<std::mutex> lock(statusLock_);
      ++status_.delivered;
      status_.connected = true;
      return true;
    }
    if (!Transient(rc)) {
      kry::LogError(kry::EVENTLOG_ERROR, "Replica %s refused the record at position %llu of %s: result %d (%s).",
                    name_.c_str(), static_cast<unsigned long long>(offset), settings_.logFile.c_str(), rc,
                    client_.error().c_str());
      NoteError("result " + std::to_string(rc) + " at position " + std::to_string(offset), false);
      return true;
    }
    const std::string why = rc < 0 ? client_.error() : "result " + std::to_string(rc);
    if (!failing_)
      kry::LogError(kry::EVENTLOG_WARNING, "Replica %s: %s; retrying the record at position %llu.", name_.c_str(),
                    why.c_str(), static_cast<unsigned long long>(offset));
    failing_ = true;
    NoteError(why, true);
    client_.Close();
    Save();  // records acknowledged before this one stay acknowledged
    SleepInterruptibly(backoff);
    backoff = std::min(backoff * 2, settings_.maxBackoffSeconds);
  }
  return false;
}

void Replicator::NoteError(const std::string& error, bool retry) {
  std::lock_guard<std::mutex> lock(statusLock_);
  status_.lastError = error;
  status_.lastErrorTime = static_cast<long>(std::time(nullptr));
  if (retry) {
    ++status_.retried;
    status_.connected = false;
  } else {
    ++status_.refused;
  }
}

void Replicator::Save() {
  if (position_.offset == savedOffset_ && position_.inode != 0) return;
  if (position_.device == 0 && position_.inode == 0) return;
  if (const int err = SavePosition(statePath_, position_)) {
    kry::LogError(kry::EVENTLOG_ERROR, "Cannot store the position of replica %s in %s: error %d.", name_.c_str(),
                  statePath_.c_str(), err);
    return;
  }
  savedOffset_ = position_.offset;
  lastSave_ = std::chrono::steady_clock::now();
}

void Replicator::SleepInterruptibly(int seconds) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  uint64_t seen = shared_->generation();
  while (!shared_->stopping() && std::chrono::steady_clock::now() < until) seen = shared_->Wait(seen, 200);
}

}  // namespace kryrepl
