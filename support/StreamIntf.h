#pragma once

#include <cstdint>
#include <memory>

#include "platform/Streams.h"
#include "support/COM.h"

namespace quv {

// The reference-counted stream interface that values and the broker bridge
// pass streams through. The operations behave as those of TStream: Read and
// Write return the bytes moved (0 at the end, -1 on a failure), Seek the new
// position or -1.
class IStream : public virtual IInterface {
 public:
  static constexpr TGUID IID = {0x0000000C, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
  virtual int32_t Read(void* buffer, int32_t count) = 0;
  virtual int32_t Write(const void* buffer, int32_t count) = 0;
  virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;
  virtual void SetSize(int64_t newSize) = 0;
};

// The stream interface over a platform stream. When it owns the stream it
// frees it with the last reference; a borrowed stream must outlive every
// reference. Not thread-safe.
class TStreamInterface final : public TInterfacedObject, public IStream {
 public:
  TStreamInterface(TStream& stream, bool ownsStream);

  HResult QueryInterface(const TGUID& iid, void** object) override;
  int32_t Read(void* buffer, int32_t count) override { return FStream->Read(buffer, count); }
  int32_t Write(const void* buffer, int32_t count) override {
    return FStream->Write(buffer, count);
  }
  int64_t Seek(int64_t offset, TSeekOrigin origin) override {
    return FStream->Seek(offset, origin);
  }
  void SetSize(int64_t newSize) override { FStream->SetSize(newSize); }

 private:
  ~TStreamInterface() override;

  TStream* FStream;
  std::unique_ptr<TStream> FOwnedStream;
};

// A platform stream over the stream interface; it holds a reference to it.
class TInterfaceStream final : public TStream {
 public:
  explicit TInterfaceStream(TRef<IStream> stream) : FStream(std::move(stream)) {}

  void SetSize(int64_t newSize) override { FStream->SetSize(newSize); }
  int32_t Read(void* buffer, int32_t count) override { return FStream->Read(buffer, count); }
  int32_t Write(const void* buffer, int32_t count) override {
    return FStream->Write(buffer, count);
  }
  int64_t Seek(int64_t offset, TSeekOrigin origin) override {
    return FStream->Seek(offset, origin);
  }

 private:
  TRef<IStream> FStream;
};

}  // namespace quv
