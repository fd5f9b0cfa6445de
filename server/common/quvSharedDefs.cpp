#include "server/common/quvSharedDefs.h"

#include <mutex>
#include <string_view>
#include <unordered_map>

namespace quv {

namespace {

// Bounds what the cache holds; a full cache starts again from empty, which
// costs one read per block afterwards and never a wrong set.
constexpr std::size_t kMaxEntries = 512;
constexpr std::size_t kMaxKeyBytes = std::size_t(16) << 20;

class TBlockCache final {
 public:
  std::shared_ptr<const TquvSymbolDefs> Find(const std::string& key) {
    std::lock_guard<std::mutex> guard(FLock);
    const auto found = FEntries.find(key);
    return found == FEntries.end() ? nullptr : found->second;
  }

  void Keep(std::string key, std::shared_ptr<const TquvSymbolDefs> defs) {
    std::lock_guard<std::mutex> guard(FLock);
    if (FEntries.size() >= kMaxEntries || FKeyBytes + key.size() > kMaxKeyBytes) {
      FEntries.clear();
      FKeyBytes = 0;
    }
    FKeyBytes += key.size();
    FEntries.emplace(std::move(key), std::move(defs));
  }

 private:
  std::mutex FLock;
  std::unordered_map<std::string, std::shared_ptr<const TquvSymbolDefs>> FEntries;
  std::size_t FKeyBytes = 0;
};

std::shared_ptr<const TquvSymbolDefs> NewEmptyDefinitions() {
  auto defs = std::make_shared<TquvSymbolDefs>();
  defs->PrepareForSharing();
  return defs;
}

// The sets read from blocks, and the empty set every new recordset starts with.
struct TSharedDefinitions {
  TBlockCache Blocks;
  const std::shared_ptr<const TquvSymbolDefs> Empty = NewEmptyDefinitions();
};

constinit TProcessSlot<TSharedDefinitions> gShared("shared definition sets");

TBlockCache& Cache() { return gShared->Blocks; }

// What decides the result of a read: the bytes, how they are read, and what
// the read keeps of the set it reads into.
std::string KeyOf(std::string_view block, int32_t level, bool withGroups, uint8_t flag,
                  const std::string& text) {
  std::string key;
  key.reserve(block.size() + text.size() + 8);
  key.append(reinterpret_cast<const char*>(&level), sizeof level);
  key.push_back(withGroups ? '\1' : '\0');
  key.push_back(static_cast<char>(flag));
  const auto textLength = static_cast<uint32_t>(text.size());
  key.append(reinterpret_cast<const char*>(&textLength), sizeof textLength);
  key.append(text);
  key.append(block);
  return key;
}

}  // namespace

std::shared_ptr<const TquvSymbolDefs> SharedDefinitionsFromBlock(TMemoryStream& block,
                                                                 int32_t level, bool withGroups,
                                                                 uint8_t flag,
                                                                 const std::string& text) {
  const TByteView bytes = block.Bytes();
  std::string key =
      KeyOf(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), level,
            withGroups, flag, text);
  if (auto known = Cache().Find(key)) return known;
  auto defs = std::make_shared<TquvSymbolDefs>();
  defs->SetFlag(flag);
  defs->SetText(text);
  block.SetPosition(0);
  defs->ReadFromStream(block, true, level, withGroups);
  defs->PrepareForSharing();
  Cache().Keep(std::move(key), defs);
  return defs;
}

std::shared_ptr<const TquvSymbolDefs> SharedEmptyDefinitions() { return gShared->Empty; }

std::unique_ptr<TScopePart> MakeSharedDefinitions() { return gShared.Make(); }

}  // namespace quv
