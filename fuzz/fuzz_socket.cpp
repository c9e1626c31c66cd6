#include "fuzz_socket.h"

#include <cstring>
#include <deque>
#include <map>

#include "sim_socket.h"

namespace fuzzsocket {
namespace {

struct Connection {
  Script script;
  size_t offset = 0;
  size_t piece = 0;
};

std::deque<Script> gScripts;
std::map<platform::usb::simsock::Socket, Connection> gOpen;
platform::usb::simsock::Socket gNext = 1;

}  // namespace

void SetScripts(std::vector<Script> scripts) {
  gScripts.assign(scripts.begin(), scripts.end());
}

}  // namespace fuzzsocket

namespace platform {
namespace usb {
namespace simsock {

using fuzzsocket::gOpen;

Socket Connect(uint16_t, uint32_t) {
  if (fuzzsocket::gScripts.empty()) return kNoSocket;
  Socket socket = fuzzsocket::gNext++;
  gOpen[socket].script = std::move(fuzzsocket::gScripts.front());
  fuzzsocket::gScripts.pop_front();
  return socket;
}

void CloseSocket(Socket socket) { gOpen.erase(socket); }

Io SendAll(Socket socket, const void*, size_t, TransferAbort*, uint32_t) {
  auto found = gOpen.find(socket);
  if (found == gOpen.end()) return Io::Failed;
  return found->second.script.sendsFail ? Io::Closed : Io::Ok;
}

Io ReceiveSome(Socket socket, void* buffer, size_t size, size_t* got, TransferAbort* abort,
               uint32_t timeoutMs) {
  *got = 0;
  auto found = gOpen.find(socket);
  if (found == gOpen.end()) return Io::Failed;
  if (abort != nullptr && abort->Aborted()) return Io::Aborted;
  fuzzsocket::Connection& c = found->second;
  size_t left = c.script.incoming.size() - c.offset;
  if (left == 0) return timeoutMs == 0 ? Io::TimedOut : Io::Closed;
  size_t take = left;
  if (c.piece < c.script.pieces.size()) take = c.script.pieces[c.piece++];
  if (take == 0) take = 1;
  if (take > left) take = left;
  if (take > size) take = size;
  std::memcpy(buffer, c.script.incoming.data() + c.offset, take);
  c.offset += take;
  *got = take;
  return Io::Ok;
}

}  // namespace simsock
}  // namespace usb
}  // namespace platform
