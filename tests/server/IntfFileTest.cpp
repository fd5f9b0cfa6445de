// Interface files built byte by byte: old and current layouts, and files
// that are cut short, inconsistent or hostile.

#include <gtest/gtest.h>

#include "server/common/quvIntfRegistry.h"
#include "tests/kit/ByteBuilder.h"
#include "tests/kit/IntfTestFiles.h"
#include "tests/kit/TempFolder.h"

namespace quv {
namespace {

using namespace std::string_literals;
using testing::AsString;
using testing::MessageOf;
using testing::TByteBuilder;

// A fixed-size index name field: length byte and the name, padded with 0.
TByteBuilder& FixedName(TByteBuilder& b, const std::string& name, int32_t max) {
  b.U8(static_cast<uint32_t>(name.size())).Raw(name);
  for (std::size_t i = name.size(); i < static_cast<std::size_t>(max); ++i) b.U8(0);
  return b;
}

// Version 12: uncompressed data, one group, one field in the full form.
std::string Version12File() {
  TByteBuilder b;
  b.Raw("SQV12F").U16(0);
  // Header record: module, interface, descriptor, text1, counts 1/0/1,
  // KindByte, Word3, Byte1, Byte2, Byte3.
  b.Text(1, "orders").Text(1, "list").Text(2, "desc").Text(1, "Pedidos");
  b.U16(1).U16(0).U16(1).U8(4).U16(7).U8(1).U8(2).U8(3);
  b.Text(1, "Main").U16(5);  // group: name, number
  // Field: name, type, size, flags (1 byte), decimals, constraint, group 0,
  // texts 1, 4, 2, 3, 5, reference, width, text 6, text 7, byte 1, texts 8, 9.
  b.Text(1, "customer").U8('A').U16(40).U8(0x10).U8(0).Text(1, "").U16(0);
  b.Text(2, "t1").Text(1, "").Text(1, "").Text(1, "").Text(1, "");
  b.Text(1, "").U8(12).Text(1, "").Text(2, "").U8(0).Text(2, "").Text(2, "");
  const auto indexAt = static_cast<int32_t>(b.Bytes().size());
  FixedName(b, "orders.list", kIndexV1NameMax).U8(3).U8(0).U8(0).U8(0).U8(0).I32(8);
  b.I32(indexAt);
  return AsString(b.Bytes());
}

// A compressed block whose first item copies from before the start.
const std::vector<uint8_t> kCorruptBlock = {0x40, 0x80, 0x00, 0xFF, 0xF0};

// Version 36: one interface in a stored block (or `block`), a V2 index with
// two extra texts.
std::string Version36File(uint16_t extraTextNumber = 1, std::vector<uint8_t> block = {}) {
  TByteBuilder data;
  data.Text(1, "orders").Text(1, "item").Text(2, "").Text(1, "");
  data.U16(1).U16(0).U16(0).U8(0).U16(0).U8(0).U8(0);
  data.Text(4, "").U8(0).Text(4, "");
  // Field in the version 36 layout: 2-byte flags and width, texts 10 to 12, bytes 2 and 3.
  data.Text(1, "qty").U8('N').U16(0).U16(0).U8(0).Text(1, "").U16(0xFFFF);
  data.Text(2, "").Text(1, "").Text(1, "").Text(1, "").Text(1, "").Text(1, "");
  data.U16(8).Text(1, "").Text(2, "").U8(0).Text(2, "").Text(2, "").Text(2, "").Text(2, "");
  data.U8(0).Text(2, "").U8(0);
  TByteBuilder b;
  b.Raw("SQV36F").U16(0);
  if (block.empty()) {
    block = data.Bytes();
    block.insert(block.begin(), 0x80);
  }
  b.U16(static_cast<uint32_t>(block.size())).Append(block).U16(0);
  const auto tableAt = static_cast<int32_t>(b.Bytes().size());
  FixedName(b, "unused", kExtraTextSlotSize - 1);
  FixedName(b, "orders.list", kExtraTextSlotSize - 1);
  b.I32(tableAt);
  const auto indexAt = static_cast<int32_t>(b.Bytes().size());
  FixedName(b, "orders.item", kIndexV2NameMax);
  b.U8(9).U8(1).U8(0).I32(8).U16(extraTextNumber).U16(2);
  b.I32(indexAt);
  return AsString(b.Bytes());
}

class IntfFileTest : public ::testing::Test {
 protected:
  TquvInterfaceLib& Open(const std::string& name, const std::string& bytes) {
    FPath = FFolder.WriteFile(name + ".quv", bytes);
    return FRegistry.InternalGetItem(name);
  }

