#include "tools/common/JsonSource.h"

#include <algorithm>
#include <iterator>
#include <vector>

#include "platform/Cp1252.h"

namespace quv::tooljson {

namespace {

using nlohmann::json;

// No input of the tools nests deeply; a deeper text is refused before the
// line map, whose keys grow with the depth, is built.
constexpr std::size_t kMaxDepth = 100;

// Walks the text once more with a SAX parser to learn the line on which each
// value starts, keyed by its JSON pointer.
class TLineMap final : public nlohmann::json_sax<json> {
 public:
  explicit TLineMap(const std::string& text) {
    TCursor cursor{&FState, text.data()};
    TCursor end{&FState, text.data() + text.size()};
    json::sax_parse(cursor, end, this);
  }

  std::map<std::string, int32_t> TakeLines() { return std::move(FLines); }
  // The line where the text nests deeper than kMaxDepth, or 0.
  int32_t TooDeepAt() const { return FTooDeepAt; }

  bool null() override { return Value(); }
  bool boolean(bool) override { return Value(); }
  bool number_integer(number_integer_t) override { return Value(); }
  bool number_unsigned(number_unsigned_t) override { return Value(); }
  bool number_float(number_float_t, const string_t&) override { return Value(); }
  bool string(string_t&) override { return Value(); }
  bool binary(binary_t&) override { return Value(); }
  bool start_object(std::size_t) override { return Open(false); }
  bool key(string_t& key) override {
    FFrames.back().Key = key;
    return true;
  }
  bool end_object() override { return Close(); }
  bool start_array(std::size_t) override { return Open(true); }
  bool end_array() override { return Close(); }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }

 private:
  // Newlines before the character the parser took last.
  struct TState {
    int32_t NewlinesBefore = 0;
    int32_t LastLine = 1;
  };
  struct TCursor {
    using iterator_category = std::forward_iterator_tag;
    using value_type = char;
    using difference_type = std::ptrdiff_t;
    using pointer = const char*;
    using reference = const char&;
    TState* State;
    const char* At;
    reference operator*() const {
      State->LastLine = State->NewlinesBefore + 1;
      return *At;
    }
    TCursor& operator++() {
      if (*At == '\n') ++State->NewlinesBefore;
      ++At;
      return *this;
    }
    TCursor operator++(int) {
      TCursor before = *this;
      ++*this;
      return before;
    }
    bool operator==(const TCursor& other) const { return At == other.At; }
  };
  struct TFrame {
    bool IsArray;
    std::size_t Index = 0;
    std::string Key;
  };

  std::string Pointer() const {
    std::string pointer;
    for (const TFrame& frame : FFrames)
      pointer += "/" + (frame.IsArray ? std::to_string(frame.Index) : frame.Key);
    return pointer;
  }
  void Record() { FLines.emplace(Pointer(), FState.LastLine); }
  void Advance() {
    if (!FFrames.empty() && FFrames.back().IsArray) ++FFrames.back().Index;
  }
  bool Value() {
    Record();
    Advance();
    return true;
  }
  bool Open(bool isArray) {
    if (FFrames.size() >= kMaxDepth) {
      FTooDeepAt = FState.LastLine;
      return false;
    }
    Record();
    FFrames.push_back({isArray, 0, {}});
    return true;
  }
  bool Close() {
    FFrames.pop_back();
    Advance();
    return true;
  }

  TState FState;
  std::vector<TFrame> FFrames;
  std::map<std::string, int32_t> FLines;
  int32_t FTooDeepAt = 0;
};

json Parse(const std::string& fileName, const std::string& text) {
  try {
    return json::parse(text);
  } catch (const json::parse_error& e) {
    const std::size_t end = std::min<std::size_t>(e.byte, text.size());
    const auto line =
        1 + std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(end), '\n');
    std::string what = e.what();
    const std::size_t start = what.find("] ");
    throw EJsonInputError(fileName + ":" + std::to_string(line) + ": " +
                          (start == std::string::npos ? what : what.substr(start + 2)));
  }
}

}  // namespace

TJsonSource::TJsonSource(std::string fileName, const std::string& text)
    : FFileName(std::move(fileName)) {
  TLineMap lines(text);
  if (lines.TooDeepAt() > 0) {
    throw EJsonInputError(FFileName + ":" + std::to_string(lines.TooDeepAt()) +
                          ": nested deeper than " + std::to_string(kMaxDepth) + " levels");
  }
  FRoot = Parse(FFileName, text);
  FLines = lines.TakeLines();
}

int32_t TJsonSource::LineOf(std::string pointer) const {
  for (;;) {
    const auto found = FLines.find(pointer);
    if (found != FLines.end() || pointer.empty()) return found != FLines.end() ? found->second : 1;
    pointer.resize(pointer.rfind('/'));
  }
}

void TJsonSource::Fail(const std::string& pointer, const std::string& what) const {
  throw EJsonInputError(FFileName + ":" + std::to_string(LineOf(pointer)) + ": " + what);
}

std::string TJsonSource::Cp1252At(const std::string& pointer, const std::string& utf8) const {
  try {
    return Utf8ToCp1252Exact(utf8);
  } catch (const ECodePageError& e) {
    Fail(pointer, e.what());
  }
}

}  // namespace quv::tooljson
