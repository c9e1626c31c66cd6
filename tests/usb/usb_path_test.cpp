// The usb bus's paths: the library's identity test must see the ids at
// characters 12..15 and 21..24, and a name is read back only as written.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "usb_path.h"

namespace {

using platform::usb::FormatPath;
using platform::usb::NameKind;
using platform::usb::ParseName;
using platform::usb::SiteBefore;
using platform::usb::UsbSite;

UsbSite Site(uint8_t bus, std::initializer_list<uint8_t> ports, uint8_t interfaceNumber = 0) {
  UsbSite site;
  site.bus = bus;
  for (uint8_t port : ports) site.ports[site.portCount++] = port;
  site.interfaceNumber = interfaceNumber;
  site.vendor = 0x7a3d;
  site.product = 0x00b4;
  return site;
}

std::string Format(const UsbSite& site) {
  char buffer[200];
  size_t n = FormatPath(site, buffer, sizeof buffer);
  if (n == 0) return "";
  EXPECT_EQ(std::strlen(buffer) + 1, n);
  return buffer;
}

TEST(UsbPath, ThePlaceOnTheBusIsTheInstance) {
  EXPECT_EQ(Format(Site(1, {2})),
            "\\\\?\\usb#vid_7a3d&pid_00b4#1-2#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}");
  EXPECT_EQ(Format(Site(3, {4, 1, 7})),
            "\\\\?\\usb#vid_7a3d&pid_00b4#3-4.1.7#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}");
  EXPECT_EQ(Format(Site(1, {2}, 1)),
            "\\\\?\\usb#vid_7a3d&pid_00b4#1-2&mi_01#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}");
  std::string path = Format(Site(255, {255, 255, 255, 255, 255, 255, 255}, 0xff));
  EXPECT_EQ(path.substr(12, 4), "7a3d");
  EXPECT_EQ(path.substr(21, 4), "00b4");
  UsbSite other = Site(1, {2});
  other.vendor = 0x04B8;
  other.product = 0xABCD;
  EXPECT_EQ(Format(other).substr(12, 13), "04b8&pid_abcd");  // lower case, as the test expects
  EXPECT_EQ(Format(Site(1, {})), "");                        // a root hub is no printer
  char tiny[10] = "unchanged";
  EXPECT_EQ(FormatPath(Site(1, {2}), tiny, sizeof tiny), 0u);
  EXPECT_STREQ(tiny, "unchanged");
}

TEST(UsbPath, NamesReadBackAsWrittenAndNothingElse) {
  UsbSite site = Site(2, {4, 3}, 2);
  std::string path = Format(site);
  const struct {
    std::string suffix;
    NameKind kind;
  } names[] = {{"", NameKind::Device},
               {"\\if000pipe000", NameKind::BulkIn},
               {"\\if000pipe001", NameKind::BulkOut}};
  for (const auto& name : names) {
    UsbSite read;
    NameKind kind = NameKind::Device;
    ASSERT_TRUE(ParseName((path + name.suffix).c_str(), &read, &kind)) << name.suffix;
    EXPECT_EQ(kind, name.kind);
    EXPECT_TRUE(platform::usb::SamePlace(read, site));
    EXPECT_EQ(read.vendor, 0x7a3d);
    EXPECT_EQ(read.product, 0x00b4);
  }
  const char* refused[] = {
      "",
      "\\\\?\\usb#vid_7A3D&pid_00b4#1-2#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}",
      "\\\\?\\usb#vid_7a3d&pid_00b4#1-02#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}",
      "\\\\?\\usb#vid_7a3d&pid_00b4#0-2#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}",
      "\\\\?\\usb#vid_7a3d&pid_00b4#1-256#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}",
      "\\\\?\\usb#vid_7a3d&pid_00b4#1-2.#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}",
      "\\\\?\\usb#vid_7a3d&pid_00b4#1-1.2.3.4.5.6.7.8#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}",
      "\\\\?\\usb#vid_7a3d&pid_00b4#1-2&mi_00#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}",
      "\\\\?\\usb#vid_7a3d&pid_00b4#1-2#{28d78fad-5a12-11d1-ae5b-0000f803a8c3}",
      "\\\\?\\usb#vid_7a3d&pid_00b4#1-2#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}\\if000pipe002",
      "\\\\?\\usb#vid_7a3d&pid_00b4#1-2#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}\\if000pipe0011",
      "\\\\?\\usb#vid_7a3d&pid_00b4#sim0001#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}",
  };
  for (const char* name : refused) {
    UsbSite read;
    NameKind kind;
    EXPECT_FALSE(ParseName(name, &read, &kind)) << name;
  }
}

TEST(UsbPath, OrderIsBusThenPortChainThenInterface) {
  const UsbSite ordered[] = {Site(1, {1}),    Site(1, {1}, 1), Site(1, {1, 1}), Site(1, {1, 2}),
                             Site(1, {2}),    Site(1, {10}),   Site(2, {1})};
  for (size_t i = 0; i < std::size(ordered); ++i)
    for (size_t j = 0; j < std::size(ordered); ++j)
      EXPECT_EQ(SiteBefore(ordered[i], ordered[j]), i < j) << i << " " << j;
}

}  // namespace
