#include <windows.h>

#include "platform/profile.h"

namespace platform {

// The system's profile functions implement the rules themselves.

uint32_t ProfileString(const char* section, const char* key, const char* defaultValue,
                       char* out, uint32_t size, const char* path) {
  if (out == nullptr || size == 0) return 0;
  if (defaultValue == nullptr) defaultValue = "";
  if (section == nullptr || key == nullptr || path == nullptr) {
    // A null section or key would list names instead of reading a value.
    uint32_t n = 0;
    while (n + 1 < size && defaultValue[n] != '\0') {
      out[n] = defaultValue[n];
      ++n;
    }
    out[n] = '\0';
    return n;
  }
  return GetPrivateProfileStringA(section, key, defaultValue, out, size, path);
}

int ProfileInt(const char* section, const char* key, int defaultValue, const char* path) {
  if (section == nullptr || key == nullptr || path == nullptr) return defaultValue;
  // The result is a UINT holding the signed value: "-5" comes back as
  // 0xFFFFFFFB and reads as -5 again here.
  UINT value = GetPrivateProfileIntA(section, key, defaultValue, path);
  return static_cast<int>(value);
}

}  // namespace platform
