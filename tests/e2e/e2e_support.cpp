#include "e2e_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "printer_logs.h"

#include "e2e_runner.h"

namespace e2e {

BoardSet MakeSet(uint8_t seed, Waits waits, size_t usbSize, size_t mainSize) {
  BoardSet set;
  set.usb = Pattern(usbSize, seed);
  set.main = Pattern(mainSize, seed + 1);
  set.dsp = Pattern(9000, seed + 2);
  set.table = Pattern(5000, seed + 3);
  if (waits == Waits::kShort) {
    set.usbWait = 300;
    set.mainWait = set.dspWait = set.tableWait = 600;
  }
  return set;
}

std::string QuickStoreScenario(int printers, const std::map<int, std::string>& extra) {
  std::string text;
  for (int k = 1; k <= printers; ++k) {
    text += "[printer" + std::to_string(k) + "]\nstore_ms = 100\n";
    auto it = extra.find(k);
    if (it != extra.end()) text += it->second + "\n";
  }
  return text;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "";
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool FileExists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
  if (!out) throw std::runtime_error("cannot write " + path);
}

void WriteBytes(const std::string& path, const Bytes& bytes) {
  WriteFile(path, std::string(bytes.begin(), bytes.end()));
}

Bytes Pattern(size_t size, uint8_t seed) {
  Bytes bytes(size);
  uint32_t state = 0x9E3779B9u * (seed + 1u);
  for (auto& b : bytes) {
    state = state * 1664525u + 1013904223u;
    b = static_cast<uint8_t>(state >> 24);
  }
  return bytes;
}

Bytes TrailerFirst(const Bytes& image) {
  Bytes out(image.size());
  const size_t body = image.size() - 64;
  std::copy(image.begin() + static_cast<std::ptrdiff_t>(body), image.end(), out.begin());
  std::copy(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(body), out.begin() + 64);
  return out;
}

int Count(const std::string& text, const std::string& needle) {
  int n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

RunResult Run(const std::vector<std::string>& argv, const std::string& cwd, int timeoutSeconds,
              const std::vector<std::string>& environment, const OutputWatcher& watch) {
  return BackgroundRun(argv, cwd, environment).Finish(timeoutSeconds, watch);
}

BackgroundRun::BackgroundRun(const std::vector<std::string>& argv, const std::string& cwd,
                             const std::vector<std::string>& environment) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork");
  if (pid == 0) {
    dup2(out[1], 1);
    dup2(out[1], 2);
    int null = open("/dev/null", O_RDONLY);
    if (null >= 0) dup2(null, 0);
    if (chdir(cwd.c_str()) != 0) _exit(126);
    for (const auto& entry : environment) putenv(const_cast<char*>(entry.c_str()));
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(out[1]);
  pid_ = pid;
  output_ = out[0];
}

BackgroundRun::~BackgroundRun() {
  if (output_ >= 0) close(output_);
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
}

void BackgroundRun::Kill() {
  if (pid_ > 0) kill(pid_, SIGKILL);
}

RunResult BackgroundRun::Finish(int timeoutSeconds, const OutputWatcher& watch) {
  RunResult result;
  if (pid_ <= 0) return result;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  char buffer[4096];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) {
      kill(pid_, SIGKILL);
      result.output += "\n[killed after time-out]\n";
      break;
    }
    pollfd p{output_, POLLIN, 0};
    int ready = poll(&p, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) continue;
    ssize_t n = read(output_, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    result.output.append(buffer, static_cast<size_t>(n));
    if (watch) watch(result.output);
  }
  close(output_);
  output_ = -1;
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  // A program that died says how, so a failure names its signal.
  if (WIFSIGNALED(status)) result.output += "\n[ended by signal " + std::to_string(WTERMSIG(status)) + "]\n";
  return result;
}

Bench::Bench() {
  char pattern[] = "/tmp/q7730-e2e.XXXXXX";
  const char* made = mkdtemp(pattern);
  if (made == nullptr) throw std::runtime_error("mkdtemp");
  dir_ = made;
  InstallLibrary(Runner().simLibrary);
}

void Bench::InstallLibrary(const std::string& path) {
  std::string text = ReadFile(path);
  if (text.empty()) throw std::runtime_error("no library at " + path);
  WriteBytes(dir_ + "/wirelet.dll", Bytes(text.begin(), text.end()));
}

Bench::~Bench() {
  StopSimulator();
  if (std::getenv("Q7730_KEEP_E2E") == nullptr) {
    std::string command = "rm -rf '" + dir_ + "'";
    if (std::system(command.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", dir_.c_str());
  }
}

static std::string BoardIni(const std::string& stem, const BoardSet& set) {
  std::ostringstream ini;
  ini << "[USB]\nFILEPATH=usb_" << stem << ".bin\n"
      << "[MAIN]\nFILEPATH=main_" << stem << ".bin\n"
      << "[DSP]\nFILEPATH=dsp_" << stem << ".bin\n"
      << "[TABLE]\nFILEPATH=table_" << stem << ".bin\n"
      << "[WAITTIME]\nUsb=" << set.usbWait << "\nMain=" << set.mainWait << "\nDsp=" << set.dspWait
      << "\nTable=" << set.tableWait << "\nDISP_WAIT_TIME=1000\n";
  return ini.str();
}

void Bench::WritePackage(const BoardSet& newBoard, const BoardSet& oldBoard, int mode) {
  const UpdaterRunner& runner = Runner();
  WriteFile(dir_ + "/Q7730.ini",
            runner.PackageText("[NEWPCB]\nFILEPATH=" + runner.PackagePath("newpcb/new.ini") +
                               "\n[OLDPCB]\nFILEPATH=" + runner.PackagePath("oldpcb/old.ini") +
                               "\n[TYPE]\nMODE=" + std::to_string(mode) + "\n"));
  const struct {
    const char* folder;
    const char* stem;
    const BoardSet* set;
  } sets[] = {{"newpcb", "new", &newBoard}, {"oldpcb", "old", &oldBoard}};
  for (const auto& s : sets) {
    std::string folder = dir_ + "/" + s.folder;
    mkdir(folder.c_str(), 0755);
    WriteFile(folder + "/" + s.stem + ".ini", runner.PackageText(BoardIni(s.stem, *s.set)));
    WriteBytes(folder + "/usb_" + s.stem + ".bin", s.set->usb);
    WriteBytes(folder + "/main_" + s.stem + ".bin", s.set->main);
    WriteBytes(folder + "/dsp_" + s.stem + ".bin", s.set->dsp);
    WriteBytes(folder + "/table_" + s.stem + ".bin", s.set->table);
  }
}

void Bench::ExpectRejection(int printer, const std::string& part) {
  if (expectedRejections_.size() < static_cast<size_t>(printer)) expectedRejections_.resize(static_cast<size_t>(printer));
  expectedRejections_[static_cast<size_t>(printer) - 1].push_back(part);
}

void Bench::VerifyPrinterLogs() const {
  if (printers_ == 0) return;
  for (const LogProblem& problem : CheckPrinterLogs(dir_, printers_, expectedRejections_, checkTiming_)) {
    if (problem.printer == 0) ADD_FAILURE() << problem.what;
    else ADD_FAILURE() << "printer " << problem.printer << ": " << problem.what;
  }
}

void Bench::StartSimulator(int printers, const std::string& scenario) {
  printers_ = printers;
  std::vector<std::string> argv = {SIM_PATH, "--dir", dir_, "--printers", std::to_string(printers)};
  if (!scenario.empty()) {
    WriteFile(dir_ + "/scenario.ini", scenario);
    argv.push_back("--scenario");
    argv.push_back(dir_ + "/scenario.ini");
  }
  std::string log = dir_ + "/sim.out";
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork");
  if (pid == 0) {
    int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
      dup2(fd, 1);
      dup2(fd, 2);
    }
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  sim_ = pid;
  for (int i = 0; i < 3000; ++i) {
    if (!ReadFile(dir_ + "/q7730-sim.port").empty()) return;
    int status;
    if (waitpid(sim_, &status, WNOHANG) == sim_) {
      sim_ = -1;
      throw std::runtime_error("simulator ended at start: " + ReadFile(log));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  throw std::runtime_error("simulator did not announce its port");
}

void Bench::StopSimulator() {
  if (sim_ < 0) return;
  RunSim({"--stop"});
  for (int i = 0; i < 1000; ++i) {
    int status;
    if (waitpid(sim_, &status, WNOHANG) == sim_) {
      sim_ = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(sim_, SIGKILL);
  waitpid(sim_, nullptr, 0);
  sim_ = -1;
}

RunResult Bench::RunUpdaterUnplugging(int printer, const std::string& trigger, int n) {
  bool done = false;
  return RunUpdater(240, {}, [&](const std::string& output) {
    if (done || Count(Runner().ConsoleText(output), trigger) < n) return;
    done = true;
    RunResult unplug = RunSim({"--unplug", std::to_string(printer)});
    EXPECT_EQ(unplug.status, 0) << unplug.output;
  });
}

RunResult Bench::RunUpdater(int timeoutSeconds, const std::vector<std::string>& environment,
                            const OutputWatcher& watch) {
  const UpdaterRunner& runner = Runner();
  std::vector<std::string> entries = runner.environment;
  entries.insert(entries.end(), environment.begin(), environment.end());
  if (abandonsHandles_) entries.push_back("ASAN_OPTIONS=detect_leaks=0");
  std::vector<std::string> argv = launcher_;
  argv.insert(argv.end(), runner.command.begin(), runner.command.end());
  argv.push_back("Q7730.ini");
  RunResult result = Run(argv, dir_, timeoutSeconds, entries, watch);
  result.output = runner.ConsoleText(result.output);
  return result;
}

std::unique_ptr<BackgroundRun> Bench::Start(const std::vector<std::string>& argv,
                                            const std::vector<std::string>& environment) {
  return std::make_unique<BackgroundRun>(argv, dir_, environment);
}

RunResult Bench::RunSim(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {SIM_PATH, "--dir", dir_};
  argv.insert(argv.end(), args.begin(), args.end());
  return Run(argv, dir_, 30);
}

Bytes Bench::Stored(int printer, int target) const {
  std::string text = ReadFile(dir_ + "/printers/" + std::to_string(printer) + "/stored/target-" +
                              std::to_string(target) + ".bin");
  return Bytes(text.begin(), text.end());
}

bool Bench::HasStored(int printer, int target) const {
  return FileExists(dir_ + "/printers/" + std::to_string(printer) + "/stored/target-" +
                    std::to_string(target) + ".bin");
}

void Bench::ExpectStoredSet(int printer, const BoardSet& set) const {
  EXPECT_EQ(Stored(printer, kUsb), TrailerFirst(set.usb)) << "printer " << printer;
  EXPECT_EQ(Stored(printer, kMain), set.main) << "printer " << printer;
  EXPECT_EQ(Stored(printer, kDsp), set.dsp) << "printer " << printer;
  EXPECT_EQ(Stored(printer, kTable), set.table) << "printer " << printer;
}

void Bench::ExpectNothingStored(int printer, std::initializer_list<int> targets) const {
  for (int target : targets)
    EXPECT_FALSE(HasStored(printer, target)) << "printer " << printer << " target " << target;
}

std::string Bench::FramesLog(int printer) const {
  return ReadFile(dir_ + "/printers/" + std::to_string(printer) + "/frames.log");
}

}  // namespace e2e
