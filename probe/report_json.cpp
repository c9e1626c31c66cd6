// The report for scripts: one JSON document (its schema is in the README).
#include <cstdio>
#include <string>
#include <vector>

#include "probe.h"
#include "report_words.h"

namespace {

// Length of the well-formed UTF-8 sequence at text[at], 0 when it is none.
size_t Utf8Length(const std::string& text, size_t at) {
  unsigned char lead = static_cast<unsigned char>(text[at]);
  size_t length = lead >= 0xf0 && lead <= 0xf4 ? 4 : lead >= 0xe0 ? 3 : lead >= 0xc2 ? 2 : 0;
  if (lead >= 0xf5 || length == 0 || at + length > text.size()) return 0;
  for (size_t i = 1; i < length; ++i)
    if ((static_cast<unsigned char>(text[at + i]) & 0xc0) != 0x80) return 0;
  unsigned char second = static_cast<unsigned char>(text[at + 1]);
  // Overlong forms, surrogates and code points past U+10FFFF.
  if ((lead == 0xe0 && second < 0xa0) || (lead == 0xed && second >= 0xa0) ||
      (lead == 0xf0 && second < 0x90) || (lead == 0xf4 && second >= 0x90))
    return 0;
  return length;
}

// Texts come from INI files and printers and may hold any byte: well-formed
// UTF-8 passes, every other byte above 0x7f is taken as Latin-1, so the
// document is always valid JSON.
std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c >= 0x20 && c < 0x7f) {
      out += static_cast<char>(c);
    } else if (size_t length = c >= 0x80 ? Utf8Length(text, i) : 0) {
      out.append(text, i, length);
      i += length - 1;
    } else {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      out += escape;
    }
  }
  return out + "\"";
}

// Members and elements one per line, indented by level, except in an array
// or object asked for on one line (plain values, a file entry).
class JsonWriter {
 public:
  void BeginObject(bool oneLine = false) { Open('{', oneLine); }
  void EndObject() { Close('}'); }
  void BeginArray(bool oneLine = false) { Open('[', oneLine); }
  void EndArray() { Close(']'); }
  void Key(const char* name) {
    Separate();
    out_ += Quoted(name) + ": ";
    afterKey_ = true;
  }
  void String(const std::string& text) { Plain(Quoted(text)); }
  void StringOrNull(const char* text) { Plain(text != nullptr ? Quoted(text) : "null"); }
  void Number(long long value) { Plain(std::to_string(value)); }
  void Bool(bool value) { Plain(value ? "true" : "false"); }
  void Null() { Plain("null"); }
  std::string Take() { return out_ + "\n"; }

 private:
  void Separate() {
    if (afterKey_) {
      afterKey_ = false;
      return;
    }
    if (first_.empty()) return;
    bool first = first_.back();
    first_.back() = false;
    if (!first) out_ += ",";
    if (!oneLine_.back()) out_ += "\n" + std::string(2 * first_.size(), ' ');
    else if (!first) out_ += " ";
  }
  void Plain(const std::string& text) {
    Separate();
    out_ += text;
  }
  void Open(char bracket, bool oneLine) {
    Separate();
    out_ += bracket;
    first_.push_back(true);
    // Inside a one-line level everything stays on that line.
    oneLine_.push_back(oneLine || (!oneLine_.empty() && oneLine_.back()));
  }
  void Close(char bracket) {
    bool empty = first_.back();
    bool oneLine = oneLine_.back();
    first_.pop_back();
    oneLine_.pop_back();
    if (!empty && !oneLine) out_ += "\n" + std::string(2 * first_.size(), ' ');
    out_ += bracket;
  }

  std::string out_;
  std::vector<bool> first_;    // per open level: nothing written in it yet
  std::vector<bool> oneLine_;  // per open level
  bool afterKey_ = false;
};

