#include "server/common/quvIntfFile.h"

#include <algorithm>
#include <cstring>

#include "platform/Cp1252.h"
#include "platform/LittleEndian.h"
#include "server/common/fastlzw.h"
#include "server/common/quvstream.h"

namespace quv {

namespace {

constexpr std::size_t kBlockCapacity = 65535;

[[noreturn]] void Fail(std::string message) { throw TquvInterfaceError(std::move(message)); }

[[noreturn]] void FailIndex(const std::string& fileName) {
  Fail("Invalid interface file index in " + fileName);
}

uint32_t ReadUInt32At(TStream& stream, int64_t position) {
  uint8_t bytes[4];
  stream.SetPosition(position);
  stream.ReadBuffer(bytes, 4);
  return static_cast<uint32_t>(GetLittleEndian(bytes, 4));
}

std::vector<uint8_t> ReadRange(TStream& stream, int64_t from, int64_t to) {
  std::vector<uint8_t> bytes(static_cast<std::size_t>(to - from));
  stream.SetPosition(from);
  stream.ReadBuffer(bytes.data(), static_cast<int32_t>(bytes.size()));
  return bytes;
}

// A length-prefixed name in a fixed field of 1 + `max` bytes.
std::string FixedTextAt(const uint8_t* field, int32_t max, const std::string& fileName) {
  if (field[0] > max) FailIndex(fileName);
  return std::string(reinterpret_cast<const char*>(field + 1), field[0]);
}

void PutFixedText(uint8_t* field, std::string_view text, int32_t max) {
  if (static_cast<int32_t>(text.size()) > max) {
    Fail("Text too long for an index field (at most " + std::to_string(max) +
         " bytes): " + std::string(text));
  }
  field[0] = static_cast<uint8_t>(text.size());
  std::memcpy(field + 1, text.data(), text.size());
}

std::vector<std::string> ReadExtraTexts(TStream& stream, int64_t tableEnd,
                                        const std::string& fileName) {
  if (tableEnd < kFileHeaderSize + 4) FailIndex(fileName);
  const int64_t tableStart = ReadUInt32At(stream, tableEnd);
  if (tableStart < kFileHeaderSize || tableStart > tableEnd) FailIndex(fileName);
  const std::vector<uint8_t> table = ReadRange(stream, tableStart, tableEnd);
  std::vector<std::string> texts;
  for (std::size_t at = 0; at + kExtraTextSlotSize <= table.size(); at += kExtraTextSlotSize)
    texts.push_back(FixedTextAt(&table[at], kExtraTextSlotSize - 1, fileName));
  return texts;
}

TIndexInfo ParseV1Entry(const uint8_t* entry, const std::string& fileName) {
  TIndexInfo info;
  info.Name = FixedTextAt(entry, kIndexV1NameMax, fileName);
  info.Kind = entry[59];
  info.Flag = entry[60];
  info.Offset = static_cast<uint32_t>(GetLittleEndian(entry + 64, 4));
  return info;
}

TIndexInfo ParseV2Entry(const uint8_t* entry, const std::vector<std::string>& texts,
                        const std::string& fileName) {
  TIndexInfo info;
  info.Name = FixedTextAt(entry, kIndexV2NameMax, fileName);
  info.Word2 = entry[128];
  info.Kind = entry[129];
  info.Flag = entry[130];
  info.Offset = static_cast<uint32_t>(GetLittleEndian(entry + 131, 4));
  const uint16_t textNumber = static_cast<uint16_t>(GetLittleEndian(entry + 135, 2));
  if (textNumber != kNoExtraText) {
    if (textNumber >= texts.size()) Fail("Extra text number out of range in " + fileName);
    info.ExtraText = texts[textNumber];
  }
  info.Word1 = static_cast<int16_t>(GetLittleEndian(entry + 137, 2));
  return info;
}

int32_t TextWidth(int32_t fileVersion, TTextWidth width) {
  return fileVersion >= 8 ? width : kLong;
}

// Writes the groups of both sets in the order `groupSets` gives, or those of
// the first set before those of the second when it is empty.
void WriteGroups(TquvStream& out, const TquvCustomSymbolDefs& first,
                 const TquvCustomSymbolDefs& second, TGroupSets groupSets, uint16_t version) {
  if (groupSets.empty()) {
    groupSets.assign(static_cast<std::size_t>(first.GroupCount()), 0);
    groupSets.insert(groupSets.end(), static_cast<std::size_t>(second.GroupCount()), 1);
  }
  constexpr std::string_view kBadOrder =
      "The group order does not name each group of the sets once";
  const TquvCustomSymbolDefs* sets[2] = {&first, &second};
  int32_t written[2] = {0, 0};
  for (const uint8_t set : groupSets) {
    if (set > 1 || written[set] == sets[set]->GroupCount()) Fail(std::string(kBadOrder));
    TquvCustomSymbolDefs::WriteGroupRecord(out, sets[set]->Group(written[set]++), version);
  }
  if (written[0] != first.GroupCount() || written[1] != second.GroupCount())
    Fail(std::string(kBadOrder));
}

}  // namespace

TFileHeaderInfo ParseFileHeader(std::string_view bytes, const std::string& fileName) {
  if (bytes.size() < kFileHeaderSize) Fail("Invalid interface file " + fileName);
  TFileHeaderInfo info;
  info.Signature = std::string(bytes.substr(0, 6));
  info.PlainFile = bytes[0] != 'S';
  const char tens = bytes[3] == 'S' ? '0' : bytes[3];
  const char ones = bytes[4];
  const bool numeric = tens >= '0' && tens <= '9' && ones >= '0' && ones <= '9';
  info.FileVersion = numeric ? (tens - '0') * 10 + (ones - '0') : -1;
  info.Reserved =
      static_cast<uint16_t>(GetLittleEndian(reinterpret_cast<const uint8_t*>(bytes.data()) + 6, 2));
  return info;
}

std::string MakeFileHeader(std::string_view signature, uint16_t reserved) {
  if (signature.size() != 6) Fail("A file signature has 6 bytes: " + std::string(signature));
  uint8_t word[2];
  PutLittleEndian(word, reserved, 2);
  return std::string(signature) + std::string(reinterpret_cast<const char*>(word), 2);
}

std::vector<TIndexInfo> ReadIntfIndex(TStream& stream, int64_t fileSize, int32_t fileVersion,
                                      const std::string& fileName) {
  if (fileSize < kFileHeaderSize + 4) FailIndex(fileName);
  const int64_t indexStart = ReadUInt32At(stream, fileSize - 4);
  if (indexStart < kFileHeaderSize || indexStart > fileSize - 4) FailIndex(fileName);
  const bool v2 = fileVersion >= kFirstIndexV2Version;
  const std::vector<std::string> texts =
      v2 ? ReadExtraTexts(stream, indexStart - 4, fileName) : std::vector<std::string>();
  const int32_t entrySize = v2 ? kIndexV2EntrySize : kIndexV1EntrySize;
  const std::vector<uint8_t> bytes = ReadRange(stream, indexStart, fileSize - 4);
  std::vector<TIndexInfo> entries;
  entries.reserve(bytes.size() / static_cast<std::size_t>(entrySize));
  for (std::size_t at = 0; at + entrySize <= bytes.size(); at += entrySize) {
    entries.push_back(v2 ? ParseV2Entry(&bytes[at], texts, fileName)
                         : ParseV1Entry(&bytes[at], fileName));
  }
  return entries;
}

void WriteIntfIndex(TStream& stream, const std::vector<TIndexInfo>& entries, int32_t fileVersion) {
  const bool v2 = fileVersion >= kFirstIndexV2Version;
  std::vector<std::string> texts;
  std::vector<uint16_t> numbers;
  for (const TIndexInfo& entry : entries) {
    if (entry.ExtraText.empty()) {
      numbers.push_back(kNoExtraText);
      continue;
    }
    auto found = std::find(texts.begin(), texts.end(), entry.ExtraText);
    if (found == texts.end()) found = texts.insert(texts.end(), entry.ExtraText);
    numbers.push_back(static_cast<uint16_t>(found - texts.begin()));
  }
  if (texts.size() >= kNoExtraText) Fail("Too many extra texts for one index");
  uint8_t position[4];
  if (v2) {
    PutLittleEndian(position, static_cast<uint32_t>(stream.Position()), 4);
    for (const std::string& text : texts) {
      uint8_t slot[kExtraTextSlotSize] = {};
      PutFixedText(slot, text, kExtraTextSlotSize - 1);
      stream.WriteBuffer(slot, kExtraTextSlotSize);
    }
    stream.WriteBuffer(position, 4);
  }
  PutLittleEndian(position, static_cast<uint32_t>(stream.Position()), 4);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const TIndexInfo& entry = entries[i];
    uint8_t bytes[kIndexV2EntrySize] = {};
    if (v2) {
      PutFixedText(bytes, entry.Name, kIndexV2NameMax);
      bytes[128] = static_cast<uint8_t>(entry.Word2);
      bytes[129] = entry.Kind;
      bytes[130] = entry.Flag;
      PutLittleEndian(bytes + 131, entry.Offset, 4);
      PutLittleEndian(bytes + 135, numbers[i], 2);
      PutLittleEndian(bytes + 137, static_cast<uint16_t>(entry.Word1), 2);
    } else {
      if (!entry.ExtraText.empty()) Fail("An index before version 36 has no extra texts");
      PutFixedText(bytes, entry.Name, kIndexV1NameMax);
      bytes[59] = entry.Kind;
      bytes[60] = entry.Flag;
      PutLittleEndian(bytes + 64, entry.Offset, 4);
    }
    stream.WriteBuffer(bytes, v2 ? kIndexV2EntrySize : kIndexV1EntrySize);
  }
  stream.WriteBuffer(position, 4);
}

