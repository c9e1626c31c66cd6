// The printers of a running q7730-sim as devices of the wine prefix: each
// printer the simulator has plugged in becomes a child of the stand-in
// printer class driver's bus, with its device id and instance taken from
// its path, and its pipes served by a PrinterPipes. The simulator's unplug
// and plug become the removal and arrival of that child.
#pragma once
#include <windows.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "pipe_server.h"
#include "platform/usb_bus.h"

namespace winebridge {

// What a simulator path becomes in the prefix. Paths have the shape
// \\?\usb#vid_VVVV&pid_PPPP#INSTANCE#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}.
struct DeviceName {
  std::wstring deviceId;    // USB\VID_VVVV&PID_PPPP
  std::wstring instanceId;  // INSTANCE
  std::string windowsPath;  // the path the Setup API lists (lower case)
  std::string pipeFolder;   // \\.\pipe\<path after \\?\>: its own pipe names
  bool model = false;       // the vendor and product ids of the ZEM-Q7730-5A
};
// false (and why) for a path that cannot be a device of the prefix.
bool NameDevice(const std::string& simPath, DeviceName* name, std::string* why);

struct BridgeOptions {
  // The instance whose interface link reaches the shared pipe names
  // \\.\pipe\if000pipe000 and ...001, so that programs open its pipes by
  // the class driver's own names. Empty: the first printer of the model the
  // bridge sees.
  std::string sharedPipes;
  bool noSharedPipes = false;
};

class Bridge {
 public:
  explicit Bridge(BridgeOptions options);
  ~Bridge();  // every printer leaves the prefix
  Bridge(const Bridge&) = delete;
  Bridge& operator=(const Bridge&) = delete;

  // Claims the driver's bus and plugs in what the simulator in the current
  // directory has plugged in. false and a message when there is no
  // simulator or no driver.
  bool Start(std::string* error);
  // Follows the simulator; call often. false once the simulator has gone.
  bool Poll();
  // true once every printer plugged in at Start is listed by the Setup API
  // (or has been given up on with a message).
  bool Ready() const { return ready_; }

 private:
  struct Printer {
    std::string simPath;
    DeviceName name;
    bool usable = false;  // has a name in the prefix
    bool present = false;  // plugged in at the simulator, as last seen
    bool plugged = false;  // a child of the bus
    bool listed = false;   // and listed by the Setup API
    DWORD pluggedAt = 0;
    std::unique_ptr<PrinterPipes> pipes;
  };

  void Sync();
  void Plug(Printer* printer);
  void Unplug(Printer* printer);
  bool HasSharedPipes(const Printer& printer) const;
  bool SendRequest(DWORD code, const Printer& printer, DWORD* error);
  void CheckListed();

  BridgeOptions options_;
  HANDLE control_ = INVALID_HANDLE_VALUE;
  platform::usb::ChangeSource* changes_ = nullptr;
  std::map<std::string, std::unique_ptr<Printer>> printers_;  // by simulator path
  std::vector<std::string> initial_;  // paths present at Start
  DWORD startedAt_ = 0;
  bool ready_ = false;
};

}  // namespace winebridge
