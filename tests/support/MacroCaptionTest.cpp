#include <gtest/gtest.h>

#include "platform/Cp1252.h"
#include "support/MacroCaption.h"
#include "tests/kit/TempFolder.h"

namespace quv {
namespace {

// A dictionary file in a folder of its own.
class MacroCaptionTest : public ::testing::Test {
 protected:
  TTempFolder FFolder;
  const std::string FPath =
      FFolder.WriteFile("captions.bin", std::string("CODCLI;Código do cliente\r\n"
                                                    "NOME;Nome\n"
                                                    "ACAO;Ação\r"
                                                    "ONLYONEFIELD\n"
                                                    "A;B;C\n"
                                                    "'x;y';\"Com \"\"aspas\"\"; e ponto\"\n"
                                                    "codcli;Second line loses\n"_cp));
};

TEST_F(MacroCaptionTest, TranslatesWordsAndPaths) {
  const TquvMacroCaption captions(FPath);
  EXPECT_EQ(captions.Caption("CODCLI", kCaptionWords), "CÓDIGO DO CLIENTE"_cp);
  EXPECT_EQ(captions.Caption("codcli", kCaptionWords), "Código do cliente"_cp);
  EXPECT_EQ(captions.Caption("  codcli   extra ", kCaptionWords), "Código do cliente extra"_cp);
  EXPECT_EQ(captions.Caption("ação"_cp, kCaptionWords), "Ação"_cp);
  EXPECT_EQ(captions.Caption("ACAO", kCaptionWords), "AÇÃO"_cp);
  EXPECT_EQ(captions.Caption("x;y", kCaptionWords), "Com \"aspas\"; e ponto");
  EXPECT_EQ(captions.Caption("ONLYONEFIELD A", kCaptionWords), "ONLYONEFIELD A");
  EXPECT_EQ(captions.Caption("   ", kCaptionWords), "   ");
  EXPECT_EQ(captions.Caption("CODCLI\\NOME\\", kCaptionPath), "CÓDIGO DO CLIENTE\\NOME\\"_cp);
  EXPECT_EQ(captions.Caption("CODCLI\\NOME", kCaptionPath), "CÓDIGO DO CLIENTE\\NOME"_cp);
  EXPECT_EQ(captions.Caption("\\\\ codcli\\  \\nome", kCaptionPath), "Código do cliente\\Nome"_cp);
  EXPECT_EQ(captions.Caption("codcli\\nome", kCaptionWords), "codcli\\nome");
}

TEST_F(MacroCaptionTest, ProcessWideDictionary) {
  LoadMacroCaptions(FPath);
  EXPECT_EQ(MacroCaption("codcli nome", kCaptionWords), "Código do cliente Nome"_cp);
  LoadMacroCaptions(FPath + ".missing");
  EXPECT_EQ(MacroCaption("codcli", kCaptionWords), "codcli");
}

TEST(MacroCaption, MissingOrUnreadableFileGivesEmptyDictionary) {
  const TTempFolder folder;
  for (const std::string& path : {std::string("/nonexistent/quvMacroCaption.bin"), folder.Path()}) {
    const TquvMacroCaption captions(path);
    EXPECT_EQ(captions.Caption("A B", kCaptionWords), "A B") << path;
    EXPECT_EQ(captions.Caption("", kCaptionPath), "") << path;
    LoadMacroCaptions(path);
    EXPECT_EQ(MacroCaption("codcli", kCaptionWords), "codcli") << path;
  }
}

TEST(MacroCaption, NormalizesAccentsCommasAndCase) {
  EXPECT_EQ(NormalizeCaptionWord("ação,Éé ü-x"_cp), "ACAO EE U-X");
  EXPECT_EQ(NormalizeCaptionWord("ñ"_cp), "ñ"_cp);  // outside the table and not a-z
}

}  // namespace
}  // namespace quv
