#include "printer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace sim {
namespace {

constexpr size_t kMaxReplyQueue = 64;
constexpr uint32_t kMaxImage = 64u << 20;
constexpr size_t kBulkPiece = 4096;
constexpr size_t kStatusPayload = 40;
constexpr size_t kInfoPayload = 38;

// The updater's own universal commands, faultable by name.
struct NamedUniversal {
  const char* kind;
  Bytes bytes;
};
const NamedUniversal kNamedUniversals[] = {
    {"premain", {0x03, 0xF1, 0x3E, 0xA5}},
    {"close1", {0x03, 0xF1, 0x3D, 0x00}},
    {"close2", {0x05, 0xFF, 0xAA, 0x55, 0xCC, 0x33}},
};

bool MakeDirectory(const std::string& path) {
  return mkdir(path.c_str(), 0777) == 0 || errno == EEXIST;
}

}  // namespace

Printer::Printer(const PrinterConfig& config, int number, std::string folder)
    : config_(config),
      number_(number),
      folder_(std::move(folder)),
      path_(PrinterPath(config, number)),
      present_(config.plugged),
      faultCounts_(config.faults.size(), 0) {}

Printer::~Printer() {
  DropImage();
  if (log_ != nullptr) std::fclose(log_);
}

bool Printer::Prepare(std::string* error) {
  std::string stored = folder_ + "/stored";
  if (!MakeDirectory(folder_) || !MakeDirectory(stored)) {
    *error = "cannot create " + stored + ": " + std::strerror(errno);
    return false;
  }
  // A new run starts with nothing stored, so no old image passes for new.
  for (int target = 0; target < 256; ++target) {
    std::string file = stored + "/target-" + std::to_string(target) + ".bin";
    unlink(file.c_str());
    unlink((file + ".part").c_str());
  }
  std::string logPath = folder_ + "/frames.log";
  log_ = std::fopen(logPath.c_str(), "w");
  if (log_ == nullptr) {
    *error = "cannot write " + logPath + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

void Printer::Log(const char* direction, const uint8_t* data, size_t size) {
  if (log_ == nullptr) return;
  // Formatted by hand: every 4096-byte piece of an image is logged.
  static const char kHex[] = "0123456789abcdef";
  char hex[2 * 64 + 2];
  size_t n = 0;
  if (size > 0) hex[n++] = ' ';
  for (size_t i = 0; i < size && i < 64; ++i) {
    hex[n++] = kHex[data[i] >> 4];
    hex[n++] = kHex[data[i] & 15];
  }
  hex[n++] = '\n';
  std::fprintf(log_, "%s %zu", direction, size);
  std::fwrite(hex, 1, n, log_);
  std::fflush(log_);
}

void Printer::Reject(const std::string& why) {
  if (log_ == nullptr) return;
  std::fprintf(log_, "! %s\n", why.c_str());
  std::fflush(log_);
}

void Printer::SetPresent(bool present) {
  if (present_ == present) return;
  present_ = present;
  if (present) return;
  replies_.clear();
  stalled_ = false;
  if (receiving_) {
    Reject("unplugged with " + std::to_string(received_) + " of " +
           std::to_string(expected_) + " bytes of target " + std::to_string(target_) +
           "; image dropped");
    DropImage();
  }
}

bool Printer::Busy(uint64_t nowMs) const { return busyForever_ || nowMs < busyUntil_; }

Printer::WriteResult Printer::Write(const uint8_t* data, size_t size, uint64_t nowMs) {
  WriteResult result;
  if (!stalled_ && !stallFired_ && receiving_ && config_.stallAfterBytes >= 0 &&
      imageBytes_ + size > static_cast<uint64_t>(config_.stallAfterBytes)) {
    stalled_ = true;
    stallFired_ = true;
  }
  if (stalled_) {
    Reject("write of " + std::to_string(size) + " bytes not acknowledged (stalled)");
    result.acknowledge = false;
    return result;
  }
  if (receiving_) return TakeImageBytes(data, size, nowMs);
  Log("out", data, size);
  return TakeCommand(data, size, nowMs);
}

void Printer::Tick(uint64_t nowMs) {
  uint64_t deadline = Deadline();
  if (deadline == 0 || nowMs < deadline) return;
  Reject("image of target " + std::to_string(target_) + " given up with " + std::to_string(received_) + " of " +
         std::to_string(expected_) + " bytes: nothing came for " + std::to_string(config_.imageTimeoutMs) + " ms");
  DropImage();
}

uint64_t Printer::Deadline() const {
  if (!receiving_ || config_.imageTimeoutMs <= 0) return 0;
  return lastImageMs_ + static_cast<uint64_t>(config_.imageTimeoutMs);
}

Printer::WriteResult Printer::TakeImageBytes(const uint8_t* data, size_t size, uint64_t nowMs) {
  WriteResult result;
  lastImageMs_ = nowMs;
  // A bulk transfer larger than the endpoint takes is not image data: the
  // printer takes none of it and gives up the image, so nothing of it is
  // ever stored.
  if (size > kBulkPiece) {
    Log("out", data, size);
    Reject("bulk transfer of " + std::to_string(size) + " bytes is larger than " +
           std::to_string(kBulkPiece) + "; image of target " + std::to_string(target_) + " dropped");
    DropImage();
    return result;
  }
  size_t room = expected_ - received_;
  size_t take = size < room ? size : room;
  if (config_.unplugAfterBytes >= 0 && !unplugFired_) {
    uint64_t limit = static_cast<uint64_t>(config_.unplugAfterBytes);
    uint64_t allowed = limit > imageBytes_ ? limit - imageBytes_ : 0;
    if (take >= allowed) {
      take = static_cast<size_t>(allowed);
      result.unplug = true;
      unplugFired_ = true;
    }
  }
  Log("out", data, result.unplug ? take : size);
  if (take > 0 && !partFailed_ && std::fwrite(data, 1, take, part_) != take) partFailed_ = true;
  received_ += static_cast<uint32_t>(take);
  imageBytes_ += take;
  result.accepted = static_cast<uint32_t>(result.unplug ? take : size);
  if (received_ == expected_) {
    if (!result.unplug && size > take) {
      Reject(std::to_string(size - take) + " bytes beyond the announced " +
             std::to_string(expected_) + " of target " + std::to_string(target_) + " ignored");
    }
    StoreImage(nowMs);
  }
  if (result.unplug) Reject("unplugged after " + std::to_string(imageBytes_) + " image bytes");
  return result;
}

std::string Printer::PartPath() const {
  return folder_ + "/stored/target-" + std::to_string(target_) + ".bin.part";
}

void Printer::BeginImage(int target, uint32_t size) {
  DropImage();
  receiving_ = true;
  target_ = target;
  expected_ = size;
  received_ = 0;
  part_ = std::fopen(PartPath().c_str(), "wb");
  partFailed_ = part_ == nullptr;
  if (part_ != nullptr) std::setvbuf(part_, nullptr, _IOFBF, 1u << 18);
}

void Printer::DropImage() {
  if (!receiving_) return;
  receiving_ = false;
  if (part_ != nullptr) std::fclose(part_);
  part_ = nullptr;
  unlink(PartPath().c_str());
}

void Printer::StoreImage(uint64_t nowMs) {
  receiving_ = false;
  std::string part = PartPath();
  std::string file = part.substr(0, part.size() - 5);
  bool ok = !partFailed_;
  if (part_ != nullptr && std::fclose(part_) != 0) ok = false;
  part_ = nullptr;
  if (!ok || std::rename(part.c_str(), file.c_str()) != 0) {
    std::fprintf(stderr, "q7730-sim: cannot write %s: %s\n", file.c_str(), std::strerror(errno));
    Reject("cannot write " + file);
    unlink(part.c_str());
  }
  auto custom = config_.storeMsByTarget.find(target_);
  int storeMs = custom != config_.storeMsByTarget.end() ? custom->second : config_.storeMs;
  if (storeMs < 0) busyForever_ = true;
  else busyUntil_ = nowMs + static_cast<uint64_t>(storeMs);
}

void Printer::QueueMalformed(const std::string& why) {
  Reject(why);
  if (replies_.size() >= kMaxReplyQueue) {
    Reject("reply queue full; reply dropped");
    return;
  }
  replies_.push_back(Frame(2, config_.rejectCode, 0, 0, 0, Bytes()));
}

const FaultAction* Printer::FindFault(const std::vector<std::string>& kinds) {
  // Every rule counts the commands of its own kind.
  for (size_t i = 0; i < config_.faults.size(); ++i) {
    for (const std::string& kind : kinds) {
      if (config_.faults[i].kind == kind && faultCounts_[i] < 0xFFFFFFFFu) ++faultCounts_[i];
    }
  }
  for (const std::string& kind : kinds) {
    for (size_t i = 0; i < config_.faults.size(); ++i) {
      const FaultRule& rule = config_.faults[i];
      if (rule.kind == kind && faultCounts_[i] >= rule.first && faultCounts_[i] <= rule.last)
        return &rule.action;
    }
  }
  return nullptr;
}

Printer::WriteResult Printer::TakeCommand(const uint8_t* data, size_t size, uint64_t nowMs) {
  WriteResult result;
  result.accepted = static_cast<uint32_t>(size);
  auto reject = [&](const std::string& why) {
    QueueMalformed(why);
    return result;
  };
  ++commands_;
  if (config_.unplugAtCommand >= 0 && commands_ == static_cast<uint64_t>(config_.unplugAtCommand)) {
    Reject("unplugged at command " + std::to_string(commands_));
    result.unplug = true;
    return result;
  }
  if (size < 4) return reject("frame of " + std::to_string(size) + " bytes is shorter than a header");
  uint8_t code = data[0], cls = data[1];
  size_t n = data[2] | static_cast<size_t>(data[3]) << 8;
  if (n != size - 4) {
    return reject("header announces " + std::to_string(n) + " payload bytes, " +
                  std::to_string(size - 4) + " follow");
  }
  const uint8_t* p = data + 4;
  std::vector<std::string> kinds;
  Bytes normal;
  int component = 0, target = 0;
  uint32_t imageSize = 0;
  char hex[8];
  std::snprintf(hex, sizeof hex, "%02x %02x", code, cls);
  if (code == 0x01 && cls == 0x00) {
    if (n != 0) return reject("status request with a payload");
    kinds = {"status"};
    normal = StatusReply(Busy(nowMs) ? config_.busyState : 0x00, 0, 0);
  } else if (code == 0x03 && cls == 0xC0) {
    if (n != 1) return reject("firmware-information request needs 1 payload byte");
    component = p[0];
    if (component < 1 || component > 7) {
      return reject("firmware-information request for component " +
                            std::to_string(component));
    }
    kinds = {"info" + std::to_string(component), "info"};
    normal = InfoReply(component);
  } else if (code == 0x01 && cls == 0x80) {
    if (n != 5) return reject("short announcement needs 5 payload bytes");
    uint16_t b = static_cast<uint16_t>(p[1] | p[2] << 8);
    if (p[0] != 1 || b != 0x4000) {
      return reject("short announcement with a=" + std::to_string(p[0]) +
                            " b=" + std::to_string(b) + " (expected 1 and 16384)");
    }
    target = 6;
    imageSize = static_cast<uint32_t>(p[3] | p[4] << 8);
  } else if (code == 0x04 && cls == 0xC0) {
    if (n != 9) return reject("long announcement needs 9 payload bytes");
    target = p[0];
    imageSize = static_cast<uint32_t>(p[5]) | static_cast<uint32_t>(p[6]) << 8 |
                static_cast<uint32_t>(p[7]) << 16 | static_cast<uint32_t>(p[8]) << 24;
    if (target != 0 && target != 1 && target != 2) {
      return reject("long announcement of unknown target " + std::to_string(target));
    }
  } else if (code == 0xFF && cls == 0xC0) {
    if (n < 1 || n > 247) {
      return reject("universal command of " + std::to_string(n) + " bytes");
    }
    for (const NamedUniversal& named : kNamedUniversals) {
      if (named.bytes.size() == n && std::memcmp(named.bytes.data(), p, n) == 0)
        kinds.push_back(named.kind);
    }
    kinds.push_back("universal");
    normal = Frame(0, 0, 0, 0, 0, Bytes{p[0], 0x00});
  } else {
    return reject(std::string("unknown command ") + hex);
  }
  bool announce = code == 0x01 ? cls == 0x80 : code == 0x04;
  if (announce) {
    if (imageSize == 0 || imageSize > kMaxImage) {
      return reject("announcement of target " + std::to_string(target) + " with size " +
                            std::to_string(imageSize));
    }
    kinds = {"announce" + std::to_string(target), "announce"};
    normal = Frame(0, 0, 0, 0, 0, Bytes());
  }

  const FaultAction* fault = FindFault(kinds);
  bool take = true;  // the announcement is taken
  Bytes reply = normal;
  if (announce && fault == nullptr && Busy(nowMs)) {
    Reject("announcement of target " + std::to_string(target) + " while storing");
    reply = Frame(2, config_.busyState, 0, 0, 0, Bytes());
    take = false;
  }
  if (fault != nullptr) {
    const FaultAction& f = *fault;
    switch (f.kind) {
      case FaultAction::kNoReply:
        reply.clear();
        take = false;
        break;
      case FaultAction::kUnplug:
        result.unplug = true;
        return result;
      case FaultAction::kStall:
        Reject("stalled on this command");
        result.stall = true;
        result.accepted = 0;
        return result;
      case FaultAction::kError:
        reply = Frame(2, f.code, f.group, f.detail, 0, Bytes());
        take = false;
        break;
      case FaultAction::kState:
        reply = StatusReply(f.code, f.group, f.detail);
        break;
      case FaultAction::kFlags:
        reply = StatusReply(Busy(nowMs) ? config_.busyState : 0x00, 0, 0);
        reply[10 + 32] = 1;
        reply[10 + 39] = 1;
        break;
      case FaultAction::kBadLength: {
        size_t m = (reply[8] | reply[9] << 8) + 1u;
        reply[8] = static_cast<uint8_t>(m);
        reply[9] = static_cast<uint8_t>(m >> 8);
        break;
      }
      case FaultAction::kPayload: {
        reply.resize(10 + f.count, 0);
        reply[8] = static_cast<uint8_t>(f.count);
        reply[9] = static_cast<uint8_t>(f.count >> 8);
        break;
      }
      case FaultAction::kTrailing:
        for (uint32_t i = 0; i < f.count; ++i) reply.push_back(static_cast<uint8_t>(0x5A ^ i));
        break;
      case FaultAction::kGarbage:
        reply.assign(f.count, 0);
        for (uint32_t i = 0; i < f.count; ++i) reply[i] = static_cast<uint8_t>(0xA5 ^ i);
        break;
    }
  }
  if (announce && take) {
    lastImageMs_ = nowMs;
    BeginImage(target, imageSize);
  }
  if (fault != nullptr && fault->kind == FaultAction::kNoReply) return result;
  if (replies_.size() >= kMaxReplyQueue) {
    Reject("reply queue full; reply dropped");
    return result;
  }
  replies_.push_back(reply);
  return result;
}

Bytes Printer::TakeReply() {
  Bytes reply = std::move(replies_.front());
  replies_.pop_front();
  Log("in", reply.data(), reply.size());
  return reply;
}

Bytes Printer::Frame(uint8_t kind, uint8_t code, uint8_t group, uint8_t detail, uint8_t state,
                     const Bytes& payload) {
  Bytes frame(10 + payload.size(), 0);
  frame[0] = kind;
  frame[1] = code;
  frame[2] = group;
  frame[3] = detail;
  frame[7] = state;
  frame[8] = static_cast<uint8_t>(payload.size());
  frame[9] = static_cast<uint8_t>(payload.size() >> 8);
  if (!payload.empty()) std::memcpy(&frame[10], payload.data(), payload.size());
  return frame;
}

Bytes Printer::StatusReply(uint8_t state, uint8_t group, uint8_t detail) const {
  Bytes payload(kStatusPayload, 0);
  // One flag alone is no error; only both together are.
  payload[32] = 1;
  return Frame(1, 0, group, detail, state, payload);
}

Bytes Printer::InfoReply(int component) const {
  Bytes payload(kInfoPayload, 0);
  std::memcpy(&payload[0], config_.versions[component - 1].data(), 8);
  std::memcpy(&payload[8], "ZEM-Q7730-5A    ", 16);
  char serial[16];
  std::snprintf(serial, sizeof serial, "SIM%07d", number_ % 10000000);
  std::memcpy(&payload[24], serial, 10);
  payload[34] = static_cast<uint8_t>(component);
  payload[35] = 0;
  payload[36] = 0x34;
  payload[37] = 0x12;
  return Frame(0, 0, 0, 0, 0, payload);
}

}  // namespace sim
