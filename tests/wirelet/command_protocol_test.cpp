// What each command export puts on the wire and how it judges the reply,
// against the scripted bus.
#include <gtest/gtest.h>

#include <cstring>

#include "library_fixture.h"
#include "port_session.h"

namespace {

using wirelet_test::Bytes;
using wirelet_test::ErrorReply;
using wirelet_test::Frame;
using wirelet_test::PlainReply;
using wirelet_test::StatusReply;

class CommandProtocol : public wirelet_test::LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    path_ = OpenOnePrinter();
  }

  std::vector<Bytes> Written() const { return fakebus::Written(path_); }

  // A firmware-information reply whose payload starts with the version text.
  static Bytes InfoReply(const char* version, size_t payloadSize, uint8_t fill) {
    Bytes payload(payloadSize, fill);
    std::memcpy(payload.data(), version, std::min<size_t>(8, payloadSize));
    return PlainReply(payload);
  }

  std::string path_;
};

TEST_F(CommandProtocol, UniversalCommandFrames) {
  const uint8_t bytes[4] = {0x03, 0xF1, 0x3E, 0xA5};
  fakebus::QueueReply(path_, PlainReply({0x10, 0x20}));
  uint8_t reply[255] = {};
  uint8_t replyLength = 0;
  StatusCode status = 0xFFFF;
  EXPECT_EQ(usb_universal_command(1, bytes, 4, reply, &replyLength, &status), 1);
  EXPECT_EQ(status, 0);
  ASSERT_EQ(Written().size(), 1u);
  EXPECT_EQ(Written()[0], (Bytes{0xFF, 0xC0, 0x04, 0x00, 0x03, 0xF1, 0x3E, 0xA5}));
  EXPECT_EQ(replyLength, 2);
  EXPECT_EQ(reply[0], 0x10);
  EXPECT_EQ(reply[1], 0x20);
}

TEST_F(CommandProtocol, UniversalCommandLengthIsTakenModulo256) {
  uint8_t bytes[300];
  for (int i = 0; i < 300; ++i) bytes[i] = static_cast<uint8_t>(i);
  uint8_t reply[255];
  uint8_t replyLength = 0;
  StatusCode status = 0;

  // 247 is the longest command: a 251-byte frame.
  fakebus::QueueReply(path_, PlainReply({}));
  EXPECT_EQ(usb_universal_command(1, bytes, 247, reply, &replyLength, &status), 1);
  ASSERT_EQ(Written().size(), 1u);
  EXPECT_EQ(Written()[0].size(), 251u);
  EXPECT_EQ(Written()[0][2], 247);
  EXPECT_EQ(Written()[0][250], 246);

  // 300 is taken as 44.
  fakebus::QueueReply(path_, PlainReply({}));
  EXPECT_EQ(usb_universal_command(1, bytes, 300, reply, &replyLength, &status), 1);
  ASSERT_EQ(Written().size(), 2u);
  EXPECT_EQ(Written()[1].size(), 48u);
  EXPECT_EQ(Written()[1][2], 44);

  // 0, 248, 255 and 256 (taken as 0) send nothing.
  for (int n : {0, 248, 255, 256}) {
    status = 0;
    EXPECT_EQ(usb_universal_command(1, bytes, n, reply, &replyLength, &status), 0) << n;
    EXPECT_EQ(status, kStatusBadCommandLength) << n;
  }
  EXPECT_EQ(Written().size(), 2u);
  // The device mutex was given back each time: the next command runs.
  fakebus::QueueReply(path_, StatusReply(0));
  EXPECT_EQ(usb_get_status(1, &status), 1);
}

TEST_F(CommandProtocol, UniversalReplyLengthIsTakenModulo256) {
  Bytes payload(260);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i + 1);
  fakebus::QueueReply(path_, PlainReply(payload));
  const uint8_t bytes[1] = {0x01};
  uint8_t reply[255];
  std::memset(reply, 0xEE, sizeof reply);
  uint8_t replyLength = 0;
  StatusCode status = 0xFFFF;
  EXPECT_EQ(usb_universal_command(1, bytes, 1, reply, &replyLength, &status), 1);
  EXPECT_EQ(replyLength, 4);
  EXPECT_EQ(reply[3], 4);
  EXPECT_EQ(reply[4], 0xEE);
}

