#include "schedule.h"

#include <algorithm>
#include <vector>

namespace bench {
namespace {

enum class Kind {
  kPause,  // a sleep of the updater's: no lock
  kCall,   // a library call: takes the library lock for no time
  kImage,  // usb_write_data: WriteLock and the library lock while the image moves
  kClose,  // usb_close_port: the library lock across its 50 ms and 10 ms pauses
};

enum class Image { kNone, kController, kEngine };

struct Step {
  Kind kind;
  double ms;
  Image image;
};

constexpr double kCountDownMs = 500;    // a countdown of 0 ms: one line, one pause
constexpr double kStatusPauseMs = 300;  // after every status check
constexpr double kClosePausesMs = 50 + 10;
constexpr double kWorkerSpacingMs = 300;

constexpr Step kCall{Kind::kCall, 0, Image::kNone};

// One printer's controller update, on the main thread.
const Step kControllerSteps[] = {
    kCall,                                     // usb_open_port
    kCall,                                     // usb_get_firmware_info
    kCall,                                     // usb_target_update (USB)
    {Kind::kImage, 0, Image::kController},     // usb_write_data, 4096 bytes a call
    {Kind::kPause, kCountDownMs, Image::kNone},
    {Kind::kClose, kClosePausesMs, Image::kNone},
};

// One engine worker.
const Step kEngineSteps[] = {
    {Kind::kPause, 5000, Image::kNone},  // start delay
    kCall,                               // usb_open_port
    kCall,                               // opening status check
    {Kind::kPause, kStatusPauseMs, Image::kNone},
    kCall,  // usb_get_firmware_info
    kCall,  // status before MAIN
    kCall,  // pre-MAIN command
    kCall,  // MAIN announced
    {Kind::kImage, 0, Image::kEngine},
    {Kind::kPause, kCountDownMs, Image::kNone},
    kCall,  // DSP announced
    {Kind::kImage, 0, Image::kEngine},
    {Kind::kPause, kCountDownMs, Image::kNone},
    kCall,  // TABLE announced
    {Kind::kImage, 0, Image::kEngine},
    {Kind::kPause, kCountDownMs, Image::kNone},
    kCall,                              // first closing command
    {Kind::kPause, 100, Image::kNone},  // before the second
    kCall,                              // second closing command
    {Kind::kClose, kClosePausesMs, Image::kNone},
};

struct Locks {
  double libraryFree = 0;
  double writeFree = 0;
};

// Runs one step that may begin at ready; returns when it ends.
double RunStep(const Step& step, double ready, const UpdateRun& run, Locks* locks) {
  switch (step.kind) {
    case Kind::kPause:
      return ready + step.ms;
    case Kind::kCall: {
      double start = std::max(ready, locks->libraryFree);
      locks->libraryFree = start;
      return start;
    }
    case Kind::kImage: {
      uint64_t bytes = step.image == Image::kController ? run.controllerBytes : run.engineBytes;
      double start = std::max({ready, locks->libraryFree, locks->writeFree});
      double settle = step.image == Image::kEngine ? run.engineSettleMs : 0;
      double end = start + static_cast<double>(bytes) * 1000.0 / run.bytesPerSecond + settle;
      locks->libraryFree = locks->writeFree = end;
      return end;
    }
    case Kind::kClose: {
      double start = std::max(ready, locks->libraryFree);
      locks->libraryFree = start + step.ms;
      return locks->libraryFree;
    }
  }
  return ready;
}

}  // namespace

UpdateMinimum MinimumUpdateTime(const UpdateRun& run) {
  UpdateMinimum minimum;
  Locks locks;
  // Phase 1: printer after printer on one thread.
  double now = 0;
  for (int p = 0; p < run.printers; ++p)
    for (const Step& step : kControllerSteps) now = RunStep(step, now, run, &locks);
  minimum.controllerPhaseMs = now;

  // Phase 2: a fresh library; worker i starts 300 ms after worker i-1, and
  // whoever is ready first takes a lock first. Of steps ready at the same
  // moment an image goes last: the calls take no time, and a real call is
  // over in a moment, so another worker's call slips in before the image
  // (as worker i's start does beside worker i-1's first image, both 5300 ms
  // after worker i-1 began).
  locks = Locks();
  const size_t stepCount = sizeof kEngineSteps / sizeof kEngineSteps[0];
  std::vector<double> ready(static_cast<size_t>(run.printers));
  std::vector<size_t> next(ready.size(), 0);
  for (size_t w = 0; w < ready.size(); ++w) ready[w] = kWorkerSpacingMs * static_cast<double>(w);
  // The main thread sleeps after the last start too before it waits.
  double end = kWorkerSpacingMs * static_cast<double>(run.printers);
  for (;;) {
    size_t pick = ready.size();
    for (size_t w = 0; w < ready.size(); ++w) {
      if (next[w] >= stepCount) continue;
      if (pick == ready.size() || ready[w] < ready[pick] ||
          (ready[w] == ready[pick] && kEngineSteps[next[pick]].kind == Kind::kImage &&
           kEngineSteps[next[w]].kind != Kind::kImage))
        pick = w;
    }
    if (pick == ready.size()) break;
    ready[pick] = RunStep(kEngineSteps[next[pick]++], ready[pick], run, &locks);
    end = std::max(end, ready[pick]);
  }
  minimum.enginePhaseMs = end;
  return minimum;
}

}  // namespace bench
