// Writes a corpus of INI edge cases to a scratch directory and lists what
// the profile functions read from each, one line per query, into the file
// named on the command line. Built for both systems: the POSIX reader and
// the Windows functions (under wine) must give the same listing.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/profile.h"
#include "test_os.h"

namespace {

struct Query {
  const char* section;
  const char* key;
};

struct CorpusFile {
  const char* name;
  std::string content;
  std::vector<Query> queries;
};

std::string Repeat(char c, size_t n) { return std::string(n, c); }

// Bytes 1..255 but the line ends and the characters the reader looks for.
std::string HighAndControlBytes() {
  std::string bytes;
  for (int c = 1; c < 256; ++c)
    if (c != '\r' && c != '\n' && c != '=' && c != '[' && c != ']' && c != ';') bytes += static_cast<char>(c);
  return bytes;
}

std::vector<CorpusFile> Corpus() {
  using std::string;
  return {
      {"names.ini",
       "[Alpha]\r\nKey=v\r\nMixedCase=m\r\n[beta]\r\nkey=b\r\n",
       {{"Alpha", "Key"}, {"alpha", "KEY"}, {"ALPHA", "mixedcase"}, {"Alph", "Key"}, {"Alpha", "Ke"},
        {"Beta", "Key"}, {"BETA", "KEY"}, {"Alpha", "Keys"}}},
      {"blanks.ini",
       "  [ Spaced Section ]  \r\n  key one  =  value one  \r\n\tTab\t=\tv\t\r\nNone=\r\n"
       "Blank=   \t\r\nInner=a  b\r\n[Tight]\r\nk=v\r\n",
       {{"Spaced Section", "key one"}, {" Spaced Section ", " key one "}, {"Spaced  Section", "key one"},
        {"Spaced Section", "Tab"}, {"Spaced Section", "None"}, {"Spaced Section", "Blank"},
        {"Spaced Section", "Inner"}, {"Tight", "k"}, {"Tight", " k"}}},
      {"quotes.ini",
       "[Q]\r\nDouble=\"  spaced  \"\r\nSingle='x'\r\nMismatch=\"abc'\r\nOne=\"\r\nTwo=\"\"\r\n"
       "Nested=\"\"inner\"\"\r\nOutside= \"x\" \r\nInner=a\"b\"c\r\nLeading=\"abc\r\nTrailing=abc\"\r\n"
       "SingleDouble='\"'\r\n",
       {{"Q", "Double"}, {"Q", "Single"}, {"Q", "Mismatch"}, {"Q", "One"}, {"Q", "Two"}, {"Q", "Nested"},
        {"Q", "Outside"}, {"Q", "Inner"}, {"Q", "Leading"}, {"Q", "Trailing"}, {"Q", "SingleDouble"}}},
      {"comments.ini",
       "; comment\r\n[C]\r\n;Hidden=yes\r\n  ;Indented=yes\r\n#Hash=yes\r\nSemi=x ; not a comment\r\n"
       "Visible=yes\r\n;[Commented]\r\nAfter=still C\r\n[Commented]\r\nK=real\r\n",
       {{"C", "Hidden"}, {"C", ";Hidden"}, {"C", "Indented"}, {"C", "#Hash"}, {"C", "Semi"},
        {"C", "Visible"}, {"C", "After"}, {"Commented", "K"}}},
      {"lf.ini", "[S]\nA=1\nB=2\n", {{"S", "A"}, {"S", "B"}}},
      {"crlf.ini", "[S]\r\nA=1\r\nB=2\r\n", {{"S", "A"}, {"S", "B"}}},
      {"cr.ini", "[S]\rA=1\rB=2\r[T]\rC=3", {{"S", "A"}, {"S", "B"}, {"T", "C"}, {"S", "C"}}},
      {"mixed-ends.ini", "[S]\r\nA=1\nB=2\rC=3\r\r\nD=4\n\rE=5\r\n\r\nF=6",
       {{"S", "A"}, {"S", "B"}, {"S", "C"}, {"S", "D"}, {"S", "E"}, {"S", "F"}}},
      {"no-final-end.ini", "[S]\r\nLast=end", {{"S", "Last"}}},
      {"repeats.ini",
       "[Alpha]\r\nKey=first\r\nKEY=second\r\n[Beta]\r\nKey=beta\r\n[ALPHA]\r\nKey=later\r\n"
       "OnlyLater=found?\r\n[alpha]\r\nOnlyLast=found?\r\n",
       {{"Alpha", "Key"}, {"Alpha", "OnlyLater"}, {"Alpha", "OnlyLast"}, {"Beta", "Key"}}},
      {"odd-lines.ini",
       "Orphan=before any section\r\n[]\r\nEmpty=empty section\r\n[S] trailing text\r\n=no key\r\n"
       "a line without equals\r\nK=v\r\nShadow\r\nShadow=later\r\n[broken\r\nK2=still S?\r\n[T]]\r\nK3=t\r\n[ [U] ]\r\nK4=u\r\n"
       "Eq=a=b\r\n",
       {{"", "Orphan"}, {"", "Empty"}, {"S", "K"}, {"S", ""}, {"S", "a line without equals"}, {"S", "Shadow"}, {"S", "K2"}, {"broken", "K2"},
        {"T", "K3"}, {"T]", "K3"}, {"[U]", "K4"}, {"U", "K4"}, {"[U]", "Eq"}}},
      {"long.ini",
       "[L]\r\nExact=" + Repeat('e', 259) + "\r\nOver=" + Repeat('o', 260) + "\r\nLong=" + Repeat('l', 5000) +
           "\r\n" + Repeat('k', 300) + "=long key\r\nAfter=yes\r\n",
       {{"L", "Exact"}, {"L", "Over"}, {"L", "Long"}, {"L", "After"}}},
      {"binary.ini",
       "[B]\r\nHigh=" + HighAndControlBytes() + "\r\nNul=ab" + string(1, '\0') + "cd\r\nAfterNul=yes\r\n"
           "Ctrl\x01Key=c\r\nDel=\x7f\r\n",
       {{"B", "High"}, {"B", "Nul"}, {"B", "AfterNul"}, {"B", "Ctrl\x01Key"}, {"B", "Del"}}},
      {"bom.ini", "\xEF\xBB\xBF[S]\r\nK=after bom\r\n", {{"S", "K"}}},
      {"numbers.ini",
       "[N]\r\nplus=+12\r\nminus=-7\r\ntrailing=12abc\r\nletters=abc\r\nsign=-\r\nempty=\r\n"
       "spaced=  42  \r\nquoted=\"15\"\r\nbig=99999999999\r\nwrap=4294967297\r\nnegwrap=-4294967297\r\n"
       "max=2147483647\r\nover=2147483648\r\nmin=-2147483648\r\nzero=0\r\nleadzero=010\r\n"
       "hex=0x1F\r\nupperPrefix=0X1F\r\nlowerDigits=0xff\r\nbinary=0b101\r\noctal=0o17\r\nnegHex=-0x10\r\nsigns=+-5\r\n"
       "decimal=1.5\r\nlongdigits=" + Repeat('0', 30) + "123\r\nexactdigits=" + Repeat('0', 26) + "123\r\n"
       "blankSign=- 5\r\ncontrolLead=\x01\x02" "5\r\nhexOnly=0x\r\n",
       {{"N", "plus"}, {"N", "minus"}, {"N", "trailing"}, {"N", "letters"}, {"N", "sign"}, {"N", "empty"},
        {"N", "spaced"}, {"N", "quoted"}, {"N", "big"}, {"N", "wrap"}, {"N", "negwrap"}, {"N", "max"},
        {"N", "over"}, {"N", "min"}, {"N", "zero"}, {"N", "leadzero"}, {"N", "hex"}, {"N", "upperPrefix"}, {"N", "lowerDigits"},
        {"N", "binary"}, {"N", "octal"}, {"N", "negHex"}, {"N", "signs"}, {"N", "decimal"},
        {"N", "longdigits"}, {"N", "exactdigits"}, {"N", "blankSign"}, {"N", "controlLead"}, {"N", "hexOnly"},
        {"N", "missing"}}},
      {"spaces.ini",
       "[\tTabbed\t]\r\nVt=\v v \f\r\nCtrlZ=\x1a z \x1a\r\nLeadCtrl=\x01 c\r\n \t \r\nK \v= v\r\n",
       {{"Tabbed", "Vt"}, {"Tabbed", "CtrlZ"}, {"Tabbed", "LeadCtrl"}, {"Tabbed", "K"}}},
      {"package.ini",
       "[NEWPCB]\r\nFILEPATH=newpcb\\new.ini\r\n[OLDPCB]\r\nFILEPATH = oldpcb/old.ini\r\n[TYPE]\r\nMODE=0\r\n",
       {{"NEWPCB", "FILEPATH"}, {"OLDPCB", "FILEPATH"}, {"TYPE", "MODE"}, {"USB", "FILEPATH"}}},
  };
}

// Printable ASCII as it stands, everything else as \xHH.
std::string Escaped(const char* text, size_t length) {
  std::string out;
  for (size_t i = 0; i < length; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  return out;
}

std::string Escaped(const std::string& text) { return Escaped(text.data(), text.size()); }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: profile_listing OUTPUT\n");
    return 2;
  }
  // Binary, so that both systems write the same line ends.
  std::FILE* listing = std::fopen(argv[1], "wb");
  if (listing == nullptr) {
    std::fprintf(stderr, "cannot write %s\n", argv[1]);
    return 2;
  }
  std::string directory;
  try {
    directory = test_os::MakeTempDirectory("q7730-profile-listing-");
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 2;
  }
  int status = 0;
  for (const CorpusFile& file : Corpus()) {
    std::string path = (std::filesystem::path(directory) / file.name).string();
    {
      std::ofstream out(path, std::ios::binary | std::ios::trunc);
      out.write(file.content.data(), static_cast<std::streamsize>(file.content.size()));
      if (!out) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        status = 2;
        continue;
      }
    }
    for (const Query& q : file.queries) {
      char value[260];
      uint32_t n = platform::ProfileString(q.section, q.key, "<default>", value, sizeof value, path.c_str());
      char small[4];
      uint32_t m = platform::ProfileString(q.section, q.key, "<default>", small, sizeof small, path.c_str());
      int number = platform::ProfileInt(q.section, q.key, -99, path.c_str());
      std::fprintf(listing, "%s [%s] %s: %u \"%s\" | %u \"%s\" | %d\n", file.name, Escaped(q.section).c_str(),
                  Escaped(q.key).c_str(), n, Escaped(value, n).c_str(), m, Escaped(small, m).c_str(), number);
    }
  }
  if (std::fclose(listing) != 0) status = 2;
  std::error_code ignored;
  std::filesystem::remove_all(directory, ignored);
  return status;
}
