#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Streams.h"
#include "server/common/quvIntf.h"

// The interface file format: an 8-byte file header, the data of every
// interface, and at the end an index of fixed-size entries (see
// doc/interface-files.md). This unit reads and writes the pieces; the
// registry and the quvintf tool put them together.
namespace quv {

class TquvStream;

// The version this system writes: signature digits, header record layout and
// definition-set records all follow it.
inline constexpr int32_t kInterfaceFileVersion = 37;
inline constexpr int32_t kFileHeaderSize = 8;
// The signature written by this system: 'S' in front (not a plain file), the
// version digits at characters 4 and 5.
inline constexpr std::string_view kFileSignature = "SQV37F";

// V1 entry (68 bytes): name (1 + 58 bytes), Kind @59, Flag @60, 3 padding,
// Offset @64 (4 bytes).
inline constexpr int32_t kIndexV1EntrySize = 68;
inline constexpr int32_t kIndexV1NameMax = 58;
// V2 entry (139 bytes): name (1 + 127 bytes), Word2 @128 (1 byte), Kind @129,
// Flag @130, Offset @131 (4 bytes), extra-text number @135 (2 bytes, 65535 =
// none), Word1 @137 (2 bytes). Extra texts live in 256-byte slots (1 + 255).
inline constexpr int32_t kIndexV2EntrySize = 139;
inline constexpr int32_t kIndexV2NameMax = 127;
inline constexpr int32_t kExtraTextSlotSize = 256;
inline constexpr uint16_t kNoExtraText = 65535;
// The first file version with the V2 index, and with compressed interface data.
inline constexpr int32_t kFirstIndexV2Version = 36;
inline constexpr int32_t kFirstCompressedVersion = 13;
// The first file version whose interface data list their groups; before it a
// field record names its group.
inline constexpr int32_t kFirstGroupListVersion = 9;
// Most bytes one interface's data may decompress to: far above any real
// interface, low enough that a hostile file cannot exhaust memory.
inline constexpr int64_t kMaxInterfaceDataSize = 16 * 1024 * 1024;

// One index entry in memory.
struct TIndexInfo {
  std::string Name;  // module.interface
  uint8_t Kind = 0;
  uint8_t Flag = 0;
  uint32_t Offset = 0;
  std::string ExtraText;
  int16_t Word1 = -1;
  uint16_t Word2 = 0;
  bool operator==(const TIndexInfo&) const = default;
};

// What the 8-byte file header says.
struct TFileHeaderInfo {
  std::string Signature;  // bytes 0-5
  int32_t FileVersion = -1;
  bool PlainFile = false;  // byte 0 is not 'S'
  uint16_t Reserved = 0;   // bytes 6 and 7, which this system writes as 0
};

// The interface header record at the start of an interface's data.
struct TquvInterfaceHeader {
  std::string LeadText;  // before version 3: a text that nothing reads
  std::string Name;      // full name; built from the two names below from version 3 on
  std::string ModuleName;
  std::string InterfaceName;
  std::string DescriptorText;
  std::string Text1;
  uint16_t FieldCount1 = 0;
  uint16_t FieldCount2 = 0;
  uint16_t GroupCount = 0;
  uint8_t KindByte = 0;
  uint16_t Word3 = 0;
  uint8_t Byte1 = 0;  // 1 for files before version 7
  uint8_t Byte2 = 0;
  uint8_t Byte3 = 0;
  std::string Text2;
  uint8_t Byte4 = 0;
  std::string Text3;
  bool operator==(const TquvInterfaceHeader&) const = default;
};

// Reads the 8 bytes of a file header. Raises TquvInterfaceError "Invalid
// interface file " + fileName when fewer than 8 bytes are given.
TFileHeaderInfo ParseFileHeader(std::string_view bytes, const std::string& fileName);
// The 8 header bytes: `signature` (6 bytes; kFileSignature for files this
// system writes) and `reserved` (little-endian).
std::string MakeFileHeader(std::string_view signature = kFileSignature, uint16_t reserved = 0);

// The index of a file of `fileSize` bytes, read from `stream`. Raises
// TquvInterfaceError "Invalid interface file index in " + fileName for
// positions outside the file or names longer than their field, "Extra text
// number out of range in " + fileName for a V2 entry whose text slot is not in
// the table, or the stream read error.
std::vector<TIndexInfo> ReadIntfIndex(TStream& stream, int64_t fileSize, int32_t fileVersion,
                                      const std::string& fileName);
// Appends the index at the stream's position: V2 layout (extra-text table and
// its position first) from version 36 on, V1 before; then the entries' start.
// Raises TquvInterfaceError for a name or extra text longer than its field.
void WriteIntfIndex(TStream& stream, const std::vector<TIndexInfo>& entries, int32_t fileVersion);

// The interface header record in the layout of `fileVersion`. Without
// `keepDescriptor` the descriptor text is read past and left empty. An empty
// Name becomes ModuleName.InterfaceName; another Name that differs from it
// raises TquvInterfaceError "Interface name mismatch: " + both names.
TquvInterfaceHeader ReadInterfaceHeader(TquvStream& stream, int32_t fileVersion,
                                        bool keepDescriptor);
void WriteInterfaceHeader(TquvStream& stream, const TquvInterfaceHeader& header,
                          int32_t fileVersion);

// The blocks of compressed interface data at the stream's position (16-bit
// length n, n block bytes; n = 0 ends), decompressed. Raises
// TquvInterfaceError "Corrupt interface data in " + fileName for a block that
// does not decode or data beyond kMaxInterfaceDataSize, or the stream read
// error when the blocks are cut short.
std::vector<uint8_t> ReadCompressedBlocks(TStream& stream, const std::string& fileName);
// Writes `data` as blocks of at most 65534 input bytes each and the end mark.
void WriteCompressedBlocks(TStream& stream, const std::vector<uint8_t>& data);

// The definition-set layout version used for the records of a file of
// `fileVersion`. Raises TquvInterfaceError "Unsupported interface file
// version " + version for versions above 37.
uint16_t RecordVersionOf(int32_t fileVersion);

// The data of the interface at `offset`: its compressed blocks decompressed
// (from version 13 on) or the raw bytes up to the end of the file. Raises
// TquvInterfaceError "Invalid interface data offset " + offset + " in " +
// fileName for an offset outside the data, and the errors of the blocks.
std::vector<uint8_t> ReadInterfaceBytes(TStream& stream, uint32_t offset, int32_t fileVersion,
                                        const std::string& fileName);
// The set of each group of one interface's data, in stream order: 0 the
// first, 1 the second.
using TGroupSets = std::vector<uint8_t>;

// Reads the header record and then the groups and fields of both sets (groups
// whose ByteB is 0 go to the first, the others to the second) from one
// interface's data. The sets get the record version of `fileVersion`.
// `groupSets`, when given, receives the set of each group in stream order.
TquvInterfaceHeader ParseInterfaceData(std::vector<uint8_t> data, int32_t fileVersion,
                                       bool keepDescriptor, TquvCustomSymbolDefs& first,
                                       TquvCustomSymbolDefs& second,
                                       TGroupSets* groupSets = nullptr);
// Writes one interface's data at the stream's position as ReadInterfaceBytes
// reads it: compressed blocks from version 13 on, the bytes as they are before.
void WriteInterfaceBytes(TStream& stream, const std::vector<uint8_t>& data, int32_t fileVersion);
// The uncompressed data of one interface in the layout of `fileVersion`:
// header record (with the counts taken from the sets), from version 9 the
// groups, and the full-form field records of both sets. The groups are
// written in the order `groupSets` gives (see ParseInterfaceData), or those
// of the first set before those of the second when it is empty. The sets must
// have the record version of `fileVersion`, and from version 9 the groups of
// the second set a ByteB other than 0 and those of the first ByteB 0 (before
// 9 groups are only names in the field records), and a `groupSets` that is
// not empty must name each group of each set once; raises TquvInterfaceError
// otherwise.
std::vector<uint8_t> BuildInterfaceData(TquvInterfaceHeader header,
                                        const TquvCustomSymbolDefs& first,
                                        const TquvCustomSymbolDefs& second,
                                        int32_t fileVersion = kInterfaceFileVersion,
                                        const TGroupSets& groupSets = {});

}  // namespace quv
