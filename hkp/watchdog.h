// Whole-request deadlines on the HKP port. The HTTP library's own time-out
// restarts with every byte, so a client that trickles its headers a byte at
// a time would hold its connection for ever; here each request gets
// "HKPRequestTimeout" seconds from the connection's start (or the end of
// the previous answer) until it has arrived whole. A connection past its
// deadline has its socket shut down, which ends its thread's wait.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <thread>

#include "util/thread.h"

namespace kry {

class RequestWatchdog {
 public:
  RequestWatchdog() = default;
  ~RequestWatchdog() { Stop(); }
  RequestWatchdog(const RequestWatchdog&) = delete;
  RequestWatchdog& operator=(const RequestWatchdog&) = delete;

  // Starts checking every connection against `seconds`; Stop ends the
  // thread. Called by one thread at a time.
  void Start(int seconds);
  void Stop();

  // A connection by a key of the caller's, with its socket; its first
  // request's clock starts now. Remove must come before the socket closes.
  void Add(const void* key, int fd, uint32_t connid);
  void Remove(const void* key);
  // The request has arrived whole (its clock stops while it is answered).
  void Answering(const void* key);
  // The answer is done: the next request's clock starts now.
  void NextRequest(const void* key);

 private:
  using Clock = std::chrono::steady_clock;
  struct Watched {
    int fd = -1;
    uint32_t connid = 0;
    Clock::time_point since;
    bool answering = false;
    bool cut = false;
  };
  void Run();
  void CutOverdue(Clock::time_point now);

  Mutex lock_;
  std::condition_variable wake_;
  std::map<const void*, Watched> watched_;
  std::chrono::seconds limit_{30};
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace kry
