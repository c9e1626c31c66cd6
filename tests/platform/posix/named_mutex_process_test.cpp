// The named mutex between processes, with fork: POSIX only.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "platform/named_mutex.h"
#include "platform/thread.h"

namespace {

using platform::kInfinite;
using platform::NamedMutex;
using Result = NamedMutex::WaitResult;

std::string UniqueName() {
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  return "q7730-test-" + std::to_string(getpid()) + "-" + test->name();
}

TEST(NamedMutex, ProcessThatDiesOwningAbandonsIt) {
  std::string name = UniqueName();
  NamedMutex mine;
  ASSERT_TRUE(mine.Create(name.c_str(), false, nullptr));
  pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    NamedMutex theirs;
    bool existed = false;
    if (!theirs.Create(name.c_str(), false, &existed) || !existed) _exit(2);
    if (theirs.Wait(kInfinite) != Result::Obtained) _exit(3);
    _exit(0);  // ends owning it
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(mine.Wait(0), Result::Abandoned);
  EXPECT_TRUE(mine.Release());
  EXPECT_EQ(mine.Wait(0), Result::Obtained);
  EXPECT_TRUE(mine.Release());
}

TEST(NamedMutex, ProcessesExcludeEachOther) {
  std::string name = UniqueName();
  NamedMutex mine;
  ASSERT_TRUE(mine.Create(name.c_str(), true, nullptr));
  pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    NamedMutex theirs;
    if (!theirs.Create(name.c_str(), false, nullptr)) _exit(2);
    if (theirs.Wait(0) != Result::TimedOut) _exit(3);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(mine.Release());
}

}  // namespace
