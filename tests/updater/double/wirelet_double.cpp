// A test double of wirelet.dll, loaded by the updater like the real library.
// It answers from "double.txt" in the current directory (read at each
// discovery pass) and appends every call to "double.log" there.
//
// double.txt, one "key value" per line (defaults in brackets):
//   printers N   ports found [1]          open S      usb_open_port code [0]
//   later N      ports found by every pass in this folder after the first [printers]
//   info new|old|fail  firmware information [new]
//   status S     usb_get_status code [0]  target S    usb_target_update code [0]
//   write S      usb_write_data code [0]  universal R usb_universal_command result [1]
//   block 1      discovery waits until a file "release" appears [0]
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "wirelet.h"

namespace {

std::mutex doubleMutex;
std::map<std::string, std::string> script;
int passes = 0;  // discovery passes of this load: 1 after the first after a fresh load
int found = 0;
int cursor = 0;

void Log(const std::string& line) {
  std::ofstream log("double.log", std::ios::app | std::ios::binary);
  log << line << "\n";
}

// Discovery passes made in this folder so far, over every load.
int PassesLogged() {
  std::ifstream in("double.log");
  std::string line;
  int count = 0;
  while (std::getline(in, line)) count += line.rfind("usb_find_first", 0) == 0;
  return count;
}

void ReadScript() {
  script.clear();
  std::ifstream in("double.txt");
  std::string key, value;
  while (in >> key >> value) script[key] = value;
}

std::string Setting(const char* key, const char* fallback) {
  auto it = script.find(key);
  return it == script.end() ? fallback : it->second;
}

int Number(const char* key, int fallback) {
  auto it = script.find(key);
  return it == script.end() ? fallback : std::stoi(it->second);
}

struct LoadMarker {
  LoadMarker() { Log("load"); }
  ~LoadMarker() { Log("unload"); }
} loadMarker;

}  // namespace

extern "C" {

WIRELET_EXPORT int usb_find_first(void) {
  std::unique_lock<std::mutex> hold(doubleMutex);
  ReadScript();
  const bool later = PassesLogged() > 0;
  ++passes;
  Log("usb_find_first pass " + std::to_string(passes));
  if (Number("block", 0) != 0) {
    // Held until the test lets go; never longer than a minute.
    hold.unlock();
    for (int i = 0; i < 600; ++i) {
      if (std::ifstream("release").good()) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    hold.lock();
  }
  found = Number("printers", 1);
  if (later) found = Number("later", found);
  cursor = 0;
  return found > 0 ? 1 : 0;
}

WIRELET_EXPORT int usb_find_next(void) {
  std::lock_guard<std::mutex> hold(doubleMutex);
  ++cursor;
  return cursor < found ? cursor + 1 : 0;
}

WIRELET_EXPORT StatusCode WIRELET_CALL usb_open_port(int port) {
  std::lock_guard<std::mutex> hold(doubleMutex);
  Log("usb_open_port " + std::to_string(port));
  return static_cast<StatusCode>(Number("open", 0));
}

WIRELET_EXPORT StatusCode WIRELET_CALL usb_close_port(int port) {
  std::lock_guard<std::mutex> hold(doubleMutex);
  Log("usb_close_port " + std::to_string(port));
  return 0;
}

WIRELET_EXPORT StatusCode WIRELET_CALL usb_command_send(int, const uint8_t*, int) { return 0; }
WIRELET_EXPORT StatusCode WIRELET_CALL usb_command_recv(int, uint8_t*, uint32_t*) { return 0; }
WIRELET_EXPORT StatusCode WIRELET_CALL usb_command_data(int, const uint8_t*, int) { return 0; }
WIRELET_EXPORT StatusCode WIRELET_CALL usb_get_id(int, int* first, int* second) {
  *first = 0;
  *second = 0;
  return 0;
}

WIRELET_EXPORT int WIRELET_CALL usb_get_status(int port, StatusCode* status) {
  std::lock_guard<std::mutex> hold(doubleMutex);
  Log("usb_get_status " + std::to_string(port));
  StatusCode code = static_cast<StatusCode>(Number("status", 0));
  if (status) *status = code;
  return code == 0;
}

WIRELET_EXPORT int WIRELET_CALL usb_write_data(int port, const uint8_t*, int length, StatusCode* status) {
  std::lock_guard<std::mutex> hold(doubleMutex);
  Log("usb_write_data " + std::to_string(port) + " " + std::to_string(length));
  StatusCode code = static_cast<StatusCode>(Number("write", 0));
  if (status) *status = code;
  return code == 0;
}

WIRELET_EXPORT int WIRELET_CALL usb_get_firmware_info(int port, uint8_t* record, StatusCode* status) {
  std::lock_guard<std::mutex> hold(doubleMutex);
  Log("usb_get_firmware_info " + std::to_string(port));
  std::string info = Setting("info", "new");
  if (info == "fail") {
    if (status) *status = 2600;
    return 0;
  }
  record[0] = 7;
  std::memcpy(record + 1, info == "new" ? "E0208000" : "E0100000", 8);
  std::memcpy(record + 39, "E0211600", 8);
  if (status) *status = 0;
  return 1;
}

WIRELET_EXPORT int WIRELET_CALL usb_target_update(int port, int target, int value, int size, StatusCode* status) {
  std::lock_guard<std::mutex> hold(doubleMutex);
  Log("usb_target_update " + std::to_string(port) + " " + std::to_string(target) + " " + std::to_string(value) +
      " " + std::to_string(size));
  StatusCode code = static_cast<StatusCode>(Number("target", 0));
  if (status) *status = code;
  return code == 0;
}

#ifndef DOUBLE_WITHOUT_UNIVERSAL_COMMAND
WIRELET_EXPORT int WIRELET_CALL usb_universal_command(int port, const uint8_t* bytes, int length, uint8_t*,
                                                      uint8_t* replyLength, StatusCode* status) {
  std::lock_guard<std::mutex> hold(doubleMutex);
  char hex[3];
  std::string text = "usb_universal_command " + std::to_string(port) + " ";
  for (int i = 0; i < length; ++i) {
    std::snprintf(hex, sizeof hex, "%02x", bytes[i]);
    text += hex;
  }
  Log(text);
  *replyLength = 0;
  if (status) *status = 0;
  return Number("universal", 1);
}
#endif

}  // extern "C"