TEST_F(CommandProtocol, TargetAnnouncements) {
  StatusCode status = 0xFFFF;
  for (int i = 0; i < 4; ++i) fakebus::QueueReply(path_, PlainReply({}));
  EXPECT_EQ(usb_target_update(1, 6, 99, 70000, &status), 1);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(usb_target_update(1, 2, 0, 70000, &status), 1);
  EXPECT_EQ(usb_target_update(1, 1, 0x12345678, -2, &status), 1);
  // Only the low 8 bits of the target count.
  EXPECT_EQ(usb_target_update(1, 0x106, 0, 0x1234, &status), 1);
  auto written = Written();
  ASSERT_EQ(written.size(), 4u);
  EXPECT_EQ(written[0], (Bytes{0x01, 0x80, 0x05, 0x00, 0x01, 0x00, 0x40, 0x70, 0x11}));
  EXPECT_EQ(written[1],
            (Bytes{0x04, 0xC0, 0x09, 0x00, 0x02, 0, 0, 0, 0, 0x70, 0x11, 0x01, 0x00}));
  EXPECT_EQ(written[2], (Bytes{0x04, 0xC0, 0x09, 0x00, 0x01, 0x78, 0x56, 0x34, 0x12, 0xFE,
                               0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(written[3], (Bytes{0x01, 0x80, 0x05, 0x00, 0x01, 0x00, 0x40, 0x34, 0x12}));
}

TEST_F(CommandProtocol, AnnouncementReplies) {
  StatusCode status = 0;
  fakebus::QueueReply(path_, ErrorReply(0x04));
  EXPECT_EQ(usb_target_update(1, 1, 0, 10, &status), 0);
  EXPECT_EQ(status, kStatusTransferFailed);
  fakebus::QueueReply(path_, ErrorReply(0x11, 6, 3));
  EXPECT_EQ(usb_target_update(1, 1, 0, 10, &status), 0);
  EXPECT_EQ(status, 2306);
  // A plain reply whose length disagrees with its header.
  Bytes bad = PlainReply({1, 2, 3});
  bad.push_back(0);
  fakebus::QueueReply(path_, bad);
  EXPECT_EQ(usb_target_update(1, 1, 0, 10, &status), 0);
  EXPECT_EQ(status, kStatusTransferFailed);
  // An error reply is an error whatever its length.
  fakebus::QueueReply(path_, Bytes{2, 0x35});
  EXPECT_EQ(usb_target_update(1, 1, 0, 10, &status), 0);
  EXPECT_EQ(status, 2105);
  // The payload of an acknowledgement is not looked at.
  fakebus::QueueReply(path_, PlainReply({0xDE, 0xAD}));
  EXPECT_EQ(usb_target_update(1, 1, 0, 10, &status), 1);
  EXPECT_EQ(status, 0);
}

TEST_F(CommandProtocol, StatusRequestAndItsReplies) {
  const struct {
    Bytes reply;
    int result;
    StatusCode status;
  } cases[] = {
      {StatusReply(0x00), 1, 0},
      {StatusReply(0x33), 0, 2103},
      {StatusReply(0x62), 1, 0},  // 'b' as a state is no failure
      {StatusReply(0x11, 6, 3), 0, 2306},
      {StatusReply(0x11, 2), 0, 2500},
      {StatusReply(0x21), 0, 2100},
      {StatusReply(0x7F), 0, 2504},
      {ErrorReply(0x04), 0, 2600},
      {ErrorReply(0x6D), 0, 2212},
      {PlainReply({1, 2, 3}), 1, 0},
      // Shorter than a header: an error reply is still decoded, and a status
      // reply by its state once the state byte has arrived.
      {Bytes{1, 0, 0}, 0, 2600},
      {Bytes{2, 0x21}, 0, 2100},
      {Bytes{2, 0x11, 6, 3}, 0, 2306},
      {Bytes{2}, 0, 2504},
      {Bytes{1, 0, 0, 0, 0, 0, 0, 0x33}, 0, 2103},
      {Bytes{1, 0, 0, 0, 0, 0, 0, 0x00, 0}, 1, 0},
  };
  for (const auto& c : cases) {
    fakebus::QueueReply(path_, c.reply);
    StatusCode status = 0xFFFF;
    EXPECT_EQ(usb_get_status(1, &status), c.result) << testing::PrintToString(c.reply);
    EXPECT_EQ(status, c.status) << testing::PrintToString(c.reply);
  }
  for (const Bytes& frame : Written()) EXPECT_EQ(frame, (Bytes{0x01, 0x00, 0x00, 0x00}));
  EXPECT_EQ(Written().size(), sizeof cases / sizeof cases[0]);
}

TEST_F(CommandProtocol, StatusFlagsNeedBothBytesAndAStatusReply) {
  Bytes both = StatusReply(0x00);
  both[42] = 1;
  both[49] = 0x80;
  Bytes one = StatusReply(0x00);
  one[49] = 1;
  Bytes plain = PlainReply(Bytes(40, 0));
  plain[42] = 1;
  plain[49] = 1;
  Bytes letter = StatusReply(0x61);
  letter[42] = 1;
  letter[49] = 1;
  StatusCode status = 0;
  fakebus::QueueReply(path_, both);
  EXPECT_EQ(usb_get_status(1, &status), 0);
  EXPECT_EQ(status, kStatusPrinterError);
  fakebus::QueueReply(path_, one);
  EXPECT_EQ(usb_get_status(1, &status), 1);
  EXPECT_EQ(status, 0);
  fakebus::QueueReply(path_, plain);
  EXPECT_EQ(usb_get_status(1, &status), 1);
  EXPECT_EQ(status, 0);
  fakebus::QueueReply(path_, letter);
  EXPECT_EQ(usb_get_status(1, &status), 0);
  EXPECT_EQ(status, kStatusPrinterError);
}

TEST_F(CommandProtocol, ShortStatusReplyNeverShowsFlagsOfAnEarlierReply) {
  Bytes flagged = StatusReply(0x00);
  flagged[42] = 1;
  flagged[49] = 1;
  StatusCode status = 0;
  fakebus::QueueReply(path_, flagged);
  EXPECT_EQ(usb_get_status(1, &status), 0);
  EXPECT_EQ(status, kStatusPrinterError);
  // A well-formed status reply that ends before byte 42.
  fakebus::QueueReply(path_, Frame(1, {}, 0, 0, 0, 0x00));
  EXPECT_EQ(usb_get_status(1, &status), 1);
  EXPECT_EQ(status, 0);
}

TEST_F(CommandProtocol, StatusReplyOfWrongLengthIsJudgedByItsState) {
  Bytes ready = StatusReply(0x00);
  ready.resize(20);
  Bytes busy = StatusReply(0x35);
  busy.resize(20);
  StatusCode status = 0xFFFF;
  fakebus::QueueReply(path_, ready);
  EXPECT_EQ(usb_get_status(1, &status), 1);
  EXPECT_EQ(status, 0);
  fakebus::QueueReply(path_, busy);
  EXPECT_EQ(usb_get_status(1, &status), 0);
  EXPECT_EQ(status, 2105);
}

TEST_F(CommandProtocol, FirmwareInformationRecord) {
  const char* versions[7] = {"E0208000", "E0211600", "C3000001", "D4000002",
                             "F5000003", "G6000004", "H7000005"};
  for (int k = 0; k < 7; ++k) {
    Bytes reply = InfoReply(versions[k], 40, static_cast<uint8_t>(0x10 * (k + 1)));
    reply[10 + 36] = 0x34;  // the 16-bit value at entry offset 36
    reply[10 + 37] = 0x12;
    fakebus::QueueReply(path_, reply);
  }
  uint8_t record[300];
  std::memset(record, 0xEE, sizeof record);
  StatusCode status = 0xFFFF;
  ASSERT_EQ(usb_get_firmware_info(1, record, &status), 1);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(record[0], 7);
  for (int k = 1; k <= 7; ++k) {
    const uint8_t* entry = record + 1 + 38 * (k - 1);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(entry), 8), versions[k - 1]);
    EXPECT_EQ(entry[8], 0x10 * k);
    EXPECT_EQ(entry[35], 0x10 * k);
    EXPECT_EQ(entry[36], 0x34);
    EXPECT_EQ(entry[37], 0x12);
  }
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(record + 1), 8), "E0208000");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(record + 39), 8), "E0211600");
  EXPECT_EQ(record[267], 0xEE) << "written past the 267-byte record";
  auto written = Written();
  ASSERT_EQ(written.size(), 7u);
  for (int k = 1; k <= 7; ++k)
    EXPECT_EQ(written[k - 1], (Bytes{0x03, 0xC0, 0x01, 0x00, static_cast<uint8_t>(k)}));
}

