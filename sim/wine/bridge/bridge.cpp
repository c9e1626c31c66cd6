#include "bridge.h"

#include <setupapi.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "simbus.h"
#include "sim_wire.h"

namespace winebridge {
namespace {

namespace usb = platform::usb;

// GUID_DEVINTERFACE_USBPRINT
const GUID kUsbPrintInterface = {0x28d78fad, 0x5a12, 0x11d1, {0xae, 0x5b, 0x00, 0x00, 0xf8, 0x03, 0xa8, 0xc2}};
constexpr char kInterfaceTail[] = "#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";
// How long a child may take to be listed before the bridge says so.
constexpr DWORD kListingMs = 10000;

std::string Lower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

std::wstring UpperWide(const std::string& text) {
  std::wstring wide;
  for (char c : text) wide += static_cast<wchar_t>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  return wide;
}

bool IdCharacters(const std::string& text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  });
}

// The interface paths the Setup API lists now, in lower case.
std::vector<std::string> ListedPaths() {
  std::vector<std::string> paths;
  HDEVINFO set = SetupDiGetClassDevsA(&kUsbPrintInterface, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return paths;
  std::vector<char> detail(2048);
  for (DWORD index = 0;; ++index) {
    SP_DEVICE_INTERFACE_DATA record;
    record.cbSize = sizeof record;
    if (!SetupDiEnumDeviceInterfaces(set, nullptr, &kUsbPrintInterface, index, &record)) break;
    auto* data = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(detail.data());
    data->cbSize = sizeof *data;
    if (SetupDiGetDeviceInterfaceDetailA(set, &record, data, static_cast<DWORD>(detail.size()), nullptr, nullptr))
      paths.push_back(Lower(data->DevicePath));
  }
  SetupDiDestroyDeviceInfoList(set);
  return paths;
}

bool Openable(const std::string& path) {
  HANDLE device = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  if (device == INVALID_HANDLE_VALUE) return false;
  CloseHandle(device);
  return true;
}

void Say(const char* what, const std::string& path) {
  std::printf("%s %s\n", what, path.c_str());
  std::fflush(stdout);
}

}  // namespace

bool NameDevice(const std::string& simPath, DeviceName* name, std::string* why) {
  static const char kHead[] = "\\\\?\\usb#vid_";
  const size_t head = sizeof kHead - 1, tail = sizeof kInterfaceTail - 1;
  std::string lower = Lower(simPath);
  // \\?\usb#vid_VVVV&pid_PPPP#I#{...}: the shortest has a one-character instance.
  if (lower.size() < head + 4 + 5 + 4 + 1 + 1 + tail || lower.compare(0, head, kHead) != 0 ||
      lower.compare(lower.size() - tail, tail, kInterfaceTail) != 0 ||
      lower.compare(head + 4, 5, "&pid_") != 0 || lower[head + 13] != '#') {
    *why = "not of the shape \\\\?\\usb#vid_VVVV&pid_PPPP#INSTANCE#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";
    return false;
  }
  std::string vendor = simPath.substr(head, 4), product = simPath.substr(head + 9, 4);
  std::string instance = simPath.substr(head + 14, simPath.size() - tail - head - 14);
  if (!IdCharacters(vendor) || !IdCharacters(product)) {
    *why = "its vendor or product id is not letters and digits";
    return false;
  }
  if (instance.size() >= SIMBUS_MAX_INSTANCE_ID ||
      !std::all_of(instance.begin(), instance.end(), [](char c) {
        return c > ' ' && c < 0x7f && c != '#' && c != '\\' && c != '/' && c != ',';
      })) {
    *why = "its instance is longer than " + std::to_string(SIMBUS_MAX_INSTANCE_ID - 1) +
           " characters or holds characters a device instance cannot";
    return false;
  }
  name->deviceId = UpperWide("USB\\VID_" + vendor + "&PID_" + product);
  name->instanceId = UpperWide(instance);
  name->windowsPath = lower;
  name->pipeFolder = "\\\\.\\pipe\\" + lower.substr(4);
  name->model = lower.compare(head, 4, "7a3d") == 0 && lower.compare(head + 9, 4, "00b4") == 0;
  return true;
}

