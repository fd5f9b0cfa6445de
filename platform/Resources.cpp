#include "platform/Resources.h"

#include <map>
#include <mutex>
#include <string>

namespace quv {

namespace {

std::string KeyOf(std::string_view type, std::string_view name) {
  std::string key;
  key.reserve(type.size() + name.size() + 1);
  for (std::string_view part : {type, std::string_view("\n"), name})
    for (char c : part) key.push_back(c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c);
  return key;
}

struct TResourceTable {
  std::mutex Lock;
  std::map<std::string, std::string_view> Items;
};

constinit TProcessSlot<TResourceTable> gTable("resource table");

TResourceTable& Table() { return *gTable; }

}  // namespace

// The bounds of the program's resource section; both null when it has none.
extern "C" {
extern const TEmbeddedResource __start_quv_resources[] __attribute__((weak));
extern const TEmbeddedResource __stop_quv_resources[] __attribute__((weak));
}

std::unique_ptr<TScopePart> MakeResourceTable() {
  std::unique_ptr<TScopePart> part = gTable.Make();
  for (const TEmbeddedResource* entry = __start_quv_resources;
       entry != nullptr && entry < __stop_quv_resources; ++entry)
    RegisterResource(entry->Type, entry->Name, std::string_view(entry->Bytes, entry->Size));
  return part;
}

std::optional<std::string_view> FindResource(std::string_view type, std::string_view name) {
  TResourceTable& table = Table();
  std::lock_guard<std::mutex> guard(table.Lock);
  const auto found = table.Items.find(KeyOf(type, name));
  if (found == table.Items.end()) return std::nullopt;
  return found->second;
}

void RegisterResource(std::string_view type, std::string_view name, std::string_view bytes) {
  TResourceTable& table = Table();
  std::lock_guard<std::mutex> guard(table.Lock);
  table.Items[KeyOf(type, name)] = bytes;
}

void UnregisterResource(std::string_view type, std::string_view name) {
  TResourceTable& table = Table();
  std::lock_guard<std::mutex> guard(table.Lock);
  table.Items.erase(KeyOf(type, name));
}

}  // namespace quv
