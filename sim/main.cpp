// q7730-sim: printers of the ZEM-Q7730-5A model on a simulated USB bus.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "scenario.h"
#include "server.h"
#include "sim_wire.h"

namespace {

const char kUsage[] =
    "usage: q7730-sim --dir DIR [--printers N] [--scenario FILE]   serve printers until stopped\n"
    "       q7730-sim --dir DIR --stop                           stop the simulator serving DIR\n"
    "       q7730-sim --dir DIR --unplug K | --plug K            pull / re-insert printer K\n"
    "       q7730-sim --dir DIR --wait [MS]                      wait (default 10000 ms) until\n"
    "                                                            a simulator serves DIR\n"
    "\n"
    "The simulator listens on 127.0.0.1 and writes its port to DIR/q7730-sim.port; the sim\n"
    "bus finds it through that file in the current directory, so run the program in DIR.\n"
    "It stops on SIGINT, SIGTERM or --stop. Printer K (bus order from 1) keeps\n"
    "DIR/printers/K/stored/target-T.bin (each image, byte for byte, once complete) and\n"
    "DIR/printers/K/frames.log (\"out\"/\"in\" LENGTH FIRST-64-BYTES-HEX per transfer, \"! why\"\n"
    "for what it rejected). Both are cleared when the simulator starts.\n"
    "Defaults: 1 printer, board E0208000, program E0211600, 500 ms to store an image.\n"
    "\n";


uint64_t Now() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

bool ParseInt(const char* text, long low, long high, long* value) {
  if (text == nullptr || *text == '\0') return false;
  char* end = nullptr;
  errno = 0;
  long parsed = std::strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || parsed < low || parsed > high) return false;
  *value = parsed;
  return true;
}

uint16_t ReadPort(const std::string& dir) {
  FILE* file = std::fopen((dir + "/" + simwire::kPortFileName).c_str(), "r");
  if (file == nullptr) return 0;
  unsigned port = 0;
  if (std::fscanf(file, "%u", &port) != 1 || port > 65535) port = 0;
  std::fclose(file);
  return static_cast<uint16_t>(port);
}

// Waits up to deadline for fd to have events; false on time-out.
bool WaitFor(int fd, short events, uint64_t deadline) {
  for (;;) {
    uint64_t now = Now();
    if (now >= deadline) return false;
    pollfd p{fd, events, 0};
    int ready = poll(&p, 1, static_cast<int>(deadline - now));
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
  }
}

// Sends one control request to the simulator serving dir. Returns 0 (done),
// 1 (refused) or 2 (no simulator); *text gets its answer.
int Control(const std::string& dir, const std::string& request, std::string* text) {
  uint16_t port = ReadPort(dir);
  if (port == 0) {
    *text = "no simulator is running in " + dir;
    return 2;
  }
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    if (fd >= 0) close(fd);
    *text = "no simulator is running in " + dir;
    return 2;
  }
  std::string message(simwire::kHeaderSize, '\0');
  message[0] = static_cast<char>(simwire::kControl);
  simwire::PutU32(reinterpret_cast<uint8_t*>(&message[1]), static_cast<uint32_t>(request.size()));
  message += request;
  if (send(fd, message.data(), message.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(message.size())) {
    close(fd);
    *text = "no simulator is running in " + dir;
    return 2;
  }
  // The answer, then (for stop) the end of the connection once it is done.
  std::string answer;
  uint64_t deadline = Now() + 10000;
  bool closed = false;
  while (!closed && WaitFor(fd, POLLIN, deadline)) {
    char chunk[512];
    ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n > 0) answer.append(chunk, static_cast<size_t>(n));
    else if (n == 0 || errno != EINTR) closed = true;
    if (request != "stop" && answer.size() >= simwire::kHeaderSize &&
        answer.size() >= simwire::kHeaderSize +
                             simwire::GetU32(reinterpret_cast<const uint8_t*>(&answer[1]))) {
      break;
    }
  }
  close(fd);
  if (answer.size() < simwire::kHeaderSize + 1 || answer[0] != simwire::kAnswer) {
    *text = "no answer from the simulator in " + dir;
    return 2;
  }
  *text = answer.substr(simwire::kHeaderSize + 1);
  return answer[simwire::kHeaderSize] == 1 ? 0 : 1;
}

