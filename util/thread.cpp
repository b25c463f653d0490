#include "util/thread.h"

#include <atomic>
#include <chrono>

namespace kry {

// glibc's adaptive kind spins (up to its tunable count) while the holder
// runs, then sleeps on the futex as a plain mutex does.
SpinningMutex::SpinningMutex() {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ADAPTIVE_NP);
  pthread_mutex_init(&m_, &attr);
  pthread_mutexattr_destroy(&attr);
}

SpinningMutex::~SpinningMutex() { pthread_mutex_destroy(&m_); }

void SpinningMutex::lock() { pthread_mutex_lock(&m_); }

void SpinningMutex::unlock() { pthread_mutex_unlock(&m_); }

bool SpinningMutex::try_lock() { return pthread_mutex_trylock(&m_) == 0; }

void AutoResetEvent::Set() {
  {
    std::lock_guard<std::mutex> g(m_);
    signalled_ = true;
  }
  cv_.notify_one();
}

void AutoResetEvent::Wait() {
  std::unique_lock<std::mutex> l(m_);
  cv_.wait(l, [this] { return signalled_; });
  signalled_ = false;
}

bool AutoResetEvent::WaitFor(int64_t ms) {
  std::unique_lock<std::mutex> l(m_);
  if (!cv_.wait_for(l, std::chrono::milliseconds(ms), [this] { return signalled_; })) return false;
  signalled_ = false;
  return true;
}

void ManualResetEvent::Set() {
  {
    std::lock_guard<std::mutex> g(m_);
    signalled_ = true;
  }
  cv_.notify_all();
}

void ManualResetEvent::Reset() {
  std::lock_guard<std::mutex> g(m_);
  signalled_ = false;
}

bool ManualResetEvent::IsSet() {
  std::lock_guard<std::mutex> g(m_);
  return signalled_;
}

void ManualResetEvent::Wait() {
  std::unique_lock<std::mutex> l(m_);
  cv_.wait(l, [this] { return signalled_; });
}

bool ManualResetEvent::WaitFor(int64_t ms) {
  std::unique_lock<std::mutex> l(m_);
  return cv_.wait_for(l, std::chrono::milliseconds(ms), [this] { return signalled_; });
}

bool Semaphore::Release() {
  {
    std::lock_guard<std::mutex> g(m_);
    if (count_ >= max_) return false;
    ++count_;
  }
  cv_.notify_one();
  return true;
}

void Semaphore::Acquire() {
  std::unique_lock<std::mutex> l(m_);
  cv_.wait(l, [this] { return count_ > 0; });
  --count_;
}

bool Semaphore::AcquireFor(int64_t ms) {
  std::unique_lock<std::mutex> l(m_);
  if (!cv_.wait_for(l, std::chrono::milliseconds(ms), [this] { return count_ > 0; })) return false;
  --count_;
  return true;
}

uint32_t CurrentThreadId() {
  static std::atomic<uint32_t> next{1};
  thread_local uint32_t id = next.fetch_add(1);
  return id;
}

}  // namespace kry
