#include "device_hold.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>

#include "device_table.h"

namespace wirelet {

using platform::NamedMutex;

namespace {

// Beyond its own wait, how long the holder may take to answer or to end.
constexpr uint32_t kHolderGraceMs = 5000;

}  // namespace

// Counted by the hold and its thread: a thread left to end by itself frees it.
struct DeviceHold::Shared {
  std::mutex mutex;  // guards answered, result and give
  std::condition_variable changed;
  char name[kPathSize] = {};
  uint32_t timeoutMs = 0;
  bool answered = false;
  NamedMutex::WaitResult result = NamedMutex::WaitResult::Failed;
  bool give = false;
  std::atomic<int> references{2};

  void Drop() {
    if (references.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }
};

DeviceHold::DeviceHold() : shared_(nullptr) {}

DeviceHold::~DeviceHold() { Give(); }

uint32_t DeviceHold::Holder(void* raw) {
  Shared* shared = static_cast<Shared*>(raw);
  {
    // A handle of its own, so the mutex belongs to this thread alone.
    NamedMutex mutex;
    NamedMutex::WaitResult got = mutex.Create(shared->name, false, nullptr)
                                     ? mutex.Wait(shared->timeoutMs)
                                     : NamedMutex::WaitResult::Failed;
    bool owns = got == NamedMutex::WaitResult::Obtained || got == NamedMutex::WaitResult::Abandoned;
    {
      std::unique_lock<std::mutex> hold(shared->mutex);
      shared->result = got;
      shared->answered = true;
      shared->changed.notify_all();
      if (owns) shared->changed.wait(hold, [shared] { return shared->give; });
    }
    if (owns) mutex.Release();
  }
  shared->Drop();
  return 0;
}

NamedMutex::WaitResult DeviceHold::Take(const char* name, uint32_t timeoutMs) {
  Give();
  if (name == nullptr || std::strlen(name) >= kPathSize) return NamedMutex::WaitResult::Failed;
  Shared* shared = new (std::nothrow) Shared;
  if (shared == nullptr) return NamedMutex::WaitResult::Failed;
  std::strcpy(shared->name, name);
  shared->timeoutMs = timeoutMs;
  if (!thread_.Start(&Holder, shared)) {
    delete shared;
    return NamedMutex::WaitResult::Failed;
  }
  shared_ = shared;
  NamedMutex::WaitResult result = NamedMutex::WaitResult::Failed;
  {
    std::unique_lock<std::mutex> hold(shared->mutex);
    if (shared->changed.wait_for(hold, std::chrono::milliseconds(uint64_t{timeoutMs} + kHolderGraceMs),
                                 [shared] { return shared->answered; }))
      result = shared->result;
  }
  if (result != NamedMutex::WaitResult::Obtained && result != NamedMutex::WaitResult::Abandoned) Give();
  return result;
}

void DeviceHold::Give() {
  if (shared_ == nullptr) return;
  {
    std::lock_guard<std::mutex> hold(shared_->mutex);
    shared_->give = true;
    shared_->changed.notify_all();
  }
  if (thread_.Wait(kHolderGraceMs) != platform::Thread::WaitResult::Ended) thread_.Detach();
  shared_->Drop();
  shared_ = nullptr;
}

}  // namespace wirelet
