#include "loader/quvDiff.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "loader/quvLoaderError.h"
#include "platform/LittleEndian.h"

namespace quv {

namespace {

constexpr char kDiffSignature[6] = {'U', 'P', 'D', 'F', 0, 0};
constexpr int32_t kEditEntrySize = 10;
constexpr uint32_t kMostEditLength = 65535;
// Blocks the maker cuts the files into, well within the applier's buffers.
constexpr std::size_t kMakerBlockSize = 1 << 20;
// Shorter runs of equal bytes cost more as edit entries than as literals.
constexpr std::size_t kShortestKeptRun = 32;

[[noreturn]] void RaiseCrcError() { throw ELoaderError(std::string(kCrcErrorMessage)); }

// Reads the old file and the difference alongside each other and writes the
// new file; owns the four work buffers, which grow to what the blocks need
// and never beyond kDiffBufferSize.
class TDiffApplier final {
 public:
  TDiffApplier(TStream& old, TStream& diff, TStream& output)
      : FOld(old), FDiff(diff), FOutput(output) {}

  void Run() {
    uint8_t header[kDiffHeaderSize];
    ReadDiff(header, kDiffHeaderSize);
    if (std::memcmp(header, kDiffSignature, sizeof kDiffSignature) != 0 ||
        GetLittleEndian(header + 6, 2) != kDiffFormatVersion)
      RaiseCrcError();
    const auto newCrc = static_cast<uint32_t>(GetLittleEndian(header + 8, 4));
    while (NextBlock()) {
    }
    if (FNewCrc != newCrc) RaiseCrcError();
  }

 private:
  // Applies one block; false at the closing empty literal.
  bool NextBlock() {
    ReadOldBlock(ReadSize());
    uint8_t type = 0;
    ReadDiff(&type, 1);
    if (type == 0) return LiteralBlock();
    if (type != 1) RaiseCrcError();
    EditBlock();
    return true;
  }

  bool LiteralBlock() {
    const int32_t length = ReadSize();
    if (length == 0) return false;
    const uint32_t crc = ReadU32();
    ReadInto(FLiteral, length);
    if (Crc32Bytes(FLiteral.data(), FLiteral.size()) != crc) RaiseCrcError();
    Emit(FLiteral, crc);
    return true;
  }

  void EditBlock() {
    const uint32_t outCrc = ReadU32();
    const uint32_t oldCrc = ReadU32();
    if (Crc32Bytes(FOldBlock.data(), FOldBlock.size()) != oldCrc) RaiseCrcError();
    const int32_t literalSize = ReadSize();
    const int32_t tableSize = ReadSize();
    ReadInto(FLiteral, literalSize);
    ReadInto(FTable, tableSize);
    FOutBlock.clear();
    uint64_t outPos = 1, literalPos = 1;
    for (std::size_t at = 0; at + kEditEntrySize <= FTable.size(); at += kEditEntrySize) {
      const uint8_t* entry = FTable.data() + at;
      const uint64_t length = GetLittleEndian(entry, 2);
      const uint64_t source = GetLittleEndian(entry + 2, 4);
      const uint64_t target = GetLittleEndian(entry + 6, 4);
      if (target > outPos) {
        const uint64_t gap = target - outPos;
        if (literalPos - 1 + gap > FLiteral.size()) RaiseCrcError();
        Append(FLiteral.data() + (literalPos - 1), gap);
        literalPos += gap;
        outPos += gap;
      }
      if (source == 0 || source - 1 + length > FOldBlock.size()) RaiseCrcError();
      Append(FOldBlock.data() + (source - 1), length);
      outPos += length;
    }
    if (Crc32Bytes(FOutBlock.data(), FOutBlock.size()) != outCrc) RaiseCrcError();
    Emit(FOutBlock, outCrc);
  }

  // Adds bytes to the output block, which may not outgrow its buffer.
  void Append(const uint8_t* bytes, uint64_t count) {
    if (FOutBlock.size() + count > static_cast<uint64_t>(kDiffBufferSize)) RaiseCrcError();
    FOutBlock.insert(FOutBlock.end(), bytes, bytes + count);
  }

  // Writes a block whose CRC is `crc`; the new file's CRC follows from it
  // without reading the block again.
  void Emit(const std::vector<uint8_t>& block, uint32_t crc) {
    FOutput.WriteBuffer(block.data(), static_cast<int32_t>(block.size()));
    FNewCrc =
        static_cast<uint32_t>(crc32_combine(FNewCrc, crc, static_cast<z_off_t>(block.size())));
  }

  // The next bytes of the old file, fewer at its end.
  void ReadOldBlock(int32_t count) {
    FOldBlock.resize(static_cast<std::size_t>(count));
    int32_t have = 0;
    while (have < count) {
      const int32_t got = FOld.Read(FOldBlock.data() + have, count - have);
      if (got <= 0) break;
      have += got;
    }
    FOldBlock.resize(static_cast<std::size_t>(have));
  }

  void ReadInto(std::vector<uint8_t>& buffer, int32_t count) {
    buffer.resize(static_cast<std::size_t>(count));
    ReadDiff(buffer.data(), count);
  }

  // Exactly `count` bytes of the difference; a difference that ends early is damaged.
  void ReadDiff(void* buffer, int32_t count) {
    auto* out = static_cast<uint8_t*>(buffer);
    while (count > 0) {
      const int32_t got = FDiff.Read(out, count);
      if (got <= 0) RaiseCrcError();
      out += got;
      count -= got;
    }
  }