Bridge::Bridge(BridgeOptions options) : options_(std::move(options)) {}

Bridge::~Bridge() {
  for (auto& entry : printers_)
    if (entry.second->plugged) Unplug(entry.second.get());
  usb::CloseChangeSource(changes_);
  // Closing the handle would unplug them all the same.
  if (control_ != INVALID_HANDLE_VALUE) CloseHandle(control_);
}

bool Bridge::Start(std::string* error) {
  if (GetFileAttributesA(simwire::kPortFileName) == INVALID_FILE_ATTRIBUTES) {
    *error = std::string("no simulator serves this directory (no ") + simwire::kPortFileName + ")";
    return false;
  }
  control_ = CreateFileA(SIMBUS_CONTROL_PATH, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_EXISTING, 0, nullptr);
  if (control_ == INVALID_HANDLE_VALUE) {
    *error = "the stand-in printer driver does not run in this wine prefix (" SIMBUS_CONTROL_PATH
             " cannot be opened): run q7730-wine-install.exe first";
    return false;
  }
  DWORD returned = 0;
  if (!DeviceIoControl(control_, IOCTL_SIMBUS_CLAIM, nullptr, 0, nullptr, 0, &returned, nullptr)) {
    *error = "another bridge serves this wine prefix (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  changes_ = usb::OpenChangeSource();
  startedAt_ = GetTickCount();
  Sync();
  for (auto& entry : printers_)
    if (entry.second->plugged) initial_.push_back(entry.first);
  CheckListed();
  return true;
}

bool Bridge::Poll() {
  if (GetFileAttributesA(simwire::kPortFileName) == INVALID_FILE_ATTRIBUTES) return false;
  bool changed = false;
  while (usb::TakeChange(changes_)) changed = true;
  for (auto& entry : printers_) {
    const Printer& printer = *entry.second;
    // A child the driver could not take yet, or pipes the simulator dropped
    // (an unplug too short to be seen here): both need another pass.
    if ((printer.present && printer.usable && !printer.plugged) ||
        (printer.pipes != nullptr && printer.pipes->Broken()))
      changed = true;
  }
  if (changed) Sync();
  CheckListed();
  return true;
}

void Bridge::Sync() {
  std::vector<std::string> present;
  char path[4200];
  for (uint16_t index = 0; index < 1000; ++index) {
    if (usb::EnumerateInterface(index, path, sizeof path) == 0) break;
    present.emplace_back(path);
  }
  for (auto& entry : printers_) {
    Printer* printer = entry.second.get();
    printer->present = std::find(present.begin(), present.end(), entry.first) != present.end();
    if (printer->plugged && (!printer->present || printer->pipes->Broken())) Unplug(printer);
  }
  for (const std::string& simPath : present) {
    auto& slot = printers_[simPath];
    if (slot == nullptr) {
      slot = std::make_unique<Printer>();
      slot->simPath = simPath;
      slot->present = true;
      std::string why;
      slot->usable = NameDevice(simPath, &slot->name, &why);
      if (!slot->usable)
        std::fprintf(stderr, "q7730-wine-bridge: %s is left out: %s\n", simPath.c_str(), why.c_str());
      else if (!options_.noSharedPipes && options_.sharedPipes.empty() && slot->name.model)
        options_.sharedPipes = Lower(std::string(slot->name.instanceId.begin(), slot->name.instanceId.end()));
    }
    if (slot->usable && !slot->plugged) Plug(slot.get());
  }
}

bool Bridge::HasSharedPipes(const Printer& printer) const {
  std::string instance(printer.name.instanceId.begin(), printer.name.instanceId.end());
  return !options_.noSharedPipes && Lower(instance) == Lower(options_.sharedPipes);
}

bool Bridge::SendRequest(DWORD code, const Printer& printer, DWORD* error) {
  SimBusPrinter request;
  std::memset(&request, 0, sizeof request);
  request.flags = HasSharedPipes(printer) ? SIMBUS_LINK_TO_PIPES : 0;
  std::copy(printer.name.deviceId.begin(), printer.name.deviceId.end(), request.deviceId);
  std::copy(printer.name.instanceId.begin(), printer.name.instanceId.end(), request.instanceId);
  DWORD returned = 0;
  if (DeviceIoControl(control_, code, &request, sizeof request, nullptr, 0, &returned, nullptr)) return true;
  *error = GetLastError();
  return false;
}

void Bridge::Plug(Printer* printer) {
  std::vector<std::string> folders = {printer->name.pipeFolder};
  if (HasSharedPipes(*printer)) folders.push_back("\\\\.\\pipe");
  // Pipes first: a program may open them as soon as the child is listed.
  auto pipes = std::make_unique<PrinterPipes>(printer->simPath, folders);
  std::string why;
  if (!pipes->Start(&why)) {
    std::fprintf(stderr, "q7730-wine-bridge: %s: %s\n", printer->simPath.c_str(), why.c_str());
    printer->usable = false;
    return;
  }
  DWORD error = 0;
  if (!SendRequest(IOCTL_SIMBUS_PLUG, *printer, &error)) {
    pipes->Stop();
    // ERROR_BUSY: the same instance is still on its way out; next pass.
    if (error != ERROR_BUSY) {
      std::fprintf(stderr, "q7730-wine-bridge: the driver refused %s (error %lu)\n", printer->simPath.c_str(),
                   error);
      printer->usable = false;
    }
    return;
  }
  printer->pipes = std::move(pipes);
  printer->plugged = true;
  printer->listed = false;
  printer->pluggedAt = GetTickCount();
}

void Bridge::Unplug(Printer* printer) {
  // Its pipes break first, as a pulled cable fails every transfer.
  if (printer->pipes != nullptr) printer->pipes->Stop();
  printer->pipes.reset();
  DWORD error = 0;
  if (!SendRequest(IOCTL_SIMBUS_UNPLUG, *printer, &error) && error != ERROR_NOT_FOUND)
    std::fprintf(stderr, "q7730-wine-bridge: the driver did not unplug %s (error %lu)\n",
                 printer->simPath.c_str(), error);
  printer->plugged = false;
  if (printer->listed) Say("unplugged", printer->name.windowsPath);
  printer->listed = false;
}

void Bridge::CheckListed() {
  bool waiting = false;
  for (auto& entry : printers_)
    if (entry.second->plugged && !entry.second->listed) waiting = true;
  if (waiting) {
    std::vector<std::string> listed = ListedPaths();
    for (auto& entry : printers_) {
      Printer* printer = entry.second.get();
      if (!printer->plugged || printer->listed) continue;
      if (std::find(listed.begin(), listed.end(), printer->name.windowsPath) != listed.end() &&
          Openable(printer->name.windowsPath)) {
        printer->listed = true;
        Say("plugged", printer->name.windowsPath);
      } else if (GetTickCount() - printer->pluggedAt > kListingMs) {
        std::fprintf(stderr, "q7730-wine-bridge: %s is still not listed after %lu ms\n",
                     printer->name.windowsPath.c_str(), kListingMs);
        printer->pluggedAt = GetTickCount();
      }
    }
  }
  if (ready_) return;
  bool all = true;
  for (const std::string& simPath : initial_) {
    const Printer& printer = *printers_[simPath];
    if (printer.plugged && !printer.listed) all = false;
  }
  if (all || GetTickCount() - startedAt_ > kListingMs) {
    ready_ = true;
    Say("ready", "");
  }
}

}  // namespace winebridge
