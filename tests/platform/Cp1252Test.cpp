#include <gtest/gtest.h>

#include "platform/Cp1252.h"

namespace quv {
namespace {

TEST(Cp1252, LiteralsBecomeCodePageBytes) {
  EXPECT_EQ("Sem conexão com o servidor"_cp, "Sem conex\xE3o com o servidor");
  EXPECT_EQ("Usuário € ‰"_cp, "Usu\xE1rio \x80 \x89");
  EXPECT_EQ(""_cp, "");
}

TEST(Cp1252, ConvertsBothWays) {
  const std::string all = [] {
    std::string s;
    for (int b = 1; b < 256; ++b) s += static_cast<char>(b);
    return s;
  }();
  EXPECT_EQ(Utf8ToCp1252(Cp1252ToUtf8(all)), all);
  EXPECT_EQ(Cp1252ToUtf8("A\xE7\xE3o\x80"), "Ação€");
  EXPECT_EQ(Utf8ToCp1252("日本"), "??");
  // Bytes that are not UTF-8 are kept, so a Windows-1252 file reads unchanged.
  EXPECT_EQ(Utf8ToCp1252("A\xE7\xE3o"), "A\xE7\xE3o");
  EXPECT_EQ(Utf8ToCp1252("\xC3"), "\xC3");
}

TEST(Cp1252, ConvertsToAndFromUtf16) {
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  EXPECT_EQ(Utf16ToCp1252(Cp1252ToUtf16(all)), all);
  EXPECT_EQ(Cp1252ToUtf16("A\xE9\x80\x81"), u"A\u00E9\u20AC\u0081");
  // Latin-1 code units of the C1 range keep their byte, so bytes read one by one survive.
  EXPECT_EQ(Utf16ToCp1252(u"\u0080\u0081\u00E9"), "\x80\x81\xE9");
  // One '?' per character outside the code page, a surrogate pair being one character.
  EXPECT_EQ(Utf16ToCp1252(u"\u65E5\U0001F600\xD800x"), "???x");
}

TEST(Cp1252, ExactConversionNamesTheFirstCharacterOutsideTheCodePage) {
  EXPECT_EQ(Utf8ToCp1252Exact("Ação € \xE7"), "A\xE7\xE3o \x80 \xE7");
  try {
    Utf8ToCp1252Exact("ok 日本");
    ADD_FAILURE() << "no error";
  } catch (const ECodePageError& e) {
    EXPECT_STREQ(e.what(), "character \"日\" U+65E5 is outside Windows-1252");
  }
  // A direction override is named but not written into the message.
  EXPECT_THROW(
      try { Utf8ToCp1252Exact("a\u202Eb"); } catch (const ECodePageError& e) {
        EXPECT_STREQ(e.what(), "character U+202E is outside Windows-1252");
        throw;
      },
      ECodePageError);
}

TEST(Cp1252, CaseMappingCoversAccentedLetters) {
  EXPECT_EQ(AnsiUpperCase("Código do cliente"_cp), "CÓDIGO DO CLIENTE"_cp);
  EXPECT_EQ(AnsiLowerCase("ÇÃO ŠŽŸ"_cp), "ção šžÿ"_cp);
  EXPECT_EQ(AnsiUpperCase("ß÷×"_cp), "ß÷×"_cp);
}

}  // namespace
}  // namespace quv
