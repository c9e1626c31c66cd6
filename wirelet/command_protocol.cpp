// The printer's wire protocol: command frames, reply checks and decoding, and
// the frames behind each command export.
#include <cstring>

#include "library_state.h"
#include "pipe_transfer.h"
#include "port_session.h"
#include "status_out.h"

namespace wirelet {

namespace {

constexpr uint8_t kStatusReply = 1;
constexpr uint8_t kErrorReply = 2;
constexpr uint8_t kMaxUniversalLength = 247;
constexpr uint32_t kStateOffset = 7;
constexpr int kFirmwareEntrySize = 38;
constexpr int kFirmwareRecordSize = 1 + 7 * kFirmwareEntrySize;  // 267

void PutU16(uint8_t* p, uint16_t value) {
  p[0] = static_cast<uint8_t>(value);
  p[1] = static_cast<uint8_t>(value >> 8);
}

void PutU32(uint8_t* p, uint32_t value) {
  PutU16(p, static_cast<uint16_t>(value));
  PutU16(p + 2, static_cast<uint16_t>(value >> 16));
}

// Codes shared by error codes and states: '!', '1'..'7', 'a'..'m'; 0 = none.
StatusCode LetterCode(uint8_t code) {
  if (code == 0x21) return kStatusPrinterError;
  if (code >= 0x31 && code <= 0x37) return static_cast<StatusCode>(kStatusBusyFirst + code - 0x31);
  if (code >= 0x61 && code <= 0x6D)
    return static_cast<StatusCode>(kStatusErrorLetterFirst + code - 0x61);
  return 0;
}

}  // namespace

// ---- Frames -----------------------------------------------------------------

int PipeWriter::SendFrame(const uint8_t* frame, uint32_t n, StatusCode* status) {
  uint32_t written = 0;
  int result = owner_->timedTransfers != 0 ? WriteTimed(frame, n, &written, status)
                                            : WriteDirect(frame, n, &written, status);
  // The printer would take the rest as the start of another frame.
  if (result == 1 && written != n) {
    SetStatus(status, kStatusTransferFailed);
    return 0;
  }
  return result;
}

int PipeWriter::SendRaw(const uint8_t* data, uint8_t n, StatusCode* status) {
  uint8_t frame[kFrameBufferSize] = {};
  if (n != 0) {
    if (data == nullptr) {
      SetStatus(status, kStatusTransferFailed);
      return 0;
    }
    std::memcpy(frame, data, n);
  }
  return SendFrame(frame, n, status);
}

int PipeWriter::SendUniversal(const uint8_t* data, uint8_t n, StatusCode* status) {
  if (n == 0 || n > kMaxUniversalLength) {
    SetStatus(status, kStatusBadCommandLength);
    return 0;
  }
  if (data == nullptr) {
    SetStatus(status, kStatusTransferFailed);
    return 0;
  }
  uint8_t frame[kFrameBufferSize] = {0xFF, 0xC0};
  PutU16(frame + 2, n);
  std::memcpy(frame + 4, data, n);
  return SendFrame(frame, n + 4u, status);
}

int PipeWriter::SendStatusRequest(StatusCode* status) {
  const uint8_t frame[4] = {0x01, 0x00, 0x00, 0x00};
  return SendFrame(frame, sizeof frame, status);
}

int PipeWriter::SendFirmwareInfoRequest(uint8_t component, StatusCode* status) {
  const uint8_t frame[5] = {0x03, 0xC0, 0x01, 0x00, component};
  return SendFrame(frame, sizeof frame, status);
}

int PipeWriter::SendTargetUpdateShort(uint8_t a, uint16_t b, uint16_t c, StatusCode* status) {
  uint8_t frame[9] = {0x01, 0x80, 0x05, 0x00, a};
  PutU16(frame + 5, b);
  PutU16(frame + 7, c);
  return SendFrame(frame, sizeof frame, status);
}

int PipeWriter::SendTargetUpdateLong(uint8_t a, uint32_t b, uint32_t c, StatusCode* status) {
  uint8_t frame[13] = {0x04, 0xC0, 0x09, 0x00, a};
  PutU32(frame + 5, b);
  PutU32(frame + 9, c);
  return SendFrame(frame, sizeof frame, status);
}

// ---- Replies ----------------------------------------------------------------

int PipeReader::DecodeErrorDetail(const uint8_t* frame, StatusCode* status) {
  uint8_t detail = frame[3];
  StatusCode code = kStatusUnexpected;
  if (detail == 1) code = kStatusGroup6Detail1;
  else if (detail >= 2 && detail <= 4) code = kStatusGroup6Detail2to4;
  else if (detail >= 5 && detail <= 9) code = kStatusGroup6Detail5to9;
  SetStatus(status, code);
  return 0;
}

int PipeReader::DecodeErrorGroup(const uint8_t* frame, StatusCode* status) {
  uint8_t group = frame[2];
  if (group == 6) return DecodeErrorDetail(frame, status);
  SetStatus(status, group >= 1 && group <= 5 ? kStatusGroup1to5 : kStatusUnexpected);
  return 0;
}

int PipeReader::DecodeReply(DecodeMode mode, const uint8_t* frame, StatusCode* status) {
  if (mode == kErrorMode) {
    uint8_t code = frame[1];
    if (code >= 0x01 && code <= 0x05) {
      SetStatus(status, kStatusTransferFailed);
      return 0;
    }
    if (code == 0x11) return DecodeErrorGroup(frame, status);
    StatusCode letter = LetterCode(code);
    SetStatus(status, letter != 0 ? letter : StatusCode{kStatusUnexpected});
    return 0;
  }
  uint8_t state = frame[7];
  if (state == 0x00) {
    SetStatus(status, kStatusOk);
    return 1;
  }
  if (state == 0x11) return DecodeErrorGroup(frame, status);
  StatusCode letter = LetterCode(state);
  SetStatus(status, letter != 0 ? letter : StatusCode{kStatusUnexpected});
  // 'a'..'m' as a state is a success; as an error code it is not.
  return letter >= kStatusErrorLetterFirst && letter <= kStatusErrorLetterLast ? 1 : 0;
}

int PipeReader::ReadFrame(uint8_t* frame, uint32_t* received, StatusCode* status) {
  // Cleared first, so nothing of an earlier reply shows through a short one.
  std::memset(frame, 0, kReadSize);
  *received = 0;
  if (!Read(frame, received, status)) return -1;
  uint32_t declared = static_cast<uint32_t>(frame[8]) | static_cast<uint32_t>(frame[9]) << 8;
  if (*received == declared + kReplyHeaderSize) {
    *status = kStatusOk;
    return 1;
  }
  *status = kStatusTransferFailed;
  return 0;
}

int PipeReader::ReadUpdateReply(StatusCode* status) {
  uint8_t frame[kReadSize];
  uint32_t received = 0;
  StatusCode code = kStatusOk;
  int result = ReadFrame(frame, &received, &code);
  if (result >= 0 && frame[0] == kErrorReply) result = DecodeReply(kErrorMode, frame, &code);
  SetStatus(status, code);
  return result > 0 ? 1 : 0;
}

int PipeReader::ReadStatusReply(StatusCode* status) {
  uint8_t frame[kReadSize];
  uint32_t received = 0;
  StatusCode code = kStatusOk;
  int result = ReadFrame(frame, &received, &code);
  if (result >= 0) {
    if (frame[0] == kErrorReply) {
      result = DecodeReply(kErrorMode, frame, &code);
    } else if (frame[0] == kStatusReply && received > kStateOffset) {
      // A state that never arrived would read as the cleared 0, "ready".
      result = DecodeReply(kStatusMode, frame, &code);
      if (result == 1) {
        bool flagged = frame[42] != 0 && frame[49] != 0;
        code = flagged ? kStatusPrinterError : kStatusOk;
        result = flagged ? 0 : 1;
      }
    }
  }
  SetStatus(status, code);
  return result > 0 ? 1 : 0;
}

int PipeReader::ReadReplyPayload(uint8_t* payload, uint8_t* length, StatusCode* status) {
  uint8_t frame[kReadSize];
  uint32_t received = 0;
  StatusCode code = kStatusOk;
  int result = ReadFrame(frame, &received, &code);
  if (result >= 0) {
    if (frame[0] == kErrorReply) {
      result = DecodeReply(kErrorMode, frame, &code);
    } else if (result == 1) {
      // Well-formed, so the payload lies within the frame.
      uint32_t size = received - kReplyHeaderSize;
      if (payload != nullptr) std::memcpy(payload, frame + kReplyHeaderSize, size);
      if (length != nullptr) *length = static_cast<uint8_t>(size);
    }
  }
  SetStatus(status, code);
  return result > 0 ? 1 : 0;
}

int PipeReader::ReadFirmwareInfoReply(uint8_t* payload, StatusCode* status) {
  return ReadReplyPayload(payload, nullptr, status);
}

// ---- The command exports ----------------------------------------------------

namespace {

enum class Sends { kCommand, kNothing };

// Acquire the printer, prove it is attached, run the steps, release it. A
// reply that came after its read was abandoned is dropped before a command
// goes out, so that it cannot answer this one.
// An acknowledged announcement (imageBytes > 0) keeps the mutex for its image.
template <typename Steps>
int StandardExchange(PortSession& session, int slot, StatusCode* status, Steps steps,
                     Sends sends = Sends::kCommand, uint32_t imageBytes = 0) {
  if (!session.AcquireDevice(slot, status, imageBytes > 0)) return 0;
  int result = 0;
  if (!session.CheckPipes(slot)) {
    *status = kStatusDeviceNotAvailable;
  } else {
    if (sends == Sends::kCommand) session.reader->DropLateReplies();
    result = steps();
  }
  session.EndCommand(slot, result == 1 ? imageBytes : 0);
  return result;
}

// Bulk data of an announced image counts against it.
int WriteImageData(PortSession& session, int slot, const uint8_t* data, int length, StatusCode* status) {
  int result = session.WriteBulk(data, length, status);
  if (length != 0) session.ImageWritten(length > 0 ? static_cast<uint32_t>(length) : 0, result == 1);
  return result;
}

// The body of the exports that return 1/0: under the library lock, the port
// resolved to its session, the operation's status handed over through
// status-out.
template <typename Operation>
int RunOnPort(int port, StatusCode* status, Operation operation) {
  PortCall call(port);
  StatusCode code = kStatusOk;
  int result = 0;
  if (PortSession* session = call.Session(&code)) result = operation(*session, call.Slot(), &code);
  SetStatus(status, code);
  return result;
}

// The body of the exports that return only a StatusCode: a standard exchange
// whose status, 0 when the steps wrote none, is the result.
template <typename Steps>
StatusCode ExchangeOnPort(int port, Steps steps, Sends sends = Sends::kCommand) {
  PortCall call(port);
  StatusCode code = kStatusOk;
  if (PortSession* session = call.Session(&code))
    StandardExchange(*session, call.Slot(), &code, [&]() { return steps(*session, call.Slot(), &code); }, sends);
  return code;
}

int GetFirmwareInfo(PortSession& session, int slot, uint8_t* record, StatusCode* status) {
  return StandardExchange(session, slot, status, [&]() {
    uint8_t payload[kReadSize] = {};
    uint8_t working[kReadSize] = {};
    working[0] = 7;
    // The payload buffer is kept between components: a reply shorter than
    // an entry leaves the previous component's bytes beyond its own.
    for (int k = 1; k <= working[0]; ++k) {
      if (!session.writer->SendFirmwareInfoRequest(static_cast<uint8_t>(k), status)) return 0;
      if (!session.reader->ReadFirmwareInfoReply(payload, status)) return 0;
      std::memcpy(working + 1 + kFirmwareEntrySize * (k - 1), payload, kFirmwareEntrySize);
    }
    if (record != nullptr) std::memcpy(record, working, kFirmwareRecordSize);
    return 1;
  });
}

int TargetUpdate(PortSession& session, int slot, int target, int value, int size,
                 StatusCode* status) {
  uint8_t number = static_cast<uint8_t>(target);
  // What the printer will take: the short announcement carries 16 bits.
  uint32_t announced = number == kTargetController ? static_cast<uint16_t>(static_cast<uint32_t>(size))
                                                   : static_cast<uint32_t>(size);
  return StandardExchange(
      session, slot, status,
      [&]() {
        int sent = number == kTargetController
                       ? session.writer->SendTargetUpdateShort(1, 0x4000, static_cast<uint16_t>(announced), status)
                       : session.writer->SendTargetUpdateLong(number, static_cast<uint32_t>(value), announced,
                                                              status);
        return sent && session.reader->ReadUpdateReply(status) ? 1 : 0;
      },
      Sends::kCommand, announced);
}

int UniversalCommand(PortSession& session, int slot, const uint8_t* bytes, int length,
                     uint8_t* reply, uint8_t* replyLength, StatusCode* status) {
  return StandardExchange(session, slot, status, [&]() {
    if (!session.writer->SendUniversal(bytes, static_cast<uint8_t>(length), status)) return 0;
    uint8_t working[kReadSize] = {};
    uint8_t size = 0;
    if (!session.reader->ReadReplyPayload(working, &size, status)) return 0;
    if (reply != nullptr) std::memcpy(reply, working, size);
    if (replyLength != nullptr) *replyLength = size;
    return 1;
  });
}

}  // namespace

}  // namespace wirelet

