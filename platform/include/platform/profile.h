// INI ("profile") files with the Windows profile rules: case-insensitive
// section and key names, only the first section of a name and the first line
// of a key read, lines ended by CR, LF or both, values trimmed of
// surrounding blanks and of one pair of matching quotes, cut to fit the
// buffer, a UTF-8 byte-order mark skipped, and the default for a missing
// file, section or key.
#pragma once
#include <cstdint>

namespace platform {

// Copies the value (or defaultValue) into out, cut to size-1 characters and
// NUL-terminated. Returns the number of characters copied. size 0 copies nothing.
uint32_t ProfileString(const char* section, const char* key, const char* defaultValue,
                       char* out, uint32_t size, const char* path);

// The value read as an integer: optional sign, decimal digits (or after a
// 0x, 0o or 0b prefix hexadecimal, octal or binary ones) as far as they go,
// modulo 2^32; only the value's first 29 characters count, and a value
// without digits gives 0. defaultValue when missing or empty.
int ProfileInt(const char* section, const char* key, int defaultValue, const char* path);

}  // namespace platform