void FileEntry(JsonWriter& json, const FirmwareFileEntry& entry, int fileIndex) {
  json.BeginObject(true);
  json.Key("part");
  json.String(kPartNames[fileIndex]);
  json.Key("file");
  json.String(entry.name);
  json.Key("size");
  if (entry.size >= 0) json.Number(entry.size);
  else json.Null();
  json.Key("check");
  json.String(FileCheckText(CheckFirmwareFile(entry, fileIndex)));
  json.EndObject();
}

void Printer(JsonWriter& json, const PrinterReport& report, const UpdatePackage* package) {
  PrinterPlan plan = PlanPrinter(report, package);
  bool opened = report.asked && report.openCode == 0;
  json.BeginObject();
  json.Key("port");
  json.Number(report.port);
  json.Key("path");
  if (report.path.empty()) json.Null();
  else json.String(report.path);
  json.Key("open");
  if (report.asked) json.Number(report.openCode);
  else json.Null();
  json.Key("in_use");
  json.Bool(report.heldElsewhere);
  json.Key("status");
  json.StringOrNull(report.statusAsked ? StatusClassName(report.statusCode) : nullptr);
  json.Key("status_code");
  if (report.statusAsked) json.Number(report.statusCode);
  else json.Null();
  json.Key("firmware");
  if (report.infoRead) {
    json.BeginArray(true);
    for (int k = 1; k <= kComponents; ++k) json.String(VersionText(report.record, k));
    json.EndArray();
  } else {
    json.Null();
  }
  json.Key("firmware_code");
  if (report.infoAsked) json.Number(report.infoCode);
  else json.Null();
  json.Key("board");
  json.StringOrNull(BoardName(plan.boardSet));
  json.Key("board_from");
  json.StringOrNull(!opened ? nullptr : plan.fallback ? "fallback" : "firmware");
  json.Key("program");
  json.StringOrNull(opened ? ProgramName(plan.program) : nullptr);
  json.Key("skipped");
  json.StringOrNull(plan.skipped);
  json.Key("receives");
  if (package != nullptr && plan.skipped == nullptr) {
    json.BeginArray();
    for (int f = 0; f < 4; ++f) FileEntry(json, package->boardSets[plan.boardSet].files[f], f);
    json.EndArray();
  } else {
    json.Null();
  }
  json.EndObject();
}

void Package(JsonWriter& json, const ProbeRun& run) {
  const UpdatePackage& package = *run.package;
  const PackageReport& found = run.packageReport;
  json.BeginObject();
  json.Key("name");
  json.String(found.name);
  json.Key("found");
  json.Bool(found.found);
  json.Key("fallback");
  json.String(BoardName(FallbackBoardSet(package)));
  json.Key("boards");
  json.BeginArray();
  for (int b = 0; b < 2; ++b) {
    json.BeginObject();
    json.Key("board");
    json.String(BoardName(b));
    json.Key("ini");
    json.String(found.boardIni[b]);
    json.Key("found");
    json.Bool(found.boardIniFound[b]);
    json.Key("files");
    json.BeginArray();
    for (int f = 0; f < 4; ++f) FileEntry(json, package.boardSets[b].files[f], f);
    json.EndArray();
    json.EndObject();
  }
  json.EndArray();
  json.EndObject();
}

}  // namespace

std::string FormatJson(const ProbeRun& run) {
  JsonWriter json;
  json.BeginObject();
  json.Key("printers");
  json.BeginArray();
  for (const PrinterReport& report : run.printers) Printer(json, report, run.package);
  json.EndArray();
  json.Key("package");
  if (run.package != nullptr) Package(json, run);
  else json.Null();
  json.Key("notes");
  json.BeginArray();
  for (const BusNote& note : run.notes) {
    json.BeginObject(true);
    json.Key("path");
    json.StringOrNull(note.path.empty() ? nullptr : note.path.c_str());
    json.Key("device");
    json.StringOrNull(note.device.empty() ? nullptr : note.device.c_str());
    json.Key("problem");
    json.String(note.problem);
    json.EndObject();
  }
  json.EndArray();
  json.Key("advice");
  json.StringOrNull(run.advice.empty() ? nullptr : run.advice.c_str());
  json.EndObject();
  return json.Take();
}
