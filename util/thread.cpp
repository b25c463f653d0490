#include "util/thread.h"

#include <atomic>
#include <chrono>

namespace kry {

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