TEST_F(CommandProtocol, FirmwareInformationShortReplyKeepsEarlierPayloadBytes) {
  fakebus::QueueReply(path_, InfoReply("E0208000", 38, 0x11));
  fakebus::QueueReply(path_, InfoReply("E0211600", 8, 0));
  for (int k = 3; k <= 7; ++k) fakebus::QueueReply(path_, InfoReply("X0000000", 38, 0));
  uint8_t record[267] = {};
  StatusCode status = 0;
  ASSERT_EQ(usb_get_firmware_info(1, record, &status), 1);
  const uint8_t* second = record + 39;
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(second), 8), "E0211600");
  EXPECT_EQ(second[8], 0x11);
  EXPECT_EQ(second[37], 0x11);
}

TEST_F(CommandProtocol, FirmwareInformationFailureLeavesTheRecordAlone) {
  uint8_t record[267];
  std::memset(record, 0x5A, sizeof record);
  StatusCode status = 0;
  // Component 5 answers with an error.
  for (int k = 1; k <= 4; ++k) fakebus::QueueReply(path_, InfoReply("E0208000", 38, 1));
  fakebus::QueueReply(path_, ErrorReply(0x35));
  EXPECT_EQ(usb_get_firmware_info(1, record, &status), 0);
  EXPECT_EQ(status, 2105);
  EXPECT_EQ(Written().size(), 5u);
  for (uint8_t b : record) ASSERT_EQ(b, 0x5A);

  // Component 1 declares 38 payload bytes but 47 arrive.
  Bytes bad = InfoReply("E0208000", 38, 1);
  bad.resize(47);
  fakebus::QueueReply(path_, bad);
  EXPECT_EQ(usb_get_firmware_info(1, record, &status), 0);
  EXPECT_EQ(status, kStatusTransferFailed);
  EXPECT_EQ(Written().size(), 6u);
  for (uint8_t b : record) ASSERT_EQ(b, 0x5A);
}

