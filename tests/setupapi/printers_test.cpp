// The Setup API wirelet.dll through its 13 exports against printers that
// wine's own plug and play presents: the simulator's printers, plugged into
// the prefix by q7730-wine-bridge through the stand-in printer class driver.
// Run by the Linux build's tests (tests/e2e/e2e_wine_printers_test.cpp) in
// the simulator's folder, with the bridge serving it and the library there
// as wirelet.dll; they check what the printers stored. The printers: 1 of
// another make, then 2, 3 and 4 of the model, component 7 of printer K
// reading "E070000K"; the bridge gives printer 3 the class driver's own pipe
// names.
#include <windows.h>
#include <setupapi.h>

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "device_library.h"
#include "pipe_routing.h"
#include "sim_socket.h"
#include "sim_wire.h"

namespace {

namespace simsock = platform::usb::simsock;

constexpr DWORD kWaitMs = 10000;
// The watcher takes a notice within a pass of 200 ms once wine sends it.
constexpr DWORD kNoticeMs = 3000;
constexpr int kFirmwareRecordSize = 267;
constexpr int kEntrySize = 38;

using Bytes = std::vector<uint8_t>;

// Asks the simulator serving the current folder to run a control request
// ("unplug K", "plug K"). true when it did.
bool SimControl(const std::string& request) {
  std::ifstream file(simwire::kPortFileName);
  unsigned port = 0;
  if (!(file >> port) || port == 0 || port > 65535) return false;
  simsock::Socket socket = simsock::Connect(static_cast<uint16_t>(port), 1000);
  if (socket == simsock::kNoSocket) return false;
  std::vector<uint8_t> message(simwire::kHeaderSize + request.size());
  message[0] = simwire::kControl;
  simwire::PutU32(&message[1], static_cast<uint32_t>(request.size()));
  std::memcpy(&message[simwire::kHeaderSize], request.data(), request.size());
  uint8_t answer[simwire::kHeaderSize + 1] = {};
  size_t have = 0;
  bool sent = simsock::SendAll(socket, message.data(), message.size(), nullptr, 3000) == simsock::Io::Ok;
  while (sent && have < sizeof answer) {
    size_t got = 0;
    if (simsock::ReceiveSome(socket, answer + have, sizeof answer - have, &got, nullptr, 3000) != simsock::Io::Ok)
      break;
    have += got;
  }
  simsock::CloseSocket(socket);
  return have == sizeof answer && answer[0] == simwire::kAnswer && answer[simwire::kHeaderSize] == 1;
}

// Polls until done() holds, for at most limitMs. The time it took, or -1.
long Poll(const std::function<bool()>& done, DWORD limitMs = kWaitMs) {
  DWORD start = GetTickCount();
  for (;;) {
    if (done()) return static_cast<long>(GetTickCount() - start);
    if (GetTickCount() - start > limitMs) return -1;
    Sleep(20);
  }
}

// The port numbers of one discovery pass.
std::vector<int> Discover() {
  std::vector<int> ports;
  for (int port = deviceLibrary.usb_find_first(); port != 0 && ports.size() < 128;
       port = deviceLibrary.usb_find_next())
    ports.push_back(port);
  return ports;
}

// For failure messages: each printer interface the Setup API lists, and
// what opening it and its two pipes by the class driver's names gives.
std::string Listing() {
  static const GUID kUsbPrint = {0x28d78fad, 0x5a12, 0x11d1, {0xae, 0x5b, 0x00, 0x00, 0xf8, 0x03, 0xa8, 0xc2}};
  std::string text;
  HDEVINFO set = SetupDiGetClassDevsA(&kUsbPrint, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return "no device list";
  for (DWORD index = 0;; ++index) {
    SP_DEVICE_INTERFACE_DATA record;
    record.cbSize = sizeof record;
    if (!SetupDiEnumDeviceInterfaces(set, nullptr, &kUsbPrint, index, &record)) break;
    char detail[1024];
    auto* data = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(detail);
    data->cbSize = sizeof *data;
    if (!SetupDiGetDeviceInterfaceDetailA(set, &record, data, sizeof detail, nullptr, nullptr)) continue;
    text += std::string("\n") + data->DevicePath;
    for (const char* suffix : {"", "\\if000pipe000", "\\if000pipe001"}) {
      std::string name = std::string(data->DevicePath) + suffix;
      HANDLE h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, 0, nullptr);
      text += " " + (h == INVALID_HANDLE_VALUE ? "error " + std::to_string(GetLastError()) : std::string("opens"));
      if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
  }
  SetupDiDestroyDeviceInfoList(set);
  return text;
}

// Component k (1..7) of a firmware-information record: its version text.
std::string Component(const uint8_t* record, int k) {
  return std::string(reinterpret_cast<const char*>(record + 1 + (k - 1) * kEntrySize), 8);
}

class PrintersUnderWine : public ::testing::Test {
 protected:
  void SetUp() override {
    if (GetFileAttributesA(simwire::kPortFileName) == INVALID_FILE_ATTRIBUTES)
      GTEST_SKIP() << "no simulator serves this folder: run by the Linux build's wine tests";
    ASSERT_EQ(BindDeviceLibrary(), 1) << "wirelet.dll in the current folder cannot be bound";
  }
  void TearDown() override { UnbindDeviceLibrary(); }

  // The bridge has listed the printers before the test starts; a pass may
  // still come early under load, so discovery is polled.
  std::vector<int> DiscoverThree() {
    std::vector<int> ports;
    EXPECT_GE(Poll([&] { return (ports = Discover()).size() == 3; }), 0) << ports.size() << " printers found";
    return ports;
  }

  std::string ComponentSeven(int port) {
    uint8_t record[300] = {};
    StatusCode status = 1;
    if (deviceLibrary.usb_get_firmware_info(port, record, &status) != 1 || status != 0)
      return "failed " + std::to_string(status);
    EXPECT_EQ(record[0], 7);
    return Component(record, 7);
  }
};

// Through per-printer pipe names (the test's routing), every printer can be
// talked to: the port numbers follow the Setup API's order, which leaves the
// other make out.
TEST_F(PrintersUnderWine, DiscoveryNumbersThePrintersInBusOrder) {
  ASSERT_TRUE(RoutePipeOpens(static_cast<HMODULE>(deviceLibrary.module)));
  std::vector<int> ports = DiscoverThree();
  ASSERT_EQ(ports, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(deviceLibrary.usb_find_next(), 0);
  for (int port : ports) {
    SCOPED_TRACE("port " + std::to_string(port));
    ASSERT_EQ(deviceLibrary.usb_open_port(port), kStatusOk);
    EXPECT_EQ(deviceLibrary.usb_open_port(port), kStatusPortAlreadyOpen);
    StatusCode status = 1;
    EXPECT_EQ(deviceLibrary.usb_get_status(port, &status), 1);
    EXPECT_EQ(status, kStatusOk);
    EXPECT_EQ(ComponentSeven(port), "E070000" + std::to_string(port + 1));
    EXPECT_EQ(deviceLibrary.usb_close_port(port), kStatusOk);
  }
  EXPECT_EQ(deviceLibrary.usb_open_port(4), kStatusUnknownPort);
  // A second pass numbers them alike.
  EXPECT_EQ(Discover(), ports);
  ASSERT_EQ(deviceLibrary.usb_open_port(3), kStatusOk);
  EXPECT_EQ(ComponentSeven(3), "E0700004");
  EXPECT_EQ(deviceLibrary.usb_close_port(3), kStatusOk);
}

// By the class driver's own pipe names, "<path>\if000pipe000" and "...001",
// as wine resolves them: printer 3 (port 2) has them, the others none, so
// they cannot be claimed.
TEST_F(PrintersUnderWine, OnePrinterByTheDriversOwnPipeNames) {
  std::ifstream file("image.bin", std::ios::binary);
  Bytes image((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(image.empty()) << "no image.bin in the folder";
  ASSERT_EQ(DiscoverThree(), (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(deviceLibrary.usb_open_port(1), kStatusDeviceNotAvailable);
  EXPECT_EQ(deviceLibrary.usb_open_port(3), kStatusDeviceNotAvailable);

  ASSERT_EQ(deviceLibrary.usb_open_port(2), kStatusOk) << Listing();
  EXPECT_EQ(deviceLibrary.usb_open_port(2), kStatusPortAlreadyOpen);
  StatusCode status = 1;
  EXPECT_EQ(deviceLibrary.usb_get_status(2, &status), 1);
  EXPECT_EQ(status, kStatusOk);
  uint8_t record[300] = {};
  ASSERT_EQ(deviceLibrary.usb_get_firmware_info(2, record, &status), 1) << status;
  EXPECT_EQ(record[0], 7);
  const char* expected[7] = {"E0208000", "E0211600", "E0190300", "E0200500", "E0170200", "E0150100", "E0700003"};
  for (int k = 1; k <= 7; ++k) EXPECT_EQ(Component(record, k), expected[k - 1]) << "component " << k;

  status = 1;
  ASSERT_EQ(deviceLibrary.usb_target_update(2, kTargetMain, 0, static_cast<int>(image.size()), &status), 1)
      << status;
  EXPECT_EQ(status, kStatusOk);
  status = 1;
  ASSERT_EQ(deviceLibrary.usb_write_data(2, image.data(), static_cast<int>(image.size()), &status), 1) << status;
  EXPECT_EQ(status, kStatusOk);
  // Busy while it stores the image, then ready again.
  EXPECT_GE(Poll([&] { return deviceLibrary.usb_get_status(2, &status) == 1 && status == kStatusOk; }), 0)
      << "still " << status;
  EXPECT_EQ(deviceLibrary.usb_close_port(2), kStatusOk);
  // Closed means closed: it can be opened again.
  EXPECT_EQ(deviceLibrary.usb_open_port(2), kStatusOk);
  EXPECT_EQ(deviceLibrary.usb_close_port(2), kStatusOk);
}

// Pulling printer 3 out while its port is open: wine's notice reaches the
// library's watcher, which lets the port go, and every command answers 1000.
// Plugged in again, a new discovery finds it under its old number.
TEST_F(PrintersUnderWine, UnplugIsNoticedAndReplugIsFound) {
  ASSERT_EQ(DiscoverThree(), (std::vector<int>{1, 2, 3}));
  ASSERT_EQ(deviceLibrary.usb_open_port(2), kStatusOk) << Listing();
  StatusCode status = 1;
  ASSERT_EQ(deviceLibrary.usb_get_status(2, &status), 1);

  ASSERT_TRUE(SimControl("unplug 3"));
  long gone = Poll([&] {
    return deviceLibrary.usb_get_status(2, &status) == 0 && status == kStatusDeviceNotAvailable;
  });
  EXPECT_GE(gone, 0) << "commands still answer " << status;
  // Only the watcher marks an open port as not open: until it has seen the
  // notice, opening again answers 1003. Wine now and then loses a notice;
  // then the next change of another device gives the watcher one.
  StatusCode reopened = kStatusPortAlreadyOpen;
  auto letGo = [&] { return (reopened = deviceLibrary.usb_open_port(2)) != kStatusPortAlreadyOpen; };
  long noticed = Poll(letGo, kNoticeMs);
  if (noticed < 0) {
    std::printf("unplug: no notice within %lu ms; another device comes and goes\n", kNoticeMs);
    ASSERT_TRUE(SimControl("unplug 1"));
    ASSERT_TRUE(SimControl("plug 1"));
    noticed = Poll(letGo);
  }
  EXPECT_GE(noticed, 0) << "the watcher never let the port go";
  EXPECT_EQ(reopened, kStatusDeviceNotAvailable);
  std::printf("unplug: commands failed after %ld ms, the watcher let go after %ld ms more\n", gone, noticed);

  uint8_t buffer[300] = {};
  uint8_t length = 0;
  uint32_t count = 0;
  const uint8_t command[4] = {0x03, 0xF1, 0x3E, 0xA5};
  EXPECT_EQ(deviceLibrary.usb_get_status(2, &status), 0);
  EXPECT_EQ(status, kStatusDeviceNotAvailable);
  EXPECT_EQ(deviceLibrary.usb_get_firmware_info(2, buffer, &status), 0);
  EXPECT_EQ(status, kStatusDeviceNotAvailable);
  EXPECT_EQ(deviceLibrary.usb_target_update(2, kTargetMain, 0, 100, &status), 0);
  EXPECT_EQ(status, kStatusDeviceNotAvailable);
  EXPECT_EQ(deviceLibrary.usb_write_data(2, buffer, 100, &status), 0);
  EXPECT_EQ(status, kStatusDeviceNotAvailable);
  EXPECT_EQ(deviceLibrary.usb_universal_command(2, command, 4, buffer, &length, &status), 0);
  EXPECT_EQ(status, kStatusDeviceNotAvailable);
  EXPECT_EQ(deviceLibrary.usb_command_send(2, command, 4), kStatusDeviceNotAvailable);
  EXPECT_EQ(deviceLibrary.usb_command_recv(2, buffer, &count), kStatusDeviceNotAvailable);
  EXPECT_EQ(deviceLibrary.usb_command_data(2, buffer, 100), kStatusDeviceNotAvailable);
  EXPECT_EQ(deviceLibrary.usb_close_port(2), kStatusOk);

  std::vector<int> ports;
  EXPECT_EQ(Discover(), (std::vector<int>{1, 2}));
  ASSERT_TRUE(SimControl("plug 3"));
  EXPECT_GE(Poll([&] { return (ports = Discover()).size() == 3; }), 0) << "not found again";
  ASSERT_EQ(deviceLibrary.usb_open_port(2), kStatusOk) << Listing();
  EXPECT_EQ(deviceLibrary.usb_get_status(2, &status), 1);
  EXPECT_EQ(status, kStatusOk);
  EXPECT_EQ(ComponentSeven(2), "E0700003");
  EXPECT_EQ(deviceLibrary.usb_close_port(2), kStatusOk);
}

}  // namespace

