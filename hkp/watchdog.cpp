#include "hkp/watchdog.h"

#include <sys/socket.h>

#include <algorithm>

#include "log/eventlog.h"

namespace kry {

void RequestWatchdog::Start(int seconds) {
  Stop();
  {
    MutexGuard guard(lock_);
    limit_ = std::chrono::seconds(std::max(1, seconds));
    stop_ = false;
  }
  thread_ = std::thread([this] { Run(); });
}

void RequestWatchdog::Stop() {
  {
    MutexGuard guard(lock_);
    stop_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void RequestWatchdog::Add(const void* key, int fd, uint32_t connid) {
  MutexGuard guard(lock_);
  Watched& w = watched_[key];
  w.fd = fd;
  w.connid = connid;
  w.since = Clock::now();
}

void RequestWatchdog::Remove(const void* key) {
  MutexGuard guard(lock_);
  watched_.erase(key);
}

void RequestWatchdog::Answering(const void* key) {
  MutexGuard guard(lock_);
  auto it = watched_.find(key);
  if (it != watched_.end()) it->second.answering = true;
}

void RequestWatchdog::NextRequest(const void* key) {
  MutexGuard guard(lock_);
  auto it = watched_.find(key);
  if (it == watched_.end()) return;
  it->second.answering = false;
  it->second.since = Clock::now();
}

// The caller holds lock_, so no connection can be removed (and its socket
// closed and its number reused) while its socket is shut down here.
void RequestWatchdog::CutOverdue(Clock::time_point now) {
  for (auto& [key, w] : watched_) {
    if (w.answering || w.cut || w.fd < 0 || now - w.since < limit_) continue;
    w.cut = true;
    ::shutdown(w.fd, SHUT_RDWR);
    LogError(EVENTLOG_VERBOSE, "HKP conn=%d closed: its request did not arrive whole within %d seconds.",
             static_cast<int>(w.connid), static_cast<int>(limit_.count()));
  }
}

void RequestWatchdog::Run() {
  MutexLock held(lock_);
  // Checked four times per limit, and at least every quarter second.
  const auto period = std::min<Clock::duration>(std::chrono::milliseconds(250), limit_ / 4);
  while (!stop_) {
    wake_.wait_for(held, period);
    if (!stop_) CutOverdue(Clock::now());
  }
}

}  // namespace kry
