#include "platform/named_mutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>

#include "platform/thread.h"
#include "test_os.h"

namespace {

using platform::kInfinite;
using platform::NamedMutex;
using platform::Thread;
using Result = NamedMutex::WaitResult;

// Unique per process and test, so parallel test runs never share a mutex.
std::string UniqueName(const char* suffix = "") {
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  return "q7730-test-" + std::to_string(test_os::ProcessId()) + "-" + test->name() + suffix;
}

// Runs steps on a helper thread, one at a time, at the test's request.
class Helper {
 public:
  Helper() { thread_.Start(Loop, this); }
  ~Helper() {
    Run([] { return 0; }, true);
    thread_.Wait(kInfinite);
  }

  template <typename Step>
  int Run(Step step, bool last = false) {
    std::unique_lock<std::mutex> hold(mutex_);
    step_ = step;
    last_ = last;
    pending_ = true;
    changed_.notify_all();
    changed_.wait(hold, [this] { return !pending_; });
    return result_;
  }

  // Starts a step without waiting for it; Collect gets its result.
  template <typename Step>
  void Post(Step step) {
    std::lock_guard<std::mutex> hold(mutex_);
    step_ = step;
    pending_ = true;
    changed_.notify_all();
  }
  int Collect() {
    std::unique_lock<std::mutex> hold(mutex_);
    changed_.wait(hold, [this] { return !pending_; });
    return result_;
  }

 private:
  static uint32_t Loop(void* raw) {
    auto* self = static_cast<Helper*>(raw);
    std::unique_lock<std::mutex> hold(self->mutex_);
    for (;;) {
      self->changed_.wait(hold, [self] { return self->pending_; });
      std::function<int()> step = self->step_;
      hold.unlock();
      int result = step();
      hold.lock();
      self->result_ = result;
      self->pending_ = false;
      self->changed_.notify_all();
      if (self->last_) return 0;
    }
  }