TquvInterfaceHeader ReadInterfaceHeader(TquvStream& stream, int32_t v, bool keepDescriptor) {
  const int32_t s = TextWidth(v, kShort);
  const int32_t m = TextWidth(v, kMedium);
  const int32_t l = kLong;
  TquvInterfaceHeader header;
  if (v < 3) {
    header.LeadText = ReadText(stream, m);
    header.Name = ReadText(stream, s);
  }
  header.ModuleName = ReadText(stream, s);
  header.InterfaceName = ReadText(stream, s);
  header.DescriptorText = ReadText(stream, m);
  if (!keepDescriptor) header.DescriptorText.clear();
  header.Text1 = ReadText(stream, s);
  header.FieldCount1 = ReadWord(stream);
  header.FieldCount2 = ReadWord(stream);
  header.GroupCount = ReadWord(stream);
  if (v >= 3) header.KindByte = ReadByte(stream);
  if (v >= 6) header.Word3 = ReadWord(stream);
  header.Byte1 = v >= 7 ? ReadByte(stream) : 1;
  if (v >= 10) header.Byte2 = ReadByte(stream);
  if (v >= 11 && v < 17) header.Byte3 = ReadByte(stream);
  if (v >= 20) header.Text2 = ReadText(stream, l);
  if (v >= 21) header.Byte4 = ReadByte(stream);
  if (v >= 30) header.Text3 = ReadText(stream, l);
  const std::string built = header.ModuleName + "." + header.InterfaceName;
  if (header.Name.empty()) {
    header.Name = built;
  } else if (AnsiUpperCase(header.Name) != AnsiUpperCase(built)) {
    Fail("Interface name mismatch: " + header.Name + " and " + built);
  }
  return header;
}

