// INI ("profile") files with the Windows profile rules: case-insensitive
// section and key names, the first occurrence of a key wins, values trimmed
// of surrounding blanks and of one pair of matching quotes, cut to fit the
// buffer, ';' comment lines, a UTF-8 byte-order mark skipped, and the default
// for a missing file, section or key.
#pragma once
#include <cstdint>

namespace platform {

// Copies the value (or defaultValue) into out, cut to size-1 characters and
// NUL-terminated. Returns the number of characters copied. size 0 copies nothing.
uint32_t ProfileString(const char* section, const char* key, const char* defaultValue,
                       char* out, uint32_t size, const char* path);

// The value read as a decimal integer with optional sign; leading digits
// count, a value without digits gives 0; defaultValue when missing.
int ProfileInt(const char* section, const char* key, int defaultValue, const char* path);

}  // namespace platform
