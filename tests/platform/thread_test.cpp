#include "platform/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace {

using platform::kInfinite;
using platform::Thread;

uint32_t ReturnArgument(void* argument) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(argument));
}

// A gate a thread blocks on until the test opens it; also tells when the
// thread's procedure has finished.
struct Gate {
  std::mutex mutex;
  std::condition_variable changed;
  bool open = false;
  bool entered = false;
  bool finished = false;

  void Open() {
    std::lock_guard<std::mutex> hold(mutex);
    open = true;
    changed.notify_all();
  }
  void AwaitEntered() {
    std::unique_lock<std::mutex> hold(mutex);
    changed.wait(hold, [this] { return entered; });
  }
  void AwaitFinished() {
    std::unique_lock<std::mutex> hold(mutex);
    changed.wait(hold, [this] { return finished; });
  }
};

uint32_t BlockOnGate(void* argument) {
  auto* gate = static_cast<Gate*>(argument);
  std::unique_lock<std::mutex> hold(gate->mutex);
  gate->entered = true;
  gate->changed.notify_all();
  gate->changed.wait(hold, [gate] { return gate->open; });
  gate->finished = true;
  gate->changed.notify_all();
  return 77;
}

TEST(Thread, ExitCodeIsKeptAndTheObjectCanStartAgain) {
  Thread thread;
  EXPECT_FALSE(thread.Started());
  ASSERT_TRUE(thread.Start(ReturnArgument, reinterpret_cast<void*>(uintptr_t{42})));
  EXPECT_TRUE(thread.Started());
  EXPECT_EQ(thread.Wait(kInfinite), Thread::WaitResult::Ended);
  EXPECT_EQ(thread.ExitCode(), 42u);
  EXPECT_FALSE(thread.Started());

  ASSERT_TRUE(thread.Start(ReturnArgument, reinterpret_cast<void*>(uintptr_t{0xFFFFFFFEu})));
  // A generous limit still ends as soon as the thread does.
  EXPECT_EQ(thread.Wait(60000), Thread::WaitResult::Ended);
  EXPECT_EQ(thread.ExitCode(), 0xFFFFFFFEu);
}

TEST(Thread, WaitTimesOutWhileBlockedAndEndsOnceReleased) {
  Gate gate;
  Thread thread;
  ASSERT_TRUE(thread.Start(BlockOnGate, &gate));
  gate.AwaitEntered();
  EXPECT_EQ(thread.Wait(0), Thread::WaitResult::TimedOut);
  EXPECT_EQ(thread.Wait(20), Thread::WaitResult::TimedOut);
  EXPECT_TRUE(thread.Started());
  // Still held: a second Start is refused.
  EXPECT_FALSE(thread.Start(ReturnArgument, nullptr));
  gate.Open();
  EXPECT_EQ(thread.Wait(kInfinite), Thread::WaitResult::Ended);
  EXPECT_EQ(thread.ExitCode(), 77u);
}

TEST(Thread, WaitWithoutThreadFailsAndTerminateIsUnsupported) {
  Thread thread;
  EXPECT_EQ(thread.Wait(0), Thread::WaitResult::Failed);
  EXPECT_EQ(thread.Wait(kInfinite), Thread::WaitResult::Failed);
  EXPECT_FALSE(thread.Terminate());
  EXPECT_FALSE(thread.Start(nullptr, nullptr));
  thread.Detach();  // nothing held: no effect
  EXPECT_FALSE(thread.Started());

  ASSERT_TRUE(thread.Start(ReturnArgument, nullptr));
  ASSERT_EQ(thread.Wait(kInfinite), Thread::WaitResult::Ended);
  EXPECT_EQ(thread.Wait(0), Thread::WaitResult::Failed);  // already joined
}

// The gate outlives the detached threads; under ASan a leak of the shared
// state or a write after its free would show.
TEST(Thread, DetachedAndDestroyedThreadsRunOnAndCleanUp) {
  auto detached = std::make_shared<Gate>();
  Thread thread;
  ASSERT_TRUE(thread.Start(BlockOnGate, detached.get()));
  detached->AwaitEntered();
  thread.Detach();
  EXPECT_FALSE(thread.Started());
  EXPECT_EQ(thread.Wait(0), Thread::WaitResult::Failed);

  auto destroyed = std::make_shared<Gate>();
  {
    Thread scoped;
    ASSERT_TRUE(scoped.Start(BlockOnGate, destroyed.get()));
    destroyed->AwaitEntered();
  }

  detached->Open();
  destroyed->Open();
  detached->AwaitFinished();
  destroyed->AwaitFinished();

  // The object is free for a new thread right after Detach.
  ASSERT_TRUE(thread.Start(ReturnArgument, reinterpret_cast<void*>(uintptr_t{5})));
  EXPECT_EQ(thread.Wait(kInfinite), Thread::WaitResult::Ended);
  EXPECT_EQ(thread.ExitCode(), 5u);
}

// A thread that ends before anyone waits, then detached: the last reference
// is dropped by the object instead of the thread.
TEST(Thread, DetachAfterTheThreadEnded) {
  Gate gate;
  gate.open = true;
  Thread thread;
  ASSERT_TRUE(thread.Start(BlockOnGate, &gate));
  gate.AwaitFinished();
  thread.Detach();
  EXPECT_FALSE(thread.Started());
}

std::atomic<int> runs{0};

uint32_t CountRun(void* argument) {
  runs.fetch_add(1);
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(argument)) * 3u;
}

TEST(Thread, ManyThreadsAtOnce) {
  constexpr int kCount = 16;
  Thread threads[kCount];
  runs = 0;
  for (int i = 0; i < kCount; ++i)
    ASSERT_TRUE(threads[i].Start(CountRun, reinterpret_cast<void*>(uintptr_t(i))));
  for (int i = kCount - 1; i >= 0; --i) {
    ASSERT_EQ(threads[i].Wait(kInfinite), Thread::WaitResult::Ended);
    EXPECT_EQ(threads[i].ExitCode(), static_cast<uint32_t>(i) * 3u);
  }
  EXPECT_EQ(runs.load(), kCount);
}

}  // namespace