  Thread thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::function<int()> step_;
  bool pending_ = false;
  bool last_ = false;
  int result_ = 0;
};

int AsInt(Result r) { return static_cast<int>(r); }

TEST(NamedMutex, ReportsWhetherAnotherHandleWasOpen) {
  std::string name = UniqueName();
  bool existed = true;
  NamedMutex first, second, third, fresh;
  ASSERT_TRUE(first.Create(name.c_str(), false, &existed));
  EXPECT_FALSE(existed);
  ASSERT_TRUE(second.Create(name.c_str(), false, &existed));
  EXPECT_TRUE(existed);
  first.Close();
  EXPECT_FALSE(first.IsOpen());
  ASSERT_TRUE(third.Create(name.c_str(), false, &existed));
  EXPECT_TRUE(existed);  // second is still open
  second.Close();
  third.Close();
  ASSERT_TRUE(fresh.Create(name.c_str(), false, &existed));
  EXPECT_FALSE(existed);
  ASSERT_TRUE(fresh.Create(name.c_str(), false, nullptr));  // reopening is allowed
}

TEST(NamedMutex, AnyNameBytesAndNoCollisions) {
  if (!test_os::NamedMutexOfThisSystem().anyNameBytes) GTEST_SKIP() << "names here are Windows object names";
  std::string base = UniqueName("\\\\?\\usb#vid_7a3d&pid_00b4#6&1a2b3c4d&0&1#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}/..");
  std::string longName = base + std::string(600, 'z');
  const std::string names[] = {base + "1", base + "2", ".." + base, longName, longName + "y",
                               base + "\xFF\x01"};
  NamedMutex handles[6];
  for (int i = 0; i < 6; ++i) {
    bool existed = true;
    ASSERT_TRUE(handles[i].Create(names[i].c_str(), false, &existed)) << i;
    EXPECT_FALSE(existed) << i;
  }
  // Each is its own mutex: all may be owned at once.
  for (NamedMutex& handle : handles) EXPECT_EQ(handle.Wait(0), Result::Obtained);
  for (NamedMutex& handle : handles) EXPECT_TRUE(handle.Release());
}

TEST(NamedMutex, InitialOwnerOnlyWhenThisCallCreatedIt) {
  if (!test_os::NamedMutexOfThisSystem().handlesOfOneThreadExclude) GTEST_SKIP() << "one thread owns through every handle";
  std::string name = UniqueName();
  NamedMutex creator, opener;
  bool existed = true;
  ASSERT_TRUE(creator.Create(name.c_str(), true, &existed));
  EXPECT_FALSE(existed);
  ASSERT_TRUE(opener.Create(name.c_str(), true, &existed));
  EXPECT_TRUE(existed);
  EXPECT_FALSE(opener.Release());  // asked for, but not given

  Helper other;
  EXPECT_EQ(other.Run([&] { return AsInt(opener.Wait(0)); }), AsInt(Result::TimedOut));
  EXPECT_TRUE(creator.Release());
  EXPECT_FALSE(creator.Release());
  EXPECT_EQ(other.Run([&] { return AsInt(opener.Wait(0)); }), AsInt(Result::Obtained));
  EXPECT_EQ(other.Run([&] { return opener.Release() ? 1 : 0; }), 1);
}

TEST(NamedMutex, TimesOutWhileAnotherThreadOwnsIt) {
  std::string name = UniqueName();
  NamedMutex mine, theirs;
  ASSERT_TRUE(mine.Create(name.c_str(), false, nullptr));
  ASSERT_TRUE(theirs.Create(name.c_str(), false, nullptr));
  Helper other;
  ASSERT_EQ(other.Run([&] { return AsInt(theirs.Wait(kInfinite)); }), AsInt(Result::Obtained));

  EXPECT_EQ(mine.Wait(0), Result::TimedOut);  // through another handle
  EXPECT_EQ(mine.Wait(30), Result::TimedOut);
  EXPECT_EQ(theirs.Wait(30), Result::TimedOut);  // through the owner's own handle
  EXPECT_FALSE(theirs.Release());  // not the owner
  EXPECT_FALSE(mine.Release());

  EXPECT_EQ(other.Run([&] { return theirs.Release() ? 1 : 0; }), 1);
  EXPECT_EQ(theirs.Wait(0), Result::Obtained);
  EXPECT_TRUE(theirs.Release());
  EXPECT_EQ(mine.Wait(0), Result::Obtained);
  EXPECT_TRUE(mine.Release());
}

TEST(NamedMutex, TwoHandlesOfOneThreadExcludeEachOther) {
  if (!test_os::NamedMutexOfThisSystem().handlesOfOneThreadExclude) GTEST_SKIP() << "one thread owns through every handle";
  std::string name = UniqueName();
  NamedMutex first, second;
  ASSERT_TRUE(first.Create(name.c_str(), false, nullptr));
  ASSERT_TRUE(second.Create(name.c_str(), false, nullptr));
  ASSERT_EQ(first.Wait(0), Result::Obtained);
  EXPECT_EQ(second.Wait(0), Result::TimedOut);
  EXPECT_TRUE(first.Release());
  EXPECT_EQ(second.Wait(0), Result::Obtained);
  EXPECT_TRUE(second.Release());
}

TEST(NamedMutex, OwnerMayWaitAgainAndReleasesAsOften) {
  if (!test_os::NamedMutexOfThisSystem().handlesOfOneThreadExclude) GTEST_SKIP() << "one thread owns through every handle";
  std::string name = UniqueName();
  NamedMutex mutex, other;
  ASSERT_TRUE(mutex.Create(name.c_str(), true, nullptr));
  ASSERT_TRUE(other.Create(name.c_str(), false, nullptr));
  EXPECT_EQ(mutex.Wait(0), Result::Obtained);
  EXPECT_EQ(mutex.Wait(kInfinite), Result::Obtained);
  EXPECT_TRUE(mutex.Release());
  EXPECT_TRUE(mutex.Release());
  EXPECT_EQ(other.Wait(0), Result::TimedOut);  // one count still held
  EXPECT_TRUE(mutex.Release());
  EXPECT_FALSE(mutex.Release());
  EXPECT_EQ(other.Wait(0), Result::Obtained);  // released cleanly: not abandoned
  EXPECT_TRUE(other.Release());
}

TEST(NamedMutex, WaitWithoutLimitObtainsOnceTheOwnerReleases) {
  std::string name = UniqueName();
  NamedMutex holder, waiter;
  ASSERT_TRUE(holder.Create(name.c_str(), true, nullptr));
  ASSERT_TRUE(waiter.Create(name.c_str(), false, nullptr));
  Helper other;
  other.Post([&] {
    Result r = waiter.Wait(kInfinite);
    if (r == Result::Obtained) waiter.Release();
    return AsInt(r);
  });
  EXPECT_EQ(holder.Wait(0), Result::Obtained);  // still ours meanwhile
  EXPECT_TRUE(holder.Release());
  EXPECT_TRUE(holder.Release());
  EXPECT_EQ(other.Collect(), AsInt(Result::Obtained));
}

TEST(NamedMutex, ClosingWhileOwnedAbandonsIt) {
  if (!test_os::NamedMutexOfThisSystem().closeWhileOwnedAbandons) GTEST_SKIP() << "Close gives back what it obtained";
  std::string name = UniqueName();
  NamedMutex owner, next;
  ASSERT_TRUE(owner.Create(name.c_str(), true, nullptr));
  ASSERT_TRUE(next.Create(name.c_str(), false, nullptr));
  owner.Close();
  EXPECT_EQ(next.Wait(0), Result::Abandoned);
  EXPECT_TRUE(next.Release());  // abandoned means owned now
  EXPECT_EQ(next.Wait(0), Result::Obtained);
  EXPECT_TRUE(next.Release());

  // Once every handle is gone the mutex starts afresh, not abandoned.
  ASSERT_TRUE(owner.Create(name.c_str(), true, nullptr));
  next.Close();
  owner.Close();
  bool existed = true;
  ASSERT_TRUE(next.Create(name.c_str(), false, &existed));
  EXPECT_FALSE(existed);
  EXPECT_EQ(next.Wait(0), Result::Obtained);
  EXPECT_TRUE(next.Release());
}

TEST(NamedMutex, ClosedOrNeverCreatedFails) {
  NamedMutex mutex;
  EXPECT_FALSE(mutex.IsOpen());
  EXPECT_EQ(mutex.Wait(0), Result::Failed);
  EXPECT_EQ(mutex.Wait(kInfinite), Result::Failed);
  EXPECT_FALSE(mutex.Release());
  bool existed = true;
  EXPECT_FALSE(mutex.Create(nullptr, false, &existed));
  EXPECT_FALSE(existed);
  EXPECT_FALSE(mutex.IsOpen());
  ASSERT_TRUE(mutex.Create(UniqueName().c_str(), false, nullptr));
  EXPECT_TRUE(mutex.IsOpen());
  mutex.Close();
  mutex.Close();
  EXPECT_EQ(mutex.Wait(0), Result::Failed);
}

}  // namespace
