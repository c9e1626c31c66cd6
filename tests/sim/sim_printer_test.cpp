// The printer's side of the protocol: replies, strictness, stored images,
// the frame log and every scripted fault.
#include <chrono>
#include <sstream>
#include <string>
#include <vector>
#include <thread>

#include "sim_harness.h"

namespace simtest {
namespace {

namespace usb = platform::usb;

class PrinterTest : public SimTest {
 protected:
  void Start(const std::string& printer1, int printers = 1) {
    StartSim(printers, "[printer1]\n" + printer1 + "\n");
    ASSERT_TRUE(link_.Open(Path(0)));
  }
  bool Contains(const std::string& text) { return FramesLog(1).find(text) != std::string::npos; }

  PrinterLink link_;
};

bool WellFormed(const Bytes& r) { return r.size() >= 10 && r.size() == PayloadLength(r) + 10u; }

TEST_F(PrinterTest, AnswersEachRequestWithAWellFormedReply) {
  Start("");
  Bytes status = link_.Exchange(StatusRequest());
  ASSERT_TRUE(WellFormed(status));
  EXPECT_EQ(status[0], 1);
  EXPECT_EQ(status[7], 0x00);
  EXPECT_GE(PayloadLength(status), 40);
  EXPECT_FALSE(status[42] != 0 && status[49] != 0);

  const char* versions[] = {"E0208000", "E0211600"};
  for (uint8_t k = 1; k <= 7; ++k) {
    Bytes info = link_.Exchange(InfoRequest(k));
    ASSERT_TRUE(WellFormed(info)) << int(k);
    EXPECT_NE(info[0], 1);
    EXPECT_NE(info[0], 2);
    EXPECT_GE(PayloadLength(info), 38);
    std::string version(info.begin() + 10, info.begin() + 18);
    if (k <= 2) {
      EXPECT_EQ(version, versions[k - 1]);
    }
    EXPECT_EQ(version.size(), 8u);
  }

  for (const Bytes& command : {Bytes{0x03, 0xF1, 0x3E, 0xA5}, Bytes(247, 0x5A), Bytes{0x42}}) {
    Bytes reply = link_.Exchange(Universal(command));
    ASSERT_TRUE(WellFormed(reply));
    EXPECT_NE(reply[0], 2);
    EXPECT_GT(PayloadLength(reply), 0);
  }
  std::vector<std::string> lines = LogLines(1);
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[0], "out 4 01000000");
  EXPECT_EQ(lines[1].substr(0, 6), "in 50 ");
  EXPECT_EQ(lines[2], "out 5 03c0010001");
  // A 251-byte universal frame is logged with its first 64 bytes only.
  bool long_line = false;
  for (const std::string& line : lines) {
    if (line.compare(0, 8, "out 251 ") == 0) {
      long_line = true;
      EXPECT_EQ(line.size(), 8u + 128u);
    }
  }
  EXPECT_TRUE(long_line);
  EXPECT_FALSE(Contains("\n!"));
}

TEST_F(PrinterTest, ScenarioSetsVersionTexts) {
  StartSim(2, "[printer2]\nboard = E0100000\nprogram = E0191400\nversion7 = ABCDEFGH\n");
  PrinterLink second;
  ASSERT_TRUE(second.Open(Path(1)));
  Bytes board = second.Exchange(InfoRequest(1));
  EXPECT_EQ(std::string(board.begin() + 10, board.begin() + 18), "E0100000");
  Bytes program = second.Exchange(InfoRequest(2));
  EXPECT_EQ(std::string(program.begin() + 10, program.begin() + 18), "E0191400");
  Bytes seventh = second.Exchange(InfoRequest(7));
  EXPECT_EQ(std::string(seventh.begin() + 10, seventh.begin() + 18), "ABCDEFGH");
}

TEST_F(PrinterTest, MalformedFramesGetAnErrorReplyAndAreLogged) {
  Start("");
  const Bytes bad[] = {
      {0x01, 0x00, 0x00},                                 // shorter than a header
      {0x01, 0x00, 0x01, 0x00},                           // header says 1, none follows
      {0x01, 0x00, 0x00, 0x00, 0x00},                     // a byte after a whole status request
      {0x03, 0xC0, 0x01, 0x00, 0x01, 0x00},               // a byte after a whole information request
      {0x01, 0x00, 0x01, 0x00, 0x00},                     // status request with payload
      {0x03, 0xC0, 0x01, 0x00, 0x00},                     // component 0
      {0x03, 0xC0, 0x01, 0x00, 0x08},                     // component 8
      {0x03, 0xC0, 0x02, 0x00, 0x01, 0x01},               // two payload bytes
      {0x01, 0x80, 0x05, 0x00, 0x02, 0x00, 0x40, 1, 0},   // a is not 1
      {0x01, 0x80, 0x05, 0x00, 0x01, 0x00, 0x41, 1, 0},   // b is not 0x4000
      {0x01, 0x80, 0x05, 0x00, 0x01, 0x00, 0x40, 0, 0},   // size 0
      LongAnnouncement(6, 0, 100),                        // target 6 goes short
      LongAnnouncement(3, 0, 100),                        // no such target
      {0xFF, 0xC0, 0x00, 0x00},                           // universal of 0 bytes
      {0xFF, 0x00, 0x01, 0x00, 0x01},                     // wrong class byte
      {0x07, 0x00, 0x00, 0x00},                           // unknown command
  };
  int number = 0;
  for (const Bytes& frame : bad) {
    Bytes reply = link_.Exchange(frame);
    ASSERT_TRUE(WellFormed(reply)) << number;
    EXPECT_EQ(reply[0], 2) << number;
    EXPECT_EQ(reply[1], 'k') << number;
    ++number;
  }
  int rejected = 0;
  for (const std::string& line : LogLines(1)) rejected += line[0] == '!';
  EXPECT_EQ(rejected, number);
  // Nothing was taken as an announcement: a status request is answered.
  EXPECT_EQ(link_.Exchange(StatusRequest()).size(), 50u);
}

TEST_F(PrinterTest, StoresAnnouncedImagesByteForByteThenIsBusyThenReady) {
  Start("store_ms = 300\nbusy_state = 3");
  Bytes controller = Pattern(5000, 6);
  ASSERT_TRUE(link_.SendImage(ShortAnnouncement(5000), controller));
  Bytes status = link_.Exchange(StatusRequest());
  ASSERT_EQ(status.size(), 50u);
  EXPECT_EQ(status[7], '3');
  EXPECT_TRUE(WaitForState(link_, 0x00));
  std::string stored = ReadText(StoredPath(1, 6));
  EXPECT_EQ(Bytes(stored.begin(), stored.end()), controller);

  Bytes table = Pattern(70000, 2);
  ASSERT_TRUE(link_.SendImage(LongAnnouncement(2, 0, 70000), table));
  EXPECT_TRUE(WaitForState(link_, 0x00));
  stored = ReadText(StoredPath(1, 2));
  EXPECT_EQ(Bytes(stored.begin(), stored.end()), table);
  EXPECT_TRUE(Contains("out 13 04c00900020000000070110100\n"));
  EXPECT_TRUE(Contains("out 9 018005000100408813\n"));
  EXPECT_FALSE(Contains("\n!"));
}

TEST_F(PrinterTest, ImageBytesAreTakenAsDataNotAsCommands) {
  Start("store_ms = 0");
  // Until the image is complete, even a frame-shaped transfer is image data.
  ASSERT_EQ(link_.Exchange(LongAnnouncement(1, 0, 8)).size(), 10u);
  ASSERT_TRUE(link_.Write(StatusRequest()));
  ASSERT_TRUE(link_.Write(Bytes{9, 9, 9, 9, 7, 7}));  // 2 bytes too many
  std::string stored = ReadText(StoredPath(1, 1));
  EXPECT_EQ(Bytes(stored.begin(), stored.end()), (Bytes{1, 0, 0, 0, 9, 9, 9, 9}));
  EXPECT_TRUE(Contains("! 2 bytes beyond the announced 8 of target 1 ignored"));
  // A piece larger than 4096 is refused, and the image with it.
  ASSERT_EQ(link_.Exchange(LongAnnouncement(0, 0, 5000)).size(), 10u);
  EXPECT_FALSE(link_.Write(Pattern(5000, 1)));
  EXPECT_TRUE(Contains("! bulk transfer of 5000 bytes is larger than 4096; image of target 0 dropped"));
  EXPECT_FALSE(FileExists(StoredPath(1, 0)));
  // What follows is a command again, not the rest of that image.
  EXPECT_EQ(link_.Exchange(StatusRequest()).size(), 50u);
  // A second image of a target replaces the first.
  ASSERT_TRUE(link_.SendImage(LongAnnouncement(1, 0, 3), Bytes{4, 5, 6}));
  EXPECT_EQ(ReadText(StoredPath(1, 1)), "\x04\x05\x06");
}

TEST_F(PrinterTest, AnnouncementWhileStoringIsRefused) {
  Start("store_ms = -1");
  ASSERT_TRUE(link_.SendImage(LongAnnouncement(1, 0, 10), Pattern(10, 1)));
  Bytes reply = link_.Exchange(LongAnnouncement(0, 0, 10));
  ASSERT_EQ(reply.size(), 10u);
  EXPECT_EQ(reply[0], 2);
  EXPECT_EQ(reply[1], '1');
  EXPECT_TRUE(Contains("! announcement of target 0 while storing"));
  // Busy for ever: still busy a while later; other requests are answered.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(link_.Exchange(StatusRequest())[7], '1');
  EXPECT_EQ(link_.Exchange(InfoRequest(1)).size(), 48u);
}

TEST_F(PrinterTest, StoreTimePerTarget) {
  Start("store_ms = 0\nstore_ms_2 = -1");
  ASSERT_TRUE(link_.SendImage(LongAnnouncement(1, 0, 10), Pattern(10, 1)));
  EXPECT_EQ(link_.Exchange(StatusRequest())[7], 0x00);
  ASSERT_TRUE(link_.SendImage(LongAnnouncement(2, 0, 10), Pattern(10, 2)));
  EXPECT_EQ(link_.Exchange(StatusRequest())[7], '1');
}

TEST_F(PrinterTest, ErrorAndStatusFaults) {
  Start("fault_status = state 0x11 6 3 @2\n"
        "fault_info5 = error 0x11 6 1\n"
        "fault_info = error !\n"
        "fault_announce2 = error 0x04\n"
        "fault_universal = state m");
  Bytes first = link_.Exchange(StatusRequest());
  EXPECT_EQ(first[7], 0x00);
  Bytes second = link_.Exchange(StatusRequest());
  ASSERT_TRUE(WellFormed(second));
  EXPECT_EQ(second[0], 1);
  EXPECT_EQ(second[7], 0x11);
  EXPECT_EQ(second[2], 6);
  EXPECT_EQ(second[3], 3);
  EXPECT_EQ(link_.Exchange(StatusRequest())[7], 0x00);  // only the 2nd

  Bytes info5 = link_.Exchange(InfoRequest(5));  // the specific rule wins
  ASSERT_TRUE(WellFormed(info5));
  EXPECT_EQ(Hex(Bytes(info5.begin(), info5.begin() + 4)), "02110601");
  Bytes info1 = link_.Exchange(InfoRequest(1));
  EXPECT_EQ(info1[0], 2);
  EXPECT_EQ(info1[1], '!');

  Bytes refused = link_.Exchange(LongAnnouncement(2, 0, 10));
  EXPECT_EQ(Hex(Bytes(refused.begin(), refused.begin() + 2)), "0204");
  // An announcement answered with an error is not taken: this is a command.
  EXPECT_EQ(link_.Exchange(StatusRequest()).size(), 50u);
  EXPECT_FALSE(FileExists(StoredPath(1, 2)));

  Bytes universal = link_.Exchange(Universal({0x01}));
  EXPECT_EQ(universal[0], 1);
  EXPECT_EQ(universal[7], 'm');
}

TEST_F(PrinterTest, LengthPayloadFlagsAndGarbageFaults) {
  Start("fault_info1 = badlength\n"
        "fault_info2 = payload 20\n"
        "fault_info3 = payload 0\n"
        "fault_info4 = trailing 3\n"
        "fault_status = flags @1, garbage 400 @2\n"
        "fault_universal = garbage 0");
  Bytes bad = link_.Exchange(InfoRequest(1));
  ASSERT_EQ(bad.size(), 48u);
  EXPECT_EQ(PayloadLength(bad), 39);
  Bytes shortInfo = link_.Exchange(InfoRequest(2));
  EXPECT_TRUE(WellFormed(shortInfo));
  EXPECT_EQ(shortInfo.size(), 30u);
  EXPECT_EQ(link_.Exchange(InfoRequest(3)).size(), 10u);
  // More bytes than the header counts.
  Bytes trailing = link_.Exchange(InfoRequest(4));
  ASSERT_EQ(trailing.size(), 51u);
  EXPECT_EQ(PayloadLength(trailing), 38);

  Bytes flags = link_.Exchange(StatusRequest());
  ASSERT_EQ(flags.size(), 50u);
  EXPECT_NE(flags[42], 0);
  EXPECT_NE(flags[49], 0);
  // 400 bytes do not fit a 300-byte read, but do fit a larger one.
  ASSERT_TRUE(link_.Write(StatusRequest()));
  Bytes garbage;
  ASSERT_TRUE(link_.Read(&garbage, 4096));
  EXPECT_EQ(garbage.size(), 400u);
  Bytes empty{1};
  ASSERT_TRUE(link_.Write(Universal({0x03})));
  ASSERT_TRUE(link_.Read(&empty));
  EXPECT_TRUE(empty.empty());
  EXPECT_TRUE(Contains("in 400 a5a4a7a6"));
  EXPECT_TRUE(Contains("in 0\n"));
}

TEST_F(PrinterTest, ImageWhoseDataStopsIsGivenUp) {
  Start("image_timeout_ms = 300\nstore_ms = 0");
  ASSERT_EQ(link_.Exchange(LongAnnouncement(1, 0, 10000)).size(), 10u);
  ASSERT_TRUE(link_.Write(Pattern(4096, 1)));
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  // What comes now is a command again, not the rest of that image.
  EXPECT_EQ(link_.Exchange(StatusRequest()).size(), 50u);
  EXPECT_TRUE(Contains("! image of target 1 given up with 4096 of 10000 bytes: nothing came for 300 ms"));
  EXPECT_FALSE(FileExists(StoredPath(1, 1)));
  EXPECT_FALSE(FileExists(StoredPath(1, 1) + ".part"));

  // A stored image stays as it was while a new one is half received, and
  // after that one is given up.
  Bytes whole = Pattern(9000, 2);
  ASSERT_TRUE(link_.SendImage(LongAnnouncement(1, 0, 9000), whole));
  ASSERT_EQ(link_.Exchange(LongAnnouncement(1, 0, 10000)).size(), 10u);
  ASSERT_TRUE(link_.Write(Pattern(4096, 3)));
  EXPECT_EQ(ReadText(StoredPath(1, 1)), std::string(whole.begin(), whole.end()));
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  EXPECT_EQ(link_.Exchange(StatusRequest()).size(), 50u);
  EXPECT_EQ(ReadText(StoredPath(1, 1)), std::string(whole.begin(), whole.end()));
  EXPECT_FALSE(FileExists(StoredPath(1, 1) + ".part"));
}

TEST_F(PrinterTest, TransfersLogKeepsEveryTransferInOrderWithItsTime) {
  Start("");
  ASSERT_EQ(link_.Exchange(StatusRequest()).size(), 50u);
  ASSERT_EQ(link_.Exchange(InfoRequest(1)).size(), 48u);
  std::istringstream log(ReadText(dir_ + "/transfers.log"));
  std::vector<std::string> seen;
  long last = -1;
  for (std::string line; std::getline(log, line);) {
    std::istringstream fields(line);
    long ms = -1;
    int printer = 0;
    std::string direction;
    ASSERT_TRUE(fields >> ms >> printer >> direction) << line;
    EXPECT_GE(ms, last);
    last = ms;
    EXPECT_EQ(printer, 1);
    std::string rest;
    fields >> rest;
    seen.push_back(direction + " " + rest);
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"open pipe0", "open pipe1", "out 4", "in 50", "out 5", "in 48"}));
}

