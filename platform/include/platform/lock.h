// Re-entrant in-process lock (the library lock, WriteLock, the table lock).
#pragma once
#include <mutex>

namespace platform {

class RecursiveLock {
 public:
  void Enter() { mutex_.lock(); }
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

}  // namespace platform
