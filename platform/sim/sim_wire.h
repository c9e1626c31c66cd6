// The TCP wire between the sim bus and q7730-sim (127.0.0.1 only).
//
// Every message in either direction is: type (1 byte), body length (32-bit
// little-endian), body. The first message on a connection decides what the
// connection is:
//   kEnumerate  body: index (16-bit LE)   -> kAnswer body: the index-th present
//               interface path (empty: none). The connection is then done.
//   kOpen       body: a device path or a pipe name
//               -> kAnswer body: 1 byte, 1 = opened, 0 = absent. An opened
//               connection stays open as the handle until either side closes
//               it; the simulator closes it when the printer is unplugged.
//   kSubscribe  -> kAnswer body: 1 byte 1; then one kChange per plug/unplug.
//   kControl    body: "stop", "unplug K" or "plug K"
//               -> kAnswer body: 1 byte 1/0, then a text.
// On an opened bulk-in pipe:  kRead (body: buffer size, 32-bit LE) -> one
// kFrame whose body is one whole reply frame, sent when the printer has one.
// On an opened bulk-out pipe: kWrite (body: the transfer's bytes) -> kAck
// (body: bytes accepted, 32-bit LE) once the printer has taken them.
// kCancel on a bulk-in pipe withdraws its pending read -> kAnswer (empty
// body); a frame sent before the simulator saw it comes first.
// kRelease on an opened device or pipe closes the handle but keeps the
// connection, no answer: the next message decides anew what it is, so a
// client can open again without connecting again.
// A request the handle cannot serve (a read on the bulk-out pipe, any request
// on a device handle) is answered with kRefused, and so is a write that the
// printer's bulk-out endpoint stalled on.
#pragma once
#include <cstddef>
#include <cstdint>

namespace simwire {

constexpr char kPortFileName[] = "q7730-sim.port";

enum MessageType : uint8_t {
  kEnumerate = 'E',
  kOpen = 'O',
  kSubscribe = 'N',
  kControl = 'C',
  kRead = 'R',
  kWrite = 'W',
  kAnswer = 'A',
  kFrame = 'F',
  kAck = 'K',
  kRefused = 'X',
  kChange = 'G',
  kCancel = 'Z',
  kRelease = 'L',
};

constexpr size_t kHeaderSize = 5;
// Larger bodies are a broken peer: the connection is dropped.
constexpr uint32_t kMaxBody = 1u << 20;

inline void PutU32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

inline uint32_t GetU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace simwire
