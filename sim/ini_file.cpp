#include "ini_file.h"

#include <cctype>
#include <fstream>

namespace sim {
namespace {

std::string Trim(const std::string& text) {
  size_t begin = 0, end = text.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  return text.substr(begin, end - begin);
}

}  // namespace

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool IniFile::Load(const std::string& path, std::string* error) {
  entries_.clear();
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read scenario file " + path;
    return false;
  }
  std::string line, section;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (number == 1 && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
    std::string text = Trim(line);
    if (text.empty() || text[0] == ';' || text[0] == '#') continue;
    if (text[0] == '[') {
      size_t close = text.find(']');
      if (close == std::string::npos) {
        *error = path + ":" + std::to_string(number) + ": section header without ']'";
        return false;
      }
      section = Lower(Trim(text.substr(1, close - 1)));
      continue;
    }
    size_t equals = text.find('=');
    if (equals == std::string::npos || equals == 0) {
      *error = path + ":" + std::to_string(number) + ": expected key = value";
      return false;
    }
    if (section.empty()) {
      *error = path + ":" + std::to_string(number) + ": key outside any section";
      return false;
    }
    IniEntry entry;
    entry.section = section;
    entry.key = Lower(Trim(text.substr(0, equals)));
    entry.value = Trim(text.substr(equals + 1));
    if (entry.value.size() >= 2 && (entry.value.front() == '"' || entry.value.front() == '\'') &&
        entry.value.back() == entry.value.front()) {
      entry.value = entry.value.substr(1, entry.value.size() - 2);
    }
    entry.line = number;
    // A repeated key is a mistake in a scenario, not something to ignore.
    if (const IniEntry* first = Find(entry.section, entry.key)) {
      *error = path + ":" + std::to_string(number) + ": [" + section + "] " + entry.key +
               " repeats line " + std::to_string(first->line);
      return false;
    }
    entries_.push_back(entry);
  }
  return true;
}

const IniEntry* IniFile::Find(const std::string& section, const std::string& key) const {
  std::string s = Lower(section), k = Lower(key);
  for (const IniEntry& entry : entries_) {
    if (entry.section == s && entry.key == k) return &entry;
  }
  return nullptr;
}

}  // namespace sim
