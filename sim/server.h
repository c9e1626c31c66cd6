// The simulator's side of the sim bus: one poll loop on one thread that owns
// every printer and every connection, so printers need no locks and their
// logs keep the order of events.
#pragma once
#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "printer.h"
#include "scenario.h"

namespace sim {

class Server {
 public:
  // stopFd: becomes readable when the process is asked to end (signals).
  Server(std::string dir, const Scenario& scenario, int stopFd);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Prepares the printer folders, listens on 127.0.0.1 and publishes the
  // port file. false and a message on failure.
  bool Start(std::string* error);
  uint16_t Port() const { return port_; }
  size_t PrinterCount() const { return printers_.size(); }

  // Serves until stopped; then removes the port file and closes everything.
  void Run();

 private:
  struct Connection {
    int fd = -1;
    enum class Role { kNew, kDevice, kPipeIn, kPipeOut, kSubscriber } role = Role::kNew;
    int printer = -1;
    Bytes in;
    Bytes out;
    bool readPending = false;
    bool closeWhenSent = false;
    bool dead = false;
  };
  using ConnectionMap = std::map<uint64_t, std::unique_ptr<Connection>>;

  void Accept();
  void Receive(uint64_t id, Connection* c);
  void Flush(Connection* c);
  bool Handle(uint64_t id, Connection* c, uint8_t type, const Bytes& body);
  // A pending read of c's is taken out of its printer's queue.
  void WithdrawRead(uint64_t id, Connection* c);
  void HandleFirst(Connection* c, uint8_t type, const Bytes& body);
  std::string Control(const std::string& text, bool* ok);
  void Send(Connection* c, uint8_t type, const Bytes& body);
  void Deliver(int printer);
  void Unplug(int printer, bool scripted);
  void Plug(int printer);
  void NotifyChange();
  void Drop(Connection* c);
  uint64_t NowMs() const;
  // One line of DIR/transfers.log: when a transfer of printer reached it,
  // or (what) which of its pipes or the device itself was opened.
  void Timeline(int printer, const char* direction, size_t size, const char* what = nullptr);

  std::string dir_;
  std::string portFile_;
  FILE* timeline_ = nullptr;
  uint64_t startMs_ = 0;
  int stopFd_;
  int listenFd_ = -1;
  uint16_t port_ = 0;
  bool stopping_ = false;
  std::vector<std::unique_ptr<Printer>> printers_;
  std::vector<std::deque<uint64_t>> pendingReads_;  // per printer, oldest first
  std::vector<uint64_t> replugAt_;                  // per printer, 0 = none
  ConnectionMap connections_;
  uint64_t nextId_ = 1;
};

}  // namespace sim
