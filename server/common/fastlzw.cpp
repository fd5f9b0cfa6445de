#include "server/common/fastlzw.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace quv::fastlzw {

namespace {

constexpr std::uint16_t EmptySlot = 0xFFFF;
constexpr std::size_t HeaderSize = 3;  // flag and first control word
constexpr unsigned ItemsPerGroup = 16;
constexpr std::size_t MaxDistance = 4095;
constexpr std::size_t MinMatch = 3;
constexpr std::size_t MaxMatch = 18;
constexpr std::size_t MinRun = 16;
constexpr std::size_t MaxRun = 4095;
constexpr std::size_t PatternSize = 2;
constexpr std::size_t RunSize = 4;
constexpr std::size_t WordSize = 8;

std::uint64_t Load64(const std::uint8_t* p) {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

unsigned LoadBigEndian16(const std::uint8_t* p) { return unsigned(p[0]) << 8 | p[1]; }

void StoreBigEndian16(std::uint8_t* p, unsigned v) {
  p[0] = std::uint8_t(v >> 8);
  p[1] = std::uint8_t(v);
}

// Index, in memory order, of the first non-zero byte of a non-zero word.
std::size_t FirstNonZeroByte(std::uint64_t word) {
  if constexpr (std::endian::native == std::endian::little) {
    return std::size_t(std::countr_zero(word)) / 8;
  } else {
    return std::size_t(std::countl_zero(word)) / 8;
  }
}

// Number of leading positions, up to limit, where a and b hold equal bytes.
std::size_t CommonLength(const std::uint8_t* a, const std::uint8_t* b, std::size_t limit) {
  std::size_t m = 0;
  for (; m + WordSize <= limit; m += WordSize) {
    if (const std::uint64_t diff = Load64(a + m) ^ Load64(b + m)) {
      return m + FirstNonZeroByte(diff);
    }
  }
  while (m < limit && a[m] == b[m]) ++m;
  return m;
}

// Length of the run of source[x] that starts at x (capped at MaxRun) when it
// reaches MinRun; 0 otherwise.
std::size_t RunLengthAt(const std::uint8_t* source, std::size_t x, std::size_t n) {
  if (n - x < MinRun || source[x + 1] != source[x]) return 0;
  const std::uint64_t filled = 0x0101010101010101ull * source[x];
  const std::size_t limit = std::min(n - x, MaxRun);
  std::size_t r = 0;
  for (; r + WordSize <= limit; r += WordSize) {
    if (const std::uint64_t diff = Load64(source + x + r) ^ filled) {
      r += FirstNonZeroByte(diff);
      return r >= MinRun ? r : 0;
    }
  }
  while (r < limit && source[x + r] == source[x]) ++r;
  return r >= MinRun ? r : 0;
}

// Hash slot of the three bytes at x; bytes beyond the input count as 0.
unsigned HashAt(const std::uint8_t* source, std::size_t x, std::size_t n) {
  const std::uint32_t b0 = source[x];
  const std::uint32_t b1 = x + 1 < n ? source[x + 1] : 0;
  const std::uint32_t b2 = x + 2 < n ? source[x + 2] : 0;
  const std::uint32_t h = ((((b0 << 4) ^ b1) << 4) ^ b2) * 40543u;
  return (h >> 4) & 0xFFF;
}

[[noreturn]] void RaiseOverflow() {
  throw EFastLzwError("Compressed block does not fit its output buffer");
}

[[noreturn]] void RaiseTruncated() { throw EFastLzwError("Compressed block is cut short"); }

[[noreturn]] void RaiseBadDistance() {
  throw EFastLzwError("Compressed block refers to bytes before its output");
}

// Cursors of one Decompress call over the borrowed block and output buffer.
class TBlockDecoder final {
 public:
  TBlockDecoder(const std::uint8_t* in, const std::uint8_t* inEnd, std::uint8_t* out,
                std::size_t capacity)
      : FIn(in), FInEnd(inEnd), FOutStart(out), FOut(out), FOutEnd(out + capacity) {}

  std::size_t Run(unsigned ctl) {
    unsigned bitsLeft = 16;
    while (FIn < FInEnd) {
      if (bitsLeft == 0) {
        Require(2);
        ctl = LoadBigEndian16(FIn);
        FIn += 2;
        bitsLeft = 16;
      }
      if (ctl & 0x8000) {
        DecodeCopyItem();
        ctl = (ctl << 1) & 0xFFFF;
        --bitsLeft;
      } else {
        // A stretch of literal bits: copy those bytes at once.
        const unsigned count = std::min<std::size_t>(
            {unsigned(std::countl_zero(std::uint16_t(ctl))), bitsLeft, InLeft()});
        CopyLiterals(count);
        ctl = (ctl << count) & 0xFFFF;
        bitsLeft -= count;
      }
    }
    return std::size_t(FOut - FOutStart);
  }

 private:
  std::size_t InLeft() const { return std::size_t(FInEnd - FIn); }
  std::size_t OutLeft() const { return std::size_t(FOutEnd - FOut); }

  void Require(std::size_t bytes) const {
    if (InLeft() < bytes) RaiseTruncated();
  }

  void Reserve(std::size_t bytes) const {
    if (OutLeft() < bytes) RaiseOverflow();
  }

  // count <= 16 and count <= InLeft().
  void CopyLiterals(std::size_t count) {
    Reserve(count);
    if (InLeft() >= 16 && OutLeft() >= 16) {
      std::memcpy(FOut, FIn, 16);
    } else {
      std::memcpy(FOut, FIn, count);
    }
    FIn += count;
    FOut += count;
  }

  void DecodeCopyItem() {
    Require(PatternSize);
    const unsigned k = LoadBigEndian16(FIn);
    if (const unsigned distance = k >> 4) {
      FIn += PatternSize;
      CopyPattern(distance, (k & 0xF) + MinMatch);
    } else {
      Require(RunSize);
      const std::size_t length = LoadBigEndian16(FIn + 1) + MinRun;
      const std::uint8_t value = FIn[3];
      FIn += RunSize;
      Reserve(length);
      std::memset(FOut, value, length);
      FOut += length;
    }
  }

  // Copies forwards, so a pattern may repeat the bytes it is producing.
  void CopyPattern(std::size_t distance, std::size_t length) {
    if (distance > std::size_t(FOut - FOutStart)) RaiseBadDistance();
    Reserve(length);
    const std::uint8_t* from = FOut - distance;
    if (distance >= WordSize && OutLeft() >= 3 * WordSize) {
      // Each word's source ends before its destination starts.
      std::memcpy(FOut, from, WordSize);
      std::memcpy(FOut + WordSize, from + WordSize, WordSize);
      std::memcpy(FOut + 2 * WordSize, from + 2 * WordSize, WordSize);
    } else {
      for (std::size_t i = 0; i < length; ++i) FOut[i] = from[i];
    }
    FOut += length;
  }

  const std::uint8_t* FIn;
  const std::uint8_t* const FInEnd;
  std::uint8_t* const FOutStart;
  std::uint8_t* FOut;
  std::uint8_t* const FOutEnd;
};

}  // namespace

std::uint16_t Compress(const std::uint8_t* source, std::uint8_t* dest, std::size_t n,
                       TWorkArea& workArea) {
  if (n > MaxInput) throw EFastLzwError("Block compression input exceeds 65534 bytes");
  workArea.fill(EmptySlot);
  dest[0] = CompressedFlag;
  std::size_t ctlPos = 1;
  std::size_t y = HeaderSize;
  std::size_t x = 0;
  unsigned items = 0;
  unsigned ctl = 0;
  while (x < n && y <= n) {
    if (items == ItemsPerGroup) {
      StoreBigEndian16(dest + ctlPos, ctl);
      ctlPos = y;
      y += 2;
      items = 0;
    }
    ++items;
    if (const std::size_t run = RunLengthAt(source, x, n)) {
      dest[y] = 0;
      StoreBigEndian16(dest + y + 1, unsigned(run - MinRun));
      dest[y + 3] = source[x];
      y += RunSize;
      x += run;
      ctl = ctl << 1 | 1;
      continue;
    }
    std::uint16_t& slot = workArea[HashAt(source, x, n)];
    const std::size_t candidate = slot;
    slot = std::uint16_t(x);
    if (candidate != EmptySlot && x - candidate <= MaxDistance) {
      const std::size_t m = CommonLength(source + x, source + candidate, std::min(n - x, MaxMatch));
      if (m >= MinMatch) {
        StoreBigEndian16(dest + y, unsigned((x - candidate) << 4 | (m - MinMatch)));
        y += PatternSize;
        x += m;
        ctl = ctl << 1 | 1;
        continue;
      }
    }
    dest[y++] = source[x++];
    ctl <<= 1;
  }
  StoreBigEndian16(dest + ctlPos, ctl << (ItemsPerGroup - items));
  if (y > n) {
    if (n > 0) std::memcpy(dest + 1, source, n);
    dest[0] = StoredFlag;
    y = n + 1;
  }
  return std::uint16_t(y);
}

std::size_t Decompress(const std::uint8_t* source, std::uint8_t* dest, std::size_t l,
                       std::size_t capacity) {
  if (l < 1) return 0;
  if (source[0] == StoredFlag) {
    const std::size_t n = l - 1;
    if (n > capacity) RaiseOverflow();
    if (n > 0) std::memcpy(dest, source + 1, n);
    return n;
  }
  if (l < HeaderSize) return 0;
  TBlockDecoder decoder(source + HeaderSize, source + l, dest, capacity);
  return decoder.Run(LoadBigEndian16(source + 1));
}

}  // namespace quv::fastlzw
