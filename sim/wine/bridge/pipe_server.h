// One plugged-in printer's bulk pipes inside wine: named pipes that a
// program opens by the printer's pipe names, each carried to the printer in
// q7730-sim over the sim bus.
//
// The bulk-out pipe (if000pipe001): every message a client writes is one
// transfer. The client's WriteFile completes only once the printer has
// acknowledged the whole transfer, as a USB write does; a transfer the
// printer refuses or takes only in part breaks that client's pipe (a named
// pipe cannot report a shorter write).
// The bulk-in pipe (if000pipe000): the printer's replies come in order and
// go, one message each, to the oldest open client connection, which for a
// program using the printer is the handle it opened first (later opens only
// prove the pipe is there). So one program at a time per printer; a reply
// longer than the client's read stays in the pipe for its next read.
// When the printer goes, every open client connection breaks and no new
// one is accepted.
#pragma once
#include <windows.h>

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/usb_bus.h"

namespace winebridge {

class PrinterPipes {
 public:
  // simPath: the printer's path on the sim bus. pipeFolders: where its two
  // pipes are served, e.g. "\\.\pipe\usb#...#{...}" (pipes "<folder>\if000pipe000"
  // and "...001") or "\\.\pipe" for the names a re-pointed interface link
  // reaches.
  PrinterPipes(std::string simPath, std::vector<std::string> pipeFolders);
  ~PrinterPipes();  // Stop()
  PrinterPipes(const PrinterPipes&) = delete;
  PrinterPipes& operator=(const PrinterPipes&) = delete;

  // Starts serving: every pipe can be opened once this returns. false and a
  // message when a pipe cannot be created.
  bool Start(std::string* error);
  // Accepts no more opens, breaks every open connection and ends every
  // thread. Returns once all are gone.
  void Stop();
  // true once the simulator dropped the printer's bulk-in connection (it
  // was unplugged, perhaps only for a moment): its clients' pipes are broken.
  bool Broken() const { return broken_.load(); }

 private:
  struct Listener;
  struct Sender;
  void ServeConnections();
  bool Transfer(Sender* sender, platform::usb::Handle* sim, std::vector<uint8_t>* buffer);
  void PumpReplies();
  bool Deliver(const uint8_t* frame, DWORD size);
  void AddReader(HANDLE pipe);
  void BreakReaders();

  std::string simPath_;
  std::vector<std::string> folders_;
  HANDLE stop_ = nullptr;           // manual reset: set by Stop
  HANDLE readerArrived_ = nullptr;  // auto reset
  std::atomic<bool> broken_{false};
  std::vector<std::unique_ptr<Listener>> listeners_;
  std::thread pump_;
  std::thread connections_;
  platform::usb::TransferAbort pumpAbort_;
  platform::usb::TransferAbort sendAbort_;

  std::mutex lock_;  // guards readers_
  std::deque<HANDLE> readers_;  // bulk-in client connections, oldest first
};

}  // namespace winebridge
