// q7730-usb-bridge: the printers of a running q7730-sim as USB devices under
// umockdev, for running the usb-bus library without hardware.
//
//   q7730-usb-bridge [options] -- COMMAND [ARG...]
//       runs COMMAND under the testbed (UMOCKDEV_DIR set, the umockdev
//       preload library in LD_PRELOAD) and ends with its exit status
//   q7730-usb-bridge [options]
//       prints "UMOCKDEV_DIR=<dir>" once the devices are there, then serves
//       until its standard input closes or it is asked to end
//
// Options: --dir DIR (the simulator's folder; default: the current one),
// --bus N (bus number, 1..255, default 1), --serial TEXT (every printer's
// serial number), --other VID:PID (a device with those ids whose only
// interface is not a printer interface; repeatable), --late-discard MS (a
// cancelled transfer already under way is given back MS later, as by a
// host controller slow to take it off its schedule).
// Exit status: the command's, or 0; 2 for a bad command line or a testbed
// that cannot be set up.
#include <glib-unix.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bridge.h"

namespace {

constexpr guint kPollMs = 20;

struct Run {
  GMainLoop* loop = nullptr;
  usbbridge::Bridge* bridge = nullptr;
  GPid child = 0;
  int status = 0;
};

gboolean OnPoll(gpointer raw) {
  static_cast<Run*>(raw)->bridge->Poll();
  return G_SOURCE_CONTINUE;
}

gboolean OnSignal(gpointer raw) {
  Run* run = static_cast<Run*>(raw);
  if (run->child > 0) kill(run->child, SIGTERM);  // ends when the command has
  else g_main_loop_quit(run->loop);
  return G_SOURCE_CONTINUE;
}

gboolean OnInput(gint fd, GIOCondition, gpointer raw) {
  char buffer[64];
  if (read(fd, buffer, sizeof buffer) > 0) return G_SOURCE_CONTINUE;
  g_main_loop_quit(static_cast<Run*>(raw)->loop);
  return G_SOURCE_REMOVE;
}

void OnChildEnded(GPid pid, gint status, gpointer raw) {
  Run* run = static_cast<Run*>(raw);
  run->status = WIFEXITED(status) ? WEXITSTATUS(status)
                : WIFSIGNALED(status) ? 128 + WTERMSIG(status)
                                      : 1;
  g_spawn_close_pid(pid);
  run->child = 0;
  g_main_loop_quit(run->loop);
}

gchar** AppendOption(gchar** environment, const char* name, const std::string& option) {
  const gchar* old = g_environ_getenv(environment, name);
  std::string value = old != nullptr && *old != '\0' ? std::string(old) + ":" + option : option;
  return g_environ_setenv(environment, name, value.c_str(), TRUE);
}

// The environment of the command: our own (with UMOCKDEV_DIR) plus the
// preload library. A program built with AddressSanitizer refuses to start
// when a preloaded library comes before the sanitizer's runtime; one built
// with ThreadSanitizer would report the hand-overs inside the uninstrumented
// libusb, libudev and preload library.
gchar** CommandEnvironment(const std::string& root) {
  std::string suppressions = root + "/tsan-suppressions";
  g_file_set_contents(suppressions.c_str(),
                      "race:libusb-1.0.so\nrace:libudev.so\nrace:libumockdev-preload.so\n", -1,
                      nullptr);
  gchar** environment = g_get_environ();
  const gchar* preload = g_environ_getenv(environment, "LD_PRELOAD");
  std::string libraries = "libumockdev-preload.so.0";
  if (preload != nullptr && *preload != '\0') libraries += std::string(":") + preload;
  environment = g_environ_setenv(environment, "LD_PRELOAD", libraries.c_str(), TRUE);
  environment = AppendOption(environment, "ASAN_OPTIONS", "verify_asan_link_order=0");
  return AppendOption(environment, "TSAN_OPTIONS", "suppressions=" + suppressions);
}

bool ParseIds(const char* text, uint16_t* vendor, uint16_t* product) {
  unsigned v = 0, p = 0;
  char tail = 0;
  if (std::sscanf(text, "%4x:%4x%c", &v, &p, &tail) != 2) return false;
  *vendor = static_cast<uint16_t>(v);
  *product = static_cast<uint16_t>(p);
  return true;
}

int Usage(const char* problem) {
  std::fprintf(stderr,
               "q7730-usb-bridge: %s\n"
               "usage: q7730-usb-bridge [--dir DIR] [--bus N] [--serial TEXT] "
               "[--other VID:PID]... [--late-discard MS] [-- COMMAND [ARG...]]\n",
               problem);
  return 2;
}

}  // namespace

