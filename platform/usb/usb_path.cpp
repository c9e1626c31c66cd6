#include "usb_path.h"

#include <cstdio>
#include <cstring>

namespace platform {
namespace usb {
namespace {

constexpr char kPrefix[] = "\\\\?\\usb#vid_";
constexpr char kClassSuffix[] = "#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";
constexpr char kPipeIn[] = "\\if000pipe000";
constexpr char kPipeOut[] = "\\if000pipe001";

bool Consume(const char** p, const char* text) {
  size_t n = std::strlen(text);
  if (std::strncmp(*p, text, n) != 0) return false;
  *p += n;
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;  // upper case never appears in a path we made
}

bool ReadHex(const char** p, int digits, uint32_t* value) {
  uint32_t v = 0;
  for (int i = 0; i < digits; ++i) {
    int d = HexDigit((*p)[i]);
    if (d < 0) return false;
    v = v * 16 + static_cast<uint32_t>(d);
  }
  *p += digits;
  *value = v;
  return true;
}

// A decimal 1..255 without leading zeros, as FormatPath writes it.
bool ReadNumber(const char** p, uint8_t* value) {
  const char* s = *p;
  if (*s < '1' || *s > '9') return false;
  unsigned v = 0;
  int digits = 0;
  while (*s >= '0' && *s <= '9') {
    v = v * 10 + static_cast<unsigned>(*s - '0');
    if (++digits > 3 || v > 255) return false;
    ++s;
  }
  *p = s;
  *value = static_cast<uint8_t>(v);
  return true;
}

}  // namespace

size_t FormatPath(const UsbSite& site, char* buffer, size_t size) {
  if (site.portCount == 0 || site.portCount > kMaxPorts || site.bus == 0) return 0;
  char instance[64];
  int at = std::snprintf(instance, sizeof instance, "%u-%u", site.bus, site.ports[0]);
  for (int i = 1; i < site.portCount; ++i)
    at += std::snprintf(instance + at, sizeof instance - static_cast<size_t>(at), ".%u",
                        site.ports[i]);
  if (site.interfaceNumber != 0)
    std::snprintf(instance + at, sizeof instance - static_cast<size_t>(at), "&mi_%02x",
                  site.interfaceNumber);
  char path[160];
  int n = std::snprintf(path, sizeof path, "%s%04x&pid_%04x#%s%s", kPrefix, site.vendor,
                        site.product, instance, kClassSuffix);
  if (n < 0 || static_cast<size_t>(n) >= sizeof path) return 0;
  size_t needed = static_cast<size_t>(n) + 1;
  if (buffer == nullptr || size < needed) return 0;
  std::memcpy(buffer, path, needed);
  return needed;
}

bool ParseName(const char* name, UsbSite* site, NameKind* kind) {
  if (name == nullptr) return false;
  UsbSite parsed;
  const char* p = name;
  uint32_t vendor = 0, product = 0;
  if (!Consume(&p, kPrefix) || !ReadHex(&p, 4, &vendor) || !Consume(&p, "&pid_") ||
      !ReadHex(&p, 4, &product) || !Consume(&p, "#") || !ReadNumber(&p, &parsed.bus) ||
      !Consume(&p, "-"))
    return false;
  parsed.vendor = static_cast<uint16_t>(vendor);
  parsed.product = static_cast<uint16_t>(product);
  for (;;) {
    if (parsed.portCount == kMaxPorts) return false;
    if (!ReadNumber(&p, &parsed.ports[parsed.portCount])) return false;
    ++parsed.portCount;
    if (*p != '.') break;
    ++p;
  }
  if (Consume(&p, "&mi_")) {
    uint32_t number = 0;
    if (!ReadHex(&p, 2, &number) || number == 0) return false;
    parsed.interfaceNumber = static_cast<uint8_t>(number);
  }
  if (!Consume(&p, kClassSuffix)) return false;
  NameKind what = NameKind::Device;
  if (Consume(&p, kPipeIn)) what = NameKind::BulkIn;
  else if (Consume(&p, kPipeOut)) what = NameKind::BulkOut;
  if (*p != '\0') return false;
  *site = parsed;
  *kind = what;
  return true;
}

bool SiteBefore(const UsbSite& a, const UsbSite& b) {
  if (a.bus != b.bus) return a.bus < b.bus;
  int common = a.portCount < b.portCount ? a.portCount : b.portCount;
  for (int i = 0; i < common; ++i)
    if (a.ports[i] != b.ports[i]) return a.ports[i] < b.ports[i];
  if (a.portCount != b.portCount) return a.portCount < b.portCount;
  return a.interfaceNumber < b.interfaceNumber;
}

bool SamePlace(const UsbSite& a, const UsbSite& b) {
  return a.bus == b.bus && a.portCount == b.portCount && a.interfaceNumber == b.interfaceNumber &&
         std::memcmp(a.ports, b.ports, a.portCount) == 0;
}

}  // namespace usb
}  // namespace platform
