#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "platform/Streams.h"
#include "support/StreamIntf.h"
#include "support/Variant.h"

namespace quv {

// A stream that wraps another one and forwards the four stream operations to it
// unchanged, adding the primitive reads and writes of the value encodings
// (little-endian int32 and int32-length-prefixed byte strings). A borrowed
// inner stream must outlive the wrapper. Not thread-safe.
class TquvStream : public TStream {
 public:
  // A null `stream` makes the wrapper create an in-memory stream, which it
  // always frees itself; otherwise `ownsStream` says whether it frees `stream`.
  explicit TquvStream(TStream* stream = nullptr, bool ownsStream = false);
  ~TquvStream() override;

  void SetSize(int64_t newSize) override { FStream->SetSize(newSize); }
  int32_t Read(void* buffer, int32_t count) override { return FStream->Read(buffer, count); }
  int32_t Write(const void* buffer, int32_t count) override {
    return FStream->Write(buffer, count);
  }
  int64_t Seek(int64_t offset, TSeekOrigin origin) override {
    return FStream->Seek(offset, origin);
  }

  TStream& Stream() const { return *FStream; }
  bool OwnsStream() const { return FOwnsStream; }

  void WriteInteger(int32_t value);
  // Raises the stream read error when fewer than 4 bytes remain.
  int32_t ReadInteger();
  // The int32 byte length, then the bytes.
  void WriteString(std::string_view s);
  // The bytes only.
  void WriteRawString(std::string_view s);
  // Length and bytes read exactly; a negative length, or one above 65535 that
  // reaches past the end, raises the invalid-size error.
  std::string ReadDataString();
  // A short length or short bytes, a length above 65535 that reaches past the
  // end raise the invalid-size error; a length below 1 gives "".
  std::string ReadString();
  // As ReadString, with a NUL appended; a negative or oversized length raises
  // EAssertionFailed.
  std::string ReadStringWithNullTerm();
  // Reads the length and moves past that many bytes; returns the new position.
  // A negative length raises the invalid-size error.
  int64_t SkipString();
  // The int32 size of `source`, then that many bytes of it from its position.
  void WriteStream(TStream& source);
  // Reads an int32 N and copies N bytes into `dest` at its position.
  void ReadStream(TStream& dest);

 private:
  // The length of ReadString and ReadStringWithNullTerm.
  int32_t ReadLength(std::string_view message);
  // Whether a length above 65535 reaches past the end of the stream.
  bool ExceedsStream(int32_t length);
  // Copies exactly `count` bytes from `source` to `dest` in bounded chunks.
  static void CopyExactly(TStream& source, TStream& dest, int64_t count);

  TStream* FStream;
  bool FOwnsStream;
  std::unique_ptr<TStream> FOwnedStream;  // the inner stream when it is freed with the wrapper
};

// The abstract base of the package reader and writer: CopyStreams tells a
// destination of this kind when a copy starts and ends, and asks either side
// for the chunk size of small copies.
class TquvRemoteStream : public TStream {
 public:
  void SetSize(int64_t) override {}
  virtual void BeforeCopy() {}
  virtual void AfterCopy() {}
  virtual int32_t CopyBufferSize() { return 4096; }
};

// Progress of a long transfer: `sender` is the stream reporting (null from
// CopyStreams), `percent` 0 to 100; `flag` is set to false before each call.
using TquvProgressEvent = std::function<void(TStream* sender, int32_t percent, bool& flag)>;

// Copies `count` bytes from the position of `source` to `dest`; a count of 0
// rewinds `source` and copies all of it. Raises "Stream copy error at
// quvStreams.CopyStreams" when `source` ends early. `onProgress` hears each
// change of the percentage copied.
void CopyStreams(TStream& source, TStream& dest, int64_t count,
                 const TquvProgressEvent& onProgress = nullptr);

// Moves `count` bytes of `stream` from `from` to `to` in bounded chunks, in
// the direction that never overwrites bytes still to be moved.
void MoveStreamBytes(TStream& stream, int64_t from, int64_t to, int64_t count);

// Field values ------------------------------------------------------------

class TquvSymbolDef;

// An object a Variant refers to (tag 0x4000) that writes itself as the value
// of a text-or-object field: the recordset, in its serialised form.
class TquvValueObject : public TObject {
 public:
  virtual void WriteValue(TStream& dest, const TquvSymbolDef& field, bool withLength) = 0;
};

// Writes `value` to `dest` in the encoding of `field`'s type code; text and
// object fields get their int32 length first when `withLength` is true.
// Conversion failures raise EVariantError. A text-or-object field writes a
// dataset interface in recordset form (WriteDatasetValue); any other
// interface without the stream interface raises "Unsuported interface at
// quvStream.VarToData.", and a
// text-or-object field given a value that is neither text, interface nor
// value object raises "Error writing stream at quvStream.VarToData. Could not
// convert Variant to String or Interface".
using TquvValueWriter = void (*)(const TVariant& value, TStream& dest, const TquvSymbolDef& field,
                                 bool withLength);
// The writer of the field's type code; null for a code that has none.
TquvValueWriter ValueWriterFor(const TquvSymbolDef& field);
// Writes with ValueWriterFor; a field without a writer takes no bytes.
void VarToData(const TVariant& value, TStream& dest, const TquvSymbolDef& field, bool withLength);

// The Variant of one field value held in `bytes` (its row-buffer form: the
// fixed-size encodings, fixed-width text up to its first NUL, or the whole
// bytes of an unbounded text, which give the empty Variant when there are
// none). Fewer bytes than the type needs raise EReadError; a money amount
// outside the currency range raises EVariantError.
TVariant DataToVar(std::span<const uint8_t> bytes, const TquvSymbolDef& field);

// Copies `size` bytes of `source` from its position to `dest`, the int32 size
// first when `withLength`; a size of 0 means all of `source` from its start.
// Returns the size; a read that comes up short raises the error "Erro lendo
// stream em" followed by CopyStreams in double quotes.
int32_t CopyStreams(IStream& source, TStream& dest, int64_t size, bool withLength);

}  // namespace quv