// Under ThreadSanitizer: GLib and umockdev synchronise their worker thread
// with futexes the sanitizer cannot see, so their hand-overs look like races.
extern "C" const char* __tsan_default_suppressions() {
  return "race:libglib-2.0.so\nrace:libgobject-2.0.so\nrace:libgio-2.0.so\nrace:libumockdev.so\n";
}

int main(int argc, char** argv) {
  usbbridge::BridgeOptions options;
  std::string dir = ".";
  std::vector<char*> command;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    bool hasValue = i + 1 < argc;
    if (arg == "--") {
      command.assign(argv + i + 1, argv + argc);
      break;
    } else if (arg == "--dir" && hasValue) {
      dir = argv[++i];
    } else if (arg == "--bus" && hasValue) {
      char* end = nullptr;
      long bus = std::strtol(argv[++i], &end, 10);
      if (*end != '\0' || bus < 1 || bus > 255) return Usage("--bus takes 1..255");
      options.bus = static_cast<int>(bus);
    } else if (arg == "--serial" && hasValue) {
      options.serial = argv[++i];
    } else if (arg == "--late-discard" && hasValue) {
      char* end = nullptr;
      long ms = std::strtol(argv[++i], &end, 10);
      if (*end != '\0' || ms < 0 || ms > 600000) return Usage("--late-discard takes 0..600000 ms");
      options.lateDiscardMs = static_cast<int>(ms);
    } else if (arg == "--other" && hasValue) {
      uint16_t vendor = 0, product = 0;
      if (!ParseIds(argv[++i], &vendor, &product)) return Usage("--other takes VID:PID in hex");
      options.others.emplace_back(vendor, product);
    } else {
      return Usage(("unknown argument " + arg).c_str());
    }
  }
  if (chdir(dir.c_str()) != 0) return Usage(("cannot enter " + dir).c_str());

  Run run;
  usbbridge::Bridge bridge(options);
  std::string error;
  if (!bridge.Start(&error)) {
    std::fprintf(stderr, "q7730-usb-bridge: %s\n", error.c_str());
    return 2;
  }
  run.bridge = &bridge;
  run.loop = g_main_loop_new(nullptr, FALSE);
  g_timeout_add(kPollMs, &OnPoll, &run);
  g_unix_signal_add(SIGTERM, &OnSignal, &run);
  g_unix_signal_add(SIGINT, &OnSignal, &run);
  if (!command.empty()) {
    command.push_back(nullptr);
    gchar** environment = CommandEnvironment(bridge.Root());
    GError* failure = nullptr;
    if (!g_spawn_async(nullptr, command.data(), environment,
                       static_cast<GSpawnFlags>(G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_SEARCH_PATH |
                                                G_SPAWN_CHILD_INHERITS_STDIN),
                       nullptr, nullptr, &run.child, &failure)) {
      std::fprintf(stderr, "q7730-usb-bridge: cannot run %s: %s\n", command[0],
                   failure != nullptr ? failure->message : "?");
      if (failure != nullptr) g_error_free(failure);
      g_strfreev(environment);
      g_main_loop_unref(run.loop);
      return 2;
    }
    g_strfreev(environment);
    g_child_watch_add(run.child, &OnChildEnded, &run);
  } else {
    std::printf("UMOCKDEV_DIR=%s\n", bridge.Root().c_str());
    std::fflush(stdout);
    g_unix_fd_add(0, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR), &OnInput, &run);
  }
  g_main_loop_run(run.loop);
  g_main_loop_unref(run.loop);
  return run.status;
}
