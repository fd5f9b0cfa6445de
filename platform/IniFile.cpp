#include "platform/IniFile.h"

#include "platform/FileIo.h"

namespace quv {

namespace {

std::string Trim(const std::string& s) {
  const auto first = s.find_first_not_of(" \t\r");
  if (first == std::string::npos) return std::string();
  const auto last = s.find_last_not_of(" \t\r");
  return s.substr(first, last - first + 1);
}

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

// `name` as the indexes know it: ASCII letters in lower case.
std::string Folded(std::string name) {
  for (char& c : name) c = LowerAscii(c);
  return name;
}

}  // namespace

bool SameTextAscii(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  return true;
}

TIniFile::TIniFile(const std::string& fileName) { Parse(ReadWholeFileOrEmpty(fileName)); }

TIniFile TIniFile::FromText(const std::string& text) {
  TIniFile ini;
  ini.Parse(text);
  return ini;
}

void TIniFile::Parse(const std::string& text) {
  std::size_t pos = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;  // UTF-8 byte-order mark
  TSection* current = nullptr;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    const std::string line = Trim(text.substr(pos, end - pos));
    pos = end + 1;
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      const std::size_t close = line.find(']');
      const std::string name = Trim(line.substr(1, close == std::string::npos ? std::string::npos : close - 1));
      // A repeated section adds to the first one of that name.
      const auto [at, added] = FSectionIndex.try_emplace(Folded(name), FSections.size());
      if (added) FSections.push_back(TSection{name, {}, {}});
      current = &FSections[at->second];
      continue;
    }
    const std::size_t eq = line.find('=');
    if (current == nullptr || eq == std::string::npos) continue;
    std::string key = Trim(line.substr(0, eq));
    if (key.empty()) continue;
    current->FirstEntries.try_emplace(Folded(key), current->Entries.size());
    current->Entries.emplace_back(std::move(key), Trim(line.substr(eq + 1)));
  }
}

const TIniFile::TSection* TIniFile::FindSection(const std::string& name) const {
  const auto at = FSectionIndex.find(Folded(name));
  return at == FSectionIndex.end() ? nullptr : &FSections[at->second];
}

const std::string* TIniFile::FindValue(const TSection& section, const std::string& key) {
  const auto at = section.FirstEntries.find(Folded(key));
  return at == section.FirstEntries.end() ? nullptr : &section.Entries[at->second].second;
}

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& defaultValue) const {
  if (const TSection* s = FindSection(section))
    if (const std::string* value = FindValue(*s, key)) return *value;
  return defaultValue;
}

bool TIniFile::SectionExists(const std::string& section) const {
  return FindSection(section) != nullptr;
}

bool TIniFile::ValueExists(const std::string& section, const std::string& key) const {
  const TSection* s = FindSection(section);
  return s != nullptr && FindValue(*s, key) != nullptr;
}

std::vector<std::string> TIniFile::ReadSection(const std::string& section) const {
  std::vector<std::string> keys;
  if (const TSection* s = FindSection(section))
    for (const auto& entry : s->Entries) keys.push_back(entry.first);
  return keys;
}

std::vector<std::string> TIniFile::ReadSectionValues(const std::string& section) const {
  std::vector<std::string> lines;
  if (const TSection* s = FindSection(section))
    for (const auto& [k, v] : s->Entries) lines.push_back(k + "=" + v);
  return lines;
}

}  // namespace quv