TEST_F(PrinterTest, NamedUniversalCommandsCanFailAlone) {
  Start("fault_premain = error a\nfault_close1 = noreply @2\nfault_close2 = error 0x6c");
  Bytes premain = link_.Exchange(Universal({0x03, 0xF1, 0x3E, 0xA5}));
  EXPECT_EQ(Hex(Bytes(premain.begin(), premain.begin() + 2)), "0261");
  Bytes other = link_.Exchange(Universal({0x03, 0xF1, 0x3E, 0xA6}));
  EXPECT_NE(other[0], 2);
  Bytes close1 = link_.Exchange(Universal({0x03, 0xF1, 0x3D, 0x00}));
  EXPECT_NE(close1[0], 2);
  Bytes close2 = link_.Exchange(Universal({0x05, 0xFF, 0xAA, 0x55, 0xCC, 0x33}));
  EXPECT_EQ(close2[1], 0x6C);

  // The second close1 has no reply: the read waits until aborted.
  ASSERT_TRUE(link_.Write(Universal({0x03, 0xF1, 0x3D, 0x00})));
  usb::TransferAbort abort;
  bool result = true;
  std::thread reader([&] {
    abort.Arm();
    Bytes reply;
    result = link_.Read(&reply, 300, &abort);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  abort.Abort();
  reader.join();
  EXPECT_FALSE(result);
  // The handle then gets the next reply normally.
  EXPECT_EQ(link_.Exchange(StatusRequest()).size(), 50u);
}

TEST_F(PrinterTest, NoReplyToAnAnnouncementMeansItIsNotTaken) {
  Start("fault_announce = noreply @1");
  ASSERT_TRUE(link_.Write(LongAnnouncement(1, 0, 4)));
  ASSERT_TRUE(link_.Write(StatusRequest()));  // a command, not image data
  Bytes reply;
  ASSERT_TRUE(link_.Read(&reply));
  EXPECT_EQ(reply.size(), 50u);
  ASSERT_TRUE(link_.SendImage(LongAnnouncement(1, 0, 4), Bytes{1, 2, 3, 4}));
  EXPECT_EQ(ReadText(StoredPath(1, 1)), std::string("\x01\x02\x03\x04"));
}

TEST_F(PrinterTest, StalledCommandFailsItsWriteAndIsNotTakenTheNextIsAnswered) {
  Start("fault_status = stall @1");
  EXPECT_FALSE(link_.Write(StatusRequest()));
  ASSERT_TRUE(link_.Write(StatusRequest()));
  Bytes reply;
  ASSERT_TRUE(link_.Read(&reply));
  EXPECT_EQ(reply.size(), 50u);
  EXPECT_TRUE(Contains("! stalled on this command"));
  // Only the second request was answered.
  int replies = 0;
  for (const std::string& line : LogLines(1)) replies += line.compare(0, 3, "in ") == 0 ? 1 : 0;
  EXPECT_EQ(replies, 1) << FramesLog(1);
}

TEST_F(PrinterTest, UnplugAfterImageBytesAndReplug) {
  Start("unplug_after_bytes = 6000\nreplug_ms = 200");
  std::string path = Path(0);
  usb::ChangeSource* source = usb::OpenChangeSource();
  ASSERT_EQ(link_.Exchange(LongAnnouncement(1, 0, 10000)).size(), 10u);
  ASSERT_TRUE(link_.Write(Pattern(4096, 1)));
  EXPECT_FALSE(link_.Write(Pattern(4096, 2)));  // cut at 6000
  EXPECT_FALSE(FileExists(StoredPath(1, 1)));
  EXPECT_FALSE(FileExists(StoredPath(1, 1) + ".part"));
  EXPECT_TRUE(Contains("out 1904 "));
  EXPECT_TRUE(Contains("! unplugged after 6000 image bytes"));
  // Back by itself, with the same path, and without the half image.
  ASSERT_TRUE(WaitForCount(1));
  EXPECT_EQ(Path(0), path);
  int changes = 0;
  while (usb::TakeChange(source)) ++changes;
  EXPECT_EQ(changes, 2);
  usb::CloseChangeSource(source);
  ASSERT_TRUE(link_.Open(path));
  EXPECT_EQ(link_.Exchange(StatusRequest()).size(), 50u);
  // The fault fired once: a whole image now goes through.
  ASSERT_TRUE(link_.SendImage(LongAnnouncement(1, 0, 9000), Pattern(9000, 3)));
  EXPECT_EQ(ReadText(StoredPath(1, 1)).size(), 9000u);
}

TEST_F(PrinterTest, UnplugAtTheKthCommandAndByFault) {
  StartSim(2, "[printer1]\nunplug_at_command = 3\n[printer2]\nfault_info4 = unplug\n");
  ASSERT_TRUE(link_.Open(Path(0)));
  EXPECT_EQ(link_.Exchange(StatusRequest()).size(), 50u);
  EXPECT_EQ(link_.Exchange(StatusRequest()).size(), 50u);
  EXPECT_TRUE(link_.Exchange(StatusRequest()).empty());
  EXPECT_TRUE(Contains("! unplugged at command 3"));
  ASSERT_TRUE(WaitForCount(1));

  PrinterLink second;
  ASSERT_TRUE(second.Open(Path(0)));
  EXPECT_EQ(second.Exchange(InfoRequest(3)).size(), 48u);
  EXPECT_TRUE(second.Exchange(InfoRequest(4)).empty());
  ASSERT_TRUE(WaitForCount(0));
  EXPECT_EQ(RunSim({"--plug", "2"}).exitCode, 0);
  ASSERT_TRUE(WaitForCount(1));
}

TEST_F(PrinterTest, PrinterThatStartsUnplugged) {
  StartSim(2, "[printer1]\nplugged = 0\n");
  std::vector<std::string> paths = Enumerate();
  ASSERT_EQ(paths.size(), 1u);
  EXPECT_NE(paths[0].find("sim0002"), std::string::npos);
  EXPECT_EQ(RunSim({"--plug", "1"}).exitCode, 0);
  paths = Enumerate();
  ASSERT_EQ(paths.size(), 2u);
  EXPECT_NE(paths[0].find("sim0001"), std::string::npos);
}

TEST_F(PrinterTest, AnOverlongInstanceMakesAnOverlongPath) {
  std::string instance(300, 'i');
  Start("instance = " + instance);
  std::string path = Path(0);
  EXPECT_EQ(path.size(), 12u + 4 + 5 + 4 + 1 + 300 + 39);
  EXPECT_NE(path.find(instance), std::string::npos);
}

}  // namespace
}  // namespace simtest
