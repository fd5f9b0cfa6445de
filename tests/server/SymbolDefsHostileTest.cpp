#include <gtest/gtest.h>

#include "server/common/quvIntf.h"
#include "tests/kit/ByteBuilder.h"

namespace quv {
namespace {

using testing::MessageOf;
using testing::TByteBuilder;

// Reads `bytes` into a set that holds one field beforehand; returns the
// message of the failure and checks that the set was left as it was.
std::string ReadFailure(const std::vector<uint8_t>& bytes, bool withGroups = false) {
  TquvSymbolDefs defs;
  defs.AddSymbol("before");
  TMemoryStream stream(bytes);
  const std::string message = MessageOf([&] { defs.ReadFromStream(stream, true, 2, withGroups); });
  EXPECT_EQ(defs.Count(), 1);
  EXPECT_EQ(defs.Item(0).Name(), "before");
  return message;
}

TByteBuilder Header(uint16_t version, uint8_t form = 0) {
  TByteBuilder b;
  b.U8(form).Text(4, "s").Text(4, "").U16(0).U16(version).U8(2);
  return b;
}

// A short-form symbol record of version 25 (name, type, size, flags, decimals, reference, text 12,
// byte 3).
TByteBuilder& ShortSymbol(TByteBuilder& b, std::string_view name) {
  return b.Text(1, name).U8('N').U16(4).U8(0).Text(1, "").Text(2, "").U8(0);
}

TEST(SymbolDefsHostileTest, EveryTruncationFailsCleanly) {
  TquvSymbolDefs source;
  source.SetName("s");
  TquvGroupDef group;
  group.Name = "g";
  source.AddGroup(group);
  for (int i = 0; i < 4; ++i) {
    TquvSymbolDef& symbol = source.AddSymbol("f" + std::to_string(i));
    symbol.SetTypeCode('R');
    symbol.SetFlags(kSymbolHasText15);
    symbol.Nested().AddSymbol("inner");
  }
  TMemoryStream full;
  source.WriteToStream(full, 0, 2, true);
  for (std::size_t length = 0; length < full.Bytes().size(); ++length) {
    const std::vector<uint8_t> cut(full.Bytes().begin(), full.Bytes().begin() + length);
    const std::string message = ReadFailure(cut, true);
    EXPECT_TRUE(message == "Stream read error" || message == "Invalid symboldef stream")
        << length << ": " << message;
  }
}

TEST(SymbolDefsHostileTest, BadTextLengthsAreRejected) {
  // A symbol name whose long length (version 7) is beyond the limit, then negative.
  for (const int32_t length : {102401, -1}) {
    const auto bytes = Header(7).I32(1).I32(length).Bytes();
    EXPECT_EQ(ReadFailure(bytes), "Bad string size.The quv file can be corrupt") << length;
  }
  // 102400 is allowed; the stream simply ends.
  EXPECT_EQ(ReadFailure(Header(7).I32(1).I32(102400).Raw("abc").Bytes()), "Stream read error");
  // A header text above 65535 that reaches past the end, and a negative one.
  EXPECT_EQ(ReadFailure(TByteBuilder().U8(0).I32(70000).Raw("abc").Bytes()),
            "Invalid symboldef stream");
  EXPECT_EQ(ReadFailure(TByteBuilder().U8(0).I32(-4).Bytes()), "Invalid symboldef stream");
}

TEST(SymbolDefsHostileTest, CountsAndVersionsAreChecked) {
  EXPECT_EQ(ReadFailure(Header(25).I32(-1).Bytes()), "Invalid symboldef stream");
  EXPECT_EQ(ReadFailure(Header(25).I32(-1).Bytes(), true), "Invalid symboldef stream");
  EXPECT_EQ(ReadFailure(Header(38).I32(0).Bytes()), "Invalid symboldef stream");
  // A huge group count fails when the groups run out.
  EXPECT_EQ(ReadFailure(Header(25).I32(0x7FFFFFFF).Bytes(), true), "Stream read error");
}

TEST(SymbolDefsHostileTest, AStreamEndingAtThe51stSymbolIsInvalid) {
  for (const auto& [symbols, message] :
       {std::pair{50, "Invalid symboldef stream"}, std::pair{49, "Stream read error"}}) {
    TByteBuilder b = Header(25, 1);
    b.I32(51);
    for (int i = 0; i < symbols; ++i) ShortSymbol(b, "f" + std::to_string(i));
    EXPECT_EQ(ReadFailure(b.Bytes()), message) << symbols;
  }
}

TEST(SymbolDefsHostileTest, DeepNestingIsRefusedBeforeTheStackRunsOut) {
  TByteBuilder b;
  for (int depth = 0; depth < 10000; ++depth) {
    b.U8(1).Text(4, "").Text(4, "").U16(0).U16(37).U8(2).I32(1);
    b.Text(1, "r").U8('R').U16(0).U16(0).U8(0).Text(1, "").Text(2, "").U8(0).U8(1);
  }
  EXPECT_EQ(ReadFailure(b.Bytes()), "Invalid symboldef stream");
}

}  // namespace
}  // namespace quv
