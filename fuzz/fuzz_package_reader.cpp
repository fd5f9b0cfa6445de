// Any bytes, as what a server sends back on a connection: the first byte picks
// what the client expects (even: a reply with its commands; odd: files, in
// compressed blocks with 0x80, refused over 64 KiB with 0x40), the rest is
// the peer's stream. Only the package errors may come out; anything else
// aborts.

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "fuzz/BoundedReply.h"
#include "tests/kit/BufferConn.h"
#include "transport/quvpack.h"

namespace {

using namespace quv;

constexpr int kMaxItems = 64;  // bounds the loops; the peer's bytes end them sooner

// A serialised recordset stand-in: int32 byte count, then the bytes.
void LoadRecordset(TStream& reader) {
  TquvStream stream(&reader);
  const int32_t count = stream.ReadInteger();
  if (count <= 0) return;
  TMemoryStream sink;
  CopyStreams(reader, sink, count);
}

void ReadReply(TquvPackage& package) {
  TquvCommandHeader header;
  fuzz::ReceiveBoundedReply(package, header, [](TquvPackageReader& reader) {
    reader.ReadCommandAsRecordset(LoadRecordset);
  });
}

// With `limited`, files over 64 KiB are refused before they are read.
void ReadFiles(TquvPackageReader& reader, bool compressed, bool limited) {
  TMemoryStream target;
  const TquvFileLimits limits = limited ? TquvFileLimits{int64_t(1) << 16} : TquvFileLimits{};
  reader.OnProgress = [](TStream*, int32_t percent, bool&) {
    if (percent < 0 || percent > 100) std::abort();
  };
  for (int i = 0; i < kMaxItems; ++i) {
    int32_t value = 0, size = 0;
    reader.ReadFile(target, value, compressed, size, limits);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  testing::TBufferConn conn(std::vector<uint8_t>(data + 1, data + size));
  {
    TquvPackage package(conn);
    TquvPackageReader reader(package);
    try {
      if (data[0] % 2 == 0)
        ReadReply(package);
      else
        ReadFiles(reader, data[0] & 0x80, data[0] & 0x40);
    } catch (const EPackageError&) {
    } catch (const ENoDataError&) {
    } catch (const ENoConnectionError&) {
    } catch (const ERemoteFileError&) {
    }
  }
  // A reader that is gone holds no lock, whatever happened.
  if (conn.LockDepth() != 0) std::abort();
  return 0;
}
