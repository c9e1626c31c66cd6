// The library against a raw client of the same bus, side by side in one run:
// bulk data, a status command, discovery, and an open and close cycle. The
// library is loaded as the updater loads it (wirelet.dll from the current
// folder); the raw client calls the sim bus directly. Each pair alternates
// library and raw sample by sample, so both see the same noise.
//   q7730-wire-bench [--figures FILE] [Google Benchmark options]
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "bench_support.h"
#include "device_library.h"
#include "platform/usb_bus.h"

namespace {

using bench::Bytes;
using bench::Figure;
using Clock = std::chrono::steady_clock;

// Between discovery passes: longer than a bus reuses one look at its devices.
constexpr std::chrono::milliseconds kPassSpacing(300);

constexpr int kPiece = 4096;
constexpr uint32_t kImageSize = 32u << 20;
constexpr uint8_t kMainTarget = 1;
// What closing and opening a port must pause (50 ms in the session's drop,
// 10 ms before the watcher is waited for).
constexpr double kOpenClosePausesMs = 60;

double Seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double MegabytesPerSecond(double bytes, double seconds) {
  return seconds > 0 ? bytes / seconds / 1e6 : 0;
}

// One folder with a wirelet.dll in it, and for the sim bus its simulator.
struct Place {
  std::unique_ptr<bench::Scratch> scratch;
  bench::Simulator simulator;
  std::string library;  // the wirelet.dll copied in
  int printers = 0;
};

Place gSim1, gSim10, gNull;
Place* gCurrent = nullptr;

std::string Scenario(int printers) {
  std::string text = "[sim]\nprinters = " + std::to_string(printers) + "\n";
  for (int k = 1; k <= printers; ++k) text += "[printer" + std::to_string(k) + "]\nstore_ms = 0\n";
  return text;
}

bool Prepare(Place* place, const char* name, const std::string& library, int simPrinters,
             std::string* error) {
  place->scratch = std::make_unique<bench::Scratch>(std::string("q7730-bench-") + name);
  if (!place->scratch->Ok()) {
    *error = "no scratch folder";
    return false;
  }
  const std::string& dir = place->scratch->Dir();
  if (!bench::CopyFile(library, dir + "/wirelet.dll")) {
    *error = "cannot copy " + library;
    return false;
  }
  place->printers = simPrinters;
  if (simPrinters == 0) return true;
  return place->simulator.Start(SIM_PATH, dir, simPrinters, Scenario(simPrinters), error);
}

// Makes place current: its folder the current directory and its library
// freshly bound.
bool Enter(Place* place, bool fresh = false) {
  if (gCurrent == place && !fresh) return deviceLibrary.loaded == 1;
  UnbindDeviceLibrary();
  gCurrent = nullptr;
  if (chdir(place->scratch->Dir().c_str()) != 0 || BindDeviceLibrary() != 1) return false;
  gCurrent = place;
  return true;
}

// The printer found first, opened as port 1.
bool OpenPort1(Place* place) {
  if (!Enter(place) || deviceLibrary.usb_find_first() != 1) return false;
  StatusCode code = deviceLibrary.usb_open_port(1);
  return code == kStatusOk || code == kStatusPortAlreadyOpen;
}

void ClosePort1() {
  if (deviceLibrary.loaded == 1) deviceLibrary.usb_close_port(1);
}

// A raw client of the sim bus: the first printer's two pipes.
class RawPrinter {
 public:
  ~RawPrinter() {
    platform::usb::Close(in_);
    platform::usb::Close(out_);
  }
  bool Open() {
    char path[1024] = {};
    if (platform::usb::EnumerateInterface(0, path, sizeof path) == 0) return false;
    path_ = path;
    in_ = platform::usb::Open((std::string(path) + "\\if000pipe000").c_str());
    out_ = platform::usb::Open((std::string(path) + "\\if000pipe001").c_str());
    return in_ != platform::usb::kNoHandle && out_ != platform::usb::kNoHandle;
  }
  bool Write(const uint8_t* data, uint32_t size) {
    uint32_t written = 0;
    return platform::usb::Write(out_, data, size, &written, nullptr) && written == size;
  }
  bool Read(uint8_t* reply, uint32_t* received) {
    return platform::usb::Read(in_, reply, 300, received, nullptr) && *received > 0;
  }
  // A request and its reply frame, as a command is.
  bool Exchange(const Bytes& frame) {
    uint8_t reply[300];
    uint32_t received = 0;
    return Write(frame.data(), static_cast<uint32_t>(frame.size())) && Read(reply, &received);
  }
  // What the library's check before every command asks of the bus: both
  // pipes opened afresh and closed again.
  bool CheckPipes() {
    bool ok = true;
    for (const char* pipe : {"\\if000pipe000", "\\if000pipe001"}) {
      platform::usb::Handle h = platform::usb::Open((path_ + pipe).c_str());
      ok = ok && h != platform::usb::kNoHandle;
      platform::usb::Close(h);
    }
    return ok;
  }

