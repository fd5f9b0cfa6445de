#include "loader/quvUpdateDescriptor.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <sstream>

#include "platform/FileIo.h"

namespace quv {

namespace {

constexpr const char* kAttributes = "Attributes";
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr uint32_t kPermissionBits = 0777;
constexpr std::size_t kMostModeDigits = 4;

// The value of a decimal number that fills `text`, or `defaultValue`.
template <class T>
T NumberOr(const std::string& text, T defaultValue) {
  T value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size() ? value : defaultValue;
}

std::string Trimmed(const std::string& line) {
  const std::size_t first = line.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  return line.substr(first, line.find_last_not_of(" \t\r") - first + 1);
}

// A UTF-8 byte-order mark says nothing about a descriptor; without it the
// INI reader and the line edits see the same first line. Every leading mark
// goes, so that an edit, which reads the text again, finds it as it was.
std::string WithoutByteOrderMarks(const std::string& text) {
  std::size_t start = 0;
  while (text.compare(start, kByteOrderMark.size(), kByteOrderMark) == 0)
    start += kByteOrderMark.size();
  return text.substr(start);
}

bool IsSectionLine(const std::string& line) { return !line.empty() && line[0] == '['; }

bool IsSection(const std::string& line, const std::string& name) {
  const std::size_t close = line.find(']');
  return IsSectionLine(line) &&
         SameTextAscii(
             Trimmed(line.substr(1, close == std::string::npos ? std::string::npos : close - 1)),
             name);
}

bool IsKey(const std::string& line, const std::string& key) {
  const std::size_t eq = line.find('=');
  return eq != std::string::npos && SameTextAscii(Trimmed(line.substr(0, eq)), key);
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\r\n";
  return text;
}

}  // namespace

TUpdateDescriptor::TUpdateDescriptor(std::string text)
    : FText(WithoutByteOrderMarks(text)), FIni(TIniFile::FromText(FText)) {}

TUpdateDescriptor TUpdateDescriptor::FromFile(const std::string& fileName) {
  try {
    return TUpdateDescriptor(ReadWholeFile(fileName, {.MaxBytes = kMaxDescriptorBytes}));
  } catch (const EFileError& e) {
    if (e.Code() != ENOENT) throw;
    return TUpdateDescriptor();
  }
}

std::string TUpdateDescriptor::Attribute(const std::string& key) const {
  return FIni.ReadString(kAttributes, key, "");
}

bool TUpdateDescriptor::Flag(const std::string& key, bool defaultValue) const {
  const std::string value = Attribute(key);
  for (const char* yes : {"1", "true", "yes"})
    if (SameTextAscii(value, yes)) return true;
  for (const char* no : {"0", "false", "no"})
    if (SameTextAscii(value, no)) return false;
  return defaultValue;
}

uint32_t TUpdateDescriptor::CheckSum() const {
  return NumberOr<uint32_t>(Attribute("CheckSum"), 0);
}

int64_t TUpdateDescriptor::Age() const { return NumberOr<int64_t>(Attribute("Age"), 0); }

std::optional<uint32_t> TUpdateDescriptor::Mode() const {
  const std::string text = Attribute("Mode");
  if (text.empty() || text.size() > kMostModeDigits) return std::nullopt;
  uint32_t mode = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), mode, 8);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return mode & kPermissionBits;
}

std::string TUpdateDescriptor::DiffFile(uint32_t oldChecksum) const {
  return FIni.ReadString(std::to_string(oldChecksum), "Diff_Files", "");
}

std::vector<std::string> TUpdateDescriptor::HardDependencies() const {
  std::vector<std::string> names;
  for (const std::string& key : FIni.ReadSection("hard_dependencies")) {
    const std::string name = FIni.ReadString("hard_dependencies", key, "");
    if (!name.empty()) names.push_back(name);
  }
  return names;
}

std::string TUpdateDescriptor::SourceFor(const std::string& osName, const std::string& name) const {
  for (const std::string& key : {osName, std::string("ELSE")}) {
    const std::string source = FIni.ReadString("source", key, "");
    if (!source.empty()) return source;
  }
  return name;
}

void TUpdateDescriptor::SetAttribute(const std::string& key, const std::string& value) {
  RemoveAttribute(key);
  std::vector<std::string> lines = Lines(FText);
  auto section = std::find_if(lines.begin(), lines.end(), [](const std::string& line) {
    return IsSection(Trimmed(line), kAttributes);
  });
  if (section == lines.end()) {
    lines.push_back(std::string("[") + kAttributes + "]");
    section = lines.end() - 1;
  }
  lines.insert(section + 1, key + "=" + value);
  *this = TUpdateDescriptor(Joined(lines));
}

void TUpdateDescriptor::RemoveAttribute(const std::string& key) {
  std::vector<std::string> kept;
  bool inAttributes = false;
  for (const std::string& line : Lines(FText)) {
    const std::string trimmed = Trimmed(line);
    if (IsSectionLine(trimmed)) inAttributes = IsSection(trimmed, kAttributes);
    if (!(inAttributes && IsKey(trimmed, key))) kept.push_back(line);
  }
  *this = TUpdateDescriptor(Joined(kept));
}

}  // namespace quv
