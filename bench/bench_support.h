// What the benchmark programs share: scratch folders with a q7730-sim of
// their own, the protocol frames a raw client sends, order statistics, and
// the figure lines ("name value unit") every program ends with.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

using Bytes = std::vector<uint8_t>;

// A folder under /tmp for one run, removed with the object.
class Scratch {
 public:
  explicit Scratch(const std::string& prefix);
  ~Scratch();
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  const std::string& Dir() const { return dir_; }
  bool Ok() const { return !dir_.empty(); }

 private:
  std::string dir_;
};

// q7730-sim serving a folder. Start returns once its port file is there.
class Simulator {
 public:
  Simulator() = default;
  ~Simulator() { Stop(); }
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // printers 0: as the scenario says. false and a message when it does not
  // come up within 10 s.
  bool Start(const std::string& simPath, const std::string& dir, int printers,
             const std::string& scenarioText, std::string* error);
  void Stop();

 private:
  std::string simPath_;
  std::string dir_;
  pid_t pid_ = -1;
};

// Starts argv (argv[0] a path) with its output into outputPath (or
// /dev/null when empty). -1 when it cannot be started.
pid_t Spawn(const std::vector<std::string>& argv, const std::string& outputPath = "");
// Its exit status, or -1 when it did not end normally; peakKiB (may be
// null) receives its peak resident set.
int Finish(pid_t pid, long* peakKiB = nullptr);

bool CopyFile(const std::string& from, const std::string& to);
bool WriteFile(const std::string& path, const Bytes& bytes);
bool WriteText(const std::string& path, const std::string& text);
Bytes ReadFile(const std::string& path);
// Deterministic bytes that differ from seed to seed.
Bytes Pattern(size_t size, uint32_t seed);

// Frames of the printer protocol, for a raw client of a bus.
Bytes StatusRequest();
Bytes LongAnnouncement(uint8_t target, uint32_t size);

// p in [0, 1] of the sorted samples (nearest rank); 0 when there are none.
double Percentile(std::vector<double> samples, double p);

// A figure line, kept for the end of the program and written at once to the
// file that SetFigureFile named (bench/run collects them there).
void SetFigureFile(const std::string& path);
void Figure(const std::string& name, double value, const std::string& unit);
// Every figure recorded so far, one per line, on standard output.
void PrintFigures();
// Takes "--figures FILE" out of the command line (SetFigureFile) and leaves
// the rest, for Google Benchmark's own options.
void TakeFigureOption(int* argc, char** argv);

}  // namespace bench
