// The command line, the one discovery pass and the report.
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "bus_pass.h"
#include "device_library.h"
#include "driver.h"
#include "platform/filesystem.h"
#include "platform/named_mutex.h"
#include "probe.h"

namespace {

constexpr char kUsage[] = "usage: q7730-probe [--json] [PACKAGE.ini]\n";
constexpr char kHelp[] =
    "Lists every ZEM-Q7730-5A printer that wirelet.dll in the current directory finds:\n"
    "its port, device path, firmware versions, status, the board set the updater would\n"
    "choose and whether it accepts the printer's program. With a package INI, also the\n"
    "files each printer would receive and the updater's checks of every package file.\n"
    "Only status and firmware information are asked; no printer is changed.\n"
    "  --json   one JSON document instead of tables\n"
    "Exit status: 0 a printer was found, 1 none, 2 bad command line or library.\n";
constexpr char kLibraryFile[] = "wirelet.dll";
// Places in the library's list of one discovery pass.
constexpr size_t kListPlaces = 128;

struct Options {
  bool json = false;
  bool help = false;
  const char* package = nullptr;
};

// false, with what is wrong, for a bad command line.
bool ParseArguments(int argc, char* argv[], Options& options, std::string& problem) {
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (!optionsEnded && arg.size() > 1 && arg[0] == '-') {
      if (arg == "--") optionsEnded = true;
      else if (arg == "--json") options.json = true;
      else if (arg == "--help" || arg == "-h") options.help = true;
      else {
        problem = "unknown option " + arg;
        return false;
      }
      continue;
    }
    if (options.package != nullptr) problem = "one package at most";
    else if (arg.empty()) problem = "the package name is empty";
    // The updater keeps the name in 260 characters.
    else if (arg.size() >= static_cast<size_t>(kPathSize)) problem = "the package name is longer than 259 characters";
    if (!problem.empty()) return false;
    options.package = argv[i];
  }
  return true;
}

std::string LibraryProblem() {
  char directory[kPathSize];
  size_t length = platform::CurrentDirectory(directory, sizeof directory);
  if (length == 0) return "the current directory cannot be read or is longer than 259 characters";
  std::string path = std::string(directory, length) + platform::PathSeparator() + kLibraryFile;
  std::error_code error;
  if (!std::filesystem::exists(path, error)) return std::string("no ") + kLibraryFile + " in " + directory;
  return path + " cannot be loaded or lacks one of its 13 functions";
}

// The port numbers of one discovery pass: the first 10 as the updater takes
// them, then any the pass numbered beyond those.
std::vector<int> DiscoverPorts() {
  std::vector<int> ports;
  PortTable table;
  int count = EnumeratePrinters(table);
  if (count <= 0) return ports;
  ports.assign(table, table + count);
  if (count < kPortTableSize) return ports;
  // The list wraps round after its last place, so never read further.
  while (ports.size() < kListPlaces - 1) {
    int next = deviceLibrary.usb_find_next();
    if (next == 0) break;
    ports.push_back(next);
  }
  return ports;
}

// The updater's single-instance mutex, held while the probe holds printers
// on a bus with exclusive claims.
class UpdateExclusion {
 public:
  ~UpdateExclusion() {
    if (owned_) instance_.Release();
  }
  // false when an update is running (or the mutex cannot be had): no printer
  // may be opened then.
  bool Take() {
    bool existed = false;
    owned_ = instance_.Create(kInstanceMutexName, true, &existed) && !existed;
    if (!owned_) instance_.Close();
    return owned_;
  }

 private:
  platform::NamedMutex instance_;
  bool owned_ = false;
};

// Asks every printer of the pass, port i+1 being at pass.listed[i].
std::vector<PrinterReport> AskPrinters(const std::vector<int>& ports, const BusPass& pass, bool pathsKnown) {
  // Where holding a printer shuts others out, an update that came to a
  // printer while the probe held it would leave that printer out, and say so
  // only in a line of its console. There the probe asks no printer while an
  // update runs, and an update started while the probe asks refuses to start.
  UpdateExclusion exclusion;
  bool mayOpen = !ClaimsAreExclusive() || exclusion.Take();
  std::vector<PrinterReport> printers;
  for (size_t i = 0; i < ports.size(); ++i) {
    PrinterReport report;
    report.port = ports[i];
    report.inPortTable = i < static_cast<size_t>(kPortTableSize);
    if (pathsKnown) report.path = pass.listed[i];
    if (mayOpen) {
      QueryPrinter(ports[i], report);
    } else {
      report.asked = false;
      report.heldElsewhere = !report.path.empty() && HeldElsewhere(report.path);
    }
    printers.push_back(report);
  }
  return printers;
}

}  // namespace

int RunProbe(int argc, char* argv[], std::string& out, std::string& errors) {
  Options options;
  std::string problem;
  if (!ParseArguments(argc, argv, options, problem)) {
    errors = "q7730-probe: " + problem + "\n" + kUsage;
    return 2;
  }
  if (options.help) {
    out = std::string(kUsage) + kHelp;
    return 0;
  }

  ProbeRun run;
  if (options.package != nullptr) {
    LoadPackageQuietly(updatePackage, options.package, run.packageReport);
    run.package = &updatePackage;
  }
  if (!BindDeviceLibrary()) {
    errors = "q7730-probe: " + LibraryProblem() + "\n";
    return 2;
  }

  std::vector<int> ports = DiscoverPorts();
  // Right after the library's pass, so both see the same bus.
  BusPass pass = PassOverBus();
  run.pathsKnown = pass.listed.size() == ports.size();
  run.printers = AskPrinters(ports, pass, run.pathsKnown);
  UnbindDeviceLibrary();

  if (!run.printers.empty() && !run.printers[0].asked)
    run.notes.push_back({"", "", "an update is running: no printer was opened"});
  if (!run.pathsKnown)
    run.notes.push_back({"", "",
                         "the library found " + std::to_string(ports.size()) + " printer(s), the bus shows " +
                             std::to_string(pass.listed.size()) + ": no path is shown"});
  DiagnoseBus(pass, run.notes, run.advice);

  out = options.json ? FormatJson(run) : FormatTable(run);
  return ports.empty() ? 1 : 0;
}
