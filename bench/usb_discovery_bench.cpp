// Discovery through the usb-bus wirelet.dll (libusb), its printers the
// simulator's played as USB devices by q7730-usb-bridge under umockdev. This
// program is linked with umockdev's preload library, so it has a program of
// its own: the other benchmarks must not pay for the preload's wrappers.
//   q7730-usb-discovery-bench [--figures FILE] [Google Benchmark options]
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "bench_support.h"
#include "device_library.h"
#include "usb_testbed.h"

namespace {

using Clock = std::chrono::steady_clock;

// Between discovery passes: longer than a bus reuses one look at its devices.
constexpr std::chrono::milliseconds kPassSpacing(300);

double Millis(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Times usb_find_first and checks that it numbered every printer.
double DiscoveryMillis(int printers, bool* ok) {
  auto start = Clock::now();
  int first = deviceLibrary.usb_find_first();
  double ms = Millis(start);
  int count = first == 1 ? 1 : 0;
  while (count > 0 && deviceLibrary.usb_find_next() != 0) ++count;
  *ok = count == printers;
  return ms;
}

void Discovery(benchmark::State& state) {
  const int printers = static_cast<int>(state.range(0));
  bench::Scratch scratch("q7730-bench-usb");
  bench::Simulator simulator;
  usbtest::UsbTestbed testbed;
  std::string error;
  std::string scenario = "[sim]\nprinters = " + std::to_string(printers) + "\n";
  // Bus 3: the tests' printers are on buses 1 and 2.
  if (!scratch.Ok() || !simulator.Start(SIM_PATH, scratch.Dir(), printers, scenario, &error) ||
      !testbed.Start(USB_BRIDGE_PATH, scratch.Dir(), {"--bus", "3"}, &error) ||
      !bench::CopyFile(USB_LIBRARY_PATH, scratch.Dir() + "/wirelet.dll") ||
      chdir(scratch.Dir().c_str()) != 0) {
    return state.SkipWithError(("no usb printers: " + error).c_str());
  }
  std::vector<double> first, later;
  bool ok = true;
  for (auto _ : state) {
    // The first pass of a fresh load also sets up the library's libusb.
    UnbindDeviceLibrary();
    if (BindDeviceLibrary() != 1) {
      ok = false;
      break;
    }
    double ms = DiscoveryMillis(printers, &ok);
    first.push_back(ms);
    for (int i = 0; i < 3 && ok; ++i) {
      // Apart enough that the bus cannot answer from its look of the pass before.
      std::this_thread::sleep_for(kPassSpacing);
      later.push_back(DiscoveryMillis(printers, &ok));
    }
    if (!ok) break;
    state.SetIterationTime(ms / 1e3);
  }
  UnbindDeviceLibrary();
  if (chdir("/") != 0) ok = false;
  testbed.Stop();
  if (!ok) return state.SkipWithError("discovery failed");
  state.counters["first_ms"] = bench::Percentile(first, 0.5);
  state.counters["later_ms"] = bench::Percentile(later, 0.5);
  std::string prefix = "discovery_usb_" + std::to_string(printers);
  bench::Figure(prefix + "_first_median", bench::Percentile(first, 0.5), "ms");
  bench::Figure(prefix + "_median", bench::Percentile(later, 0.5), "ms");
  bench::Figure(prefix + "_p99", bench::Percentile(later, 0.99), "ms");
}

}  // namespace

BENCHMARK(Discovery)->Arg(1)->Arg(10)->Iterations(10)->UseManualTime()->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
  bench::TakeFigureOption(&argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  bench::PrintFigures();
  return 0;
}
