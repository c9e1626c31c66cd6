#include "sim_harness.h"

#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace simtest {
namespace {

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Starts argv with stdout and stderr into outputPath; -1 on failure.
pid_t Spawn(const std::vector<std::string>& argv, const std::string& outputPath) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

}  // namespace

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool FileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

Bytes Pattern(size_t size, uint8_t seed) {
  Bytes bytes(size);
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < size; ++i) {
    x = x * 1103515245u + 12345u;
    bytes[i] = static_cast<uint8_t>(x >> 16);
  }
  return bytes;
}

std::string Hex(const Bytes& bytes) {
  std::string text;
  char two[3];
  for (uint8_t b : bytes) {
    std::snprintf(two, sizeof two, "%02x", b);
    text += two;
  }
  return text;
}

Bytes StatusRequest() { return {0x01, 0x00, 0x00, 0x00}; }
Bytes InfoRequest(uint8_t component) { return {0x03, 0xC0, 0x01, 0x00, component}; }
Bytes ShortAnnouncement(uint16_t size) {
  return {0x01, 0x80, 0x05, 0x00, 0x01, 0x00, 0x40, static_cast<uint8_t>(size),
          static_cast<uint8_t>(size >> 8)};
}
Bytes LongAnnouncement(uint8_t target, uint32_t value, uint32_t size) {
  Bytes f = {0x04, 0xC0, 0x09, 0x00, target};
  for (uint32_t v : {value, size}) {
    for (int i = 0; i < 4; ++i) f.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
  return f;
}
Bytes Universal(const Bytes& command) {
  Bytes f = {0xFF, 0xC0, static_cast<uint8_t>(command.size()), 0x00};
  f.insert(f.end(), command.begin(), command.end());
  return f;
}

bool PrinterLink::Open(const std::string& path) {
  Close();
  in_ = platform::usb::Open((path + "\\if000pipe000").c_str());
  out_ = platform::usb::Open((path + "\\if000pipe001").c_str());
  return in_ != kNoHandle && out_ != kNoHandle;
}

void PrinterLink::Close() {
  if (in_ != kNoHandle) platform::usb::Close(in_);
  if (out_ != kNoHandle) platform::usb::Close(out_);
  in_ = out_ = kNoHandle;
}

bool PrinterLink::Write(const Bytes& data) {
  uint32_t written = 0;
  return platform::usb::Write(out_, data.data(), static_cast<uint32_t>(data.size()), &written,
                              nullptr) &&
         written == data.size();
}

bool PrinterLink::Read(Bytes* reply, uint32_t size, platform::usb::TransferAbort* abort) {
  Bytes buffer(size);
  uint32_t received = 0;
  if (!platform::usb::Read(in_, buffer.data(), size, &received, abort)) return false;
  buffer.resize(received);
  *reply = buffer;
  return true;
}

Bytes PrinterLink::Exchange(const Bytes& frame) {
  Bytes reply;
  if (!Write(frame) || !Read(&reply)) return Bytes();
  return reply;
}

bool PrinterLink::SendImage(const Bytes& announcement, const Bytes& image) {
  Bytes ack = Exchange(announcement);
  if (ack.size() != 10 || ack[0] == 2) return false;
  for (size_t at = 0; at < image.size(); at += 4096) {
    size_t n = image.size() - at < 4096 ? image.size() - at : 4096;
    if (!Write(Bytes(image.begin() + static_cast<long>(at), image.begin() + static_cast<long>(at + n))))
      return false;
  }
  return true;
}

void SimTest::SetUp() {
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  oldDir_ = cwd;
  char pattern[] = "/tmp/q7730-simtest-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  dir_ = pattern;
  ASSERT_EQ(chdir(dir_.c_str()), 0);
}

void SimTest::TearDown() {
  StopSim();
  if (!oldDir_.empty()) {
    EXPECT_EQ(chdir(oldDir_.c_str()), 0);
  }
  if (!dir_.empty()) nftw(dir_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

void SimTest::StartSim(int printers, const std::string& scenario) {
  std::vector<std::string> argv = {Q7730_SIM, "--dir", dir_};
  if (printers > 0) {
    argv.push_back("--printers");
    argv.push_back(std::to_string(printers));
  }
  if (!scenario.empty()) {
    WriteText(dir_ + "/scenario.ini", scenario);
    argv.push_back("--scenario");
    argv.push_back(dir_ + "/scenario.ini");
  }
  sim_ = Spawn(argv, dir_ + "/sim.out");
  ASSERT_GT(sim_, 0) << "cannot start " << Q7730_SIM;
  for (int i = 0; i < 3000; ++i) {
    if (FileExists(dir_ + "/q7730-sim.port")) return;
    int status = 0;
    if (waitpid(sim_, &status, WNOHANG) == sim_) {
      sim_ = -1;
      FAIL() << "simulator ended at start: " << ReadText(dir_ + "/sim.out");
    }
    SleepMs(10);
  }
  FAIL() << "simulator did not publish its port";
}

void SimTest::StopSim() {
  if (sim_ <= 0) return;
  RunSim({"--stop"});
  for (int i = 0; i < 1000; ++i) {
    int status = 0;
    if (waitpid(sim_, &status, WNOHANG) == sim_) {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
          << "simulator ended badly: " << ReadText(dir_ + "/sim.out");
      sim_ = -1;
      return;
    }
    SleepMs(10);
  }
  ADD_FAILURE() << "simulator did not stop";
  kill(sim_, SIGKILL);
  waitpid(sim_, nullptr, 0);
  sim_ = -1;
}

RunResult SimTest::RunSim(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {Q7730_SIM, "--dir", dir_};
  argv.insert(argv.end(), args.begin(), args.end());
  std::string output = dir_ + "/run.out";
  RunResult result;
  pid_t pid = Spawn(argv, output);
  if (pid <= 0) return result;
  int status = 0;
  if (waitpid(pid, &status, 0) == pid && WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  result.output = ReadText(output);
  return result;
}

std::string SimTest::Path(int index) {
  char buffer[2048];
  size_t n = platform::usb::EnumerateInterface(static_cast<uint16_t>(index), buffer, sizeof buffer);
  if (n == 0) return "";
  EXPECT_EQ(std::strlen(buffer) + 1, n);
  return buffer;
}

std::vector<std::string> SimTest::Enumerate() {
  std::vector<std::string> paths;
  // The simulator lists present printers without gaps.
  for (int i = 0; i < 128; ++i) {
    std::string path = Path(i);
    if (path.empty()) break;
    paths.push_back(path);
  }
  return paths;
}

std::string SimTest::FramesLog(int printer) {
  return ReadText(dir_ + "/printers/" + std::to_string(printer) + "/frames.log");
}

std::vector<std::string> SimTest::LogLines(int printer) {
  std::vector<std::string> lines;
  std::istringstream in(FramesLog(printer));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string SimTest::StoredPath(int printer, int target) {
  return dir_ + "/printers/" + std::to_string(printer) + "/stored/target-" +
         std::to_string(target) + ".bin";
}

bool SimTest::WaitForState(PrinterLink& link, uint8_t state) {
  for (int i = 0; i < 1000; ++i) {
    Bytes reply = link.Exchange(StatusRequest());
    if (reply.size() < 10) return false;
    if (reply[7] == state) return true;
    SleepMs(10);
  }
  return false;
}

bool SimTest::WaitForCount(size_t count) {
  for (int i = 0; i < 1000; ++i) {
    if (Enumerate().size() == count) return true;
    SleepMs(10);
  }
  return false;
}

}  // namespace simtest
