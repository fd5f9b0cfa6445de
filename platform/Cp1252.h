#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "platform/Exception.h"

// Texts inside the framework are Windows-1252 bytes. Fixed texts are written
// as UTF-8 literals with the suffix _cp, which converts them at compile time
// and refuses to compile a character outside the code page:
//   std::string_view s = "Sem conexão com o servidor"_cp;
// The runtime converters are for the edges (display, local UTF-8 files).

namespace quv {

namespace cp1252_detail {

// Unicode code points of the bytes 0x80..0x9F; 0 marks an unassigned byte.
inline constexpr char32_t kHighControls[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

// The byte for a code point, or -1 when the code page has none.
constexpr int ByteOf(char32_t cp) {
  if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return static_cast<int>(cp);
  for (int i = 0; i < 32; ++i)
    if (kHighControls[i] == cp && cp != 0) return 0x80 + i;
  return -1;
}

template <std::size_t N>
struct Utf8Literal {
  char bytes[N]{};
  consteval Utf8Literal(const char (&s)[N]) {
    for (std::size_t i = 0; i < N; ++i) bytes[i] = s[i];
  }
};

template <std::size_t N>
struct Converted {
  std::array<char, N> bytes{};
  std::size_t size = 0;
};

template <std::size_t N>
consteval Converted<N> Convert(const Utf8Literal<N>& in) {
  Converted<N> out;
  std::size_t i = 0;
  const std::size_t len = N - 1;  // without the terminating zero
  while (i < len) {
    const unsigned char b = static_cast<unsigned char>(in.bytes[i]);
    char32_t cp = 0;
    int extra = 0;
    if (b < 0x80) {
      cp = b;
    } else if ((b & 0xE0) == 0xC0) {
      cp = b & 0x1F;
      extra = 1;
    } else if ((b & 0xF0) == 0xE0) {
      cp = b & 0x0F;
      extra = 2;
    } else {
      throw "character outside Windows-1252";  // also 4-byte sequences
    }
    if (i + extra >= len + 1) throw "truncated UTF-8 sequence";
    for (int k = 1; k <= extra; ++k)
      cp = (cp << 6) | (static_cast<unsigned char>(in.bytes[i + k]) & 0x3F);
    const int byte = ByteOf(cp);
    if (byte < 0) throw "character outside Windows-1252";
    out.bytes[out.size++] = static_cast<char>(byte);
    i += extra + 1;
  }
  return out;
}

template <Utf8Literal S>
struct Holder {
  static constexpr Converted<sizeof(S.bytes)> value = Convert(S);
};

}  // namespace cp1252_detail

template <cp1252_detail::Utf8Literal S>
consteval std::string_view operator""_cp() {
  const auto& v = cp1252_detail::Holder<S>::value;
  return std::string_view(v.bytes.data(), v.size);
}

// Length of the valid UTF-8 sequence at s[i], with its code point in `cp`;
// 0 when no valid sequence starts there.
std::size_t DecodeUtf8(std::string_view s, std::size_t i, char32_t& cp);

// Windows-1252 bytes to UTF-8.
std::string Cp1252ToUtf8(std::string_view bytes);

// A text read from a file that may be UTF-8 or Windows-1252, as UTF-8: valid
// UTF-8 sequences stay, any other byte is read as Windows-1252.
std::string TextFileToUtf8(std::string_view text);

// UTF-8 to Windows-1252 bytes. A character outside the code page becomes '?';
// a byte that does not start a valid UTF-8 sequence is kept as it is, so a
// file already written in Windows-1252 reads unchanged.
std::string Utf8ToCp1252(std::string_view utf8);

// Windows-1252 bytes to UTF-16 code units.
std::u16string Cp1252ToUtf16(std::string_view bytes);

// UTF-16 code units to Windows-1252 bytes. A character outside the code page
// (a surrogate pair counts as one) becomes '?'; a C1 control the code page
// leaves unassigned keeps its byte value, as in Utf8ToCp1252.
std::string Utf16ToCp1252(std::u16string_view units);

// A text for the framework holds a character that Windows-1252 lacks.
class ECodePageError : public Exception {
 public:
  using Exception::Exception;
};

// Utf8ToCp1252 for input that must arrive whole (arguments, JSON inputs): a
// character outside the code page raises ECodePageError naming it, as in
// 'character "日" U+65E5 is outside Windows-1252' (invisible characters by
// their code alone).
std::string Utf8ToCp1252Exact(std::string_view utf8);

// Upper and lower case by the Windows-1252 letter mapping (accented letters
// included: "código" becomes "CÓDIGO").
char AnsiUpperNonAscii(char c);
// Inline for the common ASCII case: names and addresses are compared by it.
inline char AnsiUpperChar(char c) {
  if (static_cast<unsigned char>(c) >= 0x80) return AnsiUpperNonAscii(c);
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
}
char AnsiLowerChar(char c);
std::string AnsiUpperCase(std::string_view s);
std::string AnsiLowerCase(std::string_view s);

}  // namespace quv

namespace quv {

// Locale-aware comparisons of Windows-1252 texts (the user's collation):
// negative, zero or positive like strcmp. The Text variant ignores case.
int AnsiCompareStr(std::string_view a, std::string_view b);
int AnsiCompareText(std::string_view a, std::string_view b);

}  // namespace quv
