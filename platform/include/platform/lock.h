// Re-entrant in-process lock (the library lock, WriteLock, the table lock),
// and an event that threads of one process wait for.
#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace platform {

class RecursiveLock {
 public:
  void Enter() { mutex_.lock(); }
  // true: entered (Leave once as for Enter); false: another thread holds it.
  bool TryEnter() { return mutex_.try_lock(); }
  void Leave() { mutex_.unlock(); }

 private:
  std::recursive_mutex mutex_;
};

class LockHolder {
 public:
  explicit LockHolder(RecursiveLock& lock) : lock_(lock) { lock_.Enter(); }
  ~LockHolder() { lock_.Leave(); }
  LockHolder(const LockHolder&) = delete;
  LockHolder& operator=(const LockHolder&) = delete;

 private:
  RecursiveLock& lock_;
};

// Manual-reset event: once Set, every Wait returns at once until Reset.
class Event {
 public:
  void Set() {
    std::lock_guard<std::mutex> hold(mutex_);
    set_ = true;
    changed_.notify_all();
  }
  void Reset() {
    std::lock_guard<std::mutex> hold(mutex_);
    set_ = false;
  }
  // true: set (at once or within timeoutMs). false: the time ran out.
  bool Wait(uint32_t timeoutMs) {
    std::unique_lock<std::mutex> hold(mutex_);
    return changed_.wait_for(hold, std::chrono::milliseconds(timeoutMs), [this] { return set_; });
  }
  bool IsSet() {
    std::lock_guard<std::mutex> hold(mutex_);
    return set_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool set_ = false;
};

}  // namespace platform