TEST_F(CommandProtocol, RawFramesAndReceivedFrames) {
  uint8_t bytes[300];
  for (int i = 0; i < 300; ++i) bytes[i] = static_cast<uint8_t>(i);
  EXPECT_EQ(usb_command_send(1, bytes, 3), kStatusOk);
  EXPECT_EQ(usb_command_send(1, bytes, 300), kStatusOk);  // taken as 44
  // A frame of nothing transfers nothing and fails.
  EXPECT_EQ(usb_command_send(1, bytes, 256), kStatusTransferFailed);
  auto written = Written();
  ASSERT_EQ(written.size(), 2u);
  EXPECT_EQ(written[0], (Bytes{0, 1, 2}));
  EXPECT_EQ(written[1], Bytes(bytes, bytes + 44));

  Bytes reply = ErrorReply(0x21);
  fakebus::QueueReply(path_, reply);
  uint8_t buffer[300] = {};
  uint32_t count = 1234;
  // The raw frame is handed over undecoded, header and all.
  EXPECT_EQ(usb_command_recv(1, buffer, &count), kStatusOk);
  EXPECT_EQ(count, reply.size());
  EXPECT_EQ(Bytes(buffer, buffer + count), reply);

  Bytes longest = PlainReply(Bytes(290, 7));
  fakebus::QueueReply(path_, longest);
  EXPECT_EQ(usb_command_recv(1, buffer, &count), kStatusOk);
  EXPECT_EQ(count, 300u);

  // A frame longer than one read fails; count is 0.
  fakebus::QueueReply(path_, PlainReply(Bytes(291, 7)));
  count = 1234;
  EXPECT_EQ(usb_command_recv(1, buffer, &count), kStatusTransferFailed);
  EXPECT_EQ(count, 0u);
}