void WriteInterfaceHeader(TquvStream& stream, const TquvInterfaceHeader& header, int32_t v) {
  const int32_t s = TextWidth(v, kShort);
  const int32_t m = TextWidth(v, kMedium);
  if (v < 3) {
    WriteText(stream, header.LeadText, m);
    WriteText(stream, header.Name, s);
  }
  WriteText(stream, header.ModuleName, s);
  WriteText(stream, header.InterfaceName, s);
  WriteText(stream, header.DescriptorText, m);
  WriteText(stream, header.Text1, s);
  WriteUnsigned(stream, header.FieldCount1, 2);
  WriteUnsigned(stream, header.FieldCount2, 2);
  WriteUnsigned(stream, header.GroupCount, 2);
  if (v >= 3) WriteUnsigned(stream, header.KindByte, 1);
  if (v >= 6) WriteUnsigned(stream, header.Word3, 2);
  if (v >= 7) WriteUnsigned(stream, header.Byte1, 1);
  if (v >= 10) WriteUnsigned(stream, header.Byte2, 1);
  if (v >= 11 && v < 17) WriteUnsigned(stream, header.Byte3, 1);
  if (v >= 20) WriteText(stream, header.Text2, kLong);
  if (v >= 21) WriteUnsigned(stream, header.Byte4, 1);
  if (v >= 30) WriteText(stream, header.Text3, kLong);
}

