#include "printer_logs.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <sstream>

#include "e2e_support.h"

namespace e2e {
namespace {

constexpr size_t kPiece = 4096;
// The workers start 300 ms apart; less than this between two printers' first
// status requests means they did not.
constexpr long kLeastSpacingMs = 150;
// Each engine worker waits 5000 ms before it opens its port.
constexpr long kLeastStartDelayMs = 4950;

struct Line {
  std::string direction;  // "out", "in" or "!"
  size_t size = 0;
  std::string hex;   // first 64 bytes
  std::string text;  // of a "!" line
};

std::vector<Line> ReadLog(const std::string& path) {
  std::vector<Line> lines;
  std::istringstream in(ReadFile(path));
  for (std::string raw; std::getline(in, raw);) {
    Line line;
    if (raw.compare(0, 2, "! ") == 0) {
      line.direction = "!";
      line.text = raw.substr(2);
    } else {
      std::istringstream fields(raw);
      fields >> line.direction >> line.size >> line.hex;
    }
    lines.push_back(line);
  }
  return lines;
}

uint32_t LittleEndian(const std::string& hex, size_t byte, size_t count) {
  uint32_t value = 0;
  for (size_t i = count; i-- > 0;) {
    if (hex.size() < 2 * (byte + i + 1)) return 0;
    value = value << 8 | static_cast<uint32_t>(std::stoul(hex.substr(2 * (byte + i), 2), nullptr, 16));
  }
  return value;
}

// The image size an announcement frame names, 0 when the line is none.
uint32_t Announced(const Line& line) {
  if (line.direction != "out") return 0;
  if (line.size == 9 && line.hex.compare(0, 8, "01800500") == 0) return LittleEndian(line.hex, 7, 2);
  if (line.size == 13 && line.hex.compare(0, 8, "04c00900") == 0) return LittleEndian(line.hex, 9, 4);
  return 0;
}

void CheckImages(int printer, const std::vector<Line>& lines, std::vector<LogProblem>* problems) {
  for (size_t i = 0; i < lines.size(); ++i) {
    uint32_t size = Announced(lines[i]);
    // Only an announcement acknowledged the way the library accepts (a whole
    // frame, not an error reply) is followed by its image.
    if (size == 0 || i + 1 >= lines.size() || lines[i + 1].direction != "in") continue;
    const Line& reply = lines[i + 1];
    if (reply.hex.compare(0, 2, "02") == 0 || reply.size != LittleEndian(reply.hex, 8, 2) + 10u) continue;
    size_t received = 0;
    for (size_t j = i + 2; j < lines.size() && received < size; ++j) {
      if (lines[j].direction == "!") break;  // unplugged, refused: no more of it
      if (lines[j].direction != "out") break;
      size_t piece = lines[j].size;
      // A piece cut short where the printer was pulled is logged as far as it got.
      bool cut = j + 1 < lines.size() && lines[j + 1].direction == "!";
      std::string where = "image of " + std::to_string(size) + " bytes, piece at " + std::to_string(received);
      if (piece > kPiece) problems->push_back({printer, where + " has " + std::to_string(piece) + " bytes"});
      else if (!cut && received + piece < size && piece != kPiece)
        problems->push_back({printer, where + " has " + std::to_string(piece) + " bytes, not 4096 and not the rest"});
      received += piece;
    }
  }
}

void CheckRejections(int printer, const std::vector<Line>& lines, const std::vector<std::string>& expected,
                     std::vector<LogProblem>* problems) {
  for (const Line& line : lines) {
    if (line.direction != "!") continue;
    bool allowed = std::any_of(expected.begin(), expected.end(),
                               [&](const std::string& part) { return line.text.find(part) != std::string::npos; });
    if (!allowed) problems->push_back({printer, "rejected: " + line.text});
  }
}

// The engine phase's first command of each printer is its status request
// (the controller phase asks none), so their times show the workers' spacing
// and, against the controller phase's last transfer, their start delay.
void CheckSpacing(const std::string& dir, std::vector<LogProblem>* problems) {
  std::map<int, long> firstStatus;
  long lastBeforeStatus = -1;
  std::istringstream in(ReadFile(dir + "/transfers.log"));
  for (std::string raw; std::getline(in, raw);) {
    std::istringstream fields(raw);
    long ms = 0;
    int printer = 0;
    std::string direction;
    size_t size = 0;
    if (!(fields >> ms >> printer >> direction >> size)) continue;
    if (direction == "out" && size == 4 && firstStatus.count(printer) == 0) firstStatus[printer] = ms;
    if (firstStatus.empty()) lastBeforeStatus = ms;
  }
  if (!firstStatus.empty() && lastBeforeStatus >= 0) {
    long first = firstStatus.begin()->second;
    for (const auto& entry : firstStatus) first = std::min(first, entry.second);
    if (first - lastBeforeStatus < kLeastStartDelayMs)
      problems->push_back({0, "the engine phase asked its first status " + std::to_string(first - lastBeforeStatus) +
                                  " ms after the controller phase's last transfer"});
  }
  std::vector<long> times;
  for (const auto& entry : firstStatus) times.push_back(entry.second);
  std::sort(times.begin(), times.end());
  for (size_t i = 1; i < times.size(); ++i) {
    if (times[i] - times[i - 1] < kLeastSpacingMs)
      problems->push_back({0, "engine workers started " + std::to_string(times[i] - times[i - 1]) +
                                  " ms apart"});
  }
}

}  // namespace

std::vector<LogProblem> CheckPrinterLogs(const std::string& dir, int printers,
                                         const std::vector<std::vector<std::string>>& expectedRejections,
                                         bool timing) {
  std::vector<LogProblem> problems;
  for (int k = 1; k <= printers; ++k) {
    std::vector<Line> lines = ReadLog(dir + "/printers/" + std::to_string(k) + "/frames.log");
    CheckImages(k, lines, &problems);
    static const std::vector<std::string> kNone;
    CheckRejections(k, lines, k <= static_cast<int>(expectedRejections.size()) ? expectedRejections[k - 1] : kNone,
                    &problems);
  }
  if (timing) CheckSpacing(dir, &problems);
  return problems;
}

}  // namespace e2e
