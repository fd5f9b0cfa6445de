#include "app/TerminalText.h"

#include "platform/Cp1252.h"

namespace quv {

namespace {

constexpr char kEllipsis = '\x85';  // "…" in Windows-1252

bool IsCommandByte(unsigned char byte) {
  return byte < 0x20 || byte == 0x7F || byte == 0x81 || byte == 0x8D || byte == 0x8F ||
         byte == 0x90 || byte == 0x9D;
}

}  // namespace

std::string EscapedText(std::string_view cp1252) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  text.reserve(cp1252.size());
  for (const char c : cp1252) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\\') {
      text += "\\\\";
    } else if (IsCommandByte(byte)) {
      text += "\\x";
      text += kHex[byte >> 4];
      text += kHex[byte & 0xF];
    } else {
      text += c;
    }
  }
  return text;
}

std::string FittedText(std::string_view cells, std::size_t width) {
  if (cells.size() <= width) return std::string(cells) + std::string(width - cells.size(), ' ');
  if (width == 0) return {};
  return std::string(cells.substr(0, width - 1)) + kEllipsis;
}

std::string TerminalBytes(std::string_view cells, bool utf8) {
  if (utf8) return Cp1252ToUtf8(cells);
  std::string ascii(cells);
  for (char& c : ascii)
    if (static_cast<unsigned char>(c) >= 0x80) c = c == kEllipsis ? '~' : '?';
  return ascii;
}

}  // namespace quv
