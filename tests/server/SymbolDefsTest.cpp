#include <gtest/gtest.h>

#include "platform/Cp1252.h"
#include "server/common/quvIntf.h"
#include "server/common/quvstream.h"
#include "tests/kit/ByteBuilder.h"

namespace quv {
namespace {

using testing::MessageOf;
using testing::TByteBuilder;

// A set that uses every field of the record, so a round trip shows what a
// version and form carry.
void FillSample(TquvCustomSymbolDefs& defs) {
  defs.SetName("vendas");
  defs.SetQualifiedName("vendas.pedidos.lista");
  defs.SetRevision(513);
  TquvGroupDef group;
  group.Name = "Preços"_cp;
  group.Number = -3;
  group.ByteA = 1;
  group.ByteB = 2;
  group.ByteC = 3;
  group.TextA = "ta";
  group.TextB = "tb";
  defs.AddGroup(group);
  for (int i = 0; i < 3; ++i) {
    TquvSymbolDef& symbol = defs.AddSymbol("Campo" + std::to_string(i));
    symbol.SetTypeCode(i == 2 ? 'R' : 'A');
    symbol.SetSize(static_cast<uint16_t>(10 + i));
    symbol.SetDecimals(static_cast<uint8_t>(i));
    symbol.SetFlags(i == 1 ? kSymbolHasText15 | kSymbolRequired : kSymbolRequired);
    symbol.SetConstraint("x > " + std::to_string(i));
    symbol.SetGroupName(i == 0 ? "Preços"_cp : "");
    symbol.SetDisplayWidth(300);
    for (int t = 1; t <= 15; ++t)
      symbol.SetText(t, "t" + std::to_string(t) + "/" + std::to_string(i));
    for (int b = 1; b <= 3; ++b) symbol.SetByte(b, static_cast<uint8_t>(b * 10 + i));
  }
  defs.Item(2).Nested().AddSymbol("Dentro").SetTypeCode('N');
  defs.Item(2).SetReference("quvsystem.tasks.list");
}

std::vector<uint8_t> Written(const TquvCustomSymbolDefs& defs, uint8_t form, int32_t level = 2,
                             bool withGroups = true) {
  TMemoryStream stream;
  defs.WriteToStream(stream, form, level, withGroups);
  return stream.Bytes();
}

std::unique_ptr<TquvSymbolDefs> ReadBack(const std::vector<uint8_t>& bytes, int32_t level = 2,
                                         bool withGroups = true) {
  TMemoryStream stream(bytes);
  auto defs = std::make_unique<TquvSymbolDefs>();
  defs->ReadFromStream(stream, true, level, withGroups);
  EXPECT_EQ(stream.Remaining(), 0) << "the reader takes exactly what the writer gave";
  return defs;
}

TEST(SymbolDefsTest, FullFormOfTheCurrentVersionKeepsEveryField) {
  TquvSymbolDefs source;
  FillSample(source);
  const auto copyOwner = ReadBack(Written(source, 0));
  const TquvSymbolDefs& copy = *copyOwner;
  EXPECT_EQ(copy.Name(), "vendas");
  EXPECT_EQ(copy.QualifiedName(), "vendas.pedidos.lista");
  EXPECT_EQ(copy.Revision(), 513);
  EXPECT_EQ(copy.Kind(), 2);
  ASSERT_EQ(copy.GroupCount(), 1);
  EXPECT_EQ(copy.Group(0).Name, "Preços"_cp);
  EXPECT_EQ(copy.Group(0).Number, -3);
  EXPECT_EQ(copy.Group(0).TextB, "tb");
  ASSERT_EQ(copy.Count(), 3);
  for (int i = 0; i < 3; ++i) {
    const TquvSymbolDef& a = source.Item(i);
    const TquvSymbolDef& b = copy.Item(i);
    EXPECT_EQ(b.Name(), a.Name());
    EXPECT_EQ(b.TypeCode(), a.TypeCode());
    EXPECT_EQ(b.Size(), a.Size());
    EXPECT_EQ(b.Decimals(), a.Decimals());
    EXPECT_EQ(b.Flags(), a.Flags());
    EXPECT_EQ(b.Constraint(), a.Constraint());
    EXPECT_EQ(b.GroupName(), a.GroupName());
    EXPECT_EQ(b.DisplayWidth(), 300);
    EXPECT_EQ(b.Offset(), a.Offset());
    for (int t = 1; t <= 15; ++t) {
      const bool carried = t != 14 && (t != 15 || (a.Flags() & kSymbolHasText15));
      EXPECT_EQ(b.Text(t), carried ? a.Text(t) : "") << "text " << t << " of field " << i;
    }
    for (int n = 1; n <= 3; ++n) EXPECT_EQ(b.Byte(n), a.Byte(n));
  }
  EXPECT_EQ(copy.Item(0).Group(), &copy.Group(0));
  EXPECT_EQ(copy.Item(1).Group(), nullptr);
  EXPECT_EQ(copy.Item(2).Reference(), "quvsystem.tasks.list");
  ASSERT_NE(copy.Item(2).NestedIfMade(), nullptr);
  EXPECT_EQ(copy.Item(2).NestedIfMade()->Item(0).Name(), "Dentro");
  // Nested sets travel only at level two, groups only when asked for.
  EXPECT_EQ(ReadBack(Written(source, 0, 1), 1)->Item(2).NestedIfMade(), nullptr);
  const auto noGroups = ReadBack(Written(source, 0, 2, false), 2, false);
  EXPECT_EQ(noGroups->GroupCount(), 0);
  EXPECT_EQ(noGroups->Item(0).Group(), nullptr);
}

TEST(SymbolDefsTest, EveryVersionAndFormRereadsToTheSameBytes) {
  for (uint16_t version = 1; version <= 37; ++version) {
    for (uint8_t form : {0, 1, 2}) {
      TquvSymbolDefs source;
      FillSample(source);
      source.SetFormatVersion(version);
      const std::vector<uint8_t> bytes = Written(source, form);
      const auto copyOwner = ReadBack(bytes);
      const TquvSymbolDefs& copy = *copyOwner;
      EXPECT_EQ(copy.FormatVersion(), version);
      EXPECT_EQ(copy.Count(), 3);
      EXPECT_EQ(copy.Item(0).Name(), "Campo0");
      EXPECT_EQ(Written(copy, form), bytes) << "version " << version << " form " << int(form);
      EXPECT_EQ(copy.Item(2).NestedIfMade() != nullptr, version >= 35) << version;
    }
  }
}

// The head of a serialised set: form, name, qualified name, revision and
// format version.
TByteBuilder SetHead(uint8_t form, std::string_view name, std::string_view qualified,
                     uint16_t revision, uint16_t version) {
  TByteBuilder b;
  b.U8(form).Text(4, name).Text(4, qualified).U16(revision).U16(version);
  return b;
}

// Version 0 is read as 25; full records, one group, one numeric field.
TEST(SymbolDefsTest, ReadsAVersionZeroStreamAsVersion25) {
  TByteBuilder b = SetHead(0, "cli", "cad.clientes", 4, 0);
  b.U8(5).I32(1);                                                     // kind, groups
  b.Text(1, "G").U16(7).U8(1).U8(0).U8(9).Text(1, "a").Text(2, "b");  // the group
  b.I32(1).Text(1, "Codigo").U8('+').U16(10).U16(0x0001).U8(2);       // name .. decimals
  b.Text(1, "").U16(0);                                               // constraint, group
  b.Text(2, "t1").Text(1, "t4").Text(1, "t2").Text(1, "t3").Text(1, "t5");
  b.Text(1, ".sub.item").U16(12);  // reference, width
  b.Text(1, "t6").Text(2, "t7").U8(1).Text(2, "t8").Text(2, "t9").Text(2, "t10").Text(2, "t11");
  b.U8(2).Text(2, "t12").U8(3);
  TMemoryStream stream(b.Bytes());
  TquvSymbolDefs defs;
  defs.ReadFromStream(stream, false, 2, true);
  EXPECT_EQ(stream.Remaining(), 0);
  EXPECT_EQ(defs.FormatVersion(), 25);
  EXPECT_EQ(defs.Kind(), 5);
  EXPECT_EQ(defs.QualifiedName(), "cli.cad.clientes");
  const TquvSymbolDef& symbol = defs.Item(0);
  EXPECT_EQ(symbol.Flags(), 0x0401);
  EXPECT_EQ(symbol.Decimals(), 2);
  EXPECT_EQ(symbol.Group(), &defs.Group(0));
  EXPECT_EQ(symbol.GroupName(), "G");
  EXPECT_EQ(symbol.Reference(), "cli.sub.item");
  EXPECT_EQ(symbol.DisplayWidth(), 12);
  EXPECT_EQ(symbol.Text(4), "t4");
  EXPECT_EQ(symbol.Text(12), "t12");
  EXPECT_EQ(symbol.Byte(3), 3);
  EXPECT_EQ(symbol.OwnerKind(), 5);
}

// Before version 3 every text is long and two texts lead each record.
TEST(SymbolDefsTest, ReadsVersionTwoAndThreeStreams) {
  TByteBuilder b = SetHead(0, "s", "", 1, 2);
  b.U8(2).I32(1).Text(4, "G").U16(1).I32(2);
  b.Text(4, "old1").Text(4, "old2").Text(4, "Nome").U8('A').U16(30).U8(0x10).U8(0).Text(4, "c1");
  b.Text(4, "").Text(4, "").Text(4, "Valor").U8('N').U16(8).U8(0).U8(2).Text(4, "");
  const auto defs = ReadBack(b.Bytes());
  ASSERT_EQ(defs->Count(), 2);
  EXPECT_EQ(defs->Item(0).Name(), "Nome");
  EXPECT_EQ(defs->Item(0).Flags(), 0x10);
  EXPECT_EQ(defs->Item(0).Constraint(), "c1");
  EXPECT_EQ(defs->Item(1).Offset(), 31);
  EXPECT_EQ(defs->Group(0).Name, "G");
  // Version 3: a "NOT NULL" constraint becomes the required flag; the group travels by name.
  TByteBuilder v3 = SetHead(0, "s", "", 1, 3);
  v3.U8(2).I32(1).Text(4, "Dados").U16(1).I32(2);
  v3.Text(4, "A").U8('A').U16(5).U8(0).U8(0).Text(4, "NOT NULL").Text(4, "Dados");
  v3.Text(4, "1").Text(4, "4").Text(4, "2").Text(4, "3").Text(4, "5").Text(4, "");
  v3.Text(4, "").U8('N').U16(4).U8(0).U8(0).Text(4, "not null").Text(4, "Dados Gerais");
  v3.Text(4, "").Text(4, "").Text(4, "").Text(4, "").Text(4, "").Text(4, "x.y");
  const auto three = ReadBack(v3.Bytes());
  EXPECT_EQ(three->Item(0).Flags(), kSymbolRequired);
  EXPECT_EQ(three->Item(0).Constraint(), "");
  EXPECT_EQ(three->Item(0).Group(), &three->Group(0));
  EXPECT_EQ(three->Item(0).Text(5), "5");
  EXPECT_EQ(three->Item(1).Constraint(), "not null");
  EXPECT_EQ(three->Item(1).Group(), nullptr) << "Dados Gerais is no named group";
  EXPECT_EQ(three->Item(1).Reference(), "s.x.y");
  EXPECT_EQ(three->GroupCount(), 1);
}

// The texts that open version 2 records come back in every set; a set that
// keeps the stored form also gives back version 3 "NOT NULL" constraints and
// references as they were.
TEST(SymbolDefsTest, RecordsOfVersionsTwoAndThreeAreWrittenBackAsTheyWereRead) {
  TByteBuilder v2 = SetHead(0, "s", "", 1, 2);
  v2.U8(0).I32(0).I32(1);
  v2.Text(4, "old1").Text(4, "old2").Text(4, "Nome").U8('A').U16(30).U8(0).U8(0).Text(4, "");
  EXPECT_EQ(ReadBack(v2.Bytes())->Item(0).LeadText(2), "old2");
  EXPECT_TRUE(Written(*ReadBack(v2.Bytes()), 0) == v2.Bytes());

  TByteBuilder v3 = SetHead(0, "s", "s2.q", 1, 3);
  v3.U8(0).I32(0).I32(2);
  for (const char* reference : {"s.x.y", ".x.y"}) {
    v3.Text(4, "A").U8('A').U16(5).U8(0).U8(0).Text(4, "NOT NULL").Text(4, "");
    v3.Text(4, "").Text(4, "").Text(4, "").Text(4, "").Text(4, "").Text(4, reference);
  }
  TMemoryStream stream(v3.Bytes());
  TquvSymbolDefs stored;
  stored.SetKeepStoredForm(true);
  stored.ReadFromStream(stream, true, 2, true);
  EXPECT_EQ(stored.Item(0).Constraint(), "NOT NULL");
  EXPECT_EQ(stored.Item(0).Flags(), 0);
  EXPECT_TRUE(Written(stored, 0) == v3.Bytes());
}

// Short records of version 37: flags are present from 36 on; a nested set
// follows its byte.
TEST(SymbolDefsTest, ReadsShortRecordsOfVersions37And30) {
  TByteBuilder nested = SetHead(1, "in", "", 0, 37);
  nested.U8(2).I32(1).Text(1, "X").U8('B').U16(0).U16(0).U8(0);
  nested.Text(1, "").Text(2, "").U8(0).U8(0).Text(2, "");
  TByteBuilder b = SetHead(1, "out", "", 0, 37);
  b.U8(2).I32(1).Text(1, "Itens").U8('R').U16(0).U16(0x1000).U8(0);
  b.Text(1, "").Text(2, "t12").U8(7).U8(1).Append(nested.Bytes()).Text(2, "t15").Text(2, "t13");
  const auto defs = ReadBack(b.Bytes(), 2, false);
  const TquvSymbolDef& symbol = defs->Item(0);
  EXPECT_EQ(symbol.Text(12), "t12");
  EXPECT_EQ(symbol.Byte(3), 7);
  EXPECT_EQ(symbol.Text(15), "t15");
  EXPECT_EQ(symbol.Text(13), "t13");
  ASSERT_NE(symbol.NestedIfMade(), nullptr);
  EXPECT_EQ(symbol.NestedIfMade()->Item(0).TypeCode(), 'B');
  EXPECT_EQ(Written(*defs, 1, 2, false), b.Bytes());
  // Before 36 short records carry no flags.
  TByteBuilder old = SetHead(1, "s", "", 0, 30);
  old.U8(2).I32(1).Text(1, "V").U8('+').U16(4).U8(0).Text(1, "").Text(2, "").U8(0);
  EXPECT_EQ(ReadBack(old.Bytes(), 2, false)->Item(0).Flags(), kSymbolIncrement);
}

TEST(SymbolDefsTest, ASecondReadWithoutForceKeepsTheFirst) {
  TquvSymbolDefs source;
  FillSample(source);
  const std::vector<uint8_t> first = Written(source, 0);
  source.Item(0).SetName("Mudado");
  const std::vector<uint8_t> second = Written(source, 0);

  TquvSymbolDefs defs;
  TMemoryStream a(first);
  defs.ReadFromStream(a, false, 2, true);
  TMemoryStream b(second);
  defs.ReadFromStream(b, false, 2, true);
  EXPECT_EQ(defs.Item(0).Name(), "Campo0");
  EXPECT_LT(b.Position(), b.Size()) << "the rest of the stream is left unread";
  TMemoryStream c(second);
  defs.ReadFromStream(c, true, 2, true);
  EXPECT_EQ(defs.Item(0).Name(), "Mudado");
}

TEST(SymbolDefsTest, OffsetsFollowTheDataSizes) {
  TquvSymbolDefs defs;
  defs.AddSymbol("a").SetTypeCode('N');
  TquvSymbolDef& b = defs.AddSymbol("b");
  b.SetTypeCode('N');
  b.SetDecimals(2);
  TquvSymbolDef& c = defs.AddSymbol("c");
  c.SetTypeCode('A');
  c.SetSize(9);
  defs.AddSymbol("d").SetTypeCode('B');
  EXPECT_EQ(defs.Item(1).Offset(), 4);
  EXPECT_EQ(defs.Item(2).Offset(), 12);
  EXPECT_EQ(defs.Item(3).Offset(), 22);
  c.SetSize(0);
  EXPECT_EQ(defs.Item(3).Offset(), 12);
  b.SetDecimals(0);
  EXPECT_EQ(defs.Item(3).Offset(), 8);
  EXPECT_EQ(defs.RecordSize(), 10);
  EXPECT_EQ(DataSizeOf('D', 0, 0), 8);
  EXPECT_EQ(DataSizeOf('?', 10, 0), 0);
}

TEST(SymbolDefsTest, NameIndexIgnoresCaseAndKeepsTheFirstDuplicate) {
  TquvSymbolDefs defs;
  defs.AddSymbol("Name");
  defs.AddSymbol("Other");
  defs.AddSymbol("NAME");
  EXPECT_EQ(defs.IndexOf("name"), 0);
  EXPECT_EQ(defs.IndexOf("NAME"), 0);
  EXPECT_EQ(defs.IndexOf("oTHER"), 1);
  const auto copyOwner = ReadBack(Written(defs, 0));
  const TquvSymbolDefs& copy = *copyOwner;
  TquvSymbolDefs reread;
  reread.Assign(copy);
  EXPECT_EQ(reread.IndexOf("Name"), 0);
  EXPECT_EQ(reread.Count(), 3);
  reread.Item(0).SetName("Renamed");
  EXPECT_EQ(reread.IndexOf("name"), 2);
  EXPECT_EQ(reread.IndexOf("renamed"), 0);
  EXPECT_THROW(reread.Item(3), TquvInterfaceError);
}

TEST(SymbolDefsTest, AssignCopiesFieldsGroupsAndNestedSets) {
  TquvSymbolDefs source;
  FillSample(source);
  source.SetKind(9);
  TquvSymbolDefs target;
  target.AddSymbol("gone");
  target.Assign(source);
  EXPECT_EQ(target.Kind(), 9);
  EXPECT_EQ(target.Count(), 3);
  EXPECT_EQ(target.Item(0).Group(), &target.Group(0));
  EXPECT_EQ(target.Item(1).Text(14), "t14/1");
  EXPECT_EQ(target.Item(2).Offset(), source.Item(2).Offset());
  ASSERT_NE(target.Item(2).NestedIfMade(), nullptr);
  EXPECT_NE(target.Item(2).NestedIfMade(), source.Item(2).NestedIfMade());
  EXPECT_EQ(target.Item(2).Nested().Item(0).Name(), "Dentro");
  EXPECT_EQ(target.IndexOf("campo1"), 1);
  TquvSymbolDefs kept;
  kept.SetKind(4);
  kept.Assign(source);
  EXPECT_EQ(kept.Kind(), 4) << "only a new set's kind is taken";
}

class TFakeSource final : public IquvDefinitionSource {
 public:
  void FillDefinitions(std::string_view name, TquvSymbolDefs& defs) override {
    Asked = std::string(name);
    defs.AddSymbol("fromSource");
  }
  std::string Asked;
};

TEST(SymbolDefsTest, NestedDefinitionsComeFromTheSourceOrFail) {
  TquvSymbolDefs defs;
  TquvSymbolDef& text = defs.AddSymbol("t");
  text.SetTypeCode('A');
  EXPECT_EQ(MessageOf([&] { text.Nested(); }), "This field is not of RECORD TYPE");
  TquvSymbolDef& record = defs.AddSymbol("r");
  record.SetTypeCode('R');
  EXPECT_EQ(record.Nested().Count(), 0) << "no reference: an empty set";
  TquvSymbolDef& named = defs.AddSymbol("n");
  named.SetTypeCode('R');
  named.SetReference("lib.mod.intf");
  SetDefinitionSource(nullptr);  // not the process's registry
  EXPECT_EQ(MessageOf([&] { named.Nested(); }),
            std::string("Interface não encontrada:"_cp) + "LIB.MOD.INTF");
  EXPECT_EQ(named.NestedIfMade(), nullptr);
  TFakeSource source;
  SetDefinitionSource(&source);
  EXPECT_EQ(named.Nested().Item(0).Name(), "fromSource");
  SetDefinitionSource(nullptr);
  EXPECT_EQ(source.Asked, "lib.mod.intf");
}

TEST(SymbolDefsTest, NamesAreCompletedOnReadingAndShortenedOnWriting) {
  EXPECT_EQ(CompleteName("mod.intf", "lib"), "lib.mod.intf");
  EXPECT_EQ(CompleteName(".mod.intf", "lib"), "lib.mod.intf");
  EXPECT_EQ(CompleteName("a.b.c", "lib"), "a.b.c");
  EXPECT_EQ(CompleteName("plain", "lib"), "plain");
  EXPECT_EQ(CompleteName("", "lib"), "");
  EXPECT_EQ(ShortenName("other.mod.intf", "lib"), "mod.intf");
  EXPECT_EQ(ShortenName("QUVSYSTEM.tasks.list", "lib"), "QUVSYSTEM.tasks.list");
  EXPECT_EQ(ShortenName("vantora.a.b", "lib"), "vantora.a.b");
  EXPECT_EQ(ShortenName("quvsystem.tasks.list", "QuvSystem"), "tasks.list");
  EXPECT_EQ(ShortenName("lib.mod.intf", "lib"), "mod.intf");
  EXPECT_EQ(ShortenName("libx.intf", "lib"), "libx.intf");
}

TEST(SymbolDefsTest, GroupNamesAreLookedUpOrMade) {
  TquvSymbolDefs defs;
  TquvSymbolDef& a = defs.AddSymbol("a");
  a.SetGroupName("Endereco");
  defs.AddSymbol("b").SetGroupName("ENDERECO");
  EXPECT_EQ(defs.GroupCount(), 1);
  EXPECT_EQ(defs.Item(1).Group(), a.Group());
  a.SetGroupName("Dados Gerais");
  EXPECT_EQ(a.Group(), nullptr);
  EXPECT_EQ(a.GroupName(), "");
}

}  // namespace
}  // namespace quv
