// Thread primitives: a mutex that waits without time limit, RAII guards,
// and a condition built on an auto-reset event (wait releases the mutex,
// waits for the event and retakes the mutex; signal sets the event, which
// wakes exactly one waiter or is kept for the next one).
#pragma once

#include <pthread.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

namespace kry {

using Mutex = std::mutex;
using MutexGuard = std::lock_guard<std::mutex>;
using MutexLock = std::unique_lock<std::mutex>;

// A mutex for short, hot critical sections shared by many threads: a
// thread that finds it held spins briefly before sleeping, since the holder
// is usually about to let go, and a sleep and wake-up cost far more than
// the section itself.
class SpinningMutex {
 public:
  SpinningMutex();
  ~SpinningMutex();
  SpinningMutex(const SpinningMutex&) = delete;
  SpinningMutex& operator=(const SpinningMutex&) = delete;

  void lock();
  void unlock();
  bool try_lock();

 private:
  pthread_mutex_t m_;
};
using SpinningGuard = std::lock_guard<SpinningMutex>;

class AutoResetEvent {
 public:
  AutoResetEvent() = default;
  AutoResetEvent(const AutoResetEvent&) = delete;
  AutoResetEvent& operator=(const AutoResetEvent&) = delete;

  void Set();
  // Waits until the event is set, then clears it.
  void Wait();
  // Waits at most `ms` milliseconds; true when the event was taken.
  bool WaitFor(int64_t ms);

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool signalled_ = false;
};

// A manual-reset event: stays set until Reset, wakes every waiter.
class ManualResetEvent {
 public:
  ManualResetEvent() = default;
  ManualResetEvent(const ManualResetEvent&) = delete;
  ManualResetEvent& operator=(const ManualResetEvent&) = delete;

  void Set();
  void Reset();
  bool IsSet();
  void Wait();
  bool WaitFor(int64_t ms);

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool signalled_ = false;
};

// Counting semaphore with a maximum count, like the start-up handshakes use.
class Semaphore {
 public:
  Semaphore(int initial, int maximum) : count_(initial), max_(maximum) {}
  Semaphore(const Semaphore&) = delete;
  Semaphore& operator=(const Semaphore&) = delete;

  // Returns false when the count is already at its maximum.
  bool Release();
  void Acquire();
  bool AcquireFor(int64_t ms);

 private:
  std::mutex m_;
  std::condition_variable cv_;
  int count_;
  int max_;
};

// Condition over a caller's mutex, built on an auto-reset event. The caller
// holds `lock` when calling Wait; it is released while waiting and retaken.
class Condition {
 public:
  void Wait(MutexLock& lock) {
    lock.unlock();
    event_.Wait();
    lock.lock();
  }
  void Signal() { event_.Set(); }

 private:
  AutoResetEvent event_;
};

// Starts `fn` on a new thread held in *t (which must not hold a running
// one). False when the system cannot create the thread, which the caller
// then reports instead of the process ending.
template <typename Fn>
bool StartThread(std::thread* t, Fn&& fn) {
  try {
    *t = std::thread(std::forward<Fn>(fn));
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

// Small numeric ID of the calling thread, stable for the thread's life.
uint32_t CurrentThreadId();

}  // namespace kry
