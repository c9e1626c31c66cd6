// The USB/IP messages between a Linux kernel's vhci-hcd and a device
// server: every message starts with a 48-byte header of big-endian fields.
//   CMD_SUBMIT  basic, transfer flags, buffer length, start frame, packets,
//               interval, 8 setup bytes; the OUT data follows
//   RET_SUBMIT  basic, status, actual length, start frame, packets, error
//               count; the IN data (actual length bytes) follows
//   CMD_UNLINK  basic, seqnum of the URB to unlink
//   RET_UNLINK  basic, status (-ECONNRESET: unlinked; 0: it had completed)
// basic = command, seqnum, devid, direction (0 out, 1 in), endpoint number.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace usbip {

constexpr uint32_t kCmdSubmit = 1;
constexpr uint32_t kCmdUnlink = 2;
constexpr uint32_t kRetSubmit = 3;
constexpr uint32_t kRetUnlink = 4;
constexpr uint32_t kDirOut = 0;
constexpr uint32_t kDirIn = 1;
constexpr size_t kHeaderSize = 48;

struct Header {
  uint32_t command = 0;
  uint32_t seqnum = 0;
  uint32_t devid = 0;
  uint32_t direction = 0;
  uint32_t ep = 0;
  // CMD_SUBMIT: flags, length, start frame, packets, interval; RET_SUBMIT:
  // status, actual length, start frame, packets, error count; CMD_UNLINK:
  // the seqnum to unlink in [0]; RET_UNLINK: the status in [0].
  int32_t field[5] = {0, 0, 0, 0, 0};
  uint8_t setup[8] = {};
};

inline uint32_t GetBe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}

inline void PutBe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

inline Header Decode(const uint8_t* p) {
  Header h;
  h.command = GetBe32(p);
  h.seqnum = GetBe32(p + 4);
  h.devid = GetBe32(p + 8);
  h.direction = GetBe32(p + 12);
  h.ep = GetBe32(p + 16);
  for (int i = 0; i < 5; ++i) h.field[i] = static_cast<int32_t>(GetBe32(p + 20 + 4 * i));
  std::memcpy(h.setup, p + 40, 8);
  return h;
}

inline void Encode(const Header& h, uint8_t* p) {
  PutBe32(p, h.command);
  PutBe32(p + 4, h.seqnum);
  PutBe32(p + 8, h.devid);
  PutBe32(p + 12, h.direction);
  PutBe32(p + 16, h.ep);
  for (int i = 0; i < 5; ++i) PutBe32(p + 20 + 4 * i, static_cast<uint32_t>(h.field[i]));
  std::memcpy(p + 40, h.setup, 8);
}

}  // namespace usbip
