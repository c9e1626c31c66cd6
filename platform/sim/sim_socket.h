// Loopback TCP for the sim bus, one implementation per OS (sim/posix,
// sim/win32). Sockets are non-blocking; every wait also watches the
// transfer's abort signal, so a blocked transfer can always be ended.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/usb_bus.h"

namespace platform {
namespace usb {
namespace simsock {

using Socket = intptr_t;
constexpr Socket kNoSocket = -1;
constexpr uint32_t kForever = 0xFFFFFFFFu;

enum class Io { Ok, Closed, Aborted, TimedOut, Failed };

// Connects to 127.0.0.1:port within timeoutMs. kNoSocket on failure.
Socket Connect(uint16_t port, uint32_t timeoutMs);
void CloseSocket(Socket socket);

// Sends all size bytes. abort may be null.
Io SendAll(Socket socket, const void* data, size_t size, TransferAbort* abort, uint32_t timeoutMs);

// Receives between 1 and size bytes into buffer (*got). timeoutMs 0 only
// takes what is already there (TimedOut when nothing is).
Io ReceiveSome(Socket socket, void* buffer, size_t size, size_t* got, TransferAbort* abort,
               uint32_t timeoutMs);

}  // namespace simsock
}  // namespace usb
}  // namespace platform
