#include "x_display.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

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

template <typename Reply>
using Owned = std::unique_ptr<Reply, decltype(&std::free)>;

template <typename Reply>
Owned<Reply> Own(Reply* reply) {
  return Owned<Reply>(reply, &std::free);
}

// The text of a window's property, "" when it has none.
std::string TextProperty(xcb_connection_t* c, xcb_window_t window, xcb_atom_t property) {
  auto reply = Own(xcb_get_property_reply(
      c, xcb_get_property(c, 0, window, property, XCB_GET_PROPERTY_TYPE_ANY, 0, 1024), nullptr));
  if (!reply || reply->format != 8) return "";
  return std::string(static_cast<const char*>(xcb_get_property_value(reply.get())),
                     static_cast<size_t>(xcb_get_property_value_length(reply.get())));
}

xcb_atom_t Atom(xcb_connection_t* c, const char* name) {
  auto reply = Own(xcb_intern_atom_reply(
      c, xcb_intern_atom(c, 1, static_cast<uint16_t>(std::strlen(name)), name), nullptr));
  return reply ? reply->atom : static_cast<xcb_atom_t>(XCB_NONE);
}

xcb_window_t Root(xcb_connection_t* c) { return xcb_setup_roots_iterator(xcb_get_setup(c)).data->root; }

bool Facts(xcb_connection_t* c, xcb_window_t window, WindowFacts* facts) {
  auto attributes = Own(xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, window), nullptr));
  auto geometry = Own(xcb_get_geometry_reply(c, xcb_get_geometry(c, window), nullptr));
  auto origin = Own(xcb_translate_coordinates_reply(c, xcb_translate_coordinates(c, window, Root(c), 0, 0), nullptr));
  if (!attributes || !geometry || !origin) return false;  // gone meanwhile
  facts->title = TextProperty(c, window, Atom(c, "_NET_WM_NAME"));
  if (facts->title.empty()) facts->title = TextProperty(c, window, XCB_ATOM_WM_NAME);
  facts->where = {origin->dst_x, origin->dst_y, geometry->width, geometry->height};
  facts->viewable = attributes->map_state == XCB_MAP_STATE_VIEWABLE;
  return true;
}

// Every window below parent that is still there, depth first, with its
// depth in the tree.
void Descendants(xcb_connection_t* c, xcb_window_t parent, int depth,
                 std::vector<std::pair<int, WindowFacts>>* found) {
  auto tree = Own(xcb_query_tree_reply(c, xcb_query_tree(c, parent), nullptr));
  if (!tree) return;
  const xcb_window_t* children = xcb_query_tree_children(tree.get());
  for (int i = 0; i < xcb_query_tree_children_length(tree.get()); ++i) {
    WindowFacts facts;
    if (Facts(c, children[i], &facts)) found->push_back({depth, facts});
    Descendants(c, children[i], depth + 1, found);
  }
}

}  // namespace

VirtualDisplay::VirtualDisplay(const std::string& existing) : name_(existing) {}

VirtualDisplay::VirtualDisplay() {
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
  Disconnect();
}

xcb_connection_t* VirtualDisplay::Connection() const {
  // A broken connection is made again: the display may have restarted.
  if (connection_ != nullptr && xcb_connection_has_error(connection_) != 0) {
    xcb_disconnect(connection_);
    connection_ = nullptr;
  }
  if (connection_ == nullptr) connection_ = xcb_connect(name_.c_str(), nullptr);
  return xcb_connection_has_error(connection_) == 0 ? connection_ : nullptr;
}

void VirtualDisplay::Disconnect() const {
  std::lock_guard<std::mutex> hold(lock_);
  if (connection_ != nullptr) xcb_disconnect(connection_);
  connection_ = nullptr;
}

void VirtualDisplay::Stop(bool kill) {
  // Gone first, so that the server's end is the only one the window sees.
  Disconnect();
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
  for (const auto& window : Windows()) {
    if (window.second.viewable && window.second.title == title) {
      *where = window.second.where;
      return true;
    }
  }
  return false;
}

bool VirtualDisplay::WaitForWindow(const std::string& title, int timeoutMs, Rect* where) const {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (FindWindow(title, where)) return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
    Pause(100);
  }
}

std::vector<std::pair<int, WindowFacts>> VirtualDisplay::Windows() const {
  std::lock_guard<std::mutex> hold(lock_);
  std::vector<std::pair<int, WindowFacts>> windows;
  if (xcb_connection_t* c = Connection()) Descendants(c, Root(c), 0, &windows);
  return windows;
}

std::string VirtualDisplay::WindowTree() const {
  std::vector<std::pair<int, WindowFacts>> windows = Windows();
  std::ostringstream tree;
  tree << "windows of " << name_ << ": " << windows.size() << "\n";
  for (const auto& window : windows) {
    const WindowFacts& facts = window.second;
    tree << std::string(2 * static_cast<size_t>(window.first + 1), ' ') << "\"" << facts.title << "\" "
         << facts.where.width << "x" << facts.where.height << "+" << facts.where.x << "+" << facts.where.y
         << (facts.viewable ? "" : " (not viewable)") << "\n";
  }
  return tree.str();
}

Image VirtualDisplay::Capture() const {
  std::lock_guard<std::mutex> hold(lock_);
  xcb_connection_t* c = Connection();
  if (c == nullptr) throw std::runtime_error("no connection to " + name_);
  const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  auto shot = Own(xcb_get_image_reply(
      c, xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, screen->root, 0, 0, screen->width_in_pixels,
                       screen->height_in_pixels, ~0u),
      nullptr));
  const size_t pixels = static_cast<size_t>(screen->width_in_pixels) * screen->height_in_pixels;
  // Xvfb at depth 24 serves 4 bytes a pixel: blue, green, red, unused.
  if (!shot || shot->depth != 24 || static_cast<size_t>(xcb_get_image_data_length(shot.get())) != pixels * 4)
    throw std::runtime_error("no screenshot of depth 24 from " + name_);
  Image image;
  image.width = screen->width_in_pixels;
  image.height = screen->height_in_pixels;
  image.rgb.resize(pixels * 3);
  const uint8_t* data = xcb_get_image_data(shot.get());
  for (size_t i = 0; i < pixels; ++i) {
    image.rgb[i * 3] = data[i * 4 + 2];
    image.rgb[i * 3 + 1] = data[i * 4 + 1];
    image.rgb[i * 3 + 2] = data[i * 4];
  }
  return image;
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
