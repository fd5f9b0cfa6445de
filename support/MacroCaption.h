#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/ProcessSlot.h"
#include "support/Hash.h"

namespace quv {

// Caption modes: a path of "\"-separated components, or anything else for plain words.
inline constexpr int kCaptionWords = 0;
inline constexpr int kCaptionPath = 1;

// A dictionary that turns identifiers into readable captions, word by word. The dictionary file
// holds one "name;caption" entry per line (Windows-1252 bytes; either field may be quoted with
// double or single quotes). Immutable after loading, so concurrent Caption calls are safe.
class TquvMacroCaption final {
 public:
  static constexpr std::string_view kDefaultFileName = "quvMacroCaption.bin";

  // A blank name means the default file in the program's data folder (ProgramDataFolder); a
  // file that is missing or cannot be read (a folder, say, or one over 256 MiB) gives an empty
  // dictionary.
  explicit TquvMacroCaption(const std::string& fileName = "");

  std::string Caption(std::string_view text, int mode) const;

 private:
  void Load(const std::string& fileName);
  void AddLine(std::string_view line);
  std::string TranslateWords(std::string_view text) const;
  std::string TranslatePath(std::string_view text) const;

  std::unique_ptr<THashList> FIndex;  // normalised name to its caption (a std::string)
};

// Folds accents and commas of the caption table's letters and upper-cases a-z.
std::string NormalizeCaptionWord(std::string_view word);

// Makes the place of the process-wide dictionary, which is loaded on first use.
std::unique_ptr<TScopePart> MakeCaptionDictionary();

// A caption from the process-wide dictionary, loaded from the default file on first use. Every
// request holds one process-wide lock. Thread-safe.
std::string MacroCaption(std::string_view text, int mode);

// Replaces the process-wide dictionary with one loaded from fileName. Thread-safe.
void LoadMacroCaptions(const std::string& fileName);

}  // namespace quv
