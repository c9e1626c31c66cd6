#include "usb_testbed.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

// Under ThreadSanitizer: libusb, libudev and the preload library are not
// instrumented, and their reference counts and hand-overs between their own
// threads look like races; the bus's own code stays checked.
extern "C" const char* __tsan_default_suppressions() {
  return "race:libusb-1.0.so\nrace:libudev.so\nrace:libumockdev-preload.so\n";
}

namespace usbtest {

bool UsbTestbed::Start(const std::string& bridgePath, const std::string& simDir,
                       const std::vector<std::string>& options, std::string* error) {
  int input[2], output[2];
  if (pipe2(input, O_CLOEXEC) != 0) return false;
  if (pipe2(output, O_CLOEXEC) != 0) {
    close(input[0]);
    close(input[1]);
    return false;
  }
  std::vector<std::string> args = {bridgePath, "--dir", simDir};
  args.insert(args.end(), options.begin(), options.end());
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(input[0], 0);
    dup2(output[1], 1);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(input[0]);
  close(output[1]);
  pid_ = pid;
  input_ = input[1];
  // The bridge says where its testbed is once every device is there.
  std::string line;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (line.find('\n') == std::string::npos) {
    int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                    deadline - std::chrono::steady_clock::now())
                                    .count());
    pollfd p{output[0], POLLIN, 0};
    if (left <= 0 || (poll(&p, 1, left) < 0 && errno != EINTR)) break;
    char buffer[256];
    ssize_t n = read(output[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    line.append(buffer, static_cast<size_t>(n));
  }
  close(output[0]);
  const std::string key = "UMOCKDEV_DIR=";
  size_t end = line.find('\n');
  if (line.compare(0, key.size(), key) != 0 || end == std::string::npos) {
    *error = "the bridge did not come up: " + line;
    Stop();
    return false;
  }
  root_ = line.substr(key.size(), end - key.size());
  setenv("UMOCKDEV_DIR", root_.c_str(), 1);
  return true;
}

void UsbTestbed::Stop() {
  if (pid_ <= 0) return;
  unsetenv("UMOCKDEV_DIR");
  close(input_);  // the bridge ends when its input closes
  input_ = -1;
  int status = 0;
  for (int i = 0; i < 500; ++i) {
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
    usleep(10000);
  }
  kill(pid_, SIGKILL);
  waitpid(pid_, &status, 0);
  pid_ = -1;
}

std::string UsbPrinterPath(int bus, const std::string& ports, const char* ids) {
  return std::string("\\\\?\\usb#vid_") + ids + "#" + std::to_string(bus) + "-" + ports +
         "#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";
}

}  // namespace usbtest
