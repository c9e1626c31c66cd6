// The report for people: a few tables, columns as wide as their widest cell.
#include <cstdio>
#include <string>
#include <vector>

#include "probe.h"
#include "report_words.h"

namespace {

using Row = std::vector<std::string>;

// Control characters from a printer or an INI file would move the cursor or
// recolour the terminal; they are shown as '?'.
std::string Shown(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) c = '?';
  }
  return out;
}

// A version text is 8 bytes of whatever the printer sent: only printable
// ASCII is shown, anything else as '.', so the columns stay in line.
std::string ShownVersion(const std::string& text) {
  std::string out = text;
  for (char& c : out)
    if (c < 0x20 || c > 0x7e) c = '.';
  return out;
}

// rows[0] is the header. rightAligned: the columns whose cells are numbers.
// The last cell of a line is not padded, so no line ends in blanks; the last
// cell of a row shorter than the header runs across the columns it lacks
// and does not widen its own.
std::string Table(const std::vector<Row>& rows, const std::vector<bool>& rightAligned = {}) {
  std::vector<size_t> widths(rows[0].size(), 0);
  for (const Row& row : rows) {
    size_t counted = row.size() < widths.size() ? row.size() - 1 : row.size();
    for (size_t c = 0; c < counted && c < widths.size(); ++c)
      if (row[c].size() > widths[c]) widths[c] = row[c].size();
  }
  std::string out;
  for (const Row& row : rows) {
    std::string line;
    for (size_t c = 0; c < row.size(); ++c) {
      bool last = c + 1 == row.size();
      size_t width = c < widths.size() ? widths[c] : 0;
      std::string pad(width > row[c].size() ? width - row[c].size() : 0, ' ');
      bool right = c < rightAligned.size() && rightAligned[c];
      line += right ? pad + row[c] : row[c] + (last ? "" : pad);
      if (!last) line += "  ";
    }
    out += line + "\n";
  }
  return out;
}

std::string Port(int port) {
  char text[16];
  std::snprintf(text, sizeof text, "%.2d", port);
  return text;
}

std::string StatusCell(const PrinterReport& report) {
  if (!report.asked) return report.heldElsewhere ? "in use" : "not asked";
  if (report.openCode != 0)
    return std::string(report.heldElsewhere ? "in use " : "not opened ") + std::to_string(report.openCode);
  std::string text = StatusClassName(report.statusCode);
  if (report.statusCode != 0) text += " " + std::to_string(report.statusCode);
  return text;
}

std::string BoardCell(const PrinterReport& report, const PrinterPlan& plan) {
  if (!report.asked || report.openCode != 0) return "-";
  if (!plan.fallback) return BoardName(plan.boardSet);
  if (plan.boardSet < 0) return "fallback";
  return std::string(BoardName(plan.boardSet)) + " (fallback)";
}

std::string ProgramCell(const PrinterReport& report, const PrinterPlan& plan) {
  if (!report.asked || report.openCode != 0) return "-";
  if (!report.infoRead) return ProgramName(plan.program);
  return ShownVersion(VersionText(report.record, 2)) + " " + ProgramName(plan.program);
}

std::string FirmwareCell(const PrinterReport& report) {
  if (!report.asked) return "not read: an update is running";
  if (report.openCode != 0) return "not read: usb_open_port = " + std::to_string(report.openCode);
  if (!report.infoAsked) return "not read: the printer has gone";
  if (!report.infoRead) return "not read: usb_get_firmware_info = " + std::to_string(report.infoCode);
  std::string text;
  for (int k = 1; k <= kComponents; ++k) text += (k > 1 ? " " : "") + ShownVersion(VersionText(report.record, k));
  return text;
}

std::string Header(const ProbeRun& run) {
  size_t count = run.printers.size();
  if (count == 0) return "No printer found.\n";
  if (count == 1) return "1 printer found.\n";
  return std::to_string(count) + " printers found.\n";
}

