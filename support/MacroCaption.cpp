#include "support/MacroCaption.h"

#include <algorithm>
#include <array>
#include <mutex>
#include <vector>

#include "platform/Cp1252.h"
#include "platform/ExePath.h"
#include "platform/FileIo.h"
#include "platform/Sync.h"
#include "support/CommaText.h"

namespace quv {

namespace {

// Each character of the first text becomes the one at the same position of the second.
constexpr std::string_view kFoldFrom = "àâêôûãõáéíóúçüÀÂÊÔÛÃÕÁÉÍÓÚÇÜ,"_cp;
constexpr std::string_view kFoldTo = "aaeouaoaeioucuAAEOUAOAEIOUCU "_cp;
static_assert(kFoldFrom.size() == 29 && kFoldTo.size() == 29);

std::array<char, 256> BuildNormalizeTable() {
  std::array<char, 256> table{};
  for (int c = 0; c < 256; ++c) table[c] = AsciiUpperChar(static_cast<char>(c));
  for (std::size_t i = 0; i < kFoldFrom.size(); ++i)
    table[static_cast<unsigned char>(kFoldFrom[i])] = AsciiUpperChar(kFoldTo[i]);
  return table;
}

// Lines end at CR, LF or CR LF; a final line break adds no empty line.
std::vector<std::string_view> SplitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t end = std::min(text.find_first_of("\r\n", pos), text.size());
    lines.push_back(text.substr(pos, end - pos));
    pos = end;
    if (pos < text.size() && text[pos] == '\r') ++pos;
    if (pos < text.size() && text[pos] == '\n') ++pos;
  }
  return lines;
}

// Splits a dictionary line at ";"; a field that opens with a double or single quote runs to its
// closing quote, so it may hold the separator.
std::vector<std::string> SplitFields(std::string_view line) {
  std::vector<std::string> fields;
  std::size_t pos = 0;
  for (;;) {
    std::string field;
    if (pos < line.size() && (line[pos] == '"' || line[pos] == '\''))
      field = ExtractQuotedText(line, pos, line[pos]);
    const std::size_t end = std::min(line.find(';', pos), line.size());
    field.append(line.substr(pos, end - pos));
    fields.push_back(std::move(field));
    if (end == line.size()) return fields;
    pos = end + 1;
  }
}

bool HasSmallAsciiLetter(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char c) { return c >= 'a' && c <= 'z'; });
}

std::string_view TrimBlanks(std::string_view s) {
  const std::size_t first = s.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

std::string DefaultDictionaryPath() {
  return ProgramDataFolder() + "/" + std::string(TquvMacroCaption::kDefaultFileName);
}

// The process-wide dictionary and the lock that serialises every request to it.
struct TProcessCaptions {
  TCriticalSection Lock;
  std::unique_ptr<TquvMacroCaption> Dictionary;
};

constinit TProcessSlot<TProcessCaptions> gCaptions("caption dictionary");

TProcessCaptions& ProcessCaptions() { return *gCaptions; }

}  // namespace

std::unique_ptr<TScopePart> MakeCaptionDictionary() { return gCaptions.Make(); }

std::string NormalizeCaptionWord(std::string_view word) {
  static const std::array<char, 256> table = BuildNormalizeTable();
  std::string normal(word);
  for (char& c : normal) c = table[static_cast<unsigned char>(c)];
  return normal;
}

TquvMacroCaption::TquvMacroCaption(const std::string& fileName) {
  Load(TrimBlanks(fileName).empty() ? DefaultDictionaryPath() : fileName);
}

void TquvMacroCaption::Load(const std::string& fileName) {
  const std::string text = ReadWholeFileOrEmpty(fileName);
  const std::vector<std::string_view> lines = SplitLines(text);
  FIndex = std::make_unique<THashList>(
      static_cast<int32_t>(std::min<std::size_t>(lines.size(), INT32_MAX)),
      THashListMode{.Ownership = THashOwnership::Objects, .Duplicates = THashDuplicates::Ignore});
  for (const std::string_view line : lines) AddLine(line);
}

void TquvMacroCaption::AddLine(std::string_view line) {
  std::vector<std::string> fields = SplitFields(line);
  if (fields.size() != 2) return;
  FIndex->Add(NormalizeCaptionWord(fields[0]), std::make_unique<std::string>(std::move(fields[1])));
}

std::string TquvMacroCaption::Caption(std::string_view text, int mode) const {
  return mode == kCaptionPath ? TranslatePath(text) : TranslateWords(text);
}

std::string TquvMacroCaption::TranslateWords(std::string_view text) const {
  std::string result;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t end = std::min(text.find(' ', pos), text.size());
    const std::string_view word = text.substr(pos, end - pos);
    pos = end + 1;
    if (word.empty()) continue;
    result += ' ';
    const std::string* caption = nullptr;
    if (FIndex->Find(NormalizeCaptionWord(word), caption))
      result += *caption;
    else
      result += word;
  }
  result = std::string(TrimBlanks(result));
  if (!HasSmallAsciiLetter(text)) result = AnsiUpperCase(result);
  return result.empty() ? std::string(text) : result;
}

std::string TquvMacroCaption::TranslatePath(std::string_view text) const {
  std::string result;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t end = std::min(text.find('\\', pos), text.size());
    std::string_view component = text.substr(pos, end - pos);
    pos = end + 1;
    component.remove_prefix(std::min(component.find_first_not_of(' '), component.size()));
    if (component.empty()) continue;
    result += TranslateWords(component);
    result += '\\';
  }
  if (!text.empty() && text.back() != '\\' && !result.empty()) result.pop_back();
  return result;
}

std::string MacroCaption(std::string_view text, int mode) {
  TProcessCaptions& captions = ProcessCaptions();
  std::lock_guard<TCriticalSection> guard(captions.Lock);
  if (!captions.Dictionary) captions.Dictionary = std::make_unique<TquvMacroCaption>();
  return captions.Dictionary->Caption(text, mode);
}

void LoadMacroCaptions(const std::string& fileName) {
  auto dictionary = std::make_unique<TquvMacroCaption>(fileName);
  TProcessCaptions& captions = ProcessCaptions();
  std::lock_guard<TCriticalSection> guard(captions.Lock);
  captions.Dictionary = std::move(dictionary);
}

}  // namespace quv
