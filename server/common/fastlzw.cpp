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

// Index, in memory order, of the first non-zero byte of a word; 8 when it is 0.
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

// Hash slot of the three bytes b0, b1, b2.
unsigned Hash(std::uint32_t b0, std::uint32_t b1, std::uint32_t b2) {
  const std::uint32_t h = ((((b0 << 4) ^ b1) << 4) ^ b2) * 40543u;
  return (h >> 4) & 0xFFF;
}

// State of one Compress call over the borrowed input, output and work area.
class TBlockEncoder final {
 public:
  TBlockEncoder(const std::uint8_t* source, std::size_t n, std::uint8_t* dest, TWorkArea& workArea)
      : FSource(source), FN(n), FDest(dest), FTable(workArea) {}

  // Writes a compressed block and returns its length; a length above n means
  // the input did not shrink and the block is to be stored instead.
  std::size_t Run() {
    FDest[0] = CompressedFlag;
    // Positions before insideEnd have at least MaxMatch input bytes left.
    const std::size_t insideEnd = FN >= MaxMatch ? FN - MaxMatch + 1 : 0;
    while (FX < insideEnd && FY <= FN) {
      NextItem();
      EncodeItemInside();
    }
    while (FX < FN && FY <= FN) {
      NextItem();
      EncodeItemNearEnd();
    }
    StoreBigEndian16(FDest + FCtlPos, FCtl << (ItemsPerGroup - FItems));
    return FY;
  }

 private:
  // Counts the coming item, starting a new group with its control word when
  // the current one is full.
  void NextItem() {
    if (FItems == ItemsPerGroup) {
      StoreBigEndian16(FDest + FCtlPos, FCtl);
      FCtlPos = FY;
      FY += 2;
      FItems = 0;
    }
    ++FItems;
  }

  // At least MaxMatch input bytes are left, so look-ahead needs no bounds
  // checks. Literals and patterns share one two-byte store (a literal's spare
  // byte is overwritten by whatever comes next), which keeps the unpredictable
  // choice between them cheap.
  void EncodeItemInside() {
    const std::uint8_t* at = FSource + FX;
    // A run needs its first two bytes equal; most positions fail there.
    if (at[0] == at[1]) {
      const std::uint64_t filled = 0x0101010101010101ull * at[0];
      if (((Load64(at) ^ filled) | (Load64(at + WordSize) ^ filled)) == 0) {
        return EmitRun(RunLengthAt(FSource, FX, FN));
      }
    }
    const std::size_t distance = Probe(Hash(at[0], at[1], at[2]));
    const bool reached = distance <= MaxDistance;
    const std::size_t m = MatchLengthInside(at, reached ? at - distance : FSource);
    const bool pattern = reached && m >= MinMatch;
    StoreBigEndian16(FDest + FY,
                     pattern ? unsigned(distance << 4 | (m - MinMatch)) : unsigned(at[0]) << 8);
    FY += pattern ? PatternSize : 1;
    FX += pattern ? m : 1;
    FCtl = FCtl << 1 | unsigned(pattern);
  }

  // Equal leading bytes of a and b, up to MaxMatch; both have MaxMatch bytes.
  static std::size_t MatchLengthInside(const std::uint8_t* a, const std::uint8_t* b) {
    const std::size_t m0 = FirstNonZeroByte(Load64(a) ^ Load64(b));
    const std::size_t m1 = FirstNonZeroByte(Load64(a + WordSize) ^ Load64(b + WordSize));
    const std::size_t e16 = a[16] == b[16];
    const std::size_t m2 = e16 + (e16 & std::size_t(a[17] == b[17]));
    return m0 < WordSize ? m0 : m1 < WordSize ? WordSize + m1 : 2 * WordSize + m2;
  }

  void EncodeItemNearEnd() {
    const std::uint8_t* at = FSource + FX;
    const std::size_t left = FN - FX;
    if (const std::size_t run = RunLengthAt(FSource, FX, FN)) return EmitRun(run);
    const std::size_t distance = Probe(Hash(at[0], left > 1 ? at[1] : 0, left > 2 ? at[2] : 0));
    if (distance <= MaxDistance) {
      const std::size_t m = CommonLength(at, at - distance, left);
      if (m >= MinMatch) return EmitPattern(distance, m);
    }
    EmitLiteral();
  }

  // Records the current position in the hash slot and returns the distance
  // back to the position it held. An empty slot (0xFFFF) lies beyond every
  // position, so its difference wraps around and exceeds MaxDistance too.
  std::size_t Probe(unsigned hash) {
    std::uint16_t& slot = FTable[hash];
    const std::size_t candidate = slot;
    slot = std::uint16_t(FX);
    return FX - candidate;
  }

  void EmitLiteral() {
    FDest[FY++] = FSource[FX++];
    FCtl <<= 1;
  }

  void EmitRun(std::size_t run) {
    FDest[FY] = 0;
    StoreBigEndian16(FDest + FY + 1, unsigned(run - MinRun));
    FDest[FY + 3] = FSource[FX];
    FY += RunSize;
    FX += run;
    FCtl = FCtl << 1 | 1;
  }

  void EmitPattern(std::size_t distance, std::size_t length) {
    StoreBigEndian16(FDest + FY, unsigned(distance << 4 | (length - MinMatch)));
    FY += PatternSize;
    FX += length;
    FCtl = FCtl << 1 | 1;
  }

  const std::uint8_t* const FSource;
  const std::size_t FN;
  std::uint8_t* const FDest;
  TWorkArea& FTable;
  std::size_t FX = 0;
  std::size_t FY = HeaderSize;
  std::size_t FCtlPos = 1;
  unsigned FItems = 0;
  unsigned FCtl = 0;
};

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
        // A control word announces at least one item.
        Require(2 + 1);
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
  TBlockEncoder encoder(source, n, dest, workArea);
  const std::size_t y = encoder.Run();
  if (y <= n) return std::uint16_t(y);
  dest[0] = StoredFlag;
  if (n > 0) std::memcpy(dest + 1, source, n);
  return std::uint16_t(n + 1);
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
