// Any bytes as the text of an INI file (the viewer's and the client's
// settings). Every section a "[name]" line may open is looked up: a section
// that exists lists as many keys as "key=value" lines, and each of its keys
// is found with the value that ReadString gives, in any case of its letters.

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/IniFile.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

// The names between '[' and ']' at the start of lines: where sections may be.
std::vector<std::string> BracketedNames(const std::string& text) {
  std::vector<std::string> names;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    const std::string line = text.substr(start, end - start);
    const std::size_t open = line.find('['), close = line.find(']');
    if (open != std::string::npos && close != std::string::npos && open < close)
      names.push_back(line.substr(open + 1, close - open - 1));
    start = end + 1;
  }
  names.emplace_back();
  return names;
}

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

void CheckSection(const quv::TIniFile& ini, const std::string& name) {
  if (!ini.SectionExists(name)) return;
  const std::vector<std::string> keys = ini.ReadSection(name);
  const std::vector<std::string> lines = ini.ReadSectionValues(name);
  Require(keys.size() == lines.size());
  const std::string absent("\x01\xff", 2);
  for (std::size_t i = 0; i < keys.size(); ++i) {
    Require(ini.ValueExists(name, keys[i]));
    Require(ini.ValueExists(Upper(name), Upper(keys[i])));
    const std::string value = ini.ReadString(name, keys[i], absent);
    Require(ini.ReadString(Upper(name), Upper(keys[i]), absent) == value);
    Require(lines[i].starts_with(keys[i] + "="));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const quv::TIniFile ini = quv::TIniFile::FromText(text);
  for (const std::string& name : BracketedNames(text)) CheckSection(ini, name);
  return 0;
}
