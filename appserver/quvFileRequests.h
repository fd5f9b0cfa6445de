#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "transport/quvpack.h"

namespace quv {

// The most files one batch may ask for.
inline constexpr int32_t kMostBatchFiles = 4096;

// Answers the file requests that follow a "QUFT" signature: reads a single
// kind-2 or kind-3 request, or kind-4 requests closed by a kind-5 one, then
// answers each requested file in order with a pack_dt_file item (the value
// of its request, its size and bytes) or a pack_dt_text with the reason it
// is refused, and flushes. A kind-3 request is answered with one pack_dt_file
// whose value is the number of matching names and whose bytes are those
// names, each followed by CR LF. Names are taken relative to `directory`
// (a canonical path; empty: no files are served), '\' counting as '/'; a
// name that is absolute, has a ".." part or leads out of the folder through
// a symbolic link is refused. Any other sequence of kinds raises
// EPackageError. Borrows the package and writer for the exchange only.
void ServeFileRequests(TquvPackage& package, TquvPackageWriter& writer,
                       const std::string& directory);

}  // namespace quv
