#pragma once

#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace quv {

// A read-only INI file, read once when constructed. Sections and keys match
// without regard to (ASCII) case; keys keep their file order; keys and values
// are trimmed of surrounding blanks and otherwise kept as written. Lines
// starting with ';' are comments. A file that is missing, unreadable, a
// folder or larger than 256 MiB reads as empty. Texts are returned in the
// file's own encoding. Sections and keys are found through an index, so that
// reading a text, and each lookup, takes time in proportion to the text or
// the name alone. Immutable after construction, so it may be shared between
// threads.
class TIniFile final {
 public:
  explicit TIniFile(const std::string& fileName);

  // Parses `text` as the content of an INI file.
  static TIniFile FromText(const std::string& text);

  std::string ReadString(const std::string& section, const std::string& key,
                         const std::string& defaultValue) const;
  bool SectionExists(const std::string& section) const;
  bool ValueExists(const std::string& section, const std::string& key) const;
  // The keys of a section, in file order.
  std::vector<std::string> ReadSection(const std::string& section) const;
  // The section's entries as "key=value" lines, in file order.
  std::vector<std::string> ReadSectionValues(const std::string& section) const;

 private:
  TIniFile() = default;
  struct TSection {
    std::string Name;
    std::vector<std::pair<std::string, std::string>> Entries;
    // Each key, folded to lower case, and the index of its first entry.
    std::unordered_map<std::string, std::size_t> FirstEntries;
  };
  void Parse(const std::string& text);
  const TSection* FindSection(const std::string& name) const;
  // The value of the first entry `key` of `section`, or null.
  static const std::string* FindValue(const TSection& section, const std::string& key);

  std::vector<TSection> FSections;
  // Each section's name, folded to lower case, and its index in FSections.
  std::unordered_map<std::string, std::size_t> FSectionIndex;
};

// Case-insensitive comparison of ASCII letters, as INI names are matched.
bool SameTextAscii(const std::string& a, const std::string& b);

}  // namespace quv
