// INI reader with the visible rules of the Windows profile functions, for
// systems that have none. Those rules, as the Windows build reads the same
// files (tests/platform/profile_listing.cpp compares the two):
// - a line ends at CR, at LF, or at both; blanks (white space and Ctrl-Z)
//   around lines, names and values do not count;
// - "[name]" starts a section, its name running to the last ']' of the line;
//   lines before any section belong to the section named "";
// - only the first section of a name is searched, and in it only the first
//   line of a key: a later section of the same name, or a later line of the
//   key, is never read, and a key line without '=' hides later ones;
// - ';' starts no comment: such a line is a key whose name begins with ';',
//   which no ordinary name matches;
// - names match without regard to ASCII case; one pair of matching quotes
//   around a value is removed.
#include <stdio.h>

#include <cstring>
#include <string>

#include "platform/profile.h"

namespace platform {
namespace {

struct Span {
  const char* text;
  size_t length;
};

bool IsBlank(char c) { return c == ' ' || (c >= '\t' && c <= '\r') || c == '\x1a'; }

Span Trim(const char* begin, const char* end) {
  while (begin < end && IsBlank(*begin)) ++begin;
  while (end > begin && IsBlank(end[-1])) --end;
  return {begin, static_cast<size_t>(end - begin)};
}

Span Trim(const char* text) { return Trim(text, text + std::strlen(text)); }

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(Span name, Span wanted) {
  if (name.length != wanted.length) return false;
  for (size_t i = 0; i < wanted.length; ++i)
    if (AsciiLower(name.text[i]) != AsciiLower(wanted.text[i])) return false;
  return true;
}

// Reads a file line by line, a line ending at CR or LF. Closes the file on
// every path out.
class LineSource {
 public:
  explicit LineSource(const char* path) : file_(path ? fopen(path, "rb") : nullptr) {}
  ~LineSource() {
    if (file_) fclose(file_);
  }
  LineSource(const LineSource&) = delete;
  LineSource& operator=(const LineSource&) = delete;

  bool Open() const { return file_ != nullptr; }

  // The next line without its end; false at the end of the file or on a
  // read error. Lines of any length are read whole.
  bool Next(const char** begin, const char** end) {
    line_.clear();
    bool any = false;
    for (;;) {
      if (next_ == filled_ && !Fill()) break;
      any = true;
      const char* start = buffer_ + next_;
      const char* stop = start;
      const char* limit = buffer_ + filled_;
      while (stop < limit && *stop != '\r' && *stop != '\n') ++stop;
      line_.append(start, stop);
      next_ = static_cast<size_t>(stop - buffer_);
      if (stop < limit) {
        ++next_;  // the CR or LF; a CR LF pair leaves an empty line, which counts for nothing
        break;
      }
    }
    if (!any) return false;
    const char* text = line_.data();
    size_t length = line_.size();
    if (first_) {
      first_ = false;
      if (length >= 3 && std::memcmp(text, "\xEF\xBB\xBF", 3) == 0) {
        text += 3;
        length -= 3;
      }
    }
    *begin = text;
    *end = text + length;
    return true;
  }

 private:
  bool Fill() {
    next_ = 0;
    filled_ = fread(buffer_, 1, sizeof buffer_, file_);
    return filled_ > 0;
  }

  FILE* file_;
  char buffer_[16384];
  size_t next_ = 0;
  size_t filled_ = 0;
  std::string line_;
  bool first_ = true;
};

// Finds the value of key in the first section named section and hands it
// (trimmed, one pair of matching quotes removed) to use. false when the
// file, the section or the key is missing, or the key has no '='.
template <typename Use>
bool FindValue(const char* section, const char* key, const char* path, Use use) {
  if (section == nullptr || key == nullptr) return false;
  const Span wantedSection = Trim(section);
  const Span wantedKey = Trim(key);
  LineSource lines(path);
  if (!lines.Open()) return false;
  bool inSection = SameName(Span{"", 0}, wantedSection);
  const char* begin;
  const char* end;
  while (lines.Next(&begin, &end)) {
    Span line = Trim(begin, end);
    if (line.length == 0) continue;
    if (line.text[0] == '[') {
      const char* close = nullptr;
      for (size_t i = line.length; i-- > 1;) {
        if (line.text[i] == ']') {
          close = line.text + i;
          break;
        }
      }
      // A '[' line without ']' is no section header but a key line.
      if (close != nullptr) {
        // The first section of that name has ended: later ones are not read.
        if (inSection) return false;
        inSection = SameName(Trim(line.text + 1, close), wantedSection);
        continue;
      }
    }
    if (!inSection) continue;
    const char* equals = static_cast<const char*>(std::memchr(line.text, '=', line.length));
    const char* nameEnd = equals != nullptr ? equals : line.text + line.length;
    if (!SameName(Trim(line.text, nameEnd), wantedKey)) continue;
    if (equals == nullptr) return false;
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

int DigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'z') return c - 'a' + 10;
  if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
  return -1;
}

// The integer reading of the Windows call: the value as read into a buffer
// of 30 characters, control characters and blanks skipped, a sign, a base
// prefix 0x, 0o or 0b (else decimal), the digits that follow, all modulo 2^32.
int IntegerOf(const char* text) {
  while (*text != '\0' && static_cast<unsigned char>(*text) <= ' ') ++text;
  bool negative = false;
  if (*text == '+' || *text == '-') negative = *text++ == '-';
  uint32_t base = 10;
  if (text[0] == '0' && (text[1] == 'x' || text[1] == 'o' || text[1] == 'b')) {
    base = text[1] == 'x' ? 16 : text[1] == 'o' ? 8 : 2;
    text += 2;
  }
  uint32_t number = 0;
  for (; *text != '\0'; ++text) {
    int digit = DigitValue(*text);
    if (digit < 0 || static_cast<uint32_t>(digit) >= base) break;
    number = number * base + static_cast<uint32_t>(digit);
  }
  if (negative) number = 0u - number;
  return static_cast<int>(number);
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
  char text[30];
  // An empty value counts as missing, as with the Windows call.
  if (ProfileString(section, key, "", text, sizeof text, path) == 0) return defaultValue;
  return IntegerOf(text);
}

}  // namespace platform
