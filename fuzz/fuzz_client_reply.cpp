// Any bytes, as what a server sends a client once it has acknowledged the
// request: the first byte picks the method whose definitions the reply
// recordset takes (as the client's recordset takes those of the method it
// calls; the interface files are compiled into this program), the rest is
// the server's stream. The client waits for the reply and reads it into a
// real recordset, then every field of every row is read. Only the project's
// own errors may come out.

#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <vector>

#include "fuzz/BoundedReply.h"
#include "fuzz/PrivateTempFolder.h"
#include "fuzz/ReadEveryField.h"
#include "server/common/quvIntfRegistry.h"
#include "tests/kit/BufferConn.h"

namespace {

using namespace quv;

const char* const kMethods[] = {"quvfuzz.all.types", "quvtest.test.echo", "quvtest.test.rows",
                                "quvsystem.tasks.list", "quvsystem.sessions.list"};

void ReadReply(TCustomConn& conn, TquvRecordset& recordset) {
  TquvPackage package(conn);
  TquvCommandHeader header;
  try {
    fuzz::ReceiveBoundedReply(package, header, [&recordset](TquvPackageReader& reader) {
      reader.ReadCommandAsRecordset(&recordset);
    });
  } catch (const Exception&) {
    // The client reports it as the call's error; the recordset is empty.
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  fuzz::UsePrivateTempFolder();
  testing::TBufferConn conn(std::vector<uint8_t>(data + 1, data + size));
  TquvRecordset recordset("", kMethods[data[0] % std::size(kMethods)]);
  recordset.CacheBlobs = true;  // as a client recordset keeps its values
  ReadReply(conn, recordset);
  // A reader that is gone holds no lock, whatever happened.
  if (conn.LockDepth() != 0) std::abort();
  fuzz::ReadEveryField(recordset);
  return 0;
}
