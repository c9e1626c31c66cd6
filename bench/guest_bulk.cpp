// q7730-guest-bulk SIZE ROUNDS: in the guest, the bulk rate of the library
// (usb_write_data of a MAIN image of SIZE bytes through ./wirelet.dll)
// against a raw libusb client sending the same announcement and the same
// bytes in 4096-byte transfers to the same printer, ROUNDS of each, taken
// in turn. Prints the medians and the figure line
// "bulk_usb_guest_library_over_raw RATIO". The printer should store at once
// (store_ms = 0), so each round can announce again.
#include <dlfcn.h>
#include <libusb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "wirelet.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// One round through the library; the rate in MB/s, or 0 on failure.
double LibraryRound(void* library, const std::vector<uint8_t>& image) {
  auto first = reinterpret_cast<int (*)()>(dlsym(library, "usb_find_first"));
  auto open = reinterpret_cast<StatusCode(WIRELET_CALL*)(int)>(dlsym(library, "usb_open_port"));
  auto close = reinterpret_cast<StatusCode(WIRELET_CALL*)(int)>(dlsym(library, "usb_close_port"));
  auto announce = reinterpret_cast<int(WIRELET_CALL*)(int, int, int, int, StatusCode*)>(
      dlsym(library, "usb_target_update"));
  auto write = reinterpret_cast<int(WIRELET_CALL*)(int, const uint8_t*, int, StatusCode*)>(
      dlsym(library, "usb_write_data"));
  int port = first();
  if (port <= 0 || open(port) != 0) return 0;
  StatusCode status = 0;
  double rate = 0;
  if (announce(port, kTargetMain, 0, static_cast<int>(image.size()), &status) == 1) {
    Clock::time_point start = Clock::now();
    if (write(port, image.data(), static_cast<int>(image.size()), &status) == 1)
      rate = image.size() / Seconds(start, Clock::now()) / 1e6;
  }
  close(port);
  return rate;
}

double RawRound(const std::vector<uint8_t>& image) {
  libusb_context* context = nullptr;
  if (libusb_init(&context) != 0) return 0;
  libusb_device_handle* handle = libusb_open_device_with_vid_pid(context, 0x7a3d, 0x00b4);
  double rate = 0;
  if (handle != nullptr) {
    libusb_set_auto_detach_kernel_driver(handle, 1);
    if (libusb_claim_interface(handle, 0) == 0) {
      uint32_t size = static_cast<uint32_t>(image.size());
      uint8_t frame[13] = {0x04, 0xC0, 0x09, 0x00, kTargetMain, 0, 0, 0, 0,
                           static_cast<uint8_t>(size), static_cast<uint8_t>(size >> 8),
                           static_cast<uint8_t>(size >> 16), static_cast<uint8_t>(size >> 24)};
      uint8_t reply[512];
      int moved = 0;
      bool ok = libusb_bulk_transfer(handle, 0x03, frame, sizeof frame, &moved, 10000) == 0 &&
                libusb_bulk_transfer(handle, 0x82, reply, sizeof reply, &moved, 10000) == 0;
      Clock::time_point start = Clock::now();
      for (uint32_t sent = 0; ok && sent < size; sent += 4096) {
        int piece = static_cast<int>(std::min<uint32_t>(4096, size - sent));
        ok = libusb_bulk_transfer(handle, 0x03, const_cast<uint8_t*>(image.data()) + sent, piece,
                                  &moved, 10000) == 0 &&
             moved == piece;
      }
      if (ok) rate = size / Seconds(start, Clock::now()) / 1e6;
      libusb_release_interface(handle, 0);
    }
    libusb_close(handle);
  }
  libusb_exit(context);
  return rate;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: q7730-guest-bulk SIZE ROUNDS\n");
    return 2;
  }
  std::vector<uint8_t> image(static_cast<size_t>(std::atol(argv[1])));
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 131 + 7);
  int rounds = std::atoi(argv[2]);
  std::vector<double> library, raw;
  for (int r = 0; r < rounds; ++r) {
    void* wirelet = dlopen("./wirelet.dll", RTLD_NOW | RTLD_LOCAL);
    if (wirelet == nullptr) return 2;
    library.push_back(LibraryRound(wirelet, image));
    dlclose(wirelet);
    raw.push_back(RawRound(image));
    std::printf("round %d library %.2f raw %.2f MB/s\n", r + 1, library.back(), raw.back());
  }
  double l = Median(library), w = Median(raw);
  std::printf("bulk_usb_guest_library %.2f MB/s\nbulk_usb_guest_raw %.2f MB/s\n", l, w);
  std::printf("bulk_usb_guest_library_over_raw %.3f\n", w > 0 ? l / w : 0.0);
  return l > 0 && w > 0 ? 0 : 1;
}
