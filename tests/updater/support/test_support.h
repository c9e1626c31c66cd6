// Shared helpers of the updater tests: a virtual clock, console capture and
// temporary working directories.
#pragma once
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/console.h"

namespace testing_support {

// Time that moves only when somebody sleeps, so long waits take no time.
// Installed for its lifetime.
class VirtualClock : public platform::Clock {
 public:
  explicit VirtualClock(uint32_t start = 100000) : now_(start) { platform::SetClock(this); }
  ~VirtualClock() override { platform::SetClock(nullptr); }
  uint32_t Tick() override { return now_.load(); }
  void Sleep(uint32_t ms) override { now_.fetch_add(ms); }
  uint32_t Now() const { return now_.load(); }

 private:
  std::atomic<uint32_t> now_;
};

// Collects everything Print writes, one entry per message, for its lifetime.
class ConsoleCapture {
 public:
  ConsoleCapture() { platform::SetConsoleSink(&ConsoleCapture::Sink, this); }
  ~ConsoleCapture() { platform::SetConsoleSink(nullptr, nullptr); }
  std::string Text() const;
  std::vector<std::string> Messages() const;
  void Clear();

 private:
  static void Sink(const char* text, size_t length, void* context);
  mutable std::mutex mutex_;
  std::vector<std::string> messages_;
};

// A fresh directory, removed with its contents at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& Path() const { return path_; }
  std::string operator/(const std::string& relative) const { return (path_ / relative).string(); }
  // Writes a file below the directory, creating its folders.
  void Write(const std::string& relative, const std::string& content) const;
  void Write(const std::string& relative, const std::vector<uint8_t>& content) const;

 private:
  std::filesystem::path path_;
};

// Makes a directory the current one for its lifetime.
class CurrentDirectoryGuard {
 public:
  explicit CurrentDirectoryGuard(const std::filesystem::path& path);
  ~CurrentDirectoryGuard();

 private:
  std::filesystem::path previous_;
};

// count bytes that differ from position to position, seeded so that two
// images with different seeds never look alike.
std::vector<uint8_t> Pattern(size_t count, uint8_t seed);

std::string ReadTextFile(const std::filesystem::path& path);

// Occurrences of needle in haystack.
int CountOf(const std::string& haystack, const std::string& needle);

}  // namespace testing_support
