#include "test_support.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "test_os.h"

namespace testing_support {

std::string ConsoleCapture::Text() const {
  std::lock_guard<std::mutex> hold(mutex_);
  std::string text;
  for (const std::string& m : messages_) text += m;
  return text;
}

std::vector<std::string> ConsoleCapture::Messages() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return messages_;
}

void ConsoleCapture::Clear() {
  std::lock_guard<std::mutex> hold(mutex_);
  messages_.clear();
}

void ConsoleCapture::Sink(const char* text, size_t length, void* context) {
  auto* self = static_cast<ConsoleCapture*>(context);
  std::lock_guard<std::mutex> hold(self->mutex_);
  self->messages_.emplace_back(text, length);
}

TempDir::TempDir() {
  path_ = std::filesystem::canonical(test_os::MakeTempDirectory("q7730-updater-"));
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void TempDir::Write(const std::string& relative, const std::string& content) const {
  Write(relative, std::vector<uint8_t>(content.begin(), content.end()));
}

void TempDir::Write(const std::string& relative, const std::vector<uint8_t>& content) const {
  std::filesystem::path file = path_ / relative;
  std::filesystem::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
}

CurrentDirectoryGuard::CurrentDirectoryGuard(const std::filesystem::path& path)
    : previous_(std::filesystem::current_path()) {
  std::filesystem::current_path(path);
}

CurrentDirectoryGuard::~CurrentDirectoryGuard() {
  std::error_code ignored;
  std::filesystem::current_path(previous_, ignored);
}

std::vector<uint8_t> Pattern(size_t count, uint8_t seed) {
  std::vector<uint8_t> bytes(count);
  uint32_t x = 2166136261u ^ seed;
  for (size_t i = 0; i < count; ++i) {
    x = x * 16777619u + 0x9E37u + seed;
    bytes[i] = static_cast<uint8_t>(x >> 13);
  }
  return bytes;
}

std::string ReadTextFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

int CountOf(const std::string& haystack, const std::string& needle) {
  int count = 0;
  for (size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1)) ++count;
  return count;
}

}  // namespace testing_support
