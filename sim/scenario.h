// What each simulated printer is and how it misbehaves, from the command
// line and the scenario file.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace sim {

// What a printer does instead of its normal answer to one command.
struct FaultAction {
  enum Kind {
    kNoReply,    // no reply at all
    kError,      // error reply (kind 2) with code, group, detail
    kState,      // status reply with state, group, detail
    kBadLength,  // the normal reply with a payload length that is off by one
    kPayload,    // the normal reply cut or padded to count payload bytes
    kTrailing,   // the normal reply followed by count bytes its header does not count
    kFlags,      // status reply with both flag bytes (payload 32 and 39) set
    kGarbage,    // count bytes of pattern instead of a reply frame
    kUnplug,     // the printer is pulled on receiving the command
    kStall,      // its bulk-out endpoint stalls on the command, which is not taken
  };
  Kind kind = kNoReply;
  uint8_t code = 0;    // error code or state
  uint8_t group = 0;
  uint8_t detail = 0;
  uint32_t count = 0;  // payload or garbage length
};

// A fault for one kind of command, e.g. "announce2" or "status", that
// applies to its first..last occurrence (counted per rule, 1-based).
struct FaultRule {
  std::string kind;
  FaultAction action;
  uint32_t first = 1;
  uint32_t last = 0xFFFFFFFFu;
};

struct PrinterConfig {
  std::string vendor = "7a3d";
  std::string product = "00b4";
  std::string instance;  // default "sim" and the 4-digit number
  std::string versions[7];
  int storeMs = 500;
  std::map<int, int> storeMsByTarget;  // -1: busy for ever
  uint8_t busyState = '1';
  uint8_t rejectCode = 'k';
  int64_t unplugAfterBytes = -1;
  int64_t stallAfterBytes = -1;
  int64_t unplugAtCommand = -1;
  int replugMs = 0;
  int imageTimeoutMs = 0;  // an image whose data stops this long is given up; 0 never
  bool plugged = true;
  std::vector<FaultRule> faults;
};

struct Scenario {
  std::vector<PrinterConfig> printers;
};

// The device interface path of a printer in bus order (number from 1).
std::string PrinterPath(const PrinterConfig& config, int number);

// Builds the scenario: printers (0 = from the file's [sim] printers key or
// its highest [printerK] section, else 1) and the file (empty: none).
// false and a message for anything not understood.
bool LoadScenario(const std::string& file, int printers, Scenario* scenario, std::string* error);

// Parses one fault value, e.g. "error 0x11 6 3 @2+". For tests and --help.
bool ParseFault(const std::string& kind, const std::string& value, FaultRule* rule,
                std::string* error);

// The text of --help that documents the scenario keys.
const char* ScenarioHelp();

}  // namespace sim