  uint32_t ReadU32() {
    uint8_t bytes[4];
    ReadDiff(bytes, 4);
    return static_cast<uint32_t>(GetLittleEndian(bytes, 4));
  }

  // A size of the difference; one that does not fit the buffers is refused.
  int32_t ReadSize() {
    const auto size = static_cast<int32_t>(ReadU32());
    if (size < 0 || size > kDiffBufferSize) RaiseCrcError();
    return size;
  }

  TStream& FOld;
  TStream& FDiff;
  TStream& FOutput;
  std::vector<uint8_t> FOldBlock, FLiteral, FTable, FOutBlock;
  uint32_t FNewCrc = 0;
};

void PutU32(std::string& out, uint32_t value) {
  uint8_t bytes[4];
  PutLittleEndian(bytes, value, 4);
  out.append(reinterpret_cast<const char*>(bytes), 4);
}

void PutEditEntry(std::string& table, uint32_t length, uint32_t source, uint32_t target) {
  uint8_t bytes[kEditEntrySize];
  PutLittleEndian(bytes, length, 2);
  PutLittleEndian(bytes + 2, source, 4);
  PutLittleEndian(bytes + 6, target, 4);
  table.append(reinterpret_cast<const char*>(bytes), kEditEntrySize);
}

// One block of the maker: the new bytes as edits of the old block where runs
// of them are equal at the same place, else as a literal.
void AppendBlock(std::string& out, std::string_view oldBlock, std::string_view newBlock) {
  std::string literal, table;
  std::size_t covered = 0;  // new bytes accounted for by the entries so far
  for (std::size_t i = 0; i < newBlock.size();) {
    std::size_t end = i;
    while (end < newBlock.size() && end < oldBlock.size() && newBlock[end] == oldBlock[end]) ++end;
    if (end - i < kShortestKeptRun) {
      i = std::max(end, i + 1);
      continue;
    }
    literal.append(newBlock.substr(covered, i - covered));
    for (std::size_t at = i; at < end; at += kMostEditLength) {
      const auto length = static_cast<uint32_t>(std::min<std::size_t>(kMostEditLength, end - at));
      PutEditEntry(table, length, static_cast<uint32_t>(at + 1), static_cast<uint32_t>(at + 1));
    }
    covered = i = end;
  }
  PutU32(out, static_cast<uint32_t>(oldBlock.size()));
  if (table.empty() || table.size() + literal.size() >= newBlock.size()) {
    out += '\0';
    PutU32(out, static_cast<uint32_t>(newBlock.size()));
    PutU32(out, Crc32(newBlock));
    out.append(newBlock);
    return;
  }
  if (covered < newBlock.size()) {
    // A closing empty entry places the literal tail.
    literal.append(newBlock.substr(covered));
    PutEditEntry(table, 0, 1, static_cast<uint32_t>(newBlock.size() + 1));
  }
  out += '\1';
  PutU32(out, Crc32(newBlock));
  PutU32(out, Crc32(oldBlock));
  PutU32(out, static_cast<uint32_t>(literal.size()));
  PutU32(out, static_cast<uint32_t>(table.size()));
  out.append(literal);
  out.append(table);
}

}  // namespace

uint32_t Crc32Bytes(const void* data, std::size_t size, uint32_t previous) {
  return static_cast<uint32_t>(
      crc32_z(previous, static_cast<const Bytef*>(data), static_cast<z_size_t>(size)));
}

uint32_t Crc32(std::string_view data, uint32_t previous) {
  return Crc32Bytes(data.data(), data.size(), previous);
}

bool IsDifferenceFor(std::string_view data, uint32_t oldChecksum) {
  return data.size() >= static_cast<std::size_t>(kDiffHeaderSize) &&
         std::memcmp(data.data(), kDiffSignature, sizeof kDiffSignature) == 0 &&
         GetLittleEndian(reinterpret_cast<const uint8_t*>(data.data()) + 12, 4) == oldChecksum;
}

std::optional<uint32_t> DifferenceTarget(std::string_view data) {
  if (data.size() < static_cast<std::size_t>(kDiffHeaderSize) ||
      std::memcmp(data.data(), kDiffSignature, sizeof kDiffSignature) != 0)
    return std::nullopt;
  return static_cast<uint32_t>(
      GetLittleEndian(reinterpret_cast<const uint8_t*>(data.data()) + 8, 4));
}

void ApplyDifference(TStream& old, TStream& diff, TStream& output) {
  TDiffApplier(old, diff, output).Run();
}

std::string MakeDifference(std::string_view oldData, std::string_view newData) {
  std::string out(kDiffSignature, sizeof kDiffSignature);
  out.append({static_cast<char>(kDiffFormatVersion), 0});
  PutU32(out, Crc32(newData));
  PutU32(out, Crc32(oldData));
  for (std::size_t at = 0; at < newData.size(); at += kMakerBlockSize) {
    const std::string_view oldBlock =
        at < oldData.size() ? oldData.substr(at, kMakerBlockSize) : std::string_view();
    AppendBlock(out, oldBlock, newData.substr(at, kMakerBlockSize));
  }
  PutU32(out, 0);
  out += '\0';
  PutU32(out, 0);
  return out;
}

}  // namespace quv
