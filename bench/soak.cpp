// Soak: one process drives the sim-bus wirelet.dll against q7730-sim for a
// long while (library loads and unloads, commands on an open port, open and
// close cycles) and checks that open descriptors, threads and resident
// memory at the end are what they were after the first hundred of each.
//   soak --sim PATH --library PATH [--loads N] [--commands N] [--cycles N]
// Prints one line per phase; exit status 1 when anything leaked or failed.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "device_library.h"

namespace {

struct Usage {
  long fds = 0;
  long threads = 0;
  long rssKiB = 0;
};

long CountFds() {
  long n = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  while (dirent* entry = readdir(dir)) n += entry->d_name[0] != '.';
  closedir(dir);
  return n - 1;  // the directory's own descriptor
}

long StatusField(const char* name) {
  std::ifstream status("/proc/self/status");
  std::string line;
  size_t length = std::strlen(name);
  while (std::getline(status, line))
    if (line.compare(0, length, name) == 0 && line[length] == ':') return std::atol(line.c_str() + length + 1);
  return -1;
}

// A worker that has finished its transfer may still be on its way out, so
// threads and descriptors are the least seen over a short while.
Usage Measure() {
  Usage usage{CountFds(), StatusField("Threads"), StatusField("VmRSS")};
  for (int i = 0; i < 10; ++i) {
    usleep(20000);
    usage.fds = std::min(usage.fds, CountFds());
    usage.threads = std::min(usage.threads, StatusField("Threads"));
  }
  return usage;
}

// Memory may settle a little after the first hundred; more than this is a leak.
constexpr long kRssSlackKiB = 1024;

bool failed = false;

void Fail(const std::string& what) {
  std::fprintf(stderr, "soak: %s\n", what.c_str());
  failed = true;
}

// Runs step count times, measuring after the first hundred and at the end.
void Phase(const char* name, int count, const std::function<bool(int)>& step) {
  auto start = std::chrono::steady_clock::now();
  Usage early{}, late{};
  for (int i = 1; i <= count; ++i) {
    if (!step(i)) {
      Fail(std::string(name) + ": step " + std::to_string(i) + " failed");
      return;
    }
    if (i == 100 || (count < 100 && i == count)) early = Measure();
  }
  late = Measure();
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  // Fewer at the end is no leak: the first measure may have caught a worker.
  bool same = late.fds <= early.fds && late.threads <= early.threads && late.rssKiB - early.rssKiB <= kRssSlackKiB;
  std::printf("soak %-9s %6d  fds %ld/%ld  threads %ld/%ld  rss_kib %ld/%ld  %.1f s  %s\n", name, count,
              early.fds, late.fds, early.threads, late.threads, early.rssKiB, late.rssKiB, seconds,
              same ? "steady" : "GREW");
  std::fflush(stdout);
  if (!same) Fail(std::string(name) + ": usage grew");
}

pid_t Spawn(const std::vector<std::string>& argv) {
  pid_t pid = fork();
  if (pid == 0) {
    // The simulator's own lines are not this program's report.
    int null = open("/dev/null", O_WRONLY);
    if (null >= 0) dup2(null, 1);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  return pid;
}

int Wait(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string sim, library;
  int loads = 200, commands = 10000, cycles = 1000;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string flag = argv[i];
    if (flag == "--sim") sim = argv[i + 1];
    else if (flag == "--library") library = argv[i + 1];
    else if (flag == "--loads") loads = std::atoi(argv[i + 1]);
    else if (flag == "--commands") commands = std::atoi(argv[i + 1]);
    else if (flag == "--cycles") cycles = std::atoi(argv[i + 1]);
  }
  if (sim.empty() || library.empty()) {
    std::fprintf(stderr, "usage: soak --sim PATH --library PATH [--loads N] [--commands N] [--cycles N]\n");
    return 2;
  }
  // The run moves into its scratch folder, so the simulator is named whole.
  sim = std::filesystem::absolute(sim).string();
  char pattern[] = "/tmp/q7730-soak.XXXXXX";
  if (mkdtemp(pattern) == nullptr) return 2;
  std::string dir = pattern;
  std::filesystem::copy_file(library, dir + "/wirelet.dll");
  std::ofstream(dir + "/scenario.ini") << "[printer1]\nstore_ms = 0\n";
  pid_t server = Spawn({sim, "--dir", dir, "--printers", "1", "--scenario", dir + "/scenario.ini"});
  if (Wait(Spawn({sim, "--dir", dir, "--wait", "10000"})) != 0 || chdir(dir.c_str()) != 0) {
    kill(server, SIGTERM);
    return 2;
  }

  Phase("loads", loads, [](int) {
    bool ok = BindDeviceLibrary() == 1 && deviceLibrary.usb_find_first() == 1;
    UnbindDeviceLibrary();
    return ok;
  });
  if (BindDeviceLibrary() == 1 && deviceLibrary.usb_find_first() == 1 && deviceLibrary.usb_open_port(1) == 0) {
    Phase("commands", commands, [](int) {
      StatusCode status = 0xFFFF;
      return deviceLibrary.usb_get_status(1, &status) == 1 && status == 0;
    });
    Phase("cycles", cycles, [](int) {
      return deviceLibrary.usb_close_port(1) == 0 && deviceLibrary.usb_open_port(1) == 0;
    });
    deviceLibrary.usb_close_port(1);
  } else {
    Fail("the simulated printer cannot be opened");
  }
  UnbindDeviceLibrary();

  Wait(Spawn({sim, "--dir", dir, "--stop"}));
  Wait(server);
  std::error_code error;
  std::filesystem::remove_all(dir, error);
  return failed ? 1 : 0;
}
