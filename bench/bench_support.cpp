#include "bench_support.h"

#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace bench {
namespace {

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

std::string gFigureFile;
std::vector<std::string> gFigures;

}  // namespace

Scratch::Scratch(const std::string& prefix) {
  // TMPDIR lets a run keep the simulator's stored images off a disk.
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/" + prefix + ".XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) != nullptr) dir_ = buffer.data();
}

Scratch::~Scratch() {
  if (!dir_.empty()) nftw(dir_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

bool Simulator::Start(const std::string& simPath, const std::string& dir, int printers,
                      const std::string& scenarioText, std::string* error) {
  Stop();
  simPath_ = simPath;
  dir_ = dir;
  std::vector<std::string> argv = {simPath, "--dir", dir};
  if (printers > 0) {
    argv.push_back("--printers");
    argv.push_back(std::to_string(printers));
  }
  if (!scenarioText.empty()) {
    WriteText(dir + "/scenario.ini", scenarioText);
    argv.push_back("--scenario");
    argv.push_back(dir + "/scenario.ini");
  }
  pid_ = Spawn(argv, dir + "/sim.out");
  if (pid_ <= 0) {
    *error = "cannot start " + simPath;
    return false;
  }
  for (int i = 0; i < 1000; ++i) {
    if (Exists(dir + "/q7730-sim.port")) return true;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      std::ifstream out(dir + "/sim.out");
      std::stringstream text;
      text << out.rdbuf();
      *error = "the simulator ended at start: " + text.str();
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  *error = "the simulator did not publish its port";
  Stop();
  return false;
}

void Simulator::Stop() {
  if (pid_ <= 0) return;
  Finish(Spawn({simPath_, "--dir", dir_, "--stop"}));
  // --stop returns once the simulator is done; a stuck one is not waited for.
  int status = 0;
  for (int i = 0; i < 500 && waitpid(pid_, &status, WNOHANG) != pid_; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (kill(pid_, 0) == 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
  }
  pid_ = -1;
}

pid_t Spawn(const std::vector<std::string>& argv, const std::string& outputPath) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const std::string& output = outputPath.empty() ? std::string("/dev/null") : outputPath;
  posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
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

int Finish(pid_t pid, long* peakKiB) {
  if (pid <= 0) return -1;
  int status = 0;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) != pid) return -1;
  if (peakKiB != nullptr) *peakKiB = usage.ru_maxrss;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool CopyFile(const std::string& from, const std::string& to) {
  std::ifstream in(from, std::ios::binary);
  std::ofstream out(to, std::ios::binary | std::ios::trunc);
  if (!in || !out) return false;
  out << in.rdbuf();
  return static_cast<bool>(out);
}

bool WriteFile(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

bool WriteText(const std::string& path, const std::string& text) {
  return WriteFile(path, Bytes(text.begin(), text.end()));
}

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Bytes Pattern(size_t size, uint32_t seed) {
  Bytes bytes(size);
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < size; ++i) {
    x = x * 1103515245u + 12345u;
    bytes[i] = static_cast<uint8_t>(x >> 16);
  }
  return bytes;
}

Bytes StatusRequest() { return {0x01, 0x00, 0x00, 0x00}; }

Bytes LongAnnouncement(uint8_t target, uint32_t size) {
  Bytes frame = {0x04, 0xC0, 0x09, 0x00, target, 0, 0, 0, 0};
  for (int i = 0; i < 4; ++i) frame.push_back(static_cast<uint8_t>(size >> (8 * i)));
  return frame;
}

double Percentile(std::vector<double> samples, double p) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  double rank = std::ceil(p * static_cast<double>(samples.size()));
  size_t index = rank < 1 ? 0 : static_cast<size_t>(rank) - 1;
  return samples[std::min(index, samples.size() - 1)];
}

// Made absolute: the programs move into their scratch folders.
void SetFigureFile(const std::string& path) {
  char here[4096];
  if (!path.empty() && path[0] != '/' && getcwd(here, sizeof here) != nullptr)
    gFigureFile = std::string(here) + "/" + path;
  else
    gFigureFile = path;
}

void Figure(const std::string& name, double value, const std::string& unit) {
  char line[256];
  std::snprintf(line, sizeof line, "%s %.4g %s", name.c_str(), value, unit.c_str());
  gFigures.push_back(line);
  if (!gFigureFile.empty()) {
    std::ofstream out(gFigureFile, std::ios::app);
    out << line << '\n';
  }
}

void PrintFigures() {
  for (const std::string& line : gFigures) std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

void TakeFigureOption(int* argc, char** argv) {
  int kept = 0;
  for (int i = 0; i < *argc; ++i) {
    if (std::strcmp(argv[i], "--figures") == 0 && i + 1 < *argc) {
      SetFigureFile(argv[++i]);
      continue;
    }
    argv[kept++] = argv[i];
  }
  *argc = kept;
}

}  // namespace bench
