#include "tools/quvintf/IntfSchema.h"

namespace quv::intftool {

namespace {

constexpr int64_t kByteMax = 255;
constexpr int64_t kWordMax = 65535;

template <class T, class V>
TIntProperty<T> Int(std::string key, int64_t min, int64_t max, int64_t def, V T::*member) {
  return {std::move(key),
          min,
          max,
          def,
          [member](const T& t) { return int64_t(t.*member); },
          [member](T& t, int64_t v) { t.*member = static_cast<V>(v); }};
}

template <class T>
TTextProperty<T> Text(std::string key, std::string T::*member) {
  return {std::move(key), [member](const T& t) { return t.*member; },
          [member](T& t, std::string v) { t.*member = std::move(v); }};
}

TIntProperty<TDumpedInterface> EntryInt(std::string key, int64_t min, int64_t max, int64_t def,
                                        auto TIndexInfo::*member) {
  return {std::move(key),
          min,
          max,
          def,
          [member](const TDumpedInterface& i) { return int64_t(i.Entry.*member); },
          [member](TDumpedInterface& i, int64_t v) {
            i.Entry.*member = static_cast<std::remove_reference_t<decltype(i.Entry.*member)>>(v);
          }};
}

template <class V>
TIntProperty<TDumpedInterface> HeaderInt(std::string key, int64_t max,
                                         V TquvInterfaceHeader::*member) {
  return {std::move(key),
          0,
          max,
          0,
          [member](const TDumpedInterface& i) { return int64_t(i.Header.*member); },
          [member](TDumpedInterface& i, int64_t v) { i.Header.*member = static_cast<V>(v); }};
}

TTextProperty<TDumpedInterface> HeaderText(std::string key,
                                           std::string TquvInterfaceHeader::*member) {
  return {std::move(key), [member](const TDumpedInterface& i) { return i.Header.*member; },
          [member](TDumpedInterface& i, std::string v) { i.Header.*member = std::move(v); }};
}

TSchema<TDumpedInterface> MakeInterfaceSchema() {
  TSchema<TDumpedInterface> schema;
  schema.Ints = {EntryInt("kind", 0, kByteMax, 0, &TIndexInfo::Kind),
                 EntryInt("flag", 0, kByteMax, 0, &TIndexInfo::Flag),
                 EntryInt("word1", -32768, 32767, -1, &TIndexInfo::Word1),
                 EntryInt("word2", 0, kByteMax, 0, &TIndexInfo::Word2),
                 HeaderInt("kindByte", kByteMax, &TquvInterfaceHeader::KindByte),
                 HeaderInt("word3", kWordMax, &TquvInterfaceHeader::Word3),
                 HeaderInt("byte1", kByteMax, &TquvInterfaceHeader::Byte1),
                 HeaderInt("byte2", kByteMax, &TquvInterfaceHeader::Byte2),
                 HeaderInt("byte3", kByteMax, &TquvInterfaceHeader::Byte3),
                 HeaderInt("byte4", kByteMax, &TquvInterfaceHeader::Byte4)};
  schema.Texts = {{"extraText", [](const TDumpedInterface& i) { return i.Entry.ExtraText; },
                   [](TDumpedInterface& i, std::string v) { i.Entry.ExtraText = std::move(v); }},
                  HeaderText("leadText", &TquvInterfaceHeader::LeadText),
                  HeaderText("descriptor", &TquvInterfaceHeader::DescriptorText),
                  HeaderText("text1", &TquvInterfaceHeader::Text1),
                  HeaderText("text2", &TquvInterfaceHeader::Text2),
                  HeaderText("text3", &TquvInterfaceHeader::Text3)};
  return schema;
}

TSchema<TquvGroupDef> MakeGroupSchema() {
  TSchema<TquvGroupDef> schema;
  schema.Ints = {Int("number", -32768, 32767, 0, &TquvGroupDef::Number),
                 Int("byteA", 0, kByteMax, 0, &TquvGroupDef::ByteA),
                 Int("byteB", 0, kByteMax, 0, &TquvGroupDef::ByteB),
                 Int("byteC", 0, kByteMax, 0, &TquvGroupDef::ByteC)};
  schema.Texts = {Text("name", &TquvGroupDef::Name), Text("textA", &TquvGroupDef::TextA),
                  Text("textB", &TquvGroupDef::TextB)};
  return schema;
}

TSchema<TquvSymbolDef> MakeFieldSchema() {
  using S = TquvSymbolDef;
  TSchema<TquvSymbolDef> schema;
  schema.Ints = {
      {"size", 0, kWordMax, 0, [](const S& s) { return int64_t(s.Size()); },
       [](S& s, int64_t v) { s.SetSize(static_cast<uint16_t>(v)); }},
      {"decimals", 0, kByteMax, 0, [](const S& s) { return int64_t(s.Decimals()); },
       [](S& s, int64_t v) { s.SetDecimals(static_cast<uint8_t>(v)); }},
      {"flags", 0, kWordMax, 0, [](const S& s) { return int64_t(s.Flags()); },
       [](S& s, int64_t v) { s.SetFlags(static_cast<uint16_t>(v)); }},
      {"displayWidth", 0, kWordMax, 0, [](const S& s) { return int64_t(s.DisplayWidth()); },
       [](S& s, int64_t v) { s.SetDisplayWidth(static_cast<uint16_t>(v)); }}};
  for (int n = 1; n <= 3; ++n) {
    schema.Ints.push_back({"byte" + std::to_string(n), 0, kByteMax, 0,
                           [n](const S& s) { return int64_t(s.Byte(n)); },
                           [n](S& s, int64_t v) { s.SetByte(n, static_cast<uint8_t>(v)); }});
  }
  schema.Texts = {{"constraint", [](const S& s) { return s.Constraint(); },
                   [](S& s, std::string v) { s.SetConstraint(std::move(v)); }}};
  for (int n = 1; n <= 2; ++n) {
    schema.Texts.push_back({"leadText" + std::to_string(n),
                            [n](const S& s) { return s.LeadText(n); },
                            [n](S& s, std::string v) { s.SetLeadText(n, std::move(v)); }});
  }
  // Text 14 is not part of the stored form.
  for (int n = 1; n <= 15; ++n) {
    if (n == 14) continue;
    schema.Texts.push_back({"text" + std::to_string(n), [n](const S& s) { return s.Text(n); },
                            [n](S& s, std::string v) { s.SetText(n, std::move(v)); }});
  }
  return schema;
}

}  // namespace

const TSchema<TDumpedInterface>& InterfaceSchema() {
  static const TSchema<TDumpedInterface> schema = MakeInterfaceSchema();
  return schema;
}

const TSchema<TquvGroupDef>& GroupSchema() {
  static const TSchema<TquvGroupDef> schema = MakeGroupSchema();
  return schema;
}

const TSchema<TquvSymbolDef>& FieldSchema() {
  static const TSchema<TquvSymbolDef> schema = MakeFieldSchema();
  return schema;
}

}  // namespace quv::intftool
