#include <gtest/gtest.h>

#include <string>

#include "loader/quvDiff.h"
#include "loader/quvLoaderError.h"
#include "server/common/quvViewStream.h"
#include "tests/kit/ByteBuilder.h"

namespace quv {
namespace {

std::string Apply(const std::string& oldData, const std::string& diff) {
  TViewStream old(oldData), diffStream(diff);
  TMemoryStream output;
  ApplyDifference(old, diffStream, output);
  const TByteView bytes = output.Bytes();
  return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

std::string Le32(uint32_t value) {
  std::string bytes(4, '\0');
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>(value >> (8 * i));
  return bytes;
}

std::string Header(const std::string& newData, const std::string& oldData) {
  return std::string("UPDF\0\0\1\0", 8) + Le32(Crc32(newData)) + Le32(Crc32(oldData));
}

std::string Entry(uint16_t length, uint32_t source, uint32_t target) {
  return std::string{static_cast<char>(length & 0xFF), static_cast<char>(length >> 8)} +
         Le32(source) + Le32(target);
}

const std::string kClosing = Le32(0) + std::string(1, '\0') + Le32(0);

// "hello world" becomes "hello there world!": an edit block that keeps
// "hello " and "world" from the old block with literals around them.
std::string HandMadeDiff() {
  const std::string oldData = "hello world", newData = "hello there world!";
  const std::string literal = "there !";
  const std::string table =
      Entry(6, 1, 1) + Entry(5, 7, 13) + Entry(0, 1, 19);  // the last places the "!"
  return Header(newData, oldData) + Le32(11) + '\1' + Le32(Crc32(newData)) + Le32(Crc32(oldData)) +
         Le32(static_cast<uint32_t>(literal.size())) + Le32(static_cast<uint32_t>(table.size())) +
         literal + table + kClosing;
}

void ExpectCrcError(const std::string& oldData, const std::string& diff) {
  EXPECT_EQ(testing::MessageOf<ELoaderError>([&] { Apply(oldData, diff); }), "CRC Error");
}

TEST(Crc32, IsTheIeeeChecksum) {
  EXPECT_EQ(Crc32("123456789"), 0xCBF43926u);
  EXPECT_EQ(Crc32("6789", Crc32("12345")), 0xCBF43926u);
  EXPECT_EQ(Crc32(""), 0u);
}

TEST(Diff, HandMadeEditAndLiteralBlocksApply) {
  EXPECT_EQ(Apply("hello world", HandMadeDiff()), "hello there world!");
  const std::string literalOnly =
      Header("abc", "") + Le32(0) + '\0' + Le32(3) + Le32(Crc32("abc")) + "abc" + kClosing;
  EXPECT_EQ(Apply("", literalOnly), "abc");
}

TEST(Diff, MadeDifferencesHaveTheirHeaderAndLeadToTheNewFile) {
  std::string big(3 << 20, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 7919) % 251);
  std::string changed = big;
  for (std::size_t i = 0; i < changed.size(); i += 5000) changed[i] ^= 0x5A;
  const std::pair<std::string, std::string> cases[] = {{"", ""},
                                                       {"", "new"},
                                                       {"old", ""},
                                                       {big, big},
                                                       {big, changed},
                                                       {big, changed + "tail"},
                                                       {big, big.substr(0, 1000000)},
                                                       {"short", changed}};
  for (const auto& [oldData, newData] : cases) {
    const std::string diff = MakeDifference(oldData, newData);
    EXPECT_EQ(diff.substr(0, 16), Header(newData, oldData));
    EXPECT_TRUE(IsDifferenceFor(diff, Crc32(oldData)));
    EXPECT_EQ(Apply(oldData, diff), newData);
  }
  // Scattered changes travel as edits, far smaller than the file.
  EXPECT_LT(MakeDifference(big, changed).size(), big.size() / 10);
}

TEST(Diff, DamagedDifferencesAreCrcErrors) {
  const std::string diff = HandMadeDiff();
  for (std::size_t cut = 0; cut < diff.size(); ++cut)
    ExpectCrcError("hello world", diff.substr(0, cut));
  // Every byte counts but those that change nothing: the old file's checksum
  // (it only selects the difference), old sizes that reach past the old
  // file's end (17, 18 and the closing one) and a target lowered below the
  // output position (50).
  const std::size_t closing = diff.size() - kClosing.size();
  const auto harmless = [&](std::size_t at) {
    return (at >= 12 && at < 16) || at == 17 || at == 18 || at == 50 ||
           (at >= closing && at < closing + 4);
  };
  for (std::size_t at = 0; at < diff.size(); ++at) {
    if (harmless(at)) continue;
    std::string flipped = diff;
    flipped[at] ^= 0x01;
    SCOPED_TRACE(at);
    ExpectCrcError("hello world", flipped);
  }
  ExpectCrcError("hello there", diff);  // another old file
}

TEST(Diff, SizesBeyondTheBuffersAreRefusedBeforeUse) {
  const std::string header = Header("x", "");
  // An old block, a literal and an edit area each one byte over 2 MB.
  ExpectCrcError("", header + Le32(kDiffBufferSize + 1) + '\0' + Le32(0));
  ExpectCrcError("", header + Le32(0) + '\0' + Le32(kDiffBufferSize + 1));
  ExpectCrcError("", header + Le32(0) + '\1' + Le32(0) + Le32(Crc32("")) + Le32(0) +
                         Le32(kDiffBufferSize + 1));
  ExpectCrcError("", header + Le32(0xFFFFFFFF) + '\0' + Le32(0));
  ExpectCrcError("", header + Le32(0) + '\7');  // no such block type
}

TEST(Diff, EditEntriesOutsideTheirBlocksAreRefused) {
  const std::string oldData = "abcdef";
  const auto edit = [&](const std::string& literal, const std::string& table) {
    return Header("", oldData) + Le32(6) + '\1' + Le32(0) + Le32(Crc32(oldData)) +
           Le32(static_cast<uint32_t>(literal.size())) + Le32(static_cast<uint32_t>(table.size())) +
           literal + table + kClosing;
  };
  ExpectCrcError(oldData, edit("", Entry(7, 1, 1)));    // past the old block
  ExpectCrcError(oldData, edit("", Entry(1, 0, 1)));    // positions start at 1
  ExpectCrcError(oldData, edit("ab", Entry(1, 1, 4)));  // a gap longer than the literals
  ExpectCrcError(oldData, edit("", Entry(1, 0xFFFFFFFF, 1)));
}

}  // namespace
}  // namespace quv
