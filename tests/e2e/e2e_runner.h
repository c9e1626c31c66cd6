// How the end-to-end tests run the updater: the Linux build, or the Windows
// build's Q7730upgrade.exe and sim-bus wirelet.dll under wine against the
// same Linux q7730-sim. The environment variable Q7730_E2E_WINDOWS_BUILD,
// naming a Windows build folder, selects the second.
#pragma once
#include <string>
#include <vector>

namespace e2e {

struct UpdaterRunner {
  bool windows = false;
  std::vector<std::string> command;      // the program (and what runs it)
  std::vector<std::string> environment;  // extra "NAME=value" for it
  std::string simLibrary;                // the build's sim-bus wirelet.dll
  std::string realLibrary;               // the build's default wirelet.dll

  // A relative path and an INI text as a user of that system writes them:
  // on Windows with backslashes and CRLF line ends.
  std::string PackagePath(const std::string& relative) const;
  std::string PackageText(const std::string& text) const;
  // The console bytes with the runtime's CRLF for each "\n" undone, so that
  // both systems compare alike; a "\r" the program wrote itself stays.
  std::string ConsoleText(const std::string& raw) const;
};

const UpdaterRunner& Runner();

// The wine loader that runs the Windows build's programs.
const char* WineProgram();

}  // namespace e2e
