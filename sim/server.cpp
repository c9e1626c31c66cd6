#include "server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "sim_wire.h"

namespace sim {
namespace {

constexpr size_t kMaxConnections = 2048;
constexpr size_t kMaxOutput = 8u << 20;
constexpr const char* kPipeIn = "\\if000pipe000";
constexpr const char* kPipeOut = "\\if000pipe001";

Bytes Flag(bool ok) { return Bytes{static_cast<uint8_t>(ok ? 1 : 0)}; }

}  // namespace

Server::Server(std::string dir, const Scenario& scenario, int stopFd)
    : dir_(std::move(dir)), portFile_(dir_ + "/" + simwire::kPortFileName), stopFd_(stopFd) {
  for (size_t i = 0; i < scenario.printers.size(); ++i) {
    int number = static_cast<int>(i + 1);
    printers_.push_back(std::make_unique<Printer>(scenario.printers[i], number,
                                                  dir_ + "/printers/" + std::to_string(number)));
  }
  pendingReads_.resize(printers_.size());
  replugAt_.assign(printers_.size(), 0);
}

Server::~Server() {
  for (auto& entry : connections_) {
    if (entry.second->fd >= 0) close(entry.second->fd);
  }
  if (listenFd_ >= 0) close(listenFd_);
  if (timeline_ != nullptr) std::fclose(timeline_);
}

uint64_t Server::NowMs() const {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

void Server::Timeline(int printer, const char* direction, size_t size, const char* what) {
  unsigned long long ms = static_cast<unsigned long long>(NowMs() - startMs_);
  if (what != nullptr) std::fprintf(timeline_, "%llu %d %s %s\n", ms, printer + 1, direction, what);
  else std::fprintf(timeline_, "%llu %d %s %zu\n", ms, printer + 1, direction, size);
  std::fflush(timeline_);
}

bool Server::Start(std::string* error) {
  std::string printers = dir_ + "/printers";
  if (mkdir(printers.c_str(), 0777) != 0 && errno != EEXIST) {
    *error = "cannot create " + printers + ": " + std::strerror(errno);
    return false;
  }
  for (auto& printer : printers_) {
    if (!printer->Prepare(error)) return false;
  }
  std::string timeline = dir_ + "/transfers.log";
  timeline_ = std::fopen(timeline.c_str(), "w");
  if (timeline_ == nullptr) {
    *error = "cannot write " + timeline + ": " + std::strerror(errno);
    return false;
  }
  startMs_ = NowMs();
  listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (listenFd_ < 0) {
    *error = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = 0;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listenFd_, 256) != 0 ||
      getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    *error = std::string("cannot listen on 127.0.0.1: ") + std::strerror(errno);
    return false;
  }
  port_ = ntohs(address.sin_port);
  // Written whole and then renamed, so a reader never sees half a number.
  std::string temporary = portFile_ + ".tmp";
  FILE* file = std::fopen(temporary.c_str(), "w");
  bool written = file != nullptr && std::fprintf(file, "%u\n%ld\n", port_, static_cast<long>(getpid())) > 0;
  if (file != nullptr && std::fclose(file) != 0) written = false;
  if (!written || std::rename(temporary.c_str(), portFile_.c_str()) != 0) {
    *error = "cannot write " + portFile_ + ": " + std::strerror(errno);
    unlink(temporary.c_str());
    return false;
  }
  return true;
}

void Server::Run() {
  std::vector<pollfd> fds;
  std::vector<uint64_t> ids;
  while (!stopping_) {
    fds.clear();
    ids.clear();
    fds.push_back({stopFd_, POLLIN, 0});
    fds.push_back({listenFd_, POLLIN, 0});
    for (auto& entry : connections_) {
      short events = POLLIN;
      if (!entry.second->out.empty()) events |= POLLOUT;
      fds.push_back({entry.second->fd, events, 0});
      ids.push_back(entry.first);
    }
    int timeout = -1;
    uint64_t now = NowMs();
    std::vector<uint64_t> deadlines = replugAt_;
    for (auto& printer : printers_) deadlines.push_back(printer->Deadline());
    for (uint64_t at : deadlines) {
      if (at == 0) continue;
      int wait = at <= now ? 0 : static_cast<int>(at - now);
      if (timeout < 0 || wait < timeout) timeout = wait;
    }
    int ready = poll(fds.data(), fds.size(), timeout);
    if (ready < 0 && errno != EINTR) {
      std::perror("q7730-sim: poll");
      break;
    }
    if (ready > 0) {
      if (fds[0].revents != 0) stopping_ = true;
      if (fds[1].revents != 0) Accept();
      for (size_t i = 0; i < ids.size(); ++i) {
        short revents = fds[i + 2].revents;
        if (revents == 0) continue;
        auto found = connections_.find(ids[i]);
        if (found == connections_.end()) continue;
        Connection* c = found->second.get();
        if (c->dead) continue;
        if (revents & (POLLIN | POLLHUP | POLLERR)) Receive(ids[i], c);
        if (!c->dead && (revents & POLLOUT)) Flush(c);
      }
    }
    now = NowMs();
    for (auto& printer : printers_) printer->Tick(now);
    for (size_t p = 0; p < replugAt_.size(); ++p) {
      if (replugAt_[p] != 0 && replugAt_[p] <= now) {
        replugAt_[p] = 0;
        Plug(static_cast<int>(p));
      }
    }
    for (auto it = connections_.begin(); it != connections_.end();) {
      Connection* c = it->second.get();
      if (!c->dead && c->closeWhenSent && c->out.empty()) Drop(c);
      if (c->dead) {
        close(c->fd);
        it = connections_.erase(it);
      } else {
        ++it;
      }
    }
  }
  // Everything is on disk and the port file is gone before any client sees
  // its connection close, so "--stop" returning means the run is over.
  printers_.clear();
  unlink(portFile_.c_str());
  for (auto& entry : connections_) {
    Connection* c = entry.second.get();
    if (!c->dead && !c->out.empty()) Flush(c);
    close(c->fd);
  }
  connections_.clear();
}

void Server::Accept() {
  for (;;) {
    int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;
    if (connections_.size() >= kMaxConnections) {
      close(fd);
      continue;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    auto c = std::make_unique<Connection>();
    c->fd = fd;
    connections_.emplace(nextId_++, std::move(c));
  }
}

void Server::Receive(uint64_t id, Connection* c) {
  uint8_t chunk[65536];
  for (int round = 0; round < 16 && !c->dead; ++round) {
    ssize_t n = recv(c->fd, chunk, sizeof chunk, 0);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
      Drop(c);
      return;
    }
    if (n < 0) break;
    c->in.insert(c->in.end(), chunk, chunk + n);
    size_t used = 0;
    while (!c->dead && c->in.size() - used >= simwire::kHeaderSize) {
      uint32_t length = simwire::GetU32(&c->in[used + 1]);
      if (length > simwire::kMaxBody) {
        Drop(c);
        return;
      }
      if (c->in.size() - used < simwire::kHeaderSize + length) break;
      uint8_t type = c->in[used];
      Bytes body(c->in.begin() + static_cast<long>(used + simwire::kHeaderSize),
                 c->in.begin() + static_cast<long>(used + simwire::kHeaderSize + length));
      used += simwire::kHeaderSize + length;
      if (!Handle(id, c, type, body)) {
        Drop(c);
        return;
      }
    }
    if (!c->dead) c->in.erase(c->in.begin(), c->in.begin() + static_cast<long>(used));
  }
  if (!c->dead) Flush(c);
}

void Server::Flush(Connection* c) {
  while (!c->out.empty()) {
    ssize_t n = send(c->fd, c->out.data(), c->out.size(), MSG_NOSIGNAL);
    if (n > 0) {
      c->out.erase(c->out.begin(), c->out.begin() + n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    Drop(c);
    return;
  }
}

void Server::Send(Connection* c, uint8_t type, const Bytes& body) {
  if (c->dead) return;
  if (c->out.size() + body.size() > kMaxOutput) {
    // A client that never reads is dropped rather than buffered for ever.
    Drop(c);
    return;
  }
  uint8_t header[simwire::kHeaderSize];
  header[0] = type;
  simwire::PutU32(&header[1], static_cast<uint32_t>(body.size()));
  c->out.insert(c->out.end(), header, header + simwire::kHeaderSize);
  c->out.insert(c->out.end(), body.begin(), body.end());
}

void Server::Drop(Connection* c) {
  if (c->dead) return;
  c->dead = true;
  if (c->readPending && c->printer >= 0) {
    // Its place in the queue of reads goes with it.
    c->readPending = false;
    std::deque<uint64_t>& reads = pendingReads_[static_cast<size_t>(c->printer)];
    for (auto it = reads.begin(); it != reads.end(); ++it) {
      auto found = connections_.find(*it);
      if (found != connections_.end() && found->second.get() == c) {
        reads.erase(it);
        break;
      }
    }
  }
  shutdown(c->fd, SHUT_RDWR);
}

void Server::WithdrawRead(uint64_t id, Connection* c) {
  if (!c->readPending) return;
  c->readPending = false;
  std::deque<uint64_t>& reads = pendingReads_[static_cast<size_t>(c->printer)];
  reads.erase(std::remove(reads.begin(), reads.end(), id), reads.end());
}

// false: the client broke the wire protocol and is dropped.
bool Server::Handle(uint64_t id, Connection* c, uint8_t type, const Bytes& body) {
  using Role = Connection::Role;
  if (c->role == Role::kNew) {
    HandleFirst(c, type, body);
    return true;
  }
  if (c->role == Role::kSubscriber || c->closeWhenSent) return false;
  if (type == simwire::kRelease) {
    if (!body.empty()) return false;
    WithdrawRead(id, c);
    c->role = Role::kNew;
    c->printer = -1;
    return true;
  }
  Printer* printer = printers_[static_cast<size_t>(c->printer)].get();
  if (type == simwire::kRead) {
    if (body.size() != 4 || c->readPending) return false;
    if (c->role != Role::kPipeIn) {
      if (c->role == Role::kPipeOut) printer->Reject("read on the bulk-out pipe refused");
      Send(c, simwire::kRefused, Bytes());
      return true;
    }
    c->readPending = true;
    pendingReads_[static_cast<size_t>(c->printer)].push_back(id);
    Deliver(c->printer);
    return true;
  }
  if (type == simwire::kCancel) {
    if (!body.empty() || c->role != Role::kPipeIn) return false;
    WithdrawRead(id, c);
    Send(c, simwire::kAnswer, Bytes());
    return true;
  }
  if (type == simwire::kWrite) {
    if (c->role != Role::kPipeOut) {
      if (c->role == Role::kPipeIn) printer->Reject("write on the bulk-in pipe refused");
      Send(c, simwire::kRefused, Bytes());
      return true;
    }
    Timeline(c->printer, "out", body.size());
    Printer::WriteResult result = printer->Write(body.data(), body.size(), NowMs());
    if (result.unplug) {
      Unplug(c->printer, true);
      return true;
    }
    // A stalled write is refused: the client's transfer fails at once.
    if (result.stall) {
      Send(c, simwire::kRefused, Bytes());
      return true;
    }
    if (result.acknowledge) {
      Bytes ack(4);
      simwire::PutU32(ack.data(), result.accepted);
      Send(c, simwire::kAck, ack);
    }
    Deliver(c->printer);
    return true;
  }
  return false;
}

void Server::HandleFirst(Connection* c, uint8_t type, const Bytes& body) {
  using Role = Connection::Role;
  c->closeWhenSent = true;
  if (type == simwire::kEnumerate && body.size() == 2) {
    size_t index = body[0] | static_cast<size_t>(body[1]) << 8;
    std::string path;
    for (auto& printer : printers_) {
      if (!printer->Present()) continue;
      if (index-- == 0) {
        path = printer->Path();
        break;
      }
    }
    Send(c, simwire::kAnswer, Bytes(path.begin(), path.end()));
  } else if (type == simwire::kOpen) {
    std::string name(body.begin(), body.end());
    for (size_t i = 0; i < printers_.size(); ++i) {
      const std::string& path = printers_[i]->Path();
      if (!printers_[i]->Present() || name.compare(0, path.size(), path) != 0) continue;
      std::string rest = name.substr(path.size());
      Role role = rest.empty() ? Role::kDevice
                  : rest == kPipeIn ? Role::kPipeIn
                  : rest == kPipeOut ? Role::kPipeOut
                                     : Role::kNew;
      if (role == Role::kNew) continue;
      c->role = role;
      c->printer = static_cast<int>(i);
      c->closeWhenSent = false;
      Timeline(c->printer, "open", 0, role == Role::kDevice ? "device" : role == Role::kPipeIn ? "pipe0" : "pipe1");
      break;
    }
    Send(c, simwire::kAnswer, Flag(!c->closeWhenSent));
  } else if (type == simwire::kSubscribe && body.empty()) {
    c->role = Role::kSubscriber;
    c->closeWhenSent = false;
    Send(c, simwire::kAnswer, Flag(true));
  } else if (type == simwire::kControl) {
    bool ok = false;
    std::string text = Control(std::string(body.begin(), body.end()), &ok);
    Bytes answer = Flag(ok);
    answer.insert(answer.end(), text.begin(), text.end());
    Send(c, simwire::kAnswer, answer);
    // The one who asked for the stop learns it is done when this closes.
    if (stopping_) c->closeWhenSent = false;
  } else {
    Drop(c);
  }
}

std::string Server::Control(const std::string& text, bool* ok) {
  *ok = false;
  if (text == "ping") {
    *ok = true;
    return "running, " + std::to_string(printers_.size()) + " printer(s)";
  }
  if (text == "stop") {
    *ok = true;
    stopping_ = true;
    return "stopped";
  }
  bool unplug = text.compare(0, 7, "unplug ") == 0;
  bool plug = text.compare(0, 5, "plug ") == 0;
  if (!unplug && !plug) return "unknown request '" + text + "'";
  std::string digits = text.substr(unplug ? 7 : 5);
  size_t number = 0;
  for (char ch : digits) {
    if (ch < '0' || ch > '9' || number > 100000) return "no printer " + digits;
    number = number * 10 + static_cast<size_t>(ch - '0');
  }
  if (digits.empty() || number < 1 || number > printers_.size()) return "no printer " + digits;
  int index = static_cast<int>(number - 1);
  bool present = printers_[number - 1]->Present();
  if (unplug && !present) return "printer " + digits + " is already unplugged";
  if (plug && present) return "printer " + digits + " is already plugged in";
  if (unplug) Unplug(index, false);
  else Plug(index);
  *ok = true;
  return std::string("printer ") + digits + (unplug ? " unplugged" : " plugged in");
}

void Server::Deliver(int printer) {
  Printer* p = printers_[static_cast<size_t>(printer)].get();
  std::deque<uint64_t>& reads = pendingReads_[static_cast<size_t>(printer)];
  while (p->HasReply() && !reads.empty()) {
    uint64_t id = reads.front();
    reads.pop_front();
    auto found = connections_.find(id);
    if (found == connections_.end() || found->second->dead) continue;
    Connection* c = found->second.get();
    c->readPending = false;
    Bytes reply = p->TakeReply();
    Timeline(printer, "in", reply.size());
    Send(c, simwire::kFrame, reply);
    Flush(c);
  }
}

void Server::Unplug(int printer, bool scripted) {
  printers_[static_cast<size_t>(printer)]->SetPresent(false);
  pendingReads_[static_cast<size_t>(printer)].clear();
  for (auto& entry : connections_) {
    Connection* c = entry.second.get();
    if (c->printer == printer && c->role != Connection::Role::kSubscriber) {
      c->readPending = false;
      c->out.clear();
      Drop(c);
    }
  }
  if (scripted && printers_[static_cast<size_t>(printer)]->ReplugMs() > 0) {
    replugAt_[static_cast<size_t>(printer)] =
        NowMs() + static_cast<uint64_t>(printers_[static_cast<size_t>(printer)]->ReplugMs());
  }
  NotifyChange();
}

void Server::Plug(int printer) {
  replugAt_[static_cast<size_t>(printer)] = 0;
  if (printers_[static_cast<size_t>(printer)]->Present()) return;
  printers_[static_cast<size_t>(printer)]->SetPresent(true);
  NotifyChange();
}

void Server::NotifyChange() {
  for (auto& entry : connections_) {
    Connection* c = entry.second.get();
    if (c->role == Connection::Role::kSubscriber && !c->dead) {
      Send(c, simwire::kChange, Bytes());
      Flush(c);
    }
  }
}

}  // namespace sim
