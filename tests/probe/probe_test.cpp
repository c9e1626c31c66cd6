// The probe against the scripted library: what it asks a printer (and what
// never), what it concludes, and its file checks held against what the
// updater's own sequences do with the same files.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "controller_update.h"
#include "driver.h"
#include "engine_update.h"
#include "package.h"
#include "platform/named_mutex.h"
#include "probe.h"
#include "support/updater_fixture.h"

using testing_support::BoardIni;
using testing_support::Pattern;

extern bool gExclusiveClaims;  // of the bus double

namespace {

// The printer answers of a report that read its record.
PrinterReport Answered(const std::string& board, const std::string& program) {
  PrinterReport report;
  report.port = 1;
  report.statusAsked = report.infoAsked = report.infoRead = true;
  report.record[0] = 7;
  std::copy(board.begin(), board.end(), report.record + 1);
  std::copy(program.begin(), program.end(), report.record + 39);
  return report;
}

// RunProbe over argument words (the program name first).
int Probe(std::vector<std::string> words, std::string& out, std::string& errors) {
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(&w[0]);
  argv.push_back(nullptr);
  return RunProbe(static_cast<int>(words.size()), argv.data(), out, errors);
}

class ProbeTest : public testing_support::UpdaterFixture {};

// The bus double's claims are exclusive for its lifetime.
struct ExclusiveClaims {
  ExclusiveClaims() { gExclusiveClaims = true; }
  ~ExclusiveClaims() { gExclusiveClaims = false; }
};

TEST_F(ProbeTest, AsksOnlyForStatusAndFirmwareInformationAndClosesThePort) {
  fake.printers[1].statuses = {2101};
  PrinterReport report;
  QueryPrinter(1, report);
  EXPECT_EQ((std::vector<std::string>{"open 1", "status 1", "info 1", "close 1"}), fake.Texts());
  EXPECT_EQ(report.statusCode, 2101);
  EXPECT_TRUE(report.infoRead);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(report.record + 1), 8), "E0208000");
}

TEST_F(ProbeTest, APortThatCannotBeOpenedIsAskedNothingAndNotClosed) {
  fake.printers[1].openStatus = kStatusDeviceNotAvailable;
  fake.printers[2].openStatus = kStatusDeviceNotAvailable;
  PrinterReport held, absent;
  held.path = "held";  // the bus double says another program has it
  absent.path = "free";
  QueryPrinter(1, held);
  QueryPrinter(2, absent);
  EXPECT_EQ((std::vector<std::string>{"open 1", "open 2"}), fake.Texts());
  EXPECT_TRUE(held.heldElsewhere);
  EXPECT_FALSE(absent.heldElsewhere);
  EXPECT_FALSE(held.statusAsked || held.infoAsked);
  EXPECT_STREQ(PlanPrinter(held, nullptr).skipped, "another program holds it");
  EXPECT_STREQ(PlanPrinter(absent, nullptr).skipped, "the port cannot be opened");
}

TEST_F(ProbeTest, APrinterGoneAtItsStatusIsNotAskedForMore) {
  fake.printers[1].statuses = {kStatusDeviceNotAvailable};
  fake.printers[2].statuses = {kStatusTransferFailed};  // silent, but still there
  fake.printers[2].infoResult = 0;
  fake.printers[2].infoStatus = kStatusTransferFailed;
  PrinterReport gone, silent;
  QueryPrinter(1, gone);
  QueryPrinter(2, silent);
  EXPECT_EQ((std::vector<std::string>{"open 1", "status 1", "close 1", "open 2", "status 2", "info 2", "close 2"}),
            fake.Texts());
  EXPECT_FALSE(gone.infoAsked);
  EXPECT_TRUE(silent.infoAsked);
  EXPECT_FALSE(silent.infoRead);
  EXPECT_EQ(silent.infoCode, kStatusTransferFailed);
}

TEST_F(ProbeTest, StatusIsShownInTheUpdatersClassesAndAPrinterTalkingToAnotherProgramAsBusy) {
  fake.ports = {1, 2, 3, 4};
  fake.printers[1].statuses = {2305};
  fake.printers[2].statuses = {2103};
  fake.printers[3].statuses = {kStatusDeviceBusy};
  fake.printers[4].statuses = {2504};
  std::string out, errors;
  EXPECT_EQ(0, Probe({"q7730-probe"}, out, errors));
  for (const char* row : {"\n01    ready 2305  ", "\n02    busy 2103   ", "\n03    busy 1500   ", "\n04    failed 2504 "})
    EXPECT_NE(out.find(row), std::string::npos) << row << "\n" << out;
}