std::vector<uint8_t> ReadCompressedBlocks(TStream& stream, const std::string& fileName) {
  std::vector<uint8_t> data;
  std::vector<uint8_t> block(kBlockCapacity);
  std::vector<uint8_t> decoded(kBlockCapacity);
  for (;;) {
    uint8_t lengthBytes[2];
    stream.ReadBuffer(lengthBytes, 2);
    const int32_t length = static_cast<int32_t>(GetLittleEndian(lengthBytes, 2));
    if (length == 0) return data;
    stream.ReadBuffer(block.data(), length);
    std::size_t n;
    try {
      n = fastlzw::Decompress(block.data(), decoded.data(), static_cast<std::size_t>(length),
                              decoded.size());
    } catch (const fastlzw::EFastLzwError&) {
      Fail("Corrupt interface data in " + fileName);
    }
    if (static_cast<int64_t>(data.size() + n) > kMaxInterfaceDataSize) {
      Fail("Corrupt interface data in " + fileName);
    }
    data.insert(data.end(), decoded.begin(), decoded.begin() + static_cast<std::ptrdiff_t>(n));
  }
}

void WriteCompressedBlocks(TStream& stream, const std::vector<uint8_t>& data) {
  fastlzw::TWorkArea workArea;
  std::vector<uint8_t> block(fastlzw::CompressBound(fastlzw::MaxInput) + 2);
  for (std::size_t at = 0; at < data.size(); at += fastlzw::MaxInput) {
    const std::size_t n = std::min(fastlzw::MaxInput, data.size() - at);
    const uint16_t length = fastlzw::Compress(data.data() + at, block.data() + 2, n, workArea);
    PutLittleEndian(block.data(), length, 2);
    stream.WriteBuffer(block.data(), length + 2);
  }
  const uint8_t end[2] = {0, 0};
  stream.WriteBuffer(end, 2);
}

uint16_t RecordVersionOf(int32_t fileVersion) {
  if (fileVersion > kInterfaceFileVersion) {
    Fail("Unsupported interface file version " + std::to_string(fileVersion));
  }
  return static_cast<uint16_t>(std::max(fileVersion, 1));
}

std::vector<uint8_t> ReadInterfaceBytes(TStream& stream, uint32_t offset, int32_t fileVersion,
                                        const std::string& fileName) {
  const int64_t size = stream.Size();
  if (offset < kFileHeaderSize || offset >= size) {
    Fail("Invalid interface data offset " + std::to_string(offset) + " in " + fileName);
  }
  stream.SetPosition(offset);
  if (fileVersion >= kFirstCompressedVersion) return ReadCompressedBlocks(stream, fileName);
  return ReadRange(stream, offset, std::min<int64_t>(size, offset + kMaxInterfaceDataSize));
}