std::string PrinterTables(const ProbeRun& run) {
  std::vector<Row> main = {{"Port", "Status", "Board", "Program", "Path"}};
  std::vector<Row> firmware = {{"Port", "Firmware information, components 1 to 7"}};
  for (const PrinterReport& report : run.printers) {
    PrinterPlan plan = PlanPrinter(report, run.package);
    main.push_back({Port(report.port), StatusCell(report), BoardCell(report, plan), ProgramCell(report, plan),
                    report.path.empty() ? "?" : Shown(report.path)});
    firmware.push_back({Port(report.port), FirmwareCell(report)});
  }
  return Table(main) + "\n" + Table(firmware);
}

std::string SizeCell(int32_t size) { return size >= 0 ? std::to_string(size) : "-"; }

std::string PackageTable(const ProbeRun& run) {
  const UpdatePackage& package = *run.package;
  const PackageReport& found = run.packageReport;
  std::string out = "Package " + Shown(found.name);
  if (!found.found) out += " (not found)";
  out += ", fallback board set " + std::string(BoardName(FallbackBoardSet(package))) + "\n";
  const char* const boardLabels[2] = {"New board: ", "Old board: "};
  for (int b = 0; b < 2; ++b)
    out += boardLabels[b] + Shown(found.boardIni[b]) + (found.boardIniFound[b] ? "" : " (not found)") + "\n";
  std::vector<Row> rows = {{"Board", "Part", "File", "Bytes", "Check"}};
  for (int b = 0; b < 2; ++b)
    for (int f = 0; f < 4; ++f) {
      const FirmwareFileEntry& entry = package.boardSets[b].files[f];
      rows.push_back({BoardName(b), kPartNames[f], Shown(entry.name), SizeCell(entry.size),
                      FileCheckText(CheckFirmwareFile(entry, f))});
    }
  return out + Table(rows, {false, false, false, true, false});
}

// What each printer would be sent: the four files of its set, each with its
// size, or what the updater's check would say of it.
std::string ReceiveTable(const ProbeRun& run) {
  std::vector<Row> rows = {{"Port", "Set", "USB", "MAIN", "DSP", "TABLE"}};
  for (const PrinterReport& report : run.printers) {
    PrinterPlan plan = PlanPrinter(report, run.package);
    if (plan.skipped != nullptr) {
      // The reason stands where its files would be.
      rows.push_back({Port(report.port), "-", std::string("nothing: ") + plan.skipped});
      continue;
    }
    Row row = {Port(report.port), BoardName(plan.boardSet)};
    const FirmwareFileSet& set = run.package->boardSets[plan.boardSet];
    for (int f = 0; f < 4; ++f) {
      const FirmwareFileEntry& entry = set.files[f];
      FileCheck check = CheckFirmwareFile(entry, f);
      row.push_back(Shown(entry.name) + " " +
                    (check == FileCheck::kOk ? std::to_string(entry.size) : FileCheckText(check)));
    }
    rows.push_back(row);
  }
  return Table(rows);
}

std::string Notes(const ProbeRun& run) {
  if (run.notes.empty() && run.advice.empty()) return "";
  std::string out = "\nNotes:\n";
  for (const BusNote& note : run.notes) {
    std::string where = note.path.empty() ? note.device : note.path;
    if (!note.path.empty() && !note.device.empty()) where += " (" + note.device + ")";
    out += "  " + (where.empty() ? "" : Shown(where) + ": ") + Shown(note.problem) + "\n";
  }
  if (!run.advice.empty()) out += run.advice + "\n";
  return out;
}

}  // namespace

std::string FormatTable(const ProbeRun& run) {
  std::string out = Header(run);
  if (!run.printers.empty()) out += "\n" + PrinterTables(run);
  if (run.package != nullptr) {
    out += "\n" + PackageTable(run);
    if (!run.printers.empty()) out += "\n" + ReceiveTable(run);
  }
  return out + Notes(run);
}