  TTempFolder FFolder;
  TquvInterfaces FRegistry{TquvLibraryOptions{FFolder.Path(), true, false}};
  std::string FPath;
};

TEST_F(IntfFileTest, Version12FileWithV1IndexAndUncompressedData) {
  TquvInterfaceLib& lib = Open("shop", Version12File());
  EXPECT_EQ(lib.FileVersion(), 12);
  EXPECT_EQ(lib.Name(), "SHOP");
  TquvInterfaceRef intf = lib.GetInterface("shop.orders.list");
  EXPECT_EQ(intf->Entry().Word1, -1);
  EXPECT_EQ(intf->Entry().Word2, 0);
  EXPECT_EQ(intf->Kind(), 3);
  EXPECT_EQ(intf->DescriptorText(), "");
  const TquvInterfaceHeader& header = intf->Header();
  EXPECT_EQ(header.Name, "orders.list");
  EXPECT_EQ(header.Text1, "Pedidos");
  EXPECT_EQ(header.DescriptorText, "");  // descriptors are not read by default
  EXPECT_EQ(header.KindByte, 4);
  EXPECT_EQ(header.Word3, 7);
  EXPECT_EQ(header.Byte3, 3);
  TquvInterfaceSymbolDefs& defs = intf->Defs();
  ASSERT_EQ(defs.Count(), 1);
  EXPECT_EQ(defs[0].Name(), "customer");
  EXPECT_EQ(defs[0].Size(), 40);
  EXPECT_EQ(defs[0].Flags(), kSymbolRequired);
  EXPECT_EQ(defs[0].GroupName(), "Main");
  EXPECT_EQ(defs[0].DisplayWidth(), 12);
  EXPECT_EQ(defs[0].Text(1), "t1");
  EXPECT_EQ(defs.QualifiedName(), "SHOP.orders.list");
  EXPECT_EQ(defs.Revision(), 7);
  EXPECT_EQ(intf->Defs(true).Count(), 0);
}

TEST_F(IntfFileTest, Version36FileWithV2IndexExtraTextsAndStoredBlock) {
  TquvInterfaceLib& lib = Open("shop", Version36File());
  TquvInterfaceRef intf = lib.GetInterface("orders.item");
  EXPECT_EQ(intf->DescriptorText(), "orders.list");
  EXPECT_EQ(intf->Entry().Word1, 2);
  EXPECT_EQ(intf->Entry().Word2, 9);
  EXPECT_EQ(intf->Entry().Flag, 0);
  EXPECT_EQ(intf->Kind(), 1);
  ASSERT_EQ(intf->Defs().Count(), 1);
  EXPECT_EQ(intf->Defs()[0].TypeCode(), 'N');
  EXPECT_EQ(intf->Defs()[0].DisplayWidth(), 8);
  // Word1 = 2 with an extra text: the interface extends the one it names.
  ASSERT_EQ(lib.Extensions("orders.list").size(), 1u);
  EXPECT_EQ(lib.Extensions("ORDERS.LIST")[0], intf);
}

TEST_F(IntfFileTest, WriterAndReaderAgreeOnBothIndexLayouts) {
  std::vector<TIndexInfo> entries(2);
  entries[0] = {"a.b", 1, 2, 8, "", -1, 0};
  entries[1] = {"c.d", 3, 4, 9, "", -1, 0};
  for (const int32_t version : {12, 37}) {
    if (version >= kFirstIndexV2Version) {
      entries[0] = {"a.b", 1, 2, 8, "x.y", 2, 7};
      entries[1] = {"c.d", 3, 4, 9, "x.y", 5, 0};
    }
    TMemoryStream stream;
    stream.WriteBuffer(MakeFileHeader().data(), kFileHeaderSize);
    WriteIntfIndex(stream, entries, version);
    EXPECT_EQ(ReadIntfIndex(stream, stream.Size(), version, "f"), entries) << version;
    const int64_t tableSize = version >= kFirstIndexV2Version ? kExtraTextSlotSize + 4 : 0;
    const int32_t entrySize =
        version >= kFirstIndexV2Version ? kIndexV2EntrySize : kIndexV1EntrySize;
    EXPECT_EQ(stream.Size(), kFileHeaderSize + tableSize + 2 * entrySize + 4);
  }
}

TEST_F(IntfFileTest, HeaderRecordRoundTripsInEveryVersion) {
  TquvInterfaceHeader header;
  header.ModuleName = "m";
  header.InterfaceName = "i";
  header.DescriptorText = "d";
  header.Text1 = "t";
  header.FieldCount1 = 3;
  header.KindByte = 1;
  header.Word3 = 2;
  header.Byte1 = 1;
  header.Byte2 = 5;
  header.Text2 = "two";
  header.Byte4 = 6;
  header.Text3 = "three";
  for (int32_t v = 0; v <= kInterfaceFileVersion; ++v) {
    TquvStream stream;
    WriteInterfaceHeader(stream, header, v);
    stream.SetPosition(0);
    const TquvInterfaceHeader read = ReadInterfaceHeader(stream, v, true);
    EXPECT_EQ(read.Name, "m.i") << v;
    EXPECT_EQ(read.FieldCount1, 3) << v;
    EXPECT_EQ(read.Text2, v >= 20 ? "two" : "") << v;
    EXPECT_EQ(read.Text3, v >= 30 ? "three" : "") << v;
    EXPECT_EQ(read.Byte2, v >= 10 ? 5 : 0) << v;
    EXPECT_EQ(read.Byte1, 1) << v;
    EXPECT_EQ(stream.Remaining(), 0) << v;
  }
}

TEST_F(IntfFileTest, GroupsAreWrittenInTheOrderTheDataGaveThem) {
  TquvSymbolDefs first;
  TquvSymbolDefs second;
  TquvGroupDef group;
  for (const char* name : {"a", "c"}) {
    group.Name = name;
    first.AddGroup(group);
  }
  group.Name = "b";
  group.ByteB = 1;
  second.AddGroup(group);
  TquvInterfaceHeader header;
  header.ModuleName = "m";
  header.InterfaceName = "i";
  const TGroupSets interleaved = {0, 1, 0};
  const std::vector<uint8_t> data =
      BuildInterfaceData(header, first, second, kInterfaceFileVersion, interleaved);
  TquvSymbolDefs firstBack;
  TquvSymbolDefs secondBack;
  TGroupSets order;
  ParseInterfaceData(data, kInterfaceFileVersion, true, firstBack, secondBack, &order);
  EXPECT_EQ(order, interleaved);
  EXPECT_EQ(firstBack.Group(1).Name, "c");
  EXPECT_EQ(MessageOf([&] {
              BuildInterfaceData(header, first, second, 37, {0, 1});
            }),
            "The group order does not name each group of the sets once");
  EXPECT_EQ(MessageOf([&] {
              BuildInterfaceData(header, first, second, 37, {0, 1, 1});
            }),
            "The group order does not name each group of the sets once");
}

TEST_F(IntfFileTest, SignatureDigits) {
  EXPECT_EQ(ParseFileHeader("SQV37F\0\0"s, "f").FileVersion, 37);
  EXPECT_EQ(ParseFileHeader("SQVS9F\0\0"s, "f").FileVersion, 9);
  EXPECT_EQ(ParseFileHeader("XQVABF\0\0"s, "f").FileVersion, -1);
  EXPECT_TRUE(ParseFileHeader("XQV37F\0\0"s, "f").PlainFile);
  EXPECT_FALSE(ParseFileHeader("SQV37F\0\0"s, "f").PlainFile);
}

TEST_F(IntfFileTest, EmptyBlockListGivesEmptyData) {
  TMemoryStream stream(std::vector<uint8_t>{0, 0});
  EXPECT_TRUE(ReadCompressedBlocks(stream, "f").empty());
}

TEST_F(IntfFileTest, HostileFilesRaiseTheirErrors) {
  const std::string good = Version36File();
  const auto withIndexAt = [&](uint32_t position) {
    std::string bytes = good;
    for (int i = 0; i < 4; ++i)
      bytes[bytes.size() - 4 + i] = static_cast<char>(position >> (8 * i));
    return bytes;
  };
  const std::string indexError = "Invalid interface file index in ";
  struct TCase {
    std::string Bytes;
    std::string Message;
  };
  const std::vector<TCase> cases = {
      {"SQV37", "Invalid interface file "},
      {"SQV37F\0\0\0"s, indexError},
      {withIndexAt(0xFFFFFFF0), indexError},
      {withIndexAt(2), indexError},
      {Version36File(7), "Extra text number out of range in "},
      {"SQV99F\0\0"s + good.substr(8), ""},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const std::string message = MessageOf([&] {
      Open("bad" + std::to_string(i), cases[i].Bytes).GetInterface("orders.item")->Defs();
    });
    EXPECT_EQ(message, cases[i].Message.empty() ? "Unsupported interface file version 99"
                                                : cases[i].Message + FPath);
  }
  const std::string twice = testing::CurrentFile({{"a.b", {"x"}}, {"A.B", {"y"}}});
  EXPECT_EQ(MessageOf([&] { Open("dup", twice); }), "Interface duplicada A.B");
}

TEST_F(IntfFileTest, CorruptInterfaceDataRaisesItsErrors) {
  TquvInterfaceLib& lib = Open("shop", Version36File(1, kCorruptBlock));
  EXPECT_EQ(MessageOf([&] { lib.GetInterface("orders.item")->Defs(); }),
            "Corrupt interface data in " + FPath);
  // A block longer than what is left of the file.
  std::string bytes = Version36File();
  bytes[8] = static_cast<char>(0xFF);
  bytes[9] = static_cast<char>(0xFF);
  EXPECT_EQ(MessageOf([&] { Open("long", bytes).GetInterface("orders.item")->Defs(); }),
            "Stream read error");
}

TEST_F(IntfFileTest, NameMismatchBeforeVersion3IsAnError) {
  TByteBuilder b;
  b.Text(4, "skipped").Text(4, "other.name").Text(4, "orders").Text(4, "list");
  b.Text(4, "").Text(4, "").U16(0).U16(0).U16(0);
  TMemoryStream memory(b.Bytes());
  TquvStream stream(&memory, false);
  EXPECT_EQ(MessageOf([&] { ReadInterfaceHeader(stream, 2, false); }),
            "Interface name mismatch: other.name and orders.list");
}

}  // namespace
}  // namespace quv
