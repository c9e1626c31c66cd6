#include "notice_layout.h"

#include <strings.h>

#include <cstring>

namespace platform {

std::vector<TextLine> WrapWords(const char* text, int width, MeasureText measure, void* context) {
  std::vector<TextLine> lines;
  const size_t size = std::strlen(text);
  size_t start = 0;
  while (start < size) {
    // Take whole words (each with the blanks before it) while they fit.
    size_t end = start;
    for (;;) {
      size_t next = end;
      while (next < size && text[next] == ' ') ++next;
      while (next < size && text[next] != ' ') ++next;
      if (next == end) break;
      if (end != start && measure(text + start, next - start, context) > width) break;
      end = next;
    }
    lines.push_back({start, end - start});
    start = end;
    while (start < size && text[start] == ' ') ++start;
  }
  return lines;
}

namespace {

struct StyleWord {
  const char* word;
  bool FontRequest::*flag;
};

// "Regular" and "Normal" name the default and set nothing.
constexpr StyleWord kStyleWords[] = {
    {"Bold", &FontRequest::bold},  {"Italic", &FontRequest::italic}, {"Oblique", &FontRequest::italic},
    {"Regular", nullptr},          {"Normal", nullptr},
};

}  // namespace

FontRequest SplitFaceName(const char* face, char* family, size_t familySize) {
  FontRequest request;
  size_t end = std::strlen(face);
  for (;;) {
    while (end > 0 && face[end - 1] == ' ') --end;
    size_t begin = end;
    while (begin > 0 && face[begin - 1] != ' ') --begin;
    // The first word is the family whatever it says ("Bold" alone is a family).
    if (begin == 0) break;
    const StyleWord* style = nullptr;
    for (const StyleWord& candidate : kStyleWords) {
      if (std::strlen(candidate.word) == end - begin && strncasecmp(face + begin, candidate.word, end - begin) == 0)
        style = &candidate;
    }
    if (style == nullptr) break;
    if (style->flag != nullptr) request.*style->flag = true;
    end = begin;
  }
  while (end > 0 && face[end - 1] == ' ') --end;
  if (familySize > 0) {
    size_t length = end < familySize - 1 ? end : familySize - 1;
    std::memcpy(family, face, length);
    family[length] = '\0';
  }
  return request;
}

}  // namespace platform