TEST_F(ProbeTest, PlanFollowsTheUpdatersChoiceOfBoardSetAndProgramCheck) {
  UpdatePackage package{};
  package.fallbackBoardSet = kNewBoardSet;
  const struct {
    const char* board;
    const char* program;
    int boardSet;
    ProgramCheck program_check;
    bool skipped;
  } rows[] = {
      {"E0208000", "E0211600", kNewBoardSet, ProgramCheck::kAccepted, false},
      {"E0208000", "E0191400", kNewBoardSet, ProgramCheck::kAccepted, false},
      {"E0208001", "E0191400", kOldBoardSet, ProgramCheck::kAccepted, false},
      {"\0\0\0\0\0\0\0\0", "E0211600", kOldBoardSet, ProgramCheck::kAccepted, false},
      {"E0208000", "e0211600", kNewBoardSet, ProgramCheck::kRefused, true},
      {"E0100000", "E0211601", kOldBoardSet, ProgramCheck::kRefused, true},
  };
  for (const auto& row : rows) {
    PrinterPlan plan = PlanPrinter(Answered(std::string(row.board, 8), std::string(row.program, 8)), &package);
    EXPECT_EQ(plan.boardSet, row.boardSet) << row.board;
    EXPECT_FALSE(plan.fallback) << row.board;
    EXPECT_EQ(plan.program, row.program_check) << row.program;
    EXPECT_EQ(plan.skipped != nullptr, row.skipped) << row.program;
  }

  // Unreadable information: the package's fallback, and no version check.
  PrinterReport unread;
  unread.statusAsked = unread.infoAsked = true;
  unread.infoCode = kStatusTransferFailed;
  PrinterPlan plan = PlanPrinter(unread, &package);
  EXPECT_TRUE(plan.fallback);
  EXPECT_EQ(plan.boardSet, kNewBoardSet);
  EXPECT_EQ(plan.program, ProgramCheck::kUnchecked);
  EXPECT_EQ(plan.skipped, nullptr);
  EXPECT_EQ(PlanPrinter(unread, nullptr).boardSet, -1);

  // Beyond the tenth printer the updater never looks.
  PrinterReport eleventh = Answered("E0208000", "E0211600");
  eleventh.inPortTable = false;
  EXPECT_STREQ(PlanPrinter(eleventh, &package).skipped, "only the first 10 printers are updated");
}

// One firmware file as the package names it.
struct FileCase {
  const char* label;
  int size;              // bytes written; -1: no file
  const char* filePath;  // FILEPATH value
};

const FileCase kUsbCases[] = {
    {"empty", 0, "f.bin"},      {"63 bytes", 63, "f.bin"},         {"64 bytes", 64, "f.bin"},
    {"65535 bytes", 65535, "f.bin"}, {"65536 bytes", 65536, "f.bin"}, {"absent", -1, "f.bin"},
    {"None", -1, "None"},       {"a file named None", 100, "None"},
};
const FileCase kEngineCases[] = {
    {"empty", 0, "f.bin"},  {"1 byte", 1, "f.bin"}, {"absent", -1, "f.bin"},
    {"None", -1, "None"},   {"a file named None", 100, "None"},
};

class FileCheckAgainstUpdaterTest : public testing_support::UpdaterFixture {
 protected:
  // Writes the standard package with part fileIndex of the new board replaced
  // by the case's file, and loads it.
  void PackageWith(int fileIndex, const FileCase& c) {
    for (const char* stale : {"new/f.bin", "new/None"}) std::filesystem::remove(dir / stale);
    WritePackage("Usb=0\nMain=0\nDsp=0\nTable=0\n");
    std::vector<std::string> names = {"usb.bin", "main.bin", "dsp.bin", "table.bin"};
    names[static_cast<size_t>(fileIndex)] = c.filePath;
    dir.Write("new/board.ini", BoardIni(names[0], names[1], names[2], names[3], "Usb=0\nMain=0\nDsp=0\nTable=0\n"));
    if (c.size >= 0) dir.Write(std::string("new/") + c.filePath, Pattern(static_cast<size_t>(c.size), 7));
    Load();
  }
  bool Announced(int target) const {
    std::string prefix = "target 1 " + std::to_string(target) + " ";
    for (const std::string& text : fake.Texts())
      if (text.compare(0, prefix.size(), prefix) == 0) return true;
    return false;
  }
};

