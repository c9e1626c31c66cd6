#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <mutex>

#include "../sim_socket.h"
#include "platform/clock.h"

namespace platform {
namespace usb {
namespace simsock {
namespace {

void StartWinsock() {
  static std::once_flag once;
  std::call_once(once, [] {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    // The library is unloaded and loaded again between the updater's two
    // phases; ws2_32 going away under a started Winsock crashed the second
    // load under wine, so keep it for the life of the process.
    HMODULE pinned = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_PIN, "ws2_32.dll", &pinned);
  });
}

DWORD Remaining(uint32_t start, uint32_t timeoutMs) {
  if (timeoutMs == kForever) return INFINITE;
  uint32_t spent = SystemTickCount() - start;
  return spent >= timeoutMs ? 0 : timeoutMs - spent;
}

// Waits for network events on the socket or the abort event. Winsock recv
// cannot be cancelled from another thread (not under wine either), so the
// socket is watched through an event instead. Slices of 200 ms guard against
// a missed edge of the socket's event.
Io Wait(SOCKET s, long events, TransferAbort* abort, uint32_t start, uint32_t timeoutMs) {
  if (abort != nullptr && abort->Aborted()) return Io::Aborted;
  WSAEVENT ready = WSACreateEvent();
  if (ready == WSA_INVALID_EVENT) return Io::Failed;
  Io result = Io::Failed;
  if (WSAEventSelect(s, ready, events | FD_CLOSE) == 0) {
    HANDLE waits[2] = {ready, nullptr};
    DWORD count = 1;
    if (abort != nullptr && abort->WaitObject() != 0) {
      waits[1] = reinterpret_cast<HANDLE>(abort->WaitObject());
      count = 2;
    }
    DWORD left = Remaining(start, timeoutMs);
    DWORD slice = left < 200 ? left : 200;
    DWORD woke = WaitForMultipleObjects(count, waits, FALSE, slice);
    if (abort != nullptr && abort->Aborted()) {
      result = Io::Aborted;
    } else if (woke == WAIT_OBJECT_0 || woke == WAIT_TIMEOUT) {
      // On a slice's end the caller simply tries the socket again.
      result = (woke == WAIT_TIMEOUT && left == 0) ? Io::TimedOut : Io::Ok;
    } else {
      result = Io::Failed;
    }
    WSAEventSelect(s, nullptr, 0);
  }
  WSACloseEvent(ready);
  return result;
}

}  // namespace

Socket Connect(uint16_t port, uint32_t timeoutMs) {
  StartWinsock();
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return kNoSocket;
  u_long nonBlocking = 1;
  ioctlsocket(s, FIONBIO, &nonBlocking);
  BOOL one = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    if (WSAGetLastError() != WSAEWOULDBLOCK) {
      closesocket(s);
      return kNoSocket;
    }
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    timeval limit{static_cast<long>(timeoutMs / 1000), static_cast<long>(timeoutMs % 1000) * 1000};
    if (select(0, nullptr, &writable, &failed, &limit) != 1 || !FD_ISSET(s, &writable)) {
      closesocket(s);
      return kNoSocket;
    }
  }
  return static_cast<Socket>(s);
}

void CloseSocket(Socket socket) {
  if (socket != kNoSocket) closesocket(static_cast<SOCKET>(socket));
}

Io SendAll(Socket socket, const void* data, size_t size, TransferAbort* abort, uint32_t timeoutMs) {
  SOCKET s = static_cast<SOCKET>(socket);
  const char* bytes = static_cast<const char*>(data);
  uint32_t start = SystemTickCount();
  while (size > 0) {
    if (abort != nullptr && abort->Aborted()) return Io::Aborted;
    int chunk = size > 65536 ? 65536 : static_cast<int>(size);
    int sent = send(s, bytes, chunk, 0);
    if (sent > 0) {
      bytes += sent;
      size -= static_cast<size_t>(sent);
      continue;
    }
    int error = WSAGetLastError();
    if (sent == SOCKET_ERROR && error == WSAEWOULDBLOCK) {
      Io waited = Wait(s, FD_WRITE, abort, start, timeoutMs);
      if (waited != Io::Ok) return waited;
      continue;
    }
    return (error == WSAECONNRESET || error == WSAECONNABORTED) ? Io::Closed : Io::Failed;
  }
  return Io::Ok;
}

Io ReceiveSome(Socket socket, void* buffer, size_t size, size_t* got, TransferAbort* abort,
               uint32_t timeoutMs) {
  SOCKET s = static_cast<SOCKET>(socket);
  *got = 0;
  uint32_t start = SystemTickCount();
  int chunk = size > 65536 ? 65536 : static_cast<int>(size);
  for (;;) {
    if (abort != nullptr && abort->Aborted()) return Io::Aborted;
    int n = recv(s, static_cast<char*>(buffer), chunk, 0);
    if (n > 0) {
      *got = static_cast<size_t>(n);
      return Io::Ok;
    }
    if (n == 0) return Io::Closed;
    int error = WSAGetLastError();
    if (error == WSAECONNRESET || error == WSAECONNABORTED) return Io::Closed;
    if (error != WSAEWOULDBLOCK) return Io::Failed;
    if (timeoutMs == 0) return Io::TimedOut;
    Io waited = Wait(s, FD_READ, abort, start, timeoutMs);
    if (waited != Io::Ok) return waited;
  }
}

}  // namespace simsock
}  // namespace usb
}  // namespace platform
