// The parts of the notice window's drawing that X11 leaves to the client: the
// word wrap of a text box, and a Windows face name turned into a font request.
#pragma once
#include <cstddef>
#include <vector>

namespace platform {

struct TextLine {
  size_t begin;   // offset into the text
  size_t length;
};

// Width in pixels of length characters of text.
using MeasureText = int (*)(const char* text, size_t length, void* context);

// Breaks text into lines no wider than width, at blanks, as a word-breaking
// text box does: the blanks at a break are dropped, leading blanks of the
// text are kept, and a word wider than the width stands alone on its line.
// No text, no lines.
std::vector<TextLine> WrapWords(const char* text, int width, MeasureText measure, void* context);

// "Arial Bold Italic": family "Arial", bold, italic. Trailing style words
// (any case) become weight and slant; what precedes them is the family, cut
// to familySize - 1 characters.
struct FontRequest {
  bool bold = false;
  bool italic = false;
};
FontRequest SplitFaceName(const char* face, char* family, size_t familySize);

}  // namespace platform