using wirelet::ExchangeOnPort;
using wirelet::PortSession;
using wirelet::RunOnPort;
using wirelet::StandardExchange;

extern "C" {

StatusCode WIRELET_CALL usb_command_send(int port, const uint8_t* bytes, int length) {
  return ExchangeOnPort(port, [&](PortSession& session, int, StatusCode* status) {
    return session.writer->SendRaw(bytes, static_cast<uint8_t>(length), status);
  });
}

StatusCode WIRELET_CALL usb_command_recv(int port, uint8_t* buffer, uint32_t* count) {
  if (count != nullptr) *count = 0;
  // Only a read: what waits on the pipe is what the caller asks for.
  return ExchangeOnPort(
      port, [&](PortSession& session, int, StatusCode* status) { return session.reader->Read(buffer, count, status); },
      wirelet::Sends::kNothing);
}

StatusCode WIRELET_CALL usb_command_data(int port, const uint8_t* data, int length) {
  return ExchangeOnPort(port, [&](PortSession& session, int slot, StatusCode* status) {
    return wirelet::WriteImageData(session, slot, data, length, status);
  });
}

int WIRELET_CALL usb_get_status(int port, StatusCode* status) {
  return RunOnPort(port, status, [](PortSession& session, int slot, StatusCode* code) {
    return StandardExchange(session, slot, code, [&]() {
      return session.writer->SendStatusRequest(code) && session.reader->ReadStatusReply(code) ? 1
                                                                                              : 0;
    });
  });
}

// An image follows its announcement directly, without the device mutex.
int WIRELET_CALL usb_write_data(int port, const uint8_t* data, int length, StatusCode* status) {
  return RunOnPort(port, status, [&](PortSession& session, int slot, StatusCode* code) {
    if (!session.CheckPipes(slot)) {
      *code = kStatusDeviceNotAvailable;
      session.ImageWritten(0, false);
      return 0;
    }
    return wirelet::WriteImageData(session, slot, data, length, code);
  });
}

int WIRELET_CALL usb_get_firmware_info(int port, uint8_t* record, StatusCode* status) {
  return RunOnPort(port, status, [&](PortSession& session, int slot, StatusCode* code) {
    return wirelet::GetFirmwareInfo(session, slot, record, code);
  });
}

int WIRELET_CALL usb_target_update(int port, int target, int value, int size,
                                   StatusCode* status) {
  return RunOnPort(port, status, [&](PortSession& session, int slot, StatusCode* code) {
    return wirelet::TargetUpdate(session, slot, target, value, size, code);
  });
}

int WIRELET_CALL usb_universal_command(int port, const uint8_t* bytes, int length,
                                       uint8_t* reply, uint8_t* replyLength,
                                       StatusCode* status) {
  return RunOnPort(port, status, [&](PortSession& session, int slot, StatusCode* code) {
    return wirelet::UniversalCommand(session, slot, bytes, length, reply, replyLength, code);
  });
}

}  // extern "C"