TEST_F(FileCheckAgainstUpdaterTest, AControllerImagePassesExactlyWhenTheUpdaterWouldAnnounceIt) {
  for (const FileCase& c : kUsbCases) {
    PackageWith(kFileUsb, c);
    fake.calls.clear();
    FileCheck check = CheckFirmwareFile(updatePackage.boardSets[kNewBoardSet].files[kFileUsb], kFileUsb);
    UpdateControllerFirmware(1);
    EXPECT_EQ(check == FileCheck::kOk, Announced(kTargetController)) << c.label << ": " << FileCheckText(check);
  }
  PackageWith(kFileUsb, kUsbCases[1]);
  EXPECT_EQ(CheckFirmwareFile(updatePackage.boardSets[kNewBoardSet].files[kFileUsb], kFileUsb), FileCheck::kTooShort);
  PackageWith(kFileUsb, kUsbCases[4]);
  EXPECT_EQ(CheckFirmwareFile(updatePackage.boardSets[kNewBoardSet].files[kFileUsb], kFileUsb), FileCheck::kTooLarge);
}

TEST_F(FileCheckAgainstUpdaterTest, AnEngineImagePassesExactlyWhenTheUpdaterWouldAnnounceIt) {
  const struct {
    int fileIndex;
    int target;
  } parts[] = {{kFileMain, kTargetMain}, {kFileDsp, kTargetDsp}, {kFileTable, kTargetTable}};
  for (const auto& part : parts)
    for (const FileCase& c : kEngineCases) {
      PackageWith(part.fileIndex, c);
      fake.calls.clear();
      FileCheck check = CheckFirmwareFile(updatePackage.boardSets[kNewBoardSet].files[part.fileIndex], part.fileIndex);
      UpdateEngineFirmware(1);
      EXPECT_EQ(check == FileCheck::kOk, Announced(part.target))
          << "part " << part.fileIndex << ", " << c.label << ": " << FileCheckText(check);
    }
}

TEST_F(ProbeTest, ExitStatusTellsWhetherAPrinterWasFound) {
  std::string out, errors;
  fake.ports = {};
  EXPECT_EQ(1, Probe({"q7730-probe"}, out, errors));
  EXPECT_EQ(out.substr(0, 17), "No printer found.");

  // Each run unbinds the library at its end: point it at the stand-in again.
  testing_support::FakeLibrary again;
  EXPECT_EQ(0, Probe({"q7730-probe", "--json"}, out, errors));
  EXPECT_EQ(out.substr(0, 15), "{\n  \"printers\":");
  EXPECT_EQ(errors, "");
}

TEST_F(ProbeTest, BadCommandLinesAreRefusedBeforeAnyPrinterIsAsked) {
  const std::vector<std::vector<std::string>> bad = {
      {"q7730-probe", "--jsn"},
      {"q7730-probe", "a.ini", "b.ini"},
      {"q7730-probe", ""},
      {"q7730-probe", std::string(260, 'p')},
  };
  for (const auto& words : bad) {
    std::string out, errors;
    EXPECT_EQ(2, Probe(words, out, errors)) << words.back();
    EXPECT_EQ(out, "");
    EXPECT_NE(errors.find("usage: q7730-probe [--json] [PACKAGE.ini]"), std::string::npos) << errors;
  }
  EXPECT_TRUE(fake.Texts().empty());

  // "--" ends the options, so a package may start with a dash.
  std::string out, errors;
  EXPECT_EQ(0, Probe({"q7730-probe", "--", "-p.ini"}, out, errors));
  EXPECT_NE(out.find("Package -p.ini (not found)"), std::string::npos) << out;
}

