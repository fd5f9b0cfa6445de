#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <vector>

#include "server/common/fastlzw.h"

namespace quv::fastlzw {
namespace {

using TBytes = std::vector<std::uint8_t>;

TBytes Bytes(std::string_view text) { return TBytes(text.begin(), text.end()); }

TBytes Join(std::initializer_list<TBytes> parts) {
  TBytes joined;
  for (const TBytes& part : parts) joined.insert(joined.end(), part.begin(), part.end());
  return joined;
}

TBytes CompressBytes(const TBytes& input) {
  TWorkArea workArea;
  TBytes block(CompressBound(input.size()));
  block.resize(Compress(input.data(), block.data(), input.size(), workArea));
  return block;
}

// Decodes from a heap copy of exactly the block's length, so that the sanitizers
// see any read past it.
TBytes DecompressBytes(const TBytes& block, std::size_t capacity) {
  const auto exact = std::make_unique<std::uint8_t[]>(block.size());
  std::copy(block.begin(), block.end(), exact.get());
  TBytes output(capacity);
  output.resize(Decompress(exact.get(), output.data(), block.size(), capacity));
  return output;
}

TBytes RandomBytes(std::size_t n, std::uint32_t seed) {
  std::mt19937 random(seed);
  TBytes bytes(n);
  for (auto& b : bytes) b = std::uint8_t(random());
  return bytes;
}

// Few symbols in short repeats: patterns, runs and literals all occur.
TBytes RepetitiveBytes(std::size_t n, std::uint32_t seed) {
  std::mt19937 random(seed);
  TBytes bytes;
  while (bytes.size() < n) {
    const std::uint8_t symbol = std::uint8_t('a' + random() % 4);
    bytes.insert(bytes.end(), std::min<std::size_t>(1 + random() % 24, n - bytes.size()), symbol);
  }
  return bytes;
}

TEST(FastLzwCompress, ExactBlocksOfHandCheckedInputs) {
  EXPECT_EQ(CompressBytes(Bytes("abcabcabc")),
            (TBytes{0x40, 0x10, 0x00, 'a', 'b', 'c', 0x00, 0x33}));

  // 4095 + 4095 + 2050 bytes in three runs.
  EXPECT_EQ(CompressBytes(TBytes(10240, 0x5A)),
            (TBytes{0x40, 0xE0, 0x00, 0x00, 0x0F, 0xEF, 0x5A, 0x00, 0x0F, 0xEF, 0x5A, 0x00, 0x07,
                    0xF2, 0x5A}));

  // Sixteen literals fill the first group; the second holds a full-length
  // pattern at distance 16 and a pattern at distance 32 cut by the input end.
  const TBytes period = Bytes("ABCDEFGHIJKLMNOP");
  EXPECT_EQ(CompressBytes(Join({period, period, period})),
            Join({{0x40, 0x00, 0x00}, period, {0xC0, 0x00, 0x01, 0x0F, 0x02, 0x0B}}));

  // A run shorter than 16 is coded as a literal and a pattern at distance 1.
  EXPECT_EQ(CompressBytes(Bytes("xyz" + std::string(15, 'w') + "xyz")),
            (TBytes{0x40, 0x0C, 0x00, 'x', 'y', 'z', 'w', 0x00, 0x1B, 0x01, 0x20}));
}

// Bytes 1..255 in which no triple repeats nor shares the hash slot of "xyz".
TBytes Filler(std::size_t n) {
  std::uint32_t state = 3;
  TBytes bytes(n);
  for (auto& b : bytes) {
    state = state * 1103515245u + 12345u;
    b = std::uint8_t(1 + ((state >> 16) & 0x7FFF) % 255);
  }
  return bytes;
}

TBytes XyzAtDistance(std::size_t distance) {
  return Join({Bytes("xyz"), Filler(distance - 3), Bytes("xyz"), TBytes(3 * 4095, 0)});
}

TEST(FastLzwCompress, PatternsReachBackAtMost4095Bytes) {
  // 4095 literals in 256 groups, the pattern, then a group of three runs.
  const TBytes reached = CompressBytes(XyzAtDistance(4095));
  ASSERT_EQ(reached.size(), 4624u);
  EXPECT_EQ(TBytes(reached.begin() + 4591, reached.begin() + 4593), (TBytes{0x00, 0x01}));
  EXPECT_EQ(TBytes(reached.begin() + 4608, reached.begin() + 4612),
            (TBytes{0xFF, 0xF0, 0xE0, 0x00}));
  EXPECT_EQ(DecompressBytes(reached, 16383), XyzAtDistance(4095));

  // One byte further, "xyz" are literals.
  const TBytes missed = CompressBytes(XyzAtDistance(4096));
  ASSERT_EQ(missed.size(), 4626u);
  EXPECT_EQ(TBytes(missed.begin() + 4609, missed.begin() + 4614),
            (TBytes{0x1C, 0x00, 'x', 'y', 'z'}));
  EXPECT_EQ(DecompressBytes(missed, 16384), XyzAtDistance(4096));
}

TEST(FastLzwCompress, InputThatDoesNotShrinkIsStored) {
  for (const TBytes& input :
       {TBytes{}, Bytes("a"), Bytes("aa"), Bytes("aaa"), RandomBytes(1000, 7)})
    EXPECT_EQ(CompressBytes(input), Join({{StoredFlag}, input}));
  EXPECT_EQ(DecompressBytes({StoredFlag}, 0), TBytes{});
}

TEST(FastLzwCompress, RefusesChunksBeyondTheLimit) {
  TWorkArea workArea;
  TBytes input(MaxInput + 1), block(CompressBound(input.size()));
  EXPECT_THROW(Compress(input.data(), block.data(), input.size(), workArea), EFastLzwError);
}

void ExpectRoundTrip(const TBytes& input) {
  const TBytes block = CompressBytes(input);
  ASSERT_LE(block.size(), input.size() + 1);
  EXPECT_EQ(block[0], block.size() == input.size() + 1 ? StoredFlag : CompressedFlag);
  EXPECT_EQ(DecompressBytes(block, input.size()), input) << "length " << input.size();
}

TEST(FastLzwRoundTrip, EveryShortLengthAndTheChunkSizes) {
  for (std::size_t n = 0; n <= 300; ++n) {
    ExpectRoundTrip(RandomBytes(n, std::uint32_t(n)));
    ExpectRoundTrip(RepetitiveBytes(n, std::uint32_t(n)));
  }
  for (std::size_t n : {std::size_t(10240), MaxInput}) {
    ExpectRoundTrip(RandomBytes(n, 1));
    ExpectRoundTrip(RepetitiveBytes(n, 2));
    ExpectRoundTrip(TBytes(n, 0));
    const TBytes period = RandomBytes(4096, 3);  // repeats just beyond a pattern's reach
    TBytes periodic(n);
    for (std::size_t i = 0; i < n; ++i) periodic[i] = period[i % period.size()];
    ExpectRoundTrip(periodic);
  }
}

TEST(FastLzwDecompress, OverlappingPatternsAndLongRuns) {
  // Pattern distance 2 length 5; pattern distance 1 length 18; run of 4111.
  const TBytes block = {0x40, 0x38, 0x00, 'a', 'b', 0x00, 0x22, 0x00, 0x1F, 0x00, 0x0F, 0xFF, 'c'};
  const TBytes expected = Join({Bytes("abababa"), TBytes(18, 'a'), TBytes(4111, 'c')});
  EXPECT_EQ(DecompressBytes(block, expected.size()), expected);
}

TEST(FastLzwDecompress, RefusesOutputBeyondCapacity) {
  const TBytes compressed = CompressBytes(Bytes("abcabcabc"));
  EXPECT_THROW(DecompressBytes(compressed, 8), EFastLzwError);
  EXPECT_THROW(DecompressBytes({0x40, 0x00, 0x00, 'a', 'b'}, 1), EFastLzwError);
  EXPECT_THROW(DecompressBytes({0x40, 0x80, 0x00, 0x00, 0x00, 0x00, 'r'}, 15), EFastLzwError);
  EXPECT_THROW(DecompressBytes({StoredFlag, 1, 2, 3}, 2), EFastLzwError);
  EXPECT_EQ(DecompressBytes({StoredFlag, 1, 2, 3}, 3), (TBytes{1, 2, 3}));
}

TEST(FastLzwDecompress, RefusesItemsCutShortOrReachingBeforeTheOutput) {
  // Copy item of one byte; run of three bytes; control word of one byte.
  EXPECT_THROW(DecompressBytes({0x40, 0x40, 0x00, 'a', 0x00}, 100), EFastLzwError);
  EXPECT_THROW(DecompressBytes({0x40, 0x80, 0x00, 0x00, 0x00, 0x05}, 100), EFastLzwError);
  EXPECT_THROW(DecompressBytes(Join({{0x40, 0x00, 0x00}, TBytes(16, 'q'), {0x80}}), 100),
               EFastLzwError);
  // A whole control word with no item after it, whatever its first bit says.
  for (const std::uint8_t first : {0x00, 0x80}) {
    EXPECT_THROW(DecompressBytes(Join({{0x40, 0x00, 0x00}, TBytes(16, 'q'), {first, 0x00}}), 100),
                 EFastLzwError)
        << int(first);
  }
  // Patterns that reach back before the start of the output.
  EXPECT_THROW(DecompressBytes({0x40, 0x40, 0x00, 'a', 0x00, 0x20}, 100), EFastLzwError);
  EXPECT_THROW(DecompressBytes({0x40, 0x80, 0x00, 0x00, 0x10}, 100), EFastLzwError);
  EXPECT_EQ(DecompressBytes({0x40, 0x40, 0x00, 'a', 0x00, 0x10}, 100), Bytes("aaaa"));
}

TEST(FastLzwDecompress, EveryTruncationDecodesAPrefixOrRaises) {
  const TBytes input = RepetitiveBytes(2000, 5);
  const TBytes block = CompressBytes(input);
  ASSERT_EQ(block[0], CompressedFlag);
  for (std::size_t l = 0; l < block.size(); ++l) {
    try {
      const TBytes output = DecompressBytes(TBytes(block.begin(), block.begin() + l), input.size());
      EXPECT_TRUE(std::equal(output.begin(), output.end(), input.begin())) << "length " << l;
    } catch (const EFastLzwError&) {
    }
  }
}

}  // namespace
}  // namespace quv::fastlzw
