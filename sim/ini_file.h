// A small INI reader for scenario files: case-insensitive section and key
// names, a key at most once per section, values trimmed of blanks and one
// pair of matching quotes, ';' and '#' comment lines.
#pragma once
#include <string>
#include <vector>

namespace sim {

struct IniEntry {
  std::string section;  // lower case
  std::string key;      // lower case
  std::string value;
  int line = 0;
};

class IniFile {
 public:
  // false and a message when the file cannot be read, a key repeats, or a
  // line is not "[section]", "key = value", a comment or blank.
  bool Load(const std::string& path, std::string* error);

  const std::vector<IniEntry>& Entries() const { return entries_; }
  // The first entry for section/key (any case), or null.
  const IniEntry* Find(const std::string& section, const std::string& key) const;

 private:
  std::vector<IniEntry> entries_;
};

std::string Lower(std::string text);

}  // namespace sim
