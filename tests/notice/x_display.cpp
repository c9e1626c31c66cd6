#include "x_display.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "e2e_support.h"

namespace notice_test {

bool Image::IsRed(int x, int y) const {
  if (x < 0 || y < 0 || x >= width || y >= height) return false;
  const uint8_t* p = &rgb[(static_cast<size_t>(y) * width + x) * 3];
  return p[0] >= 200 && p[1] <= 60 && p[2] <= 60;
}

std::vector<Band> RedBands(const Image& image, const Rect& area) {
  std::vector<Band> bands;
  bool inside = false;
  for (int row = 0; row < area.height; ++row) {
    bool red = false;
    for (int column = 0; column < area.width && !red; ++column) red = image.IsRed(area.x + column, area.y + row);
    if (red && !inside) bands.push_back({row, row + 1});
    if (red) bands.back().bottom = row + 1;
    inside = red;
  }
  return bands;
}

int RedPixels(const Image& image, const Rect& area) {
  int count = 0;
  for (int row = 0; row < area.height; ++row)
    for (int column = 0; column < area.width; ++column) count += image.IsRed(area.x + column, area.y + row);
  return count;
}

size_t ExpectNoticeBands(const std::vector<Band>& bands, size_t atLeastLines) {
  EXPECT_GE(bands.size(), 1 + atLeastLines);
  if (bands.size() < 2) return 0;
  EXPECT_LT(bands[0].top, 30);
  EXPECT_LE(bands[0].bottom, 30) << "the first line runs into the second text";
  EXPECT_NEAR(bands[1].top - bands[0].top, 30, 1);
  return bands.size() - 1;
}

namespace {

void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// "  Width: 600" and the like from xwininfo.
bool Field(const std::string& text, const std::string& label, int* value) {
  size_t at = text.find(label);
  if (at == std::string::npos) return false;
  *value = std::atoi(text.c_str() + at + label.size());
  return true;
}

// A binary PPM (P6, maxval 255) as ImageMagick writes it.
Image ParsePpm(const std::string& data) {
  std::istringstream in(data);
  std::string magic;
  int width = 0, height = 0, maxval = 0;
  in >> magic >> width >> height >> maxval;
  if (magic != "P6" || width <= 0 || height <= 0 || maxval != 255) throw std::runtime_error("not a P6 picture");
  in.get();
  Image image;
  image.width = width;
  image.height = height;
  image.rgb.resize(static_cast<size_t>(width) * height * 3);
  in.read(reinterpret_cast<char*>(image.rgb.data()), static_cast<std::streamsize>(image.rgb.size()));
  if (in.gcount() != static_cast<std::streamsize>(image.rgb.size())) throw std::runtime_error("short picture");
  return image;
}

}  // namespace

namespace {

std::string ScratchFolder() {
  char pattern[] = "/tmp/q7730-x.XXXXXX";
  if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp");
  return pattern;
}

}  // namespace

VirtualDisplay::VirtualDisplay(const std::string& existing) : name_(existing), scratch_(ScratchFolder()) {}

VirtualDisplay::VirtualDisplay() : scratch_(ScratchFolder()) {
  // Xvfb picks a free display number and writes it to the pipe once it
  // accepts connections.
  int ready[2];
  if (pipe(ready) != 0) throw std::runtime_error("pipe");
  fcntl(ready[0], F_SETFD, FD_CLOEXEC);
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork");
  if (pid == 0) {
    int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
      dup2(null, 0);
      dup2(null, 1);
      dup2(null, 2);
    }
    std::string fd = std::to_string(ready[1]);
    execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1024x768x24", "-nolisten", "tcp",
           static_cast<char*>(nullptr));
    _exit(127);
  }
  close(ready[1]);
  server_ = pid;
  std::string number;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (number.find('\n') == std::string::npos) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd p{ready[0], POLLIN, 0};
    if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    char c;
    if (read(ready[0], &c, 1) != 1) break;
    number += c;
  }
  close(ready[0]);
  if (number.find('\n') == std::string::npos) {
    Stop(true);
    throw std::runtime_error("Xvfb did not start (is the xvfb package installed?)");
  }
  name_ = ":" + number.substr(0, number.find('\n'));
}

VirtualDisplay::~VirtualDisplay() {
  Stop();
  std::string command = "rm -rf '" + scratch_ + "'";
  if (std::system(command.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", scratch_.c_str());
}

void VirtualDisplay::Stop(bool kill) {
  if (server_ < 0) return;
  ::kill(server_, kill ? SIGKILL : SIGTERM);
  for (int i = 0; i < 500; ++i) {
    if (waitpid(server_, nullptr, WNOHANG) == server_) {
      server_ = -1;
      return;
    }
    Pause(10);
  }
  ::kill(server_, SIGKILL);
  waitpid(server_, nullptr, 0);
  server_ = -1;
}

bool VirtualDisplay::FindWindow(const std::string& title, Rect* where) const {
  e2e::RunResult info = e2e::Run({"xwininfo", "-display", name_, "-name", title}, scratch_, 30);
  if (info.status != 0 || info.output.find("IsViewable") == std::string::npos) return false;
  return Field(info.output, "Absolute upper-left X:", &where->x) &&
         Field(info.output, "Absolute upper-left Y:", &where->y) && Field(info.output, "Width:", &where->width) &&
         Field(info.output, "Height:", &where->height);
}

bool VirtualDisplay::WaitForWindow(const std::string& title, int timeoutMs, Rect* where) const {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (FindWindow(title, where)) return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
    Pause(100);
  }
}

std::string VirtualDisplay::WindowTree() const {
  return e2e::Run({"xwininfo", "-display", name_, "-root", "-tree"}, scratch_, 30).output;
}

Image VirtualDisplay::Capture() const {
  const std::string file = scratch_ + "/screen.ppm";
  e2e::RunResult shot = e2e::Run({"import", "-display", name_, "-window", "root", "-depth", "8", file}, scratch_, 60);
  if (shot.status != 0) throw std::runtime_error("import failed: " + shot.output);
  return ParsePpm(e2e::ReadFile(file));
}

Image VirtualDisplay::WaitForBands(const Rect& area, size_t bands, int timeoutMs) const {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    Image image = Capture();
    size_t found = RedBands(image, area).size();
    if (bands == 0 ? found == 0 : found >= bands) return image;
    if (std::chrono::steady_clock::now() > deadline) return image;
    Pause(100);
  }
}

}  // namespace notice_test
