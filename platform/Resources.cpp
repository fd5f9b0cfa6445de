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

// Made on first use, so that generated tables may register from static
// initialisers in any order.
TResourceTable& Table() {
  static TResourceTable table;
  return table;
}

}  // namespace

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
