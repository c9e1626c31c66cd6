// INI reader with the visible rules of the Windows profile functions, for
// systems that have none.
#include <stdio.h>
#include <stdlib.h>

#include <climits>
#include <cstring>

#include "platform/profile.h"

namespace platform {
namespace {

struct Span {
  const char* text;
  size_t length;
};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

Span Trim(const char* begin, const char* end) {
  while (begin < end && IsBlank(*begin)) ++begin;
  while (end > begin && IsBlank(end[-1])) --end;
  return {begin, static_cast<size_t>(end - begin)};
}

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(Span name, const char* wanted) {
  size_t length = std::strlen(wanted);
  if (name.length != length) return false;
  for (size_t i = 0; i < length; ++i)
    if (AsciiLower(name.text[i]) != AsciiLower(wanted[i])) return false;
  return true;
}

// Closes the file and frees getline's buffer on every path out.
class LineSource {
 public:
  explicit LineSource(const char* path) : file_(path ? fopen(path, "rb") : nullptr) {}
  ~LineSource() {
    free(line_);
    if (file_) fclose(file_);
  }
  LineSource(const LineSource&) = delete;
  LineSource& operator=(const LineSource&) = delete;

  bool Open() const { return file_ != nullptr; }

  // The next line without its LF or CR LF; false at the end of the file or
  // on a read error. Lines of any length are read whole.
  bool Next(const char** begin, const char** end) {
    ssize_t n = getline(&line_, &capacity_, file_);
    if (n <= 0) return false;
    const char* text = line_;
    size_t length = static_cast<size_t>(n);
    if (first_) {
      first_ = false;
      if (length >= 3 && std::memcmp(text, "\xEF\xBB\xBF", 3) == 0) {
        text += 3;
        length -= 3;
      }
    }
    if (length > 0 && text[length - 1] == '\n') --length;
    if (length > 0 && text[length - 1] == '\r') --length;
    *begin = text;
    *end = text + length;
    return true;
  }

 private:
  FILE* file_;
  char* line_ = nullptr;
  size_t capacity_ = 0;
  bool first_ = true;
};

// Finds the value of key in the first section named section that has it and
// hands it (trimmed, one pair of matching quotes removed) to use. false when
// the file, the section or the key is missing.
template <typename Use>
bool FindValue(const char* section, const char* key, const char* path, Use use) {
  if (section == nullptr || key == nullptr) return false;
  LineSource lines(path);
  if (!lines.Open()) return false;
  bool inSection = false;
  const char* begin;
  const char* end;
  while (lines.Next(&begin, &end)) {
    Span line = Trim(begin, end);
    if (line.length == 0 || line.text[0] == ';') continue;
    if (line.text[0] == '[') {
      const char* close =
          static_cast<const char*>(std::memchr(line.text + 1, ']', line.length - 1));
      // A '[' line without ']' is no section header; like any line without
      // '=' it is ignored.
      if (close != nullptr) {
        inSection = SameName(Trim(line.text + 1, close), section);
        continue;
      }
    }
    if (!inSection) continue;
    const char* equals = static_cast<const char*>(std::memchr(line.text, '=', line.length));
    if (equals == nullptr) continue;
    if (!SameName(Trim(line.text, equals), key)) continue;
    Span value = Trim(equals + 1, line.text + line.length);
    if (value.length >= 2 && (value.text[0] == '"' || value.text[0] == '\'') &&
        value.text[value.length - 1] == value.text[0]) {
      ++value.text;
      value.length -= 2;
    }
    use(value);
    return true;
  }
  return false;
}

// Copies at most size-1 characters, stopping at an embedded NUL, and
// terminates.
uint32_t CopyCut(const char* text, size_t length, char* out, uint32_t size) {
  if (out == nullptr || size == 0) return 0;
  size_t count = 0;
  while (count < length && count < size - 1u && text[count] != '\0') {
    out[count] = text[count];
    ++count;
  }
  out[count] = '\0';
  return static_cast<uint32_t>(count);
}

}  // namespace

uint32_t ProfileString(const char* section, const char* key, const char* defaultValue,
                       char* out, uint32_t size, const char* path) {
  uint32_t copied = 0;
  if (FindValue(section, key, path,
                [&](Span value) { copied = CopyCut(value.text, value.length, out, size); }))
    return copied;
  const char* fallback = defaultValue ? defaultValue : "";
  return CopyCut(fallback, std::strlen(fallback), out, size);
}

int ProfileInt(const char* section, const char* key, int defaultValue, const char* path) {
  int result = defaultValue;
  FindValue(section, key, path, [&](Span value) {
    // An empty value counts as missing, as with the Windows call.
    if (value.length == 0 || value.text[0] == '\0') return;
    size_t i = 0;
    bool negative = false;
    if (value.text[0] == '+' || value.text[0] == '-') {
      negative = value.text[0] == '-';
      ++i;
    }
    // Accumulated as a negative number so INT_MIN fits; clamped at the ends.
    long long number = 0;
    for (; i < value.length && value.text[i] >= '0' && value.text[i] <= '9'; ++i) {
      number = number * 10 - (value.text[i] - '0');
      if (number < INT_MIN) number = static_cast<long long>(INT_MIN) - 1;
    }
    if (negative)
      result = number < INT_MIN ? INT_MIN : static_cast<int>(number);
    else
      result = -number > INT_MAX ? INT_MAX : static_cast<int>(-number);
  });
  return result;
}

}  // namespace platform
