// The simulator's scenario reader: any file, any printer count, and any
// fault value on its own. It must accept or refuse with a message, never
// crash or hang.
#include <fuzzer/FuzzedDataProvider.h>

#include <string>

#include "scenario.h"
#include "scratch.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  int printers = input.ConsumeIntegralInRange(0, 12);
  std::string kind = input.ConsumeRandomLengthString(16);
  std::string value = input.ConsumeRandomLengthString(64);
  std::string text = input.ConsumeRemainingBytesAsString();

  sim::FaultRule rule;
  std::string error;
  if (!sim::ParseFault(kind, value, &rule, &error)) FUZZ_CHECK(!error.empty());

  static const std::string path = fuzz::ScratchDir() + "/scenario.ini";
  if (!fuzz::WriteScratchFile(path, text)) return 0;
  sim::Scenario scenario;
  error.clear();
  if (sim::LoadScenario(path, printers, &scenario, &error)) {
    FUZZ_CHECK(!scenario.printers.empty());
    if (printers > 0) FUZZ_CHECK(scenario.printers.size() == static_cast<size_t>(printers));
    for (size_t k = 0; k < scenario.printers.size(); ++k) {
      std::string path = sim::PrinterPath(scenario.printers[k], static_cast<int>(k + 1));
      FUZZ_CHECK(!path.empty());
    }
  } else {
    FUZZ_CHECK(!error.empty());
  }
  return 0;
}
