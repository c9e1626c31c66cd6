// One simulated printer: what it does with each bulk-out transfer, the reply
// frames it queues for its bulk-in pipe, what it stores, and its frame log.
#pragma once
#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "scenario.h"

namespace sim {

using Bytes = std::vector<uint8_t>;

class Printer {
 public:
  // number: bus order from 1; folder: DIR/printers/<number>.
  Printer(const PrinterConfig& config, int number, std::string folder);
  ~Printer();
  Printer(const Printer&) = delete;
  Printer& operator=(const Printer&) = delete;

  // Creates the folder afresh: an empty frames.log, no stored images.
  bool Prepare(std::string* error);

  const std::string& Path() const { return path_; }
  int Number() const { return number_; }
  bool Present() const { return present_; }

  // Plugging in or pulling out. Pulling drops queued replies and any image
  // still being received.
  void SetPresent(bool present);

  struct WriteResult {
    bool acknowledge = true;  // false: the write is never acknowledged (stall)
    uint32_t accepted = 0;
    bool unplug = false;      // the printer is pulled after this transfer
    bool stall = false;       // the endpoint stalled: the transfer fails, nothing was taken
  };
  // One bulk-out transfer at time nowMs.
  WriteResult Write(const uint8_t* data, size_t size, uint64_t nowMs);

  bool HasReply() const { return !replies_.empty(); }
  // Takes the next reply frame for a bulk-in transfer and logs it.
  Bytes TakeReply();

  // A transfer the printer refused, e.g. a read on its bulk-out pipe.
  void Reject(const std::string& why);

  // When a scripted unplug should end: 0 = never.
  int ReplugMs() const { return config_.replugMs; }

  // An image whose data has stopped coming for the scenario's image timeout
  // is given up at nowMs (logged). Deadline: when that would happen next, 0
  // for never.
  void Tick(uint64_t nowMs);
  uint64_t Deadline() const;

 private:
  void Log(const char* direction, const uint8_t* data, size_t size);
  bool Busy(uint64_t nowMs) const;
  WriteResult TakeImageBytes(const uint8_t* data, size_t size, uint64_t nowMs);
  WriteResult TakeCommand(const uint8_t* data, size_t size, uint64_t nowMs);
  void QueueMalformed(const std::string& why);
  void StoreImage(uint64_t nowMs);
  void BeginImage(int target, uint32_t size);
  void DropImage();
  std::string PartPath() const;
  const FaultAction* FindFault(const std::vector<std::string>& kinds);

  Bytes StatusReply(uint8_t state, uint8_t group, uint8_t detail) const;
  Bytes InfoReply(int component) const;
  static Bytes Frame(uint8_t kind, uint8_t code, uint8_t group, uint8_t detail, uint8_t state,
                     const Bytes& payload);

  PrinterConfig config_;
  int number_;
  std::string folder_;
  std::string path_;
  FILE* log_ = nullptr;
  bool present_ = true;
  std::deque<Bytes> replies_;

  // The image announced and not yet complete.
  bool receiving_ = false;
  int target_ = 0;
  uint32_t expected_ = 0;
  uint32_t received_ = 0;
  // The image goes to its .part file as it comes, so storing the last piece
  // costs no more than any other and no image is held in memory.
  FILE* part_ = nullptr;
  bool partFailed_ = false;
  uint64_t lastImageMs_ = 0;  // when the announcement or the latest image bytes came

  bool busyForever_ = false;
  uint64_t busyUntil_ = 0;
  bool stalled_ = false;
  // The byte-count faults fire once per run.
  bool stallFired_ = false;
  bool unplugFired_ = false;
  uint64_t imageBytes_ = 0;  // all image bytes taken, for the unplug/stall faults
  uint64_t commands_ = 0;
  std::vector<uint32_t> faultCounts_;
};

}  // namespace sim