TquvInterfaceHeader ParseInterfaceData(std::vector<uint8_t> data, int32_t fileVersion,
                                       bool keepDescriptor, TquvCustomSymbolDefs& first,
                                       TquvCustomSymbolDefs& second, TGroupSets* groupSets) {
  const uint16_t version = RecordVersionOf(fileVersion);
  first.SetFormatVersion(version);
  second.SetFormatVersion(version);
  TMemoryStream bytes(std::move(data));
  TquvStream stream(&bytes, false);
  TquvInterfaceHeader header = ReadInterfaceHeader(stream, fileVersion, keepDescriptor);
  if (fileVersion >= kFirstGroupListVersion) {
    for (int32_t i = 0; i < header.GroupCount; ++i) {
      TquvGroupDef group = TquvCustomSymbolDefs::ReadGroupRecord(stream, version);
      const uint8_t set = group.ByteB == 0 ? 0 : 1;
      (set == 0 ? first : second).AddGroup(std::move(group));
      if (groupSets != nullptr) groupSets->push_back(set);
    }
  }
  first.ReadSymbolRecords(stream, header.FieldCount1, 0, 1, true);
  second.ReadSymbolRecords(stream, header.FieldCount2, 0, 1, true);
  return header;
}

void WriteInterfaceBytes(TStream& stream, const std::vector<uint8_t>& data, int32_t fileVersion) {
  if (fileVersion >= kFirstCompressedVersion) {
    WriteCompressedBlocks(stream, data);
    return;
  }
  stream.WriteBuffer(data.data(), static_cast<int32_t>(data.size()));
}

std::vector<uint8_t> BuildInterfaceData(TquvInterfaceHeader header,
                                        const TquvCustomSymbolDefs& first,
                                        const TquvCustomSymbolDefs& second, int32_t fileVersion,
                                        const TGroupSets& groupSets) {
  const uint16_t version = RecordVersionOf(fileVersion);
  if (first.FormatVersion() != version || second.FormatVersion() != version)
    Fail("The sets of a version " + std::to_string(fileVersion) + " file need record version " +
         std::to_string(version));
  const bool withGroups = fileVersion >= kFirstGroupListVersion;
  for (int32_t i = 0; withGroups && i < second.GroupCount(); ++i) {
    if (second.Group(i).ByteB == 0) {
      Fail("A group of the second set needs a ByteB other than 0: " + second.Group(i).Name);
    }
  }
  for (int32_t i = 0; withGroups && i < first.GroupCount(); ++i) {
    if (first.Group(i).ByteB != 0) {
      Fail("A group of the first set needs ByteB 0: " + first.Group(i).Name);
    }
  }
  const auto fits = [](int32_t n) { return n <= 65535; };
  if (!fits(first.Count()) || !fits(second.Count()) ||
      !fits(first.GroupCount() + second.GroupCount())) {
    Fail("Too many fields or groups for one interface: " + header.Name);
  }
  header.FieldCount1 = static_cast<uint16_t>(first.Count());
  header.FieldCount2 = static_cast<uint16_t>(second.Count());
  header.GroupCount = static_cast<uint16_t>(first.GroupCount() + second.GroupCount());
  TquvStream out;
  WriteInterfaceHeader(out, header, fileVersion);
  if (withGroups) WriteGroups(out, first, second, groupSets, version);
  for (const TquvCustomSymbolDefs* set : {&first, &second})
    for (int32_t i = 0; i < set->Count(); ++i) set->WriteSymbolRecord(out, set->Item(i), 0, 1);
  const auto& memory = static_cast<TMemoryStream&>(out.Stream());
  return memory.Bytes();
}

}  // namespace quv