int Serve(const std::string& dir, int printers, const std::string& scenarioFile) {
  sim::Scenario scenario;
  std::string error;
  if (!sim::LoadScenario(scenarioFile, printers, &scenario, &error)) {
    std::fprintf(stderr, "q7730-sim: %s\n", error.c_str());
    return 2;
  }
  if (mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) {
    std::fprintf(stderr, "q7730-sim: cannot create %s: %s\n", dir.c_str(), std::strerror(errno));
    return 2;
  }
  std::string text;
  if (Control(dir, "ping", &text) != 2) {
    std::fprintf(stderr, "q7730-sim: a simulator is already running in %s\n", dir.c_str());
    return 2;
  }
  // SIGINT and SIGTERM arrive as a readable descriptor rather than through a
  // handler, which a sanitizer may run late, after the poll it should end.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  int stopFd = -1;
  if (sigprocmask(SIG_BLOCK, &stopSignals, nullptr) != 0 ||
      (stopFd = signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK)) < 0) {
    std::perror("q7730-sim: signalfd");
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);

  int status = 0;
  {
    sim::Server server(dir, scenario, stopFd);
    if (!server.Start(&error)) {
      std::fprintf(stderr, "q7730-sim: %s\n", error.c_str());
      status = 2;
    } else {
      std::printf("q7730-sim: %zu printer(s) on 127.0.0.1:%u, serving %s\n", server.PrinterCount(),
                  server.Port(), dir.c_str());
      std::fflush(stdout);
      server.Run();
    }
  }
  close(stopFd);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir, scenario, command;
  long printers = 0, number = 0, waitMs = 10000;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      std::fputs(sim::ScenarioHelp(), stdout);
      return 0;
    } else if (arg == "--dir" && next != nullptr) {
      dir = next;
      ++i;
    } else if (arg == "--scenario" && next != nullptr) {
      scenario = next;
      ++i;
    } else if (arg == "--printers" && ParseInt(next, 1, 250, &printers)) {
      ++i;
    } else if (arg == "--stop" && command.empty()) {
      command = "stop";
    } else if ((arg == "--unplug" || arg == "--plug") && command.empty() &&
               ParseInt(next, 1, 250, &number)) {
      command = arg.substr(2) + " " + std::to_string(number);
      ++i;
    } else if (arg == "--wait" && command.empty()) {
      command = "wait";
      if (next != nullptr && ParseInt(next, 0, 3600000, &waitMs)) ++i;
    } else {
      std::fprintf(stderr, "q7730-sim: bad argument '%s'\n%s", arg.c_str(), kUsage);
      return 2;
    }
  }
  if (dir.empty()) {
    std::fprintf(stderr, "q7730-sim: --dir is required\n%s", kUsage);
    return 2;
  }
  if (command.empty()) return Serve(dir, static_cast<int>(printers), scenario);
  if (printers != 0 || !scenario.empty()) {
    std::fprintf(stderr, "q7730-sim: --printers and --scenario only go with serving\n");
    return 2;
  }
  std::string text;
  if (command == "wait") {
    uint64_t deadline = Now() + static_cast<uint64_t>(waitMs);
    for (;;) {
      if (Control(dir, "ping", &text) == 0) return 0;
      if (Now() >= deadline) break;
      usleep(20000);
    }
    std::fprintf(stderr, "q7730-sim: no simulator is running in %s\n", dir.c_str());
    return 1;
  }
  int result = Control(dir, command, &text);
  std::fprintf(result == 0 ? stdout : stderr, "q7730-sim: %s\n", text.c_str());
  return result;
}