TEST_F(CommandProtocol, BulkDataInPiecesOf4096) {
  Bytes image(10000);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7);
  StatusCode status = 0xFFFF;
  EXPECT_EQ(usb_write_data(1, image.data(), 10000, &status), 1);
  EXPECT_EQ(status, 0);
  auto written = Written();
  ASSERT_EQ(written.size(), 3u);
  EXPECT_EQ(written[0].size(), 4096u);
  EXPECT_EQ(written[1].size(), 4096u);
  EXPECT_EQ(written[2].size(), 1808u);
  Bytes joined;
  for (const Bytes& piece : written) joined.insert(joined.end(), piece.begin(), piece.end());
  EXPECT_EQ(joined, image);

  EXPECT_EQ(usb_command_data(1, image.data(), 4096), kStatusOk);
  EXPECT_EQ(Written().size(), 4u);
  EXPECT_EQ(usb_command_data(1, image.data(), 0), kStatusOk);
  EXPECT_EQ(Written().size(), 4u);
}

TEST_F(CommandProtocol, NegativeLengthIsAFailureNotASuccess) {
  Bytes image(100, 1);
  EXPECT_EQ(usb_command_data(1, image.data(), -5), kStatusTransferFailed);
  StatusCode status = 0;
  EXPECT_EQ(usb_write_data(1, image.data(), -1, &status), 0);
  EXPECT_EQ(status, kStatusTransferFailed);
  EXPECT_EQ(usb_write_data(1, image.data(), INT32_MIN, &status), 0);
  EXPECT_EQ(status, kStatusTransferFailed);
  EXPECT_TRUE(Written().empty());
}

TEST_F(CommandProtocol, BulkDataStopsAtTheFailingPiece) {
  Bytes image(10000, 1);
  StatusCode status = 0;
  fakebus::FailWrite(path_, 1);
  EXPECT_EQ(usb_write_data(1, image.data(), 10000, &status), 0);
  EXPECT_EQ(status, kStatusTransferFailed);
  EXPECT_EQ(Written().size(), 1u);
}

TEST_F(CommandProtocol, BulkPieceTakenOnlyInPartEndsTheImage) {
  Bytes image(10000, 1);
  StatusCode status = 0;
  fakebus::SetWriteLimit(path_, 1000);
  EXPECT_EQ(usb_write_data(1, image.data(), 10000, &status), 0);
  EXPECT_EQ(status, kStatusTransferFailed);
  // Nothing after the short piece, which would land at the wrong offset.
  EXPECT_EQ(Written().size(), 1u);
}

// Bulk data may mark its pipe, never unmark it: a frame write abandoned
// before keeps its handle open at close, whatever data went out after it.
TEST_F(CommandProtocol, BulkDataNeverClearsTheMarkOfAnAbandonedFrameWrite) {
  wirelet::gLibrary.sessions[0]->settings.transferLimitMs = 200;
  fakebus::SetWritesHang(path_, true);
  StatusCode status = 0;
  EXPECT_EQ(usb_get_status(1, &status), 0);
  EXPECT_EQ(status, kStatusTransferFailed);
  fakebus::SetWritesHang(path_, false);
  Bytes image(5000, 3);
  EXPECT_EQ(usb_write_data(1, image.data(), 5000, &status), 1);
  EXPECT_EQ(usb_command_data(1, image.data(), 100), kStatusOk);
  EXPECT_EQ(Written().size(), 3u);
  EXPECT_EQ(wirelet::gLibrary.sessions[0]->settings.writeTimedOut, 1);
  EXPECT_EQ(usb_close_port(1), kStatusOk);
  EXPECT_EQ(fakebus::OpenPipeHandles(path_, 1), 1);
  EXPECT_EQ(fakebus::OpenPipeHandles(path_, 0), 0);
}

