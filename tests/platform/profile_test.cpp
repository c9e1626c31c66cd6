#include "platform/profile.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "test_os.h"

namespace {

using platform::ProfileInt;
using platform::ProfileString;

// A private directory for one test, removed with its files afterwards.
class ProfileTest : public ::testing::Test {
 protected:
  void SetUp() override { directory_ = test_os::MakeTempDirectory("q7730-profile-"); }
  void TearDown() override {
    std::error_code ignored;
    for (const std::string& file : files_) std::filesystem::remove(file, ignored);
    if (!directory_.empty()) std::filesystem::remove(directory_, ignored);
  }

  std::string Write(const char* name, const std::string& content) {
    std::string path = directory_ + "/" + name;
    FILE* file = fopen(path.c_str(), "wb");
    EXPECT_NE(file, nullptr);
    if (file) {
      EXPECT_EQ(fwrite(content.data(), 1, content.size(), file), content.size());
      fclose(file);
    }
    files_.push_back(path);
    return path;
  }

  static std::string Read(const char* section, const char* key, const std::string& path,
                          const char* fallback = "<default>", uint32_t size = 260) {
    std::string out(size + 1, '\x7f');
    uint32_t n = ProfileString(section, key, fallback, &out[0], size, path.c_str());
    EXPECT_LT(n, size) << section << "/" << key;
    EXPECT_EQ(out[n], '\0');
    EXPECT_EQ(std::strlen(out.c_str()), n);
    EXPECT_EQ(out[size], '\x7f') << "written past the buffer";
    return out.substr(0, n);
  }

