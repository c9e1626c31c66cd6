// The word wrap and the face name of the X11 notice window, with a font in
// which every character is 10 pixels wide.
#include "notice_layout.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

int TenEach(const char*, size_t length, void* calls) {
  ++*static_cast<int*>(calls);
  return static_cast<int>(length) * 10;
}

std::vector<std::string> Wrap(const char* text, int width) {
  int calls = 0;
  std::vector<std::string> lines;
  for (const platform::TextLine& line : platform::WrapWords(text, width, TenEach, &calls))
    lines.emplace_back(text + line.begin, line.length);
  return lines;
}

using Lines = std::vector<std::string>;

const char kSecondText[] = "  Do not turn off the printer.Do not unplug the USB cable.";

TEST(NoticeWrap, BreaksAtBlanksKeepingTheLeadingOnesAndDroppingThoseAtABreak) {
  EXPECT_EQ(Wrap(kSecondText, 580), Lines({kSecondText}));  // 58 characters fit exactly
  EXPECT_EQ(Wrap(kSecondText, 579), Lines({"  Do not turn off the printer.Do not unplug the USB", "cable."}));
  EXPECT_EQ(Wrap(kSecondText, 200),
            Lines({"  Do not turn off", "the printer.Do not", "unplug the USB", "cable."}));
}

TEST(NoticeWrap, NarrowerWidthsNeverGiveFewerLines) {
  size_t previous = 0;
  for (int width = 600; width >= 0; width -= 10) {
    Lines lines = Wrap(kSecondText, width);
    EXPECT_GE(lines.size(), previous) << "width " << width;
    previous = lines.size();
    // Every line fits, unless it is a single word that cannot.
    for (const std::string& line : lines) {
      if (line.find(' ', line.find_first_not_of(' ')) != std::string::npos) {
        EXPECT_LE(static_cast<int>(line.size()) * 10, width) << line;
      }
    }
  }
}

TEST(NoticeWrap, WordWiderThanTheWidthStandsAloneAndNothingIsLost) {
  EXPECT_EQ(Wrap("a printer.Do b", 50), Lines({"a", "printer.Do", "b"}));
  EXPECT_EQ(Wrap("  unplug", 30), Lines({"  unplug"}));
  EXPECT_EQ(Wrap("", 100), Lines{});
  EXPECT_EQ(Wrap("   ", 100), Lines({"   "}));
  EXPECT_EQ(Wrap("one two ", 30), Lines({"one", "two"}));
}

struct FaceCase {
  const char* face;
  const char* family;
  bool bold, italic;
};

TEST(NoticeFace, TrailingStyleWordsBecomeWeightAndSlant) {
  const FaceCase cases[] = {
      {"Arial Bold Italic", "Arial", true, true},
      {"Arial", "Arial", false, false},
      {"Times New Roman Italic", "Times New Roman", false, true},
      {"Courier New bold", "Courier New", true, false},
      {"Liberation Sans Regular", "Liberation Sans", false, false},
      {"Bold", "Bold", false, false},  // a family name, nothing else
      {"Arial  Bold  ", "Arial", true, false},
      {"Bold Arial", "Bold Arial", false, false},
  };
  for (const FaceCase& c : cases) {
    char family[64];
    platform::FontRequest request = platform::SplitFaceName(c.face, family, sizeof family);
    EXPECT_STREQ(family, c.family) << c.face;
    EXPECT_EQ(request.bold, c.bold) << c.face;
    EXPECT_EQ(request.italic, c.italic) << c.face;
  }
  char small[6];
  platform::SplitFaceName("Liberation Sans Bold", small, sizeof small);
  EXPECT_STREQ(small, "Liber");
}

}  // namespace