// A reply taken while the clock passes the limit is still a reply: nothing
// was abandoned, so the read pipe is closed at close and the next command
// drops nothing before it goes out.
TEST_F(CommandProtocol, ReplyTakenAsTheLimitPassesIsNoOverrun) {
  wirelet::gLibrary.sessions[0]->settings.transferLimitMs = 200;
  fakebus::SetReadDelay(path_, 300);
  StatusCode status = 0xFFFF;
  for (int i = 0; i < 2; ++i) {
    fakebus::QueueAnswer(path_, StatusReply(0));
    EXPECT_EQ(usb_get_status(1, &status), 1);
    EXPECT_EQ(status, 0);
  }
  EXPECT_EQ(fakebus::ReadsStarted(path_), 2);
  EXPECT_EQ(usb_close_port(1), kStatusOk);
  EXPECT_EQ(fakebus::OpenPipeHandles(path_, 0), 0);
}

TEST_F(CommandProtocol, ReplyThatIsNeverSentFailsAfterTheLimit) {
  // The one real 10-second wait: the limit itself.
  StatusCode status = 0;
  uint32_t start = platform::SystemTickCount();
  EXPECT_EQ(usb_get_status(1, &status), 0);
  uint32_t spent = platform::SystemTickCount() - start;
  EXPECT_EQ(status, kStatusTransferFailed);
  EXPECT_GE(spent, 9900u);
  EXPECT_EQ(fakebus::TransfersInProgress(), 0);
  // The read pipe whose transfer was abandoned stays open at close; the
  // write pipe is closed.
  EXPECT_EQ(usb_close_port(1), kStatusOk);
  EXPECT_EQ(fakebus::OpenPipeHandles(path_, 0), 1);
  EXPECT_EQ(fakebus::OpenPipeHandles(path_, 1), 0);
}

TEST_F(CommandProtocol, CommandFrameTakenOnlyInPartFails) {
  fakebus::SetWriteLimit(path_, 3);
  StatusCode status = 0;
  EXPECT_EQ(usb_get_status(1, &status), 0);
  EXPECT_EQ(status, kStatusTransferFailed);
  const uint8_t command[4] = {0x03, 0xF1, 0x3E, 0xA5};
  uint8_t reply[255];
  uint8_t length = 0;
  EXPECT_EQ(usb_universal_command(1, command, 4, reply, &length, &status), 0);
  EXPECT_EQ(status, kStatusTransferFailed);
  // No reply was waited for after either.
  EXPECT_EQ(fakebus::ReadsStarted(path_), 0);
}

TEST_F(CommandProtocol, LateReplyIsNeverTakenAsTheNextAnswer) {
  wirelet::gLibrary.sessions[0]->settings.transferLimitMs = 200;
  StatusCode status = 0;
  EXPECT_EQ(usb_get_status(1, &status), 0);  // abandoned: no reply in time
  EXPECT_EQ(status, kStatusTransferFailed);
  // The status reply comes after all; the printer refuses the announcement.
  fakebus::QueueReply(path_, StatusReply(0));
  fakebus::QueueAnswer(path_, ErrorReply(0x35));
  EXPECT_EQ(usb_target_update(1, 1, 0, 9000, &status), 0);
  EXPECT_EQ(status, 2105);
  // Once dropped, replies are read as they come again.
  fakebus::QueueAnswer(path_, StatusReply(0x33));
  EXPECT_EQ(usb_get_status(1, &status), 0);
  EXPECT_EQ(status, 2103);
  fakebus::QueueAnswer(path_, PlainReply({}));
  EXPECT_EQ(usb_target_update(1, 2, 0, 10, &status), 1);
  EXPECT_EQ(status, kStatusOk);
}

TEST_F(CommandProtocol, RawReadAfterAnAbandonedOneGetsTheLateFrame) {
  wirelet::gLibrary.sessions[0]->settings.transferLimitMs = 200;
  uint8_t buffer[300];
  uint32_t count = 0;
  EXPECT_EQ(usb_command_recv(1, buffer, &count), kStatusTransferFailed);
  Bytes late = PlainReply({0x42});
  fakebus::QueueReply(path_, late);
  // A read sends nothing, so what waits on the pipe is what it asks for.
  EXPECT_EQ(usb_command_recv(1, buffer, &count), kStatusOk);
  EXPECT_EQ(Bytes(buffer, buffer + count), late);
}

}  // namespace
