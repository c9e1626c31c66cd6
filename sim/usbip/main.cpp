// q7730-usbip: the printers of a running q7730-sim as USB devices of this
// Linux kernel, through USB/IP's virtual host controller (vhci-hcd, loaded
// and run as root). Each printer the simulator shows is attached to a
// high-speed port of vhci_hcd.0 over a socket pair and served from here;
// the simulator's unplug and plug become detach and attach. A printer keeps
// its port when it is plugged in again, so it keeps its place on the bus.
//
//   q7730-usbip [--dir DIR] [--vhci DIR] [--ports N]
//
// --dir: the simulator's folder (default: the current one); --vhci: the
// controller's sysfs folder (default /sys/devices/platform/vhci_hcd.0);
// --ports: how many of its high-speed ports to use (1..15, default 15).
// Runs until SIGINT or SIGTERM, then detaches every printer. Each attach
// and detach is reported on standard output as "attached K PORT PATH" and
// "detached K PORT". Exit status: 0; 2 for a bad command line or no
// simulator or controller.
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/usb_bus.h"
#include "usbip_device.h"

namespace {

constexpr int kPollMs = 20;
constexpr int kHighSpeed = 3;

volatile sig_atomic_t gStop = 0;

void OnSignal(int) { gStop = 1; }

bool WriteText(const std::string& file, const std::string& text) {
  FILE* f = std::fopen(file.c_str(), "w");
  if (f == nullptr) return false;
  bool ok = std::fputs(text.c_str(), f) >= 0;
  return std::fclose(f) == 0 && ok;
}

struct Attached {
  int port = 0;
  std::unique_ptr<usbip::UsbipDevice> device;
};

class Frontend {
 public:
  Frontend(std::string vhci, int ports) : vhci_(std::move(vhci)), ports_(ports) {}
  ~Frontend() {
    for (auto& entry : attached_) Detach(entry.first, &entry.second);
    platform::usb::CloseChangeSource(changes_);
  }

  void Start() {
    changes_ = platform::usb::OpenChangeSource();
    Sync();
  }

  void Poll() {
    bool changed = false;
    while (platform::usb::TakeChange(changes_)) changed = true;
    for (auto& entry : attached_)
      if (entry.second.device->Ended() || entry.second.device->PrinterGone()) changed = true;
    if (changed) Sync();
  }

 private:
  void Sync() {
    std::vector<std::string> present;
    char path[4200];
    for (uint16_t index = 0;; ++index) {
      if (platform::usb::EnumerateInterface(index, path, sizeof path) == 0) break;
      present.emplace_back(path);
    }
    for (auto it = attached_.begin(); it != attached_.end();) {
      bool there = false;
      for (const std::string& p : present) there = there || p == it->first;
      if (!there || it->second.device->Ended() || it->second.device->PrinterGone()) {
        Detach(it->first, &it->second);
        it = attached_.erase(it);
      } else {
        ++it;
      }
    }
    for (const std::string& simPath : present) {
      if (attached_.count(simPath) != 0) continue;
      auto known = portOf_.find(simPath);
      int port = known != portOf_.end() ? known->second : nextPort_;
      if (known == portOf_.end()) {
        if (nextPort_ >= ports_) continue;  // no port left for it
        portOf_[simPath] = nextPort_++;
      }
      Attach(simPath, port);
    }
  }

  void Attach(const std::string& simPath, int port) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return;
    char serial[32];
    std::snprintf(serial, sizeof serial, "Q7730SIM%04d", port + 1);
    usbdev::DeviceLook look{usbdev::PathIdAt(simPath, 12), usbdev::PathIdAt(simPath, 21),
                            usbdev::kPrinterClass, serial};
    auto device = std::make_unique<usbip::UsbipDevice>(look, simPath, pair[0]);
    // The kernel takes its own reference to its end: ours is closed after.
    char line[64];
    std::snprintf(line, sizeof line, "%d %d %d %d", port, pair[1], 65536 + port + 2, kHighSpeed);
    bool attached = device->Start() && WriteText(vhci_ + "/attach", line);
    int attachError = errno;
    close(pair[1]);
    if (!attached) {
      std::fprintf(stderr, "q7730-usbip: cannot attach %s at port %d: %s\n", simPath.c_str(), port,
                   std::strerror(attachError));
      return;
    }
    std::printf("attached %d %d %s\n", Number(simPath), port, simPath.c_str());
    std::fflush(stdout);
    attached_[simPath] = Attached{port, std::move(device)};
  }

  void Detach(const std::string& simPath, Attached* entry) {
    // Fails when vhci already let go of the port; that is fine.
    WriteText(vhci_ + "/detach", std::to_string(entry->port));
    entry->device->Stop();
    std::printf("detached %d %d\n", Number(simPath), entry->port);
    std::fflush(stdout);
  }

  // The printer's number in the simulator: its place in first-seen order.
  int Number(const std::string& simPath) const {
    auto it = portOf_.find(simPath);
    return it != portOf_.end() ? it->second + 1 : 0;
  }

  std::string vhci_;
  int ports_;
  int nextPort_ = 0;
  std::map<std::string, int> portOf_;
  std::map<std::string, Attached> attached_;
  platform::usb::ChangeSource* changes_ = nullptr;
};

int Usage(const std::string& problem) {
  std::fprintf(stderr,
               "q7730-usbip: %s\nusage: q7730-usbip [--dir DIR] [--vhci DIR] [--ports N]\n",
               problem.c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir = ".";
  std::string vhci = "/sys/devices/platform/vhci_hcd.0";
  int ports = 15;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    bool hasValue = i + 1 < argc;
    if (arg == "--dir" && hasValue) {
      dir = argv[++i];
    } else if (arg == "--vhci" && hasValue) {
      vhci = argv[++i];
    } else if (arg == "--ports" && hasValue) {
      char* end = nullptr;
      long n = std::strtol(argv[++i], &end, 10);
      if (*end != '\0' || n < 1 || n > 15) return Usage("--ports takes 1..15");
      ports = static_cast<int>(n);
    } else {
      return Usage("unknown argument " + arg);
    }
  }
  if (chdir(dir.c_str()) != 0) return Usage("cannot enter " + dir);
  if (access("q7730-sim.port", R_OK) != 0) return Usage("no simulator serves " + dir);
  if (access((vhci + "/attach").c_str(), W_OK) != 0)
    return Usage("no vhci-hcd at " + vhci + " (load the vhci-hcd module, as root)");
  struct sigaction action {};
  action.sa_handler = &OnSignal;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  Frontend frontend(vhci, ports);
  frontend.Start();
  while (gStop == 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    frontend.Poll();
  }
  return 0;
}
