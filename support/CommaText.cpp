#include "support/CommaText.h"

namespace quv {

namespace {

bool IsBlank(char c) { return c >= 1 && c <= ' '; }

}  // namespace

std::string ExtractQuotedText(std::string_view text, std::size_t& pos, char quote) {
  std::string item;
  ++pos;
  while (pos < text.size()) {
    const char c = text[pos++];
    if (c != quote) {
      item += c;
    } else if (pos < text.size() && text[pos] == quote) {
      item += quote;
      ++pos;
    } else {
      break;
    }
  }
  return item;
}

std::vector<std::string> SplitCommaText(std::string_view text) {
  text = text.substr(0, text.find('\0'));
  std::vector<std::string> items;
  std::size_t pos = 0;
  auto skipBlanks = [&] {
    while (pos < text.size() && IsBlank(text[pos])) ++pos;
  };
  skipBlanks();
  while (pos < text.size()) {
    if (text[pos] == '"') {
      items.push_back(ExtractQuotedText(text, pos, '"'));
    } else {
      const std::size_t start = pos;
      while (pos < text.size() && !IsBlank(text[pos]) && text[pos] != ',') ++pos;
      items.emplace_back(text.substr(start, pos - start));
    }
    skipBlanks();
    if (pos < text.size() && text[pos] == ',') {
      if (pos + 1 == text.size()) items.emplace_back();
      ++pos;
      skipBlanks();
    }
  }
  return items;
}

}  // namespace quv
