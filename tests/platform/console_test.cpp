// Console output through the sink, the current directory and the small
// facts the rest of the system relies on.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <mutex>
#include <string>
#include <vector>

#include "platform/console.h"
#include "platform/filesystem.h"
#include "platform/system.h"
#include "platform/thread.h"

namespace {

struct Captured {
  std::mutex mutex;
  std::vector<std::string> pieces;
};

void Capture(const char* text, size_t length, void* context) {
  auto* captured = static_cast<Captured*>(context);
  std::lock_guard<std::mutex> hold(captured->mutex);
  captured->pieces.emplace_back(text, length);
}

class ConsoleTest : public ::testing::Test {
 protected:
  void SetUp() override { platform::SetConsoleSink(Capture, &captured_); }
  void TearDown() override { platform::SetConsoleSink(nullptr, nullptr); }
  Captured captured_;
};

TEST_F(ConsoleTest, EachPrintIsOneWholePiece) {
  platform::Print("usb_open_port = %d \n", 1000);
  platform::Print("#printer %.2d %s\n", 3, "done");
  std::string longText(2000, 'x');
  longText[511] = 'A';
  longText[512] = 'B';
  platform::Print("[%s]\n", longText.c_str());
  platform::Print("%s", "");
  ASSERT_EQ(captured_.pieces.size(), 4u);
  EXPECT_EQ(captured_.pieces[0], "usb_open_port = 1000 \n");
  EXPECT_EQ(captured_.pieces[1], "#printer 03 done\n");
  EXPECT_EQ(captured_.pieces[2], "[" + longText + "]\n");
  EXPECT_EQ(captured_.pieces[3], "");
}

uint32_t PrintMany(void* argument) {
  int id = static_cast<int>(reinterpret_cast<intptr_t>(argument));
  std::string filler(700, static_cast<char>('a' + id));
  for (int i = 0; i < 50; ++i) platform::Print("%d:%s:%d\n", id, filler.c_str(), i);
  return 0;
}

TEST_F(ConsoleTest, ThreadsNeverTearEachOthersMessages) {
  platform::Thread threads[4];
  for (int i = 0; i < 4; ++i)
    ASSERT_TRUE(threads[i].Start(PrintMany, reinterpret_cast<void*>(intptr_t{i})));
  for (platform::Thread& thread : threads)
    ASSERT_EQ(thread.Wait(platform::kInfinite), platform::Thread::WaitResult::Ended);
  ASSERT_EQ(captured_.pieces.size(), 200u);
  int next[4] = {0, 0, 0, 0};
  for (const std::string& piece : captured_.pieces) {
    int id = piece[0] - '0';
    ASSERT_GE(id, 0);
    ASSERT_LT(id, 4);
    std::string expected = std::to_string(id) + ":" +
                           std::string(700, static_cast<char>('a' + id)) + ":" +
                           std::to_string(next[id]++) + "\n";
    EXPECT_EQ(piece, expected);
  }
}

TEST(Filesystem, CurrentDirectoryAndItsLimits) {
  char expected[PATH_MAX];
  ASSERT_NE(getcwd(expected, sizeof expected), nullptr);
  size_t length = std::string(expected).size();

  char buffer[PATH_MAX];
  EXPECT_EQ(platform::CurrentDirectory(buffer, sizeof buffer), length);
  EXPECT_STREQ(buffer, expected);
  EXPECT_EQ(platform::CurrentDirectory(buffer, length + 1), length);  // just fits

  buffer[0] = 'x';
  EXPECT_EQ(platform::CurrentDirectory(buffer, length), 0u);  // no room for the NUL
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(platform::CurrentDirectory(buffer, 0), 0u);
  // '/' is taken everywhere, and the separator written is one that is read.
  EXPECT_TRUE(platform::IsPathSeparator('/'));
  EXPECT_TRUE(platform::IsPathSeparator(platform::PathSeparator()));
  EXPECT_FALSE(platform::IsPathSeparator('.'));
  EXPECT_TRUE(platform::IsNtPlatform());
}

}  // namespace
