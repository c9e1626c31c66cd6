#include "scenario.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "ini_file.h"

namespace sim {
namespace {

constexpr int kMaxPrinters = 250;
const char* const kDefaultVersions[7] = {"E0208000", "E0211600", "E0190300", "E0200500",
                                         "E0170200", "E0150100", "E0120400"};

// Decimal or 0x hexadecimal, within [low, high].
bool ParseNumber(const std::string& text, int64_t low, int64_t high, int64_t* value) {
  if (text.empty()) return false;
  const char* begin = text.c_str();
  char* end = nullptr;
  bool negative = begin[0] == '-';
  int base = 10;
  const char* digits = negative ? begin + 1 : begin;
  if (digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) base = 16;
  if (!std::isxdigit(static_cast<unsigned char>(base == 16 ? digits[2] : digits[0]))) return false;
  long long parsed = std::strtoll(begin, &end, base);
  if (end == nullptr || *end != '\0') return false;
  if (parsed < low || parsed > high) return false;
  *value = parsed;
  return true;
}

// A protocol character: one character ("1", "k", "!") or 0xNN.
bool ParseCodeByte(const std::string& text, uint8_t* value) {
  if (text.size() == 1) {
    *value = static_cast<uint8_t>(text[0]);
    return true;
  }
  int64_t parsed = 0;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X') &&
      ParseNumber(text, 0, 255, &parsed)) {
    *value = static_cast<uint8_t>(parsed);
    return true;
  }
  return false;
}

bool ParseSmallByte(const std::string& text, uint8_t* value) {
  int64_t parsed = 0;
  if (!ParseNumber(text, 0, 255, &parsed)) return false;
  *value = static_cast<uint8_t>(parsed);
  return true;
}

bool IsFaultKind(const std::string& kind) {
  static const char* const fixed[] = {"status", "info", "announce", "universal",
                                      "premain", "close1", "close2"};
  for (const char* name : fixed) {
    if (kind == name) return true;
  }
  if (kind.size() == 5 && kind.compare(0, 4, "info") == 0) return kind[4] >= '1' && kind[4] <= '7';
  if (kind.size() > 8 && kind.compare(0, 8, "announce") == 0) {
    int64_t target = 0;
    std::string digits = kind.substr(8);
    return digits.size() <= 3 && std::isdigit(static_cast<unsigned char>(digits[0])) &&
           ParseNumber(digits, 0, 255, &target) && std::to_string(target) == digits;
  }
  return false;
}

bool ValidVersion(const std::string& text) {
  if (text.size() != 8) return false;
  for (char c : text) {
    if (!std::isprint(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

// Path fields: no separator of the path and nothing unprintable.
bool ValidPathPart(const std::string& text, size_t minLength, size_t maxLength) {
  if (text.size() < minLength || text.size() > maxLength) return false;
  for (char c : text) {
    if (!std::isgraph(static_cast<unsigned char>(c)) || c == '#' || c == '\\') return false;
  }
  return true;
}

std::string Where(const IniEntry& entry) { return "line " + std::to_string(entry.line) + ": "; }

bool ApplyKey(const IniEntry& entry, PrinterConfig* config, std::string* error) {
  const std::string& key = entry.key;
  const std::string& value = entry.value;
  int64_t number = 0;
  auto fail = [&](const std::string& what) {
    *error = Where(entry) + "[" + entry.section + "] " + key + " = " + value + ": " + what;
    return false;
  };
  if (key == "board" || key == "program" ||
      (key.size() == 8 && key.compare(0, 7, "version") == 0 && key[7] >= '3' && key[7] <= '7')) {
    if (!ValidVersion(value)) return fail("needs exactly 8 printable characters");
    int index = key == "board" ? 0 : key == "program" ? 1 : key[7] - '1';
    config->versions[index] = value;
  } else if (key == "store_ms") {
    if (!ParseNumber(value, -1, 3600000, &number)) return fail("needs -1 (for ever) or 0..3600000");
    config->storeMs = static_cast<int>(number);
  } else if (key.compare(0, 9, "store_ms_") == 0) {
    int64_t target = 0;
    std::string digits = key.substr(9);
    if (!ParseNumber(digits, 0, 255, &target) || std::to_string(target) != digits)
      return fail("unknown key");
    if (!ParseNumber(value, -1, 3600000, &number)) return fail("needs -1 (for ever) or 0..3600000");
    config->storeMsByTarget[static_cast<int>(target)] = static_cast<int>(number);
  } else if (key == "busy_state") {
    if (!ParseCodeByte(value, &config->busyState)) return fail("needs one character or 0xNN");
  } else if (key == "reject_code") {
    if (!ParseCodeByte(value, &config->rejectCode)) return fail("needs one character or 0xNN");
  } else if (key == "vendor" || key == "product") {
    if (!ValidPathPart(value, 4, 4)) return fail("needs 4 characters");
    (key == "vendor" ? config->vendor : config->product) = value;
  } else if (key == "instance") {
    if (!ValidPathPart(value, 1, 1000)) return fail("needs 1..1000 printable characters, no # or \\");
    config->instance = value;
  } else if (key == "unplug_after_bytes" || key == "stall_after_bytes" ||
             key == "unplug_at_command") {
    if (!ParseNumber(value, -1, INT64_C(1) << 40, &number)) return fail("needs -1 (never) or a count");
    if (key == "unplug_after_bytes") config->unplugAfterBytes = number;
    else if (key == "stall_after_bytes") config->stallAfterBytes = number;
    else config->unplugAtCommand = number;
  } else if (key == "replug_ms") {
    if (!ParseNumber(value, 0, 3600000, &number)) return fail("needs 0 (never) or 1..3600000");
    config->replugMs = static_cast<int>(number);
  } else if (key == "image_timeout_ms") {
    if (!ParseNumber(value, 0, 3600000, &number)) return fail("needs 0 (never) or 1..3600000");
    config->imageTimeoutMs = static_cast<int>(number);
  } else if (key == "plugged") {
    if (!ParseNumber(value, 0, 1, &number)) return fail("needs 0 or 1");
    config->plugged = number == 1;
  } else if (key.compare(0, 6, "fault_") == 0) {
    // Several rules for one kind go in one value, separated by commas.
    size_t begin = 0;
    for (;;) {
      size_t comma = value.find(',', begin);
      std::string part = value.substr(begin, comma == std::string::npos ? std::string::npos : comma - begin);
      FaultRule rule;
      std::string why;
      if (!ParseFault(key.substr(6), part, &rule, &why)) return fail(why);
      config->faults.push_back(rule);
      if (comma == std::string::npos) break;
      begin = comma + 1;
    }
  } else {
    return fail("unknown key");
  }
  return true;
}

}  // namespace

bool ParseFault(const std::string& kind, const std::string& value, FaultRule* rule,
                std::string* error) {
  if (!IsFaultKind(kind)) {
    *error = "unknown command kind '" + kind + "'";
    return false;
  }
  rule->kind = kind;
  std::vector<std::string> words;
  std::istringstream in(value);
  for (std::string word; in >> word;) words.push_back(word);
  if (!words.empty() && words.back()[0] == '@') {
    std::string range = words.back().substr(1);
    words.pop_back();
    int64_t first = 0, last = 0;
    bool open = !range.empty() && range.back() == '+';
    if (open) range.pop_back();
    size_t dash = range.find('-');
    std::string firstText = dash == std::string::npos ? range : range.substr(0, dash);
    if (!ParseNumber(firstText, 1, 0xFFFFFFFF, &first)) {
      *error = "occurrence needs @N, @N+ or @N-M with N from 1";
      return false;
    }
    last = open ? 0xFFFFFFFF : first;
    if (!open && dash != std::string::npos &&
        !ParseNumber(range.substr(dash + 1), first, 0xFFFFFFFF, &last)) {
      *error = "occurrence needs @N, @N+ or @N-M with M >= N";
      return false;
    }
    rule->first = static_cast<uint32_t>(first);
    rule->last = static_cast<uint32_t>(last);
  }
  if (words.empty()) {
    *error = "missing action";
    return false;
  }
  const std::string action = Lower(words[0]);
  FaultAction& a = rule->action;
  size_t args = words.size() - 1;
  auto usage = [&](const char* text) {
    *error = std::string("usage: ") + text;
    return false;
  };
  if (action == "noreply" || action == "badlength" || action == "flags" || action == "unplug" ||
      action == "stall") {
    if (args != 0) return usage((action + " (no arguments)").c_str());
    a.kind = action == "noreply"     ? FaultAction::kNoReply
             : action == "badlength" ? FaultAction::kBadLength
             : action == "flags"     ? FaultAction::kFlags
             : action == "stall"     ? FaultAction::kStall
                                     : FaultAction::kUnplug;
  } else if (action == "error" || action == "state") {
    const char* text = action == "error" ? "error CODE [GROUP [DETAIL]]" : "state STATE [GROUP [DETAIL]]";
    if (args < 1 || args > 3 || !ParseCodeByte(words[1], &a.code)) return usage(text);
    if (args >= 2 && !ParseSmallByte(words[2], &a.group)) return usage(text);
    if (args >= 3 && !ParseSmallByte(words[3], &a.detail)) return usage(text);
    a.kind = action == "error" ? FaultAction::kError : FaultAction::kState;
  } else if (action == "payload" || action == "garbage" || action == "trailing") {
    int64_t count = 0;
    int64_t high = action == "payload" ? 290 : action == "trailing" ? 240 : 4096;
    const char* text = action == "payload"    ? "payload N (0..290)"
                       : action == "trailing" ? "trailing N (1..240)"
                                              : "garbage N (0..4096)";
    if (args != 1 || !ParseNumber(words[1], action == "trailing" ? 1 : 0, high, &count)) return usage(text);
    a.kind = action == "payload"    ? FaultAction::kPayload
             : action == "trailing" ? FaultAction::kTrailing
                                    : FaultAction::kGarbage;
    a.count = static_cast<uint32_t>(count);
  } else {
    *error = "unknown action '" + words[0] + "'";
    return false;
  }
  return true;
}

std::string PrinterPath(const PrinterConfig& config, int number) {
  std::string instance = config.instance;
  if (instance.empty()) {
    char text[16];
    std::snprintf(text, sizeof text, "sim%04d", number);
    instance = text;
  }
  return "\\\\?\\usb#vid_" + config.vendor + "&pid_" + config.product + "#" + instance +
         "#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";
}

bool LoadScenario(const std::string& file, int printers, Scenario* scenario, std::string* error) {
  IniFile ini;
  if (!file.empty() && !ini.Load(file, error)) return false;
  int highest = 0;
  int fromFile = 0;
  for (const IniEntry& entry : ini.Entries()) {
    int64_t number = 0;
    if (entry.section == "sim") {
      if (entry.key != "printers" || !ParseNumber(entry.value, 1, kMaxPrinters, &number)) {
        *error = Where(entry) + "[sim] knows only printers = 1.." + std::to_string(kMaxPrinters);
        return false;
      }
      fromFile = static_cast<int>(number);
    } else if (entry.section.compare(0, 7, "printer") == 0 &&
               ParseNumber(entry.section.substr(7), 1, kMaxPrinters, &number) &&
               std::to_string(number) == entry.section.substr(7)) {
      if (number > highest) highest = static_cast<int>(number);
    } else {
      *error = Where(entry) + "unknown section [" + entry.section + "]";
      return false;
    }
  }
  int count = printers > 0 ? printers : fromFile > 0 ? fromFile : highest > 0 ? highest : 1;
  if (count > kMaxPrinters) {
    *error = "at most " + std::to_string(kMaxPrinters) + " printers";
    return false;
  }
  scenario->printers.assign(static_cast<size_t>(count), PrinterConfig());
  for (PrinterConfig& config : scenario->printers) {
    for (int i = 0; i < 7; ++i) config.versions[i] = kDefaultVersions[i];
  }
  for (const IniEntry& entry : ini.Entries()) {
    if (entry.section == "sim") continue;
    size_t number = std::stoul(entry.section.substr(7));
    if (number > scenario->printers.size()) continue;
    if (!ApplyKey(entry, &scenario->printers[number - 1], error)) return false;
  }
  return true;
}

const char* ScenarioHelp() {
  return R"(Scenario file (INI): [sim] printers = N, and one section per printer in bus
order, [printer1], [printer2], ...  Keys of a printer section:
  board = E0208000        version text of component 1 (exactly 8 characters)
  program = E0211600      version text of component 2
  version3 .. version7    version texts of components 3..7
  store_ms = 500          time busy after an image was received; -1 = for ever
  store_ms_T = MS         the same for target T only (e.g. store_ms_1 = 2000)
  busy_state = 1          state byte while busy: one character or 0xNN
  reject_code = k         error code of the reply to a malformed frame
  vendor = 7a3d           4 characters of the path at 12..15 (another make if changed)
  product = 00b4          4 characters of the path at 21..24
  instance = sim0001      instance part of the path
  plugged = 1             0: starts unplugged (plug it with --plug K)
  unplug_after_bytes = N  pulled once N image bytes have arrived (-1 never)
  stall_after_bytes = N   image writes beyond N bytes are never acknowledged
  unplug_at_command = K   pulled on receiving its K-th command frame
  replug_ms = MS          plugged in again MS after any scripted unplug (0 never)
  image_timeout_ms = MS   an image whose data stops for MS is given up (0 never)
  fault_KIND = ACTION [@N | @N+ | @N-M] [, ACTION [@...] ...]
      KIND: status, info, info1..info7, announce, announce0..announce255 (target),
            universal, premain (03 f1 3e a5), close1 (03 f1 3d 00),
            close2 (05 ff aa 55 cc 33); the most specific kind that applies wins.
      ACTION: noreply | error CODE [GROUP [DETAIL]] | state STATE [GROUP [DETAIL]]
            | badlength | payload N | trailing N | flags | garbage N | unplug
            | stall (the command's write fails and is not taken; over USB the
              bulk-out endpoint stays halted until the host clears it)
      CODE and STATE are one character or 0xNN; GROUP, DETAIL, N are numbers.
      @N: only the N-th command of that kind, @N+: from the N-th on,
      @N-M: the N-th to the M-th; default: every one. The first rule that
      applies wins.
      An announcement answered by noreply, error, unplug or stall is not taken.
)";
}

}  // namespace sim
