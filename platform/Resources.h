#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string_view>

#include "platform/ProcessSlot.h"

namespace quv {

// Program resources: data compiled into the executable at build time (see
// quv_add_resources in cmake/QuvHelpers.cmake). The build places one entry per
// resource in the program's section "quv_resources"; the table enters them
// when the process scope makes it. Lookups are thread-safe.

// One resource as the build lays it out in the program.
struct TEmbeddedResource {
  const char* Type;
  const char* Name;
  const char* Bytes;
  std::size_t Size;
};

// Places the entry `entry` for the resource TYPE/NAME in the program's resource section.
#define QUV_EMBED_RESOURCE(entry, type, name, bytes, size)                                     \
  [[gnu::used, gnu::section("quv_resources")]] constinit const ::quv::TEmbeddedResource entry{ \
      type, name, bytes, size};

// Makes the process's resource table with the program's embedded resources.
std::unique_ptr<TScopePart> MakeResourceTable();

// The bytes of the resource of `type` named `name` (both matched without
// regard to ASCII case), or nothing when the program has none.
std::optional<std::string_view> FindResource(std::string_view type, std::string_view name);

// Enters a resource; the bytes must live as long as the table. For tests
// that stand in for an embedded one: a later entry of the same type and
// name replaces an earlier one.
void RegisterResource(std::string_view type, std::string_view name, std::string_view bytes);

// Removes a resource that RegisterResource entered (for tests).
void UnregisterResource(std::string_view type, std::string_view name);

}  // namespace quv