 private:
  std::string path_;
  platform::usb::Handle in_ = platform::usb::kNoHandle;
  platform::usb::Handle out_ = platform::usb::kNoHandle;
};

const Bytes& Image() {
  static const Bytes image = bench::Pattern(kImageSize, 7);
  return image;
}

bool StoredIsImage(Place* place) {
  return bench::ReadFile(place->scratch->Dir() + "/printers/1/stored/target-" +
                         std::to_string(kMainTarget) + ".bin") == Image();
}

// ---- 1. Bulk data -----------------------------------------------------------

double LibraryImageSeconds(bool* ok) {
  const Bytes& image = Image();
  StatusCode status = 0;
  *ok = deviceLibrary.usb_target_update(1, kMainTarget, 0, static_cast<int>(image.size()),
                                        &status) == 1;
  auto start = Clock::now();
  *ok = *ok && deviceLibrary.usb_write_data(1, image.data(), static_cast<int>(image.size()),
                                            &status) == 1 &&
        status == kStatusOk;
  return Seconds(start);
}

double RawImageSeconds(RawPrinter* raw, bool* ok) {
  const Bytes& image = Image();
  *ok = raw->Exchange(bench::LongAnnouncement(kMainTarget, static_cast<uint32_t>(image.size())));
  auto start = Clock::now();
  for (size_t at = 0; *ok && at < image.size(); at += kPiece) {
    uint32_t n = static_cast<uint32_t>(std::min<size_t>(kPiece, image.size() - at));
    *ok = raw->Write(image.data() + at, n);
  }
  return Seconds(start);
}

void BM_BulkSim(benchmark::State& state) {
  RawPrinter raw;
  if (!OpenPort1(&gSim1) || !raw.Open()) return state.SkipWithError("no printer");
  std::vector<double> library, rawRate;
  bool ok = true;
  bool storedOk = true;
  int round = 0;
  for (auto _ : state) {
    double seconds = 0;
    // Alternating which goes first keeps a slow moment from favouring one.
    for (int turn = 0; turn < 2 && ok; ++turn) {
      bool libraryTurn = (turn + round) % 2 == 0;
      bool done = false;
      double s = libraryTurn ? LibraryImageSeconds(&done) : RawImageSeconds(&raw, &done);
      ok = done;
      (libraryTurn ? library : rawRate).push_back(MegabytesPerSecond(kImageSize, s));
      if (libraryTurn) seconds = s;
      // What the printer stored is what was sent, or the rate means nothing.
      storedOk = storedOk && StoredIsImage(&gSim1);
    }
    ++round;
    state.SetIterationTime(seconds);
  }
  ClosePort1();
  if (!ok || !storedOk) return state.SkipWithError(ok ? "stored image differs" : "transfer failed");
  double lib = bench::Percentile(library, 0.5), rawMedian = bench::Percentile(rawRate, 0.5);
  state.counters["library_MBps"] = lib;
  state.counters["raw_MBps"] = rawMedian;
  Figure("bulk_sim_library", lib, "MB/s");
  Figure("bulk_sim_raw", rawMedian, "MB/s");
  Figure("bulk_sim_library_over_raw", rawMedian > 0 ? lib / rawMedian : 0, "ratio");
}

void BM_BulkNull(benchmark::State& state) {
  if (!OpenPort1(&gNull)) return state.SkipWithError("no printer");
  std::vector<double> rates;
  bool ok = true;
  for (auto _ : state) {
    double s = LibraryImageSeconds(&ok);
    if (!ok) break;
    rates.push_back(MegabytesPerSecond(kImageSize, s));
    state.SetIterationTime(s);
  }
  ClosePort1();
  if (!ok) return state.SkipWithError("transfer failed");
  double median = bench::Percentile(rates, 0.5);
  state.counters["library_MBps"] = median;
  Figure("bulk_null_library", median, "MB/s");
  Figure("bulk_null_over_usb2_practical", median / 40.0, "ratio");
}

// ---- 2. Status command ------------------------------------------------------

double LibraryStatusMicros(bool* ok) {
  StatusCode status = 0xFFFF;
  auto start = Clock::now();
  *ok = deviceLibrary.usb_get_status(1, &status) == 1 && status == kStatusOk;
  return Seconds(start) * 1e6;
}

void StatusFigures(const char* bus, const std::vector<double>& library) {
  Figure(std::string("status_") + bus + "_library_median", bench::Percentile(library, 0.5), "us");
  Figure(std::string("status_") + bus + "_library_p99", bench::Percentile(library, 0.99), "us");
}

// Each round: the library's call, the raw request and reply, and the raw
// cost of the pipe check that the library makes before every command, in
// turns that rotate so that none always goes first.
void BM_StatusSim(benchmark::State& state) {
  RawPrinter raw;
  if (!OpenPort1(&gSim1) || !raw.Open()) return state.SkipWithError("no printer");
  std::vector<double> library, rawTimes, checks;
  bool ok = true;
  int round = 0;
  const Bytes request = bench::StatusRequest();
  for (auto _ : state) {
    double libraryMicros = 0;
    for (int turn = 0; turn < 3 && ok; ++turn) {
      switch ((turn + round) % 3) {
        case 0:
          libraryMicros = LibraryStatusMicros(&ok);
          library.push_back(libraryMicros);
          break;
        case 1: {
          auto start = Clock::now();
          ok = raw.Exchange(request);
          rawTimes.push_back(Seconds(start) * 1e6);
          break;
        }
        default: {
          auto start = Clock::now();
          ok = raw.CheckPipes();
          checks.push_back(Seconds(start) * 1e6);
        }
      }
    }
    ++round;
    if (!ok) break;
    state.SetIterationTime(libraryMicros / 1e6);
  }
  ClosePort1();
  if (!ok) return state.SkipWithError("status failed");
  double median = bench::Percentile(library, 0.5);
  double rawMedian = bench::Percentile(rawTimes, 0.5);
  double checkMedian = bench::Percentile(checks, 0.5);
  state.counters["library_median_us"] = median;
  state.counters["raw_median_us"] = rawMedian;
  state.counters["pipe_check_us"] = checkMedian;
  StatusFigures("sim", library);
  Figure("status_sim_raw_median", rawMedian, "us");
  Figure("status_sim_raw_p99", bench::Percentile(rawTimes, 0.99), "us");
  Figure("status_sim_pipe_check_raw_median", checkMedian, "us");
  Figure("status_sim_overhead_median", median - rawMedian, "us");
  Figure("status_sim_overhead_beyond_pipe_check_median", median - rawMedian - checkMedian, "us");
}

void BM_StatusNull(benchmark::State& state) {
  if (!OpenPort1(&gNull)) return state.SkipWithError("no printer");
  std::vector<double> library;
  bool ok = true;
  for (auto _ : state) {
    double micros = LibraryStatusMicros(&ok);
    if (!ok) break;
    library.push_back(micros);
    state.SetIterationTime(micros / 1e6);
  }
  ClosePort1();
  if (!ok) return state.SkipWithError("status failed");
  state.counters["library_median_us"] = bench::Percentile(library, 0.5);
  StatusFigures("null", library);
}

// ---- 3. Discovery -----------------------------------------------------------

// Times usb_find_first and checks that it numbered every printer.
double DiscoveryMillis(int printers, bool* ok) {
  auto start = Clock::now();
  int first = deviceLibrary.usb_find_first();
  double ms = Seconds(start) * 1e3;
  int count = first == 1 ? 1 : 0;
  while (count > 0 && deviceLibrary.usb_find_next() != 0) ++count;
  *ok = count == printers;
  return ms;
}

void Discovery(benchmark::State& state, Place* place, const char* name) {
  std::vector<double> first, later;
  bool ok = true;
  for (auto _ : state) {
    // The first pass of a fresh load registers every printer it finds.
    if (!Enter(place, true)) {
      ok = false;
      break;
    }
    double ms = DiscoveryMillis(place->printers, &ok);
    first.push_back(ms);
    for (int i = 0; i < 3 && ok; ++i) {
      // Apart enough that a bus cannot answer from its look of the pass before.
      std::this_thread::sleep_for(kPassSpacing);
      later.push_back(DiscoveryMillis(place->printers, &ok));
    }
    if (!ok) break;
    state.SetIterationTime(ms / 1e3);
  }
  if (!ok) return state.SkipWithError("discovery failed");
  state.counters["first_ms"] = bench::Percentile(first, 0.5);
  state.counters["later_ms"] = bench::Percentile(later, 0.5);
  std::string prefix = std::string("discovery_") + name + "_" + std::to_string(place->printers);
  Figure(prefix + "_first_median", bench::Percentile(first, 0.5), "ms");
  Figure(prefix + "_median", bench::Percentile(later, 0.5), "ms");
  Figure(prefix + "_p99", bench::Percentile(later, 0.99), "ms");
}

void BM_DiscoverySim1(benchmark::State& state) { Discovery(state, &gSim1, "sim"); }
void BM_DiscoverySim10(benchmark::State& state) { Discovery(state, &gSim10, "sim"); }

// ---- 5. Open and close ------------------------------------------------------

void OpenClose(benchmark::State& state, Place* place, const char* name) {
  if (!Enter(place) || deviceLibrary.usb_find_first() != 1) return state.SkipWithError("no printer");
  std::vector<double> cycles;
  bool ok = true;
  for (auto _ : state) {
    auto start = Clock::now();
    ok = deviceLibrary.usb_open_port(1) == kStatusOk && deviceLibrary.usb_close_port(1) == kStatusOk;
    double ms = Seconds(start) * 1e3;
    if (!ok) break;
    cycles.push_back(ms);
    state.SetIterationTime(ms / 1e3);
  }
  if (!ok) return state.SkipWithError("open or close failed");
  double median = bench::Percentile(cycles, 0.5);
  state.counters["cycle_ms"] = median;
  Figure(std::string("open_close_") + name + "_median", median, "ms");
  Figure(std::string("open_close_") + name + "_p99", bench::Percentile(cycles, 0.99), "ms");
  Figure(std::string("open_close_") + name + "_over_pauses", median - kOpenClosePausesMs, "ms");
}

void BM_OpenCloseSim(benchmark::State& state) { OpenClose(state, &gSim1, "sim"); }
void BM_OpenCloseNull(benchmark::State& state) { OpenClose(state, &gNull, "null"); }

}  // namespace

BENCHMARK(BM_BulkNull)->Iterations(20)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BulkSim)->Iterations(10)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StatusNull)->Iterations(5000)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StatusSim)->Iterations(2000)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DiscoverySim1)->Iterations(10)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DiscoverySim10)->Iterations(10)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenCloseNull)->Iterations(20)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenCloseSim)->Iterations(30)->UseManualTime()->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
  bench::TakeFigureOption(&argc, argv);
  benchmark::Initialize(&argc, argv);
  std::string error;
  if (!Prepare(&gSim1, "sim1", SIM_LIBRARY_PATH, 1, &error) ||
      !Prepare(&gSim10, "sim10", SIM_LIBRARY_PATH, 10, &error) ||
      !Prepare(&gNull, "null", NULL_LIBRARY_PATH, 0, &error)) {
    std::fprintf(stderr, "q7730-wire-bench: %s\n", error.c_str());
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  UnbindDeviceLibrary();
  bench::PrintFigures();
  return 0;
}