  std::string directory_;
  std::vector<std::string> files_;
};

const char kSample[] =
    "\xEF\xBB\xBF"
    "Orphan=before any section\r\n"
    "; a comment\r\n"
    "[Alpha]\r\n"
    "Key1 = value one \r\n"
    "KEY1=second\r\n"
    "  ;Commented=yes\r\n"
    "Quoted=\"  spaced  \"\r\n"
    "Single='x'\r\n"
    "Mismatch=\"abc'\r\n"
    "OneQuote=\"\r\n"
    "TwoQuotes=\"\"\r\n"
    "Nested=\"\"inner\"\"\r\n"
    "Empty=\r\n"
    "Blank=   \t\r\n"
    "a line without equals\r\n"
    "\tTabbed\t=\tv\t\r\n"
    "Eq=a=b\r\n"
    "Semi=x ; not a comment\r\n"
    "[ beta ]\n"
    "Key1=beta one\n"
    "[broken\n"
    "Key2=still beta\n"
    "[ALPHA]\n"
    "Key1=later\n"
    "Later=found in the second alpha\n"
    "[Numbers]\n"
    "plus=+12\n"
    "minus=-7\n"
    "trailing=12abc\n"
    "letters=abc\n"
    "sign=-\n"
    "empty=\n"
    "spaced=  42  \n"
    "quoted=\"15\"\n"
    "big=99999999999\n"
    "small=-99999999999\n"
    "max=2147483647\n"
    "min=-2147483648\n"
    "zero=0\n"
    "wrap=4294967297\n"
    "hex=0x1F\n"
    "long=000000000000000000000000000000123\n"
    "[Last]\n"
    "NoNewline=end";

TEST_F(ProfileTest, StringRules) {
  std::string ini = Write("sample.ini", kSample);
  struct Case {
    const char* section;
    const char* key;
    const char* expected;
  } cases[] = {
      {"Alpha", "Key1", "value one"},  // trimmed; the first occurrence wins
      {"alpha", "key1", "value one"},  // names are case-insensitive
      {"ALPHA", "KEY1", "value one"},
      {"Alpha", "Commented", "<default>"},
      {"Alpha", "Quoted", "  spaced  "},  // one pair removed, inside kept
      {"Alpha", "Single", "x"},
      {"Alpha", "Mismatch", "\"abc'"},
      {"Alpha", "OneQuote", "\""},
      {"Alpha", "TwoQuotes", ""},
      {"Alpha", "Nested", "\"inner\""},
      {"Alpha", "Empty", ""},  // present but empty: not the default
      {"Alpha", "Blank", ""},
      {"Alpha", "a line without equals", "<default>"},
      {"Alpha", "Tabbed", "v"},
      {"Alpha", "Eq", "a=b"},
      {"Alpha", "Semi", "x ; not a comment"},
      // Only the first [Alpha] is read, as the Windows functions do.
      {"Alpha", "Later", "<default>"},
      {"Alpha", "Orphan", "<default>"},
      {"Beta", "Key1", "beta one"},  // blanks inside the brackets trimmed
      {"Beta", "Key2", "still beta"},  // a '[' line without ']' is no header
      {"broken", "Key2", "<default>"},
      {"Last", "NoNewline", "end"},
      {"Missing", "Key1", "<default>"},
      {"Alpha", "Missing", "<default>"},
      {"Alp", "Key1", "<default>"},
      {"Alpha", "Key", "<default>"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(Read(c.section, c.key, ini), c.expected) << c.section << "/" << c.key;
}

TEST_F(ProfileTest, IntegerRules) {
  std::string ini = Write("numbers.ini", kSample);
  struct Case {
    const char* key;
    int expected;
  } cases[] = {
      {"plus", 12},         {"minus", -7},        {"trailing", 12},
      {"letters", 0},       {"sign", 0},          {"spaced", 42},
      // Modulo 2^32, as the Windows call reads them.
      {"quoted", 15},       {"big", 1215752191},  {"small", -1215752191},
      {"max", INT_MAX},     {"min", INT_MIN},     {"zero", 0},
      {"wrap", 1},          {"hex", 31},          {"long", 0},
      {"missing", -99},
      // An empty value reads as missing, as with the Windows call.
      {"empty", -99},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ProfileInt("numbers", c.key, -99, ini.c_str()), c.expected) << c.key;
  EXPECT_EQ(ProfileInt("Nowhere", "plus", 30000, ini.c_str()), 30000);
}

TEST_F(ProfileTest, LoneCarriageReturnsEndLines) {
  std::string ini = Write("cr.ini", "[S]\rA=1\rB= two \r[T]\rC=3\r\n[U]\n\rD=4");
  EXPECT_EQ(Read("S", "A", ini), "1");
  EXPECT_EQ(Read("S", "B", ini), "two");
  EXPECT_EQ(Read("S", "C", ini), "<default>");
  EXPECT_EQ(ProfileInt("T", "C", -1, ini.c_str()), 3);
  EXPECT_EQ(Read("U", "D", ini), "4");
}

TEST_F(ProfileTest, OnlyTheFirstSectionOfANameAndTheFirstLineOfAKeyCount) {
  std::string ini = Write("repeats.ini",
                          "Orphan=o\n[]\nEmpty=e\n[S]\nK=first\nHidden\nHidden=h\n[s]\nK=second\n"
                          "Later=l\n[T]]\nX=x\n");
  EXPECT_EQ(Read("S", "K", ini), "first");
  EXPECT_EQ(Read("S", "Later", ini), "<default>");
  EXPECT_EQ(Read("S", "Hidden", ini), "<default>");  // a key line without '=' hides later ones
  EXPECT_EQ(Read("", "Orphan", ini), "o");  // lines before any section
  EXPECT_EQ(Read("", "Empty", ini), "<default>");
  EXPECT_EQ(Read("T]", "X", ini), "x");  // the name runs to the last ']'
  EXPECT_EQ(Read(" s ", " k ", ini), "first");  // the names asked for are trimmed too
}

TEST_F(ProfileTest, MissingFileGivesDefaults) {
  std::string missing = directory_ + "/absent.ini";
  EXPECT_EQ(Read("NEWPCB", "FILEPATH", missing, "None"), "None");
  EXPECT_EQ(Read("NEWPCB", "FILEPATH", missing, nullptr), "");
  EXPECT_EQ(ProfileInt("TYPE", "MODE", 1, missing.c_str()), 1);
  // A directory is no profile file either.
  EXPECT_EQ(Read("NEWPCB", "FILEPATH", directory_, "None"), "None");
  EXPECT_EQ(ProfileInt("TYPE", "MODE", 7, nullptr), 7);
  EXPECT_EQ(Read("TYPE", "MODE", std::string(), "d"), "d");
}

TEST_F(ProfileTest, ValuesAndDefaultsAreCutToTheBuffer) {
  std::string longValue(1000, 'v');
  std::string ini = Write("long.ini", "[S]\nlong=" + longValue + "\nexact=" +
                                          std::string(259, 'e') + "\nshort=abc\n");
  EXPECT_EQ(Read("S", "long", ini), std::string(259, 'v'));
  EXPECT_EQ(Read("S", "exact", ini), std::string(259, 'e'));
  EXPECT_EQ(Read("S", "short", ini, "", 3), "ab");
  EXPECT_EQ(Read("S", "short", ini, "", 1), "");
  std::string longDefault(300, 'd');
  EXPECT_EQ(Read("S", "none", ini, longDefault.c_str()), std::string(259, 'd'));

  char untouched[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(ProfileString("S", "short", "", untouched, 0, ini.c_str()), 0u);
  EXPECT_EQ(untouched[0], 'x');
}

TEST_F(ProfileTest, HugeLinesAndLaterKeysStillRead) {
  std::string huge(3 * 1024 * 1024, 'h');
  std::string ini = Write("huge.ini", "[S]\nhuge=" + huge + "\r\n" + huge + "\nafter=yes\n");
  EXPECT_EQ(Read("S", "huge", ini), std::string(259, 'h'));
  EXPECT_EQ(Read("S", "after", ini), "yes");
  EXPECT_EQ(ProfileInt("S", "huge", 5, ini.c_str()), 0);
}

// Random bytes biased towards the characters the parser cares about,
// embedded NULs included: every read must stay inside the buffer.
TEST_F(ProfileTest, GarbageNeverBreaksTheReader) {
  static const char kAlphabet[] = "[]=;\r\n \t\"'aAkK01\xEF\xBB\xBF\xFF";
  uint32_t seed = 12345;
  auto next = [&seed] {
    seed = seed * 1103515245u + 12345u;
    return seed >> 16;
  };
  for (int round = 0; round < 200; ++round) {
    std::string content;
    size_t length = next() % 400;
    for (size_t i = 0; i < length; ++i)
      content += (next() % 10 == 0) ? '\0' : kAlphabet[next() % (sizeof kAlphabet - 1)];
    std::string ini = Write("garbage.ini", content);
    files_.pop_back();
    Read("a", "k", ini);
    Read("", "", ini);
    Read("A", "K", ini, "d", 2);
    ProfileInt("a", "k", 3, ini.c_str());
  }
  files_.push_back(directory_ + "/garbage.ini");
}

}  // namespace
