#include "platform/Cp1252.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace quv {

namespace {

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// The code point of a Windows-1252 byte; unassigned bytes map to the C1
// control of the same value.
char32_t CodePointOf(unsigned char b) {
  if (b < 0x80 || b >= 0xA0) return b;
  const char32_t cp = cp1252_detail::kHighControls[b - 0x80];
  return cp == 0 ? b : cp;
}

// The byte of a code point, a C1 control keeping its value; -1 when the code
// page has none.
int CodePageByteOf(char32_t cp) {
  const int byte = cp1252_detail::ByteOf(cp);
  if (byte < 0 && cp >= 0x80 && cp < 0xA0) return static_cast<int>(cp);
  return byte;
}

bool IsHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit < 0xDC00; }
bool IsLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit < 0xE000; }

// Converts `utf8`; a character outside the code page becomes what
// `outside(sequence, codePoint)` returns.
template <class TOutside>
std::string ConvertUtf8(std::string_view utf8, TOutside outside) {
  std::string out;
  out.reserve(utf8.size());
  std::size_t i = 0;
  while (i < utf8.size()) {
    char32_t cp = 0;
    const std::size_t len = DecodeUtf8(utf8, i, cp);
    if (len == 0) {
      out += utf8[i++];
      continue;
    }
    const int byte = CodePageByteOf(cp);
    out += byte < 0 ? outside(utf8.substr(i, len), cp) : static_cast<char>(byte);
    i += len;
  }
  return out;
}

}  // namespace

// Length of the valid UTF-8 sequence at s[i] and its code point; 0 if invalid.
std::size_t DecodeUtf8(std::string_view s, std::size_t i, char32_t& cp) {
  const unsigned char b = static_cast<unsigned char>(s[i]);
  std::size_t len;
  char32_t min;
  if (b < 0x80) {
    cp = b;
    return 1;
  } else if ((b & 0xE0) == 0xC0) {
    len = 2, cp = b & 0x1F, min = 0x80;
  } else if ((b & 0xF0) == 0xE0) {
    len = 3, cp = b & 0x0F, min = 0x800;
  } else if ((b & 0xF8) == 0xF0) {
    len = 4, cp = b & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    const unsigned char c = static_cast<unsigned char>(s[i + k]);
    if ((c & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (c & 0x3F);
  }
  return (cp < min || cp > 0x10FFFF) ? 0 : len;
}

std::string Cp1252ToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() + bytes.size() / 8);
  for (char ch : bytes) AppendUtf8(out, CodePointOf(static_cast<unsigned char>(ch)));
  return out;
}

std::string TextFileToUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    char32_t cp;
    const std::size_t length = DecodeUtf8(text, i, cp);
    if (length > 0) {
      out.append(text.substr(i, length));
      i += length;
    } else {
      AppendUtf8(out, CodePointOf(static_cast<unsigned char>(text[i++])));
    }
  }
  return out;
}

std::string Utf8ToCp1252(std::string_view utf8) {
  return ConvertUtf8(utf8, [](std::string_view, char32_t) { return '?'; });
}

std::string Utf8ToCp1252Exact(std::string_view utf8) {
  return ConvertUtf8(utf8, [](std::string_view sequence, char32_t cp) -> char {
    char code[16];
    std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(cp));
    // Spaces, direction marks and other invisible characters are named by code only.
    const bool invisible =
        (cp >= 0x2000 && cp <= 0x206F) || (cp >= 0xFE00 && cp <= 0xFE0F) || cp >= 0xFFF0;
    const std::string shown = invisible ? "" : "\"" + std::string(sequence) + "\" ";
    throw ECodePageError("character " + shown + code + " is outside Windows-1252");
  });
}

std::u16string Cp1252ToUtf16(std::string_view bytes) {
  std::u16string out(bytes.size(), u'\0');
  for (std::size_t i = 0; i < bytes.size(); ++i)
    out[i] = static_cast<char16_t>(CodePointOf(static_cast<unsigned char>(bytes[i])));
  return out;
}

std::string Utf16ToCp1252(std::u16string_view units) {
  std::string out;
  out.reserve(units.size());
  for (std::size_t i = 0; i < units.size(); ++i) {
    const char16_t unit = units[i];
    if (IsHighSurrogate(unit) && i + 1 < units.size() && IsLowSurrogate(units[i + 1])) ++i;
    const int byte = CodePageByteOf(unit);
    out += byte < 0 ? '?' : static_cast<char>(byte);
  }
  return out;
}

char AnsiUpperNonAscii(char c) {
  const unsigned char b = static_cast<unsigned char>(c);
  if (b >= 0xE0 && b != 0xF7 && b != 0xFF) return static_cast<char>(b - 32);
  switch (b) {
    case 0x9A:
      return static_cast<char>(0x8A);  // š
    case 0x9C:
      return static_cast<char>(0x8C);  // œ
    case 0x9E:
      return static_cast<char>(0x8E);  // ž
    case 0xFF:
      return static_cast<char>(0x9F);  // ÿ
    default:
      return c;
  }
}

char AnsiLowerChar(char c) {
  const unsigned char b = static_cast<unsigned char>(c);
  if (b >= 'A' && b <= 'Z') return static_cast<char>(b + 32);
  if (b >= 0xC0 && b <= 0xDE && b != 0xD7) return static_cast<char>(b + 32);
  switch (b) {
    case 0x8A:
      return static_cast<char>(0x9A);
    case 0x8C:
      return static_cast<char>(0x9C);
    case 0x8E:
      return static_cast<char>(0x9E);
    case 0x9F:
      return static_cast<char>(0xFF);
    default:
      return c;
  }
}

std::string AnsiUpperCase(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = AnsiUpperChar(c);
  return out;
}

std::string AnsiLowerCase(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = AnsiLowerChar(c);
  return out;
}

}  // namespace quv

namespace quv {

int AnsiCompareStr(std::string_view a, std::string_view b) {
  return std::strcoll(Cp1252ToUtf8(a).c_str(), Cp1252ToUtf8(b).c_str());
}

int AnsiCompareText(std::string_view a, std::string_view b) {
  if (a.empty() || b.empty()) return static_cast<int>(!a.empty()) - static_cast<int>(!b.empty());
  // Texts equal but for case collate equal: answered without converting them.
  if (a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
        return AnsiUpperChar(x) == AnsiUpperChar(y);
      }))
    return 0;
  return AnsiCompareStr(AnsiUpperCase(a), AnsiUpperCase(b));
}

}  // namespace quv
