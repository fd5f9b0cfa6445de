#pragma once

#include <optional>
#include <string_view>

namespace quv {

// Program resources: data compiled into the executable at build time (see
// quv_add_resources in cmake/QuvHelpers.cmake). Each generated table enters
// its resources before main runs; lookups are thread-safe after that.

// The bytes of the resource of `type` named `name` (both matched without
// regard to ASCII case), or nothing when the program has none.
std::optional<std::string_view> FindResource(std::string_view type, std::string_view name);

// Enters a resource; the bytes must live as long as the program. Called by
// the generated tables, and by tests that stand in for one. A later entry of
// the same type and name replaces an earlier one.
void RegisterResource(std::string_view type, std::string_view name, std::string_view bytes);

// Removes a resource that RegisterResource entered (for tests).
void UnregisterResource(std::string_view type, std::string_view name);

}  // namespace quv