TEST_F(ProbeTest, PrintersBeyondTheTenthAreListedAsNotUpdated) {
  fake.ports = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  WritePackage();
  std::string out, errors;
  EXPECT_EQ(0, Probe({"q7730-probe", "package.ini"}, out, errors));
  EXPECT_NE(out.find("12 printers found.\n"), std::string::npos) << out;
  EXPECT_NE(out.find("\n10    new  usb.bin 5000"), std::string::npos) << out;
  EXPECT_NE(out.find("\n11    -    nothing: only the first 10 printers are updated\n"), std::string::npos) << out;
  EXPECT_NE(out.find("\n12    -    nothing: only the first 10 printers are updated\n"), std::string::npos) << out;
  // Every printer asked, the last two included.
  int infos = 0;
  for (const std::string& text : fake.Texts()) infos += text.compare(0, 5, "info ") == 0;
  EXPECT_EQ(infos, 12);
  // The simulator's bus here has none of them: ports without paths.
  EXPECT_NE(out.find("the library found 12 printer(s), the bus shows 0: no path is shown"), std::string::npos);
}

TEST_F(ProbeTest, WhereClaimsShutOthersOutNoPrinterIsOpenedWhileAnUpdateRuns) {
  ExclusiveClaims exclusive;
  fake.ports = {1, 2};
  std::string out, errors;
  {
    platform::NamedMutex update;  // a running Q7730upgrade
    ASSERT_TRUE(update.Create(kInstanceMutexName, true, nullptr));
    EXPECT_EQ(0, Probe({"q7730-probe"}, out, errors));
  }
  EXPECT_EQ((std::vector<std::string>{"find_first", "find_next", "find_next"}), fake.Texts());
  EXPECT_NE(out.find("\n01    not asked  -      -        ?\n02    not asked  -      -        ?\n"), std::string::npos)
      << out;
  EXPECT_NE(out.find("  an update is running: no printer was opened\n"), std::string::npos) << out;

  // Without one the printers are asked, and the updater may start after.
  testing_support::FakeLibrary again;
  again.ports = {1, 2};
  EXPECT_EQ(0, Probe({"q7730-probe"}, out, errors));
  EXPECT_EQ(testing_support::CountOf(out, " ready "), 2) << out;
  platform::NamedMutex update;
  bool existed = true;
  ASSERT_TRUE(update.Create(kInstanceMutexName, true, &existed));
  EXPECT_FALSE(existed);
}

// Texts from printers and INI files reach a terminal and a JSON parser.
TEST(ProbeReportTest, ForeignBytesNeitherMoveTheCursorNorBreakTheJson) {
  ProbeRun run;
  PrinterReport report = Answered(std::string("E02\x1b[2J", 8), std::string("\xff\0E02116", 8));
  report.path = "\\\\?\\usb#vid_7a3d&pid_00b4#caf\xc3\xa9\x01#{x}";
  run.printers.push_back(report);
  UpdatePackage package{};
  std::snprintf(package.boardSets[0].files[0].name, kPathSize, "%s", "u\"sb\\\r\x80.bin");
  package.boardSets[0].files[0].size = -2;
  run.package = &package;
  run.packageReport.name = "Q7730.ini";

  std::string table = FormatTable(run);
  EXPECT_EQ(table.find('\x1b'), std::string::npos);
  EXPECT_EQ(table.find('\r'), std::string::npos);
  EXPECT_NE(table.find("  ..E02116 refused  "), std::string::npos) << table;
  EXPECT_NE(table.find("  E02.[2J. ..E02116 ........ ........"), std::string::npos) << table;
  EXPECT_NE(table.find("caf\xc3\xa9?#{x}"), std::string::npos) << table;

  std::string json = FormatJson(run);
  EXPECT_NE(json.find("\"firmware\": [\"E02\\u001b[2J\\u0000\", \"\\u00ff\\u0000E02116\","), std::string::npos)
      << json;
  // Well-formed UTF-8 passes; a stray byte is read as Latin-1.
  EXPECT_NE(json.find("\"path\": \"\\\\\\\\?\\\\usb#vid_7a3d&pid_00b4#caf\xc3\xa9\\u0001#{x}\""), std::string::npos)
      << json;
  EXPECT_NE(json.find("\"file\": \"u\\\"sb\\\\\\u000d\\u0080.bin\", \"size\": null, \"check\": \"missing\""),
            std::string::npos)
      << json;
}

}  // namespace
