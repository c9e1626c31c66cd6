#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/clock.h"
#include "../sim_socket.h"

namespace platform {
namespace usb {
namespace simsock {
namespace {

// Milliseconds left of timeoutMs since start, for poll (-1: no limit).
int Remaining(uint32_t start, uint32_t timeoutMs) {
  if (timeoutMs == kForever) return -1;
  uint32_t spent = SystemTickCount() - start;
  return spent >= timeoutMs ? 0 : static_cast<int>(timeoutMs - spent);
}

// Waits until fd has events or the abort fires. Ok, Aborted, TimedOut, Failed.
Io Wait(int fd, short events, TransferAbort* abort, uint32_t start, uint32_t timeoutMs) {
  for (;;) {
    if (abort != nullptr && abort->Aborted()) return Io::Aborted;
    pollfd fds[2] = {{fd, events, 0}, {-1, POLLIN, 0}};
    nfds_t count = 1;
    int left = Remaining(start, timeoutMs);
    int slice = left;
    if (abort != nullptr) {
      fds[1].fd = static_cast<int>(abort->WaitObject());
      count = 2;
      // An abort without a descriptor is only seen by looking again.
      if (fds[1].fd < 0 && (slice < 0 || slice > 50)) slice = 50;
    }
    int ready = poll(fds, count, slice);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return Io::Failed;
    }
    if (count == 2 && fds[1].revents != 0) return Io::Aborted;
    if (fds[0].revents != 0) return Io::Ok;
    if (ready == 0 && slice == left) return Io::TimedOut;
  }
}

}  // namespace

Socket Connect(uint16_t port, uint32_t timeoutMs) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return kNoSocket;
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    if (errno != EINPROGRESS) {
      close(fd);
      return kNoSocket;
    }
    if (Wait(fd, POLLOUT, nullptr, SystemTickCount(), timeoutMs) != Io::Ok) {
      close(fd);
      return kNoSocket;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
      close(fd);
      return kNoSocket;
    }
  }
  return fd;
}

void CloseSocket(Socket socket) {
  if (socket != kNoSocket) close(static_cast<int>(socket));
}

Io SendAll(Socket socket, const void* data, size_t size, TransferAbort* abort, uint32_t timeoutMs) {
  int fd = static_cast<int>(socket);
  const char* bytes = static_cast<const char*>(data);
  uint32_t start = SystemTickCount();
  while (size > 0) {
    if (abort != nullptr && abort->Aborted()) return Io::Aborted;
    // MSG_NOSIGNAL: a simulator that went away must not kill the process.
    ssize_t sent = send(fd, bytes, size, MSG_NOSIGNAL);
    if (sent > 0) {
      bytes += sent;
      size -= static_cast<size_t>(sent);
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      Io waited = Wait(fd, POLLOUT, abort, start, timeoutMs);
      if (waited != Io::Ok) return waited;
      continue;
    }
    return (errno == EPIPE || errno == ECONNRESET) ? Io::Closed : Io::Failed;
  }
  return Io::Ok;
}

Io ReceiveSome(Socket socket, void* buffer, size_t size, size_t* got, TransferAbort* abort,
               uint32_t timeoutMs) {
  int fd = static_cast<int>(socket);
  *got = 0;
  uint32_t start = SystemTickCount();
  for (;;) {
    if (abort != nullptr && abort->Aborted()) return Io::Aborted;
    ssize_t n = recv(fd, buffer, size, 0);
    if (n > 0) {
      *got = static_cast<size_t>(n);
      return Io::Ok;
    }
    if (n == 0) return Io::Closed;
    if (errno == EINTR) continue;
    if (errno == ECONNRESET) return Io::Closed;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return Io::Failed;
    if (timeoutMs == 0) return Io::TimedOut;
    Io waited = Wait(fd, POLLIN, abort, start, timeoutMs);
    if (waited != Io::Ok) return waited;
  }
}

}  // namespace simsock
}  // namespace usb
}  // namespace platform
