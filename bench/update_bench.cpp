// Whole updates: the real Q7730upgrade and sim-bus wirelet.dll against
// q7730-sim, 1, 3 and 10 printers, engine images of 1, 8 and 32 MiB, every
// wait time 0 and storing time 0. Each run's wall time is set against the
// shortest the prescribed pauses and locks allow (schedule.h), twice: with
// the images moving at the raw rate of a client of the same simulator,
// measured just before the run, and at the rate the simulator saw them
// arrive during the run (its transfers.log). Both add to each engine image
// the time the simulator takes to store it before it acknowledges the last
// piece, measured by the raw client. The raw rate of loopback TCP on
// a shared machine swings by a factor of two from one second to the next,
// so only the second says what the pauses and our code cost; the first,
// beside the in-run rate, says that the images moved at the bus's own pace.
// The run with 10 printers and 8 MiB images also gives the program's peak
// resident memory against the buffers it must hold. Every run must leave
// each printer with exactly the package's images, or it counts for nothing.
//   q7730-update-bench [--figures FILE] [--table FILE] [--quick]
// --table writes one line per run for the plot; --quick runs only the
// smallest images.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "bench_support.h"
#include "platform/usb_bus.h"
#include "schedule.h"

namespace {

using bench::Bytes;
using bench::Figure;
using Clock = std::chrono::steady_clock;

constexpr size_t kControllerBytes = 65535;  // the largest a 16-bit announcement carries
constexpr size_t kMiB = 1u << 20;
constexpr int kPiece = 4096;
constexpr int kMemoryPrinters = 10;
constexpr size_t kMemoryImageMiB = 8;
constexpr int kEngineTargets[] = {1, 0, 2};  // MAIN, DSP, TABLE

struct Images {
  Bytes controller;
  Bytes engine[3];  // in the order of kEngineTargets
};

std::string Scenario(int printers) {
  std::string text = "[sim]\nprinters = " + std::to_string(printers) + "\n";
  for (int k = 1; k <= printers; ++k) text += "[printer" + std::to_string(k) + "]\nstore_ms = 0\n";
  return text;
}

// The package: both board sets name the same four files, every wait is 0.
bool WritePackage(const std::string& dir, const Images& images) {
  const char* names[] = {"usb.bin", "main.bin", "dsp.bin", "table.bin"};
  std::string set = "[USB]\nFILEPATH=usb.bin\n[MAIN]\nFILEPATH=main.bin\n[DSP]\nFILEPATH=dsp.bin\n"
                    "[TABLE]\nFILEPATH=table.bin\n[WAITTIME]\nUsb=0\nMain=0\nDsp=0\nTable=0\n"
                    "DISP_WAIT_TIME=0\n";
  bool ok = bench::WriteText(dir + "/Q7730.ini",
                             "[NEWPCB]\nFILEPATH=set/set.ini\n[OLDPCB]\nFILEPATH=set/set.ini\n"
                             "[TYPE]\nMODE=0\n") &&
            mkdir((dir + "/set").c_str(), 0755) == 0 && bench::WriteText(dir + "/set/set.ini", set);
  const Bytes* files[] = {&images.controller, &images.engine[0], &images.engine[1],
                          &images.engine[2]};
  for (int i = 0; i < 4 && ok; ++i) ok = bench::WriteFile(dir + "/set/" + names[i], *files[i]);
  return ok;
}

// The raw rate of bulk data on this simulator: printer 1 announced and sent
// an image of the run's size in 4096-byte transfers straight through the
// bus. *settleMs: how much longer than the median piece the last one took,
// the printer storing the image before it acknowledges it.
double RawRate(const std::string& dir, size_t imageBytes, double* settleMs) {
  *settleMs = 0;
  if (chdir(dir.c_str()) != 0) return 0;
  char path[1024] = {};
  if (platform::usb::EnumerateInterface(0, path, sizeof path) == 0) return 0;
  platform::usb::Handle in = platform::usb::Open((std::string(path) + "\\if000pipe000").c_str());
  platform::usb::Handle out = platform::usb::Open((std::string(path) + "\\if000pipe001").c_str());
  const Bytes image = bench::Pattern(imageBytes, 99);
  std::vector<double> rates, settles;
  for (int round = 0; round < 3 && in != platform::usb::kNoHandle && out != platform::usb::kNoHandle;
       ++round) {
    Bytes announce = bench::LongAnnouncement(1, static_cast<uint32_t>(image.size()));
    uint32_t moved = 0;
    uint8_t reply[300];
    if (!platform::usb::Write(out, announce.data(), static_cast<uint32_t>(announce.size()), &moved,
                              nullptr) ||
        !platform::usb::Read(in, reply, sizeof reply, &moved, nullptr))
      break;
    auto start = Clock::now();
    bool ok = true;
    std::vector<double> pieces;
    for (size_t at = 0; ok && at < image.size(); at += kPiece) {
      uint32_t n = static_cast<uint32_t>(std::min<size_t>(kPiece, image.size() - at));
      auto pieceStart = Clock::now();
      ok = platform::usb::Write(out, image.data() + at, n, &moved, nullptr) && moved == n;
      pieces.push_back(std::chrono::duration<double, std::milli>(Clock::now() - pieceStart).count());
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (!ok || pieces.size() < 2) break;
    double settle = pieces.back() - bench::Percentile(pieces, 0.5);
    settles.push_back(settle);
    rates.push_back(static_cast<double>(image.size()) / (seconds - settle / 1e3));
  }
  platform::usb::Close(in);
  platform::usb::Close(out);
  *settleMs = bench::Percentile(settles, 0.5);
  return bench::Percentile(rates, 0.5);
}

// How long the simulator took to receive the images of a run: the lines of
// its transfers.log after the first skip, each image being a printer's
// unbroken run of bulk transfers (over a reply's 300 bytes), timed from its
// first piece to its last and stretched by one piece for the first.
double ImageSeconds(const std::string& timelinePath, size_t skip, uint64_t* bytes) {
  struct Open {
    bool receiving = false;
    uint64_t first = 0, last = 0, pieces = 0;
  };
  std::map<int, Open> printers;
  double seconds = 0;
  *bytes = 0;
  auto close = [&seconds](Open* image) {
    if (image->receiving && image->pieces > 1)
      seconds += static_cast<double>(image->last - image->first) / 1e3 *
                 static_cast<double>(image->pieces) / static_cast<double>(image->pieces - 1);
    *image = Open();
  };
  std::ifstream timeline(timelinePath);
  std::string line;
  for (size_t n = 0; std::getline(timeline, line); ++n) {
    unsigned long long ms = 0, size = 0;
    int printer = 0;
    char direction[8] = {};
    if (n < skip || std::sscanf(line.c_str(), "%llu %d %7s %llu", &ms, &printer, direction, &size) != 4)
      continue;
    Open& image = printers[printer];
    if (std::strcmp(direction, "out") != 0 || size <= 300) {
      close(&image);
      continue;
    }
    if (!image.receiving) image.first = ms;
    image.receiving = true;
    image.last = ms;
    ++image.pieces;
    *bytes += size;
  }
  for (auto& entry : printers) close(&entry.second);
  return seconds;
}

size_t LineCount(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  size_t n = 0;
  while (std::getline(in, line)) ++n;
  return n;
}

// Every printer stored exactly the images, the controller image with its
// last 64 bytes first as it goes to the printer.
bool StoredAsSent(const std::string& dir, int printers, const Images& images) {
  Bytes controller(images.controller.end() - 64, images.controller.end());
  controller.insert(controller.end(), images.controller.begin(), images.controller.end() - 64);
  for (int k = 1; k <= printers; ++k) {
    std::string stored = dir + "/printers/" + std::to_string(k) + "/stored/target-";
    if (bench::ReadFile(stored + "6.bin") != controller) return false;
    for (int t = 0; t < 3; ++t)
      if (bench::ReadFile(stored + std::to_string(kEngineTargets[t]) + ".bin") != images.engine[t])
        return false;
  }
  return true;
}

struct RunResult {
  bool ok = false;
  double wallMs = 0;
  double minimumMs = 0;     // the images at the rate they arrived during the run
  double minimumRawMs = 0;  // the images at the raw rate measured before it
  double rawRate = 0;       // bytes per second
  double runRate = 0;
  double settleMs = 0;      // an image's last piece over the others
  long peakKiB = 0;
  std::string why;
};

RunResult RunUpdate(int printers, size_t imageMiB) {
  RunResult result;
  bench::Scratch scratch("q7730-bench-update");
  bench::Simulator simulator;
  Images images;
  images.controller = bench::Pattern(kControllerBytes, 1);
  for (int t = 0; t < 3; ++t) images.engine[t] = bench::Pattern(imageMiB * kMiB, 10 + t);
  if (!scratch.Ok() || !WritePackage(scratch.Dir(), images) ||
      !bench::CopyFile(SIM_LIBRARY_PATH, scratch.Dir() + "/wirelet.dll")) {
    result.why = "cannot write the package";
    return result;
  }
  if (!simulator.Start(SIM_PATH, scratch.Dir(), printers, Scenario(printers), &result.why))
    return result;
  result.rawRate = RawRate(scratch.Dir(), imageMiB * kMiB, &result.settleMs);
  if (result.rawRate <= 0) {
    result.why = "no raw rate";
    return result;
  }

  const std::string timeline = scratch.Dir() + "/transfers.log";
  size_t before = LineCount(timeline);
  auto start = Clock::now();
  pid_t updater = bench::Spawn({UPDATER_PATH, "Q7730.ini"}, scratch.Dir() + "/console.txt");
  int status = bench::Finish(updater, &result.peakKiB);
  result.wallMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  simulator.Stop();
  if (status != 0) {
    result.why = "Q7730upgrade ended with " + std::to_string(status);
    return result;
  }
  if (!StoredAsSent(scratch.Dir(), printers, images)) {
    result.why = "a printer did not store the package's images";
    return result;
  }
  uint64_t bytes = 0;
  double seconds = ImageSeconds(timeline, before, &bytes);
  if (seconds <= 0) {
    result.why = "no image in the simulator's log";
    return result;
  }
  result.runRate = static_cast<double>(bytes) / seconds;
  bench::UpdateRun run;
  run.printers = printers;
  run.controllerBytes = kControllerBytes;
  run.engineBytes = imageMiB * kMiB;
  run.bytesPerSecond = result.runRate;
  run.engineSettleMs = result.settleMs;
  result.minimumMs = bench::MinimumUpdateTime(run).TotalMs();
  run.bytesPerSecond = result.rawRate;
  result.minimumRawMs = bench::MinimumUpdateTime(run).TotalMs();
  result.ok = true;
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  bench::TakeFigureOption(&argc, argv);
  std::string tablePath;
  bool quick = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--table") == 0 && i + 1 < argc) tablePath = argv[++i];
    else if (std::strcmp(argv[i], "--quick") == 0) quick = true;
  }
  // The notice window is not what is measured.
  unsetenv("DISPLAY");
  // The updater runs in the scratch folders: its path must not be relative.
  char here[4096];
  if (getcwd(here, sizeof here) == nullptr) return 1;

  std::vector<size_t> sizes = quick ? std::vector<size_t>{1} : std::vector<size_t>{1, 8, 32};
  std::ofstream table;
  if (!tablePath.empty()) {
    table.open(tablePath, std::ios::trunc);
    table << "# printers image_mib wall_s minimum_s minimum_at_raw_rate_s\n";
  }
  bool failed = false;
  for (size_t mib : sizes) {
    for (int printers : {1, 3, 10}) {
      RunResult r = RunUpdate(printers, mib);
      if (chdir(here) != 0) return 1;
      std::string name = "update_" + std::to_string(printers) + "p_" + std::to_string(mib) + "mib";
      if (!r.ok) {
        std::fprintf(stderr, "q7730-update-bench: %s: %s\n", name.c_str(), r.why.c_str());
        failed = true;
        continue;
      }
      Figure(name + "_wall", r.wallMs / 1e3, "s");
      Figure(name + "_minimum", r.minimumMs / 1e3, "s");
      Figure(name + "_over_minimum", r.wallMs / r.minimumMs, "ratio");
      Figure(name + "_image_rate", r.runRate / 1e6, "MB/s");
      Figure(name + "_raw_rate", r.rawRate / 1e6, "MB/s");
      Figure(name + "_image_settle", r.settleMs, "ms");
      Figure(name + "_minimum_at_raw_rate", r.minimumRawMs / 1e3, "s");
      if (table.is_open())
        table << printers << ' ' << mib << ' ' << r.wallMs / 1e3 << ' ' << r.minimumMs / 1e3 << ' '
              << r.minimumRawMs / 1e3 << '\n';
      if (printers == kMemoryPrinters && mib == kMemoryImageMiB) {
        // One engine image per worker at a time, all workers at once; the
        // controller phase holds the image twice.
        double required = std::max<double>(kMemoryPrinters * mib * kMiB, 2.0 * kControllerBytes);
        double peak = static_cast<double>(r.peakKiB) * 1024;
        Figure("update_memory_peak", peak / kMiB, "MiB");
        Figure("update_memory_required", required / kMiB, "MiB");
        Figure("update_memory_over_required", (peak - required) / kMiB, "MiB");
      }
    }
  }
  bench::PrintFigures();
  return failed ? 1 : 0;
}
