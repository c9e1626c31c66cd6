#include "e2e_runner.h"

#include <cstdlib>

#ifndef E2E_WINE
#define E2E_WINE "/usr/bin/wine"
#endif
#ifndef E2E_WINE_ARCH
#define E2E_WINE_ARCH "win32"
#endif

namespace e2e {
namespace {

UpdaterRunner MakeRunner() {
  UpdaterRunner runner;
  const char* windowsBuild = std::getenv("Q7730_E2E_WINDOWS_BUILD");
  if (windowsBuild == nullptr || *windowsBuild == '\0') {
    runner.command = {UPDATER_PATH};
    runner.simLibrary = SIM_LIBRARY_PATH;
    return runner;
  }
  const std::string build = windowsBuild;
  runner.windows = true;
  runner.command = {E2E_WINE, build + "/Q7730upgrade.exe"};
  runner.simLibrary = build + "/sim/wirelet.dll";
  runner.realLibrary = build + "/wirelet.dll";
  // Wine's own messages would mix with the console; without a prepared
  // prefix, the build's own.
  runner.environment.push_back("WINEDEBUG=-all");
  if (std::getenv("WINEPREFIX") == nullptr) {
    runner.environment.push_back("WINEPREFIX=" + build + "/wine-prefix");
    runner.environment.push_back("WINEARCH=" E2E_WINE_ARCH);
  }
  return runner;
}

}  // namespace

std::string UpdaterRunner::PackagePath(const std::string& relative) const {
  std::string path = relative;
  if (windows)
    for (char& c : path)
      if (c == '/') c = '\\';
  return path;
}

std::string UpdaterRunner::PackageText(const std::string& text) const {
  if (!windows) return text;
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

std::string UpdaterRunner::ConsoleText(const std::string& raw) const {
  if (!windows) return raw;
  std::string out;
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') continue;
    out += raw[i];
  }
  return out;
}

const char* WineProgram() { return E2E_WINE; }

const UpdaterRunner& Runner() {
  static const UpdaterRunner runner = MakeRunner();
  return runner;
}

}  // namespace e2e
