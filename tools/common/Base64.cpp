#include "tools/common/Base64.h"

#include <cstdint>

namespace quv::rstool {

namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int SextetOf(char c) {
  const std::size_t at = kAlphabet.find(c);
  return at == std::string_view::npos ? -1 : static_cast<int>(at);
}

}  // namespace

std::string EncodeBase64(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::size_t count = std::min<std::size_t>(3, bytes.size() - i);
    uint32_t group = 0;
    for (std::size_t k = 0; k < 3; ++k)
      group = group << 8 | (k < count ? static_cast<uint8_t>(bytes[i + k]) : 0u);
    for (std::size_t k = 0; k < 4; ++k)
      out += k <= count ? kAlphabet[(group >> (18 - 6 * k)) & 0x3F] : '=';
  }
  return out;
}

std::optional<std::string> DecodeBase64(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::string out;
  out.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    const std::size_t padding = last ? (text[i + 3] == '=') + (text[i + 2] == '=') : 0;
    uint32_t group = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      const int sextet = k < 4 - padding ? SextetOf(text[i + k]) : 0;
      if (sextet < 0) return std::nullopt;
      group = group << 6 | static_cast<uint32_t>(sextet);
    }
    for (std::size_t k = 0; k < 3 - padding; ++k)
      out += static_cast<char>((group >> (16 - 8 * k)) & 0xFF);
  }
  return out;
}

}  // namespace quv::rstool
