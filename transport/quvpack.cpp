#include "transport/quvpack.h"

#include <algorithm>
#include <cstring>

#include "platform/Clock.h"
#include "platform/FailureGuard.h"
#include "platform/LittleEndian.h"

namespace quv {

namespace {

// Command header: request number (int32), method name (length byte + 100),
// padding (3), method number (int32), reserved (int32), result kind (1), call
// kind (1), padding (2), row count (int32), rows so far (int32), compression
// (1), padding (3).
namespace header_at {
constexpr int32_t RequestNumber = 0;
constexpr int32_t MethodName = 4;
constexpr int32_t MethodNumber = 108;
constexpr int32_t Reserved = 112;
constexpr int32_t ResultKind = 116;
constexpr int32_t CallKind = 117;
constexpr int32_t RowCount = 120;
constexpr int32_t RowsSoFar = 124;
constexpr int32_t Compression = 128;
static_assert(MethodName == RequestNumber + 4);
static_assert(MethodNumber == MethodName + 1 + TquvCommandHeader::kMethodNameCapacity + 3);
static_assert(Reserved == MethodNumber + 4 && ResultKind == Reserved + 4);
static_assert(CallKind == ResultKind + 1 && RowCount == CallKind + 1 + 2);
static_assert(RowsSoFar == RowCount + 4 && Compression == RowsSoFar + 4);
static_assert(kCommandHeaderSize == Compression + 1 + 3);
}  // namespace header_at

// File request: kind (1), file name (length byte + 255), padding (3), value
// (int32), max count (int32).
namespace request_at {
constexpr int32_t Kind = 0;
constexpr int32_t FileName = 1;
constexpr int32_t FileNameCapacity = 255;
constexpr int32_t Value = 260;
constexpr int32_t MaxCount = 264;
static_assert(FileName == Kind + 1 && Value == FileName + 1 + FileNameCapacity + 3);
static_assert(MaxCount == Value + 4 && kFileRequestSize == MaxCount + 4);
}  // namespace request_at

constexpr std::string_view kCallSignature = "QUV1";
constexpr std::string_view kFileSignature = "QUFT";
constexpr std::string_view kLocatorSignature = "QULS";
constexpr std::string_view kRecvOK = "RECVOK";
constexpr int32_t kMaxReadWaitMs = 10000;  // a long read raises OnWaitData at least this often

struct TSignatureCode {
  std::string_view Bytes;
  TquvSignature Code;
};
constexpr TSignatureCode kSignatures[] = {
    {"QUV1", TquvSignature::Call},    {"QUVC", TquvSignature::Close},
    {"QUVF", TquvSignature::Probe},   {"QUFT", TquvSignature::FileTransfer},
    {"QULS", TquvSignature::Locator}, {"GET ", TquvSignature::Get},
    {"POST", TquvSignature::Post},    {"PUT ", TquvSignature::Put},
    {"DELE", TquvSignature::Delete},  {"QUVN", TquvSignature::Notification},
};

// A length byte and up to `capacity` bytes of `text`.
void PutShortString(uint8_t* at, std::string_view text, int32_t capacity) {
  const auto length = std::min<std::size_t>(text.size(), static_cast<std::size_t>(capacity));
  at[0] = static_cast<uint8_t>(length);
  std::memcpy(at + 1, text.data(), length);
}

// The text of a length byte field; a length above `capacity` is cut to it.
std::string GetShortString(const uint8_t* at, int32_t capacity) {
  const int32_t length = std::min<int32_t>(at[0], capacity);
  return std::string(reinterpret_cast<const char*>(at + 1), static_cast<std::size_t>(length));
}

[[noreturn]] void RaiseInconsistent() {
  throw EPackageError(std::string(kInconsistentPackageMessage));
}

int32_t EffectiveWait(int32_t timeoutMs) {
  return timeoutMs <= 0 ? TquvPackage::kDefaultWaitMs : timeoutMs;
}

bool Expired(uint32_t startTick, int32_t limitMs) {
  return Clock().TickCount() - startTick > static_cast<uint32_t>(limitMs);
}

// Holds a connection's lock for a scope; no-op without a connection.
class TConnLock final {
 public:
  explicit TConnLock(TCustomConn* conn) : FConn(conn) {
    if (FConn) FConn->Lock();
  }
  ~TConnLock() {
    if (FConn) FConn->Unlock();
  }
  TConnLock(const TConnLock&) = delete;
  TConnLock& operator=(const TConnLock&) = delete;

 private:
  TCustomConn* FConn;
};

// Sets a connection's wait for a scope and restores the previous one.
class TConnWait final {
 public:
  TConnWait(TCustomConn* conn, int32_t ms) : FConn(conn) {
    if (FConn) FOld = FConn->SetTimeout(ms);
  }
  ~TConnWait() {
    if (FConn) FConn->SetTimeout(FOld);
  }
  TConnWait(const TConnWait&) = delete;
  TConnWait& operator=(const TConnWait&) = delete;

 private:
  TCustomConn* FConn;
  int32_t FOld = 0;
};

// Clears a flag when the scope ends, also by an exception.
class TFlagScope final {
 public:
  explicit TFlagScope(bool& flag) : FFlag(flag) { FFlag = true; }
  ~TFlagScope() { FFlag = false; }
  TFlagScope(const TFlagScope&) = delete;
  TFlagScope& operator=(const TFlagScope&) = delete;

 private:
  bool& FFlag;
};

}  // namespace

TCommandHeaderBytes EncodeCommandHeader(const TquvCommandHeader& header) {
  TCommandHeaderBytes bytes{};
  PutInt32LE(&bytes[header_at::RequestNumber], header.RequestNumber);
  PutShortString(&bytes[header_at::MethodName], header.MethodName,
                 TquvCommandHeader::kMethodNameCapacity);
  PutInt32LE(&bytes[header_at::MethodNumber], header.MethodNumber);
  PutInt32LE(&bytes[header_at::Reserved], header.Reserved);
  bytes[header_at::ResultKind] = header.ResultKind;
  bytes[header_at::CallKind] = header.CallKind;
  PutInt32LE(&bytes[header_at::RowCount], header.RowCount);
  PutInt32LE(&bytes[header_at::RowsSoFar], header.RowsSoFar);
  bytes[header_at::Compression] = header.Compression;
  return bytes;
}

TquvCommandHeader DecodeCommandHeader(const TCommandHeaderBytes& bytes) {
  TquvCommandHeader header;
  header.RequestNumber = GetInt32LE(&bytes[header_at::RequestNumber]);
  header.MethodName =
      GetShortString(&bytes[header_at::MethodName], TquvCommandHeader::kMethodNameCapacity);
  header.MethodNumber = GetInt32LE(&bytes[header_at::MethodNumber]);
  header.Reserved = GetInt32LE(&bytes[header_at::Reserved]);
  header.ResultKind = bytes[header_at::ResultKind];
  header.CallKind = bytes[header_at::CallKind];
  header.RowCount = GetInt32LE(&bytes[header_at::RowCount]);
  header.RowsSoFar = GetInt32LE(&bytes[header_at::RowsSoFar]);
  header.Compression = bytes[header_at::Compression];
  return header;
}

TFileRequestBytes EncodeFileRequest(const TquvFileRequest& request) {
  TFileRequestBytes bytes{};
  bytes[request_at::Kind] = request.Kind;
  PutShortString(&bytes[request_at::FileName], request.FileName, request_at::FileNameCapacity);
  PutInt32LE(&bytes[request_at::Value], request.Value);
  PutInt32LE(&bytes[request_at::MaxCount], request.MaxCount);
  return bytes;
}

TquvFileRequest DecodeFileRequest(const TFileRequestBytes& bytes) {
  TquvFileRequest request;
  request.Kind = bytes[request_at::Kind];
  request.FileName = GetShortString(&bytes[request_at::FileName], request_at::FileNameCapacity);
  request.Value = GetInt32LE(&bytes[request_at::Value]);
  request.MaxCount = GetInt32LE(&bytes[request_at::MaxCount]);
  return request;
}

TquvSignature ClassifySignature(std::string_view bytes) {
  for (const auto& signature : kSignatures)
    if (signature.Bytes == bytes) return signature.Code;
  return TquvSignature::None;
}

// --- TquvPackage ---

TquvPackage::TquvPackage(TStream& connection)
    : FConnection(connection),
      FConn(dynamic_cast<TCustomConn*>(&connection)),
      FSendBuffer(std::make_unique_for_overwrite<uint8_t[]>(kSendBufferSize)) {
  if (FConn) FConn->SetTimeout(FTimeout);
}

void TquvPackage::BeginSend() {
  TConnLock lock(FConn);
  if (FState == TquvPackageState::Sending) {
    Log("!ABORT SEND!");
    AbortSend();
  }
  Log("sending signature");
  WriteSignature(kCallSignature);
  Log("sent signature OK");
  Log("testing send");
  if (FConnection.Write(FSendBuffer.get(), 0) == kConnGone) FailConnection("testing send error");
  Log("sent begin OK");
  FState = TquvPackageState::Sending;
}

void TquvPackage::EndSend(int32_t timeoutMs) {
  if (FState != TquvPackageState::Sending) return;
  TConnLock lock(FConn);
  Log("sending pack_dt_eof");
  WriteInteger(pack_dt_eof);
  Flush(timeoutMs);
  Log("sent pack_dt_eof");
  FState = TquvPackageState::Idle;
  Log("recv ACK");
  char ack[6] = {};
  if (!ReadRaw(ack, sizeof ack, timeoutMs) || kRecvOK != std::string_view(ack, sizeof ack)) {
    Log("recv ACK !ERROR!");
    ResetAfterFailure();
    throw EPackageError(std::string(kNotConfirmedMessage));
  }
  Log("recv ACK OK");
}

void TquvPackage::AbortSend() {
  if (FState != TquvPackageState::Sending) return;
  TConnLock lock(FConn);
  WriteInteger(pack_abort);
  Flush(0);
  FState = TquvPackageState::Abandoned;
}

TquvSignature TquvPackage::ReadSignature(int32_t timeoutMs) {
  TConnLock lock(FConn);
  Log("recv signature");
  TConnWait wait(FConn, EffectiveWait(timeoutMs));
  char bytes[4] = {};
  if (IsGone(FConnection.Read(bytes, sizeof bytes))) return TquvSignature::Closed;
  const TquvSignature code = ClassifySignature(std::string_view(bytes, sizeof bytes));
  if (code != TquvSignature::None)
    Log("recv signature OK - " + std::to_string(static_cast<int32_t>(code)));
  return code;
}

void TquvPackage::SendRecvOK() {
  TConnLock lock(FConn);
  BufferRecvOK();
  Flush(0);
}

void TquvPackage::BufferRecvOK() {
  WriteBuffer(kRecvOK.data(), static_cast<int32_t>(kRecvOK.size()));
}

void TquvPackage::SendAlive() {
  TConnLock lock(FConn);
  WriteInteger(pack_dt_alive);
  Flush(0);
}

void TquvPackage::ReadNotification(std::string& text, int32_t& value, uint8_t& flag) {
  TConnLock lock(FConn);
  ExpectInteger(pack_dt_text);
  text = ReadBlock();
  value = ReadInteger();
  ReadExact(&flag, 1);
}

void TquvPackage::SetTimeout(int32_t ms) {
  TConnLock lock(FConn);
  FTimeout = ms;
}

void TquvPackage::LockConnection() {
  if (FConn) FConn->Lock();
}

void TquvPackage::UnlockConnection() {
  if (FConn) FConn->Unlock();
}

void TquvPackage::Log(std::string_view text) const {
  if (FConn) FConn->Log(text);
}

void TquvPackage::WriteInteger(int32_t value) {
  uint8_t bytes[4];
  PutInt32LE(bytes, value);
  WriteBuffer(bytes, sizeof bytes);
}

void TquvPackage::WriteBlock(const void* data, int32_t count) {
  TConnLock lock(FConn);
  WriteInteger(count);
  WriteBuffer(data, count);
}

void TquvPackage::WriteBuffer(const void* data, int32_t count, int32_t timeoutMs) {
  TConnLock lock(FConn);
  const auto* bytes = static_cast<const uint8_t*>(data);
  while (count > 0) {
    // A large run with nothing buffered before it goes straight to the
    // socket: the same bytes in the same order, without a copy.
    if (FFill == 0 && count >= kDirectSendSize) {
      SendRaw(bytes, count, timeoutMs);
      return;
    }
    const int32_t piece = std::min(count, kSendBufferSize - FFill);
    std::memcpy(FSendBuffer.get() + FFill, bytes, static_cast<std::size_t>(piece));
    FFill += piece;
    bytes += piece;
    count -= piece;
    if (FFill >= kSendBufferSize - 1) {
      SendRaw(FSendBuffer.get(), FFill, timeoutMs);
      FFill = 0;
    }
  }
}

void TquvPackage::Flush(int32_t timeoutMs) {
  TConnLock lock(FConn);
  SendRaw(FSendBuffer.get(), FFill, timeoutMs);
  FFill = 0;
  if (FConn) FConn->AfterFlush();
}

void TquvPackage::ReadExact(void* data, int32_t count) {
  if (!ReadRaw(data, count, 0)) FailStalled();
}

int32_t TquvPackage::ReadInteger() {
  uint8_t bytes[4];
  ReadExact(bytes, sizeof bytes);
  return GetInt32LE(bytes);
}

void TquvPackage::ExpectInteger(int32_t expected) {
  if (ReadInteger() != expected) RaiseInconsistent();
}

std::string TquvPackage::ReadBlock() {
  TConnLock lock(FConn);
  const int32_t length = ReadInteger();
  if (length < 0 || length > FMaxBlockLength) RaiseInconsistent();
  // Grow with the bytes that actually arrive, so that a length the peer made
  // up costs no more memory than the bytes it sends.
  std::string block;
  while (static_cast<int32_t>(block.size()) < length) {
    const auto done = static_cast<int32_t>(block.size());
    const int32_t piece = std::min(length - done, kSendBufferSize);
    block.resize(static_cast<std::size_t>(done + piece));
    ReadExact(block.data() + done, piece);
  }
  return block;
}

bool TquvPackage::ReadRaw(void* data, int32_t count, int32_t timeoutMs) {
  TConnLock lock(FConn);
  if (FFill > 0) Flush(0);
  const int32_t limit = EffectiveWait(timeoutMs);
  TConnWait wait(FConn, std::min(kMaxReadWaitMs, limit));
  auto* bytes = static_cast<uint8_t*>(data);
  const uint32_t start = Clock().TickCount();
  int32_t done = 0;
  while (done < count) {
    const int32_t result = FConnection.Read(bytes + done, count - done);
    if (result == kConnNothingWithinWait && OnWaitData) {
      bool flag = false;
      OnWaitData(*this, 0, flag);
    }
    if (IsGone(result)) FailConnection("recv error");
    done += std::clamp(result, 0, count - done);
    if (done < count && Expired(start, limit)) return false;
  }
  return true;
}

void TquvPackage::SendRaw(const uint8_t* data, int32_t count, int32_t timeoutMs) {
  const int32_t limit = EffectiveWait(timeoutMs);
  TConnWait wait(FConn, limit);
  const uint32_t start = Clock().TickCount();
  int32_t done = 0;
  while (done < count) {
    const int32_t result = FConnection.Write(data + done, count - done);
    if (IsGone(result)) FailConnection("send error");
    done += std::clamp(result, 0, count - done);
    if (done < count && Expired(start, limit)) FailStalled();
  }
}

void TquvPackage::WriteSignature(std::string_view signature) {
  WriteBuffer(signature.data(), static_cast<int32_t>(signature.size()));
}

bool TquvPackage::IsGone(int32_t result) const {
  // A plain stream that moves nothing has reached its end: nothing more will come.
  return result == kConnGone || (FConn == nullptr && result <= 0);
}

void TquvPackage::ResetAfterFailure() {
  FFill = 0;
  FState = TquvPackageState::Idle;
  if (FConn) FConn->ResetConnection(kResetTimeoutMs);
}

void TquvPackage::FailConnection(std::string_view logLine) {
  Log(logLine);
  ResetAfterFailure();
  throw ENoConnectionError();
}

void TquvPackage::FailStalled() {
  Log("transfer stalled");
  ResetAfterFailure();
  throw EPackageError(std::string(kPackageReceiveErrorMessage));
}

int32_t RecordsetSaveFlags(bool withDefinitions, bool definitionsModified, bool rowsInFiles) {
  return (withDefinitions || definitionsModified ? 5 : 0) + (rowsInFiles ? 8 : 0);
}

// --- TquvPackageWriter ---

TquvPackageWriter::TquvPackageWriter(TquvPackage& package) : FPackage(package) {}

TquvPackageWriter::~TquvPackageWriter() { EndCommand(); }

int32_t TquvPackageWriter::Read(void*, int32_t) {
  throw EPackageError("Cant read from this stream (TquvPackageWriter.Read)");
}

int32_t TquvPackageWriter::Write(const void* buffer, int32_t count) {
  if (count <= 0) return 0;
  const auto* bytes = static_cast<const uint8_t*>(buffer);
  int32_t onWire = count;
  if (Compressing())
    onWire = WriteCompressed(bytes, count);
  else
    FPackage.WriteBuffer(bytes, count);
  if (FBandWidth.Active()) {
    FPackage.Flush(0);
    FBandWidth.Throttle(onWire);
  }
  return count;
}

int32_t TquvPackageWriter::WriteCompressed(const uint8_t* data, int32_t count) {
  if (!FWorkArea) {
    FWorkArea = std::make_unique<fastlzw::TWorkArea>();
    FOutput.resize(fastlzw::CompressBound(kChunkSize));
  }
  int32_t onWire = 0;
  while (count > 0) {
    const int32_t chunk = std::min(count, kChunkSize);
    const int32_t length =
        fastlzw::Compress(data, FOutput.data(), static_cast<std::size_t>(chunk), *FWorkArea);
    FPackage.WriteInteger(length);
    FPackage.WriteBuffer(FOutput.data(), length);
    onWire += 4 + length;
    data += chunk;
    count -= chunk;
  }
  return onWire;
}

void TquvPackageWriter::BeforeCopy() { FBandWidth.Restart(); }

int32_t TquvPackageWriter::CopyBufferSize() {
  return Compressing() ? kCompressedCopySize : TquvRemoteStream::CopyBufferSize();
}

void TquvPackageWriter::WriteCommandHeader(const TquvCommandHeader& header,
                                           std::string_view context) {
  if (!FInCommand) {
    IncActiveSenders();
    FInCommand = true;
  }
  if (FPackage.State() != TquvPackageState::Sending) FPackage.BeginSend();
  if (!FHoldsLock) {
    FPackage.LockConnection();
    FHoldsLock = true;
  }
  FPackage.Log("sending pack_dt_command_h");
  FHeader = header;
  FCompress = header.Compression != 0;
  FPackage.WriteInteger(pack_dt_command_h);
  FPackage.Log("sending SendBufferWithMarker");
  const TCommandHeaderBytes bytes = EncodeCommandHeader(header);
  FPackage.WriteBlock(bytes.data(), kCommandHeaderSize);
  FPackage.WriteInteger(pack_dt_context);
  FPackage.WriteBlock(context.data(), static_cast<int32_t>(context.size()));
}

void TquvPackageWriter::WriteCommandAsRecordset(const std::function<void(TStream&)>& save) {
  FPackage.WriteInteger(FCompress ? pack_dt_recordset_z : pack_dt_recordset);
  TFlagScope inRecordset(FInRecordset);
  save(*this);
}

void TquvPackageWriter::WriteCommandAsRecordset(TStream& serialised) {
  WriteCommandAsRecordset([&serialised](TStream& writer) { CopyStreams(serialised, writer, 0); });
}

void TquvPackageWriter::WriteCommandAsRecordset(TquvRecordset* recordset, bool withDefinitions,
                                                bool rowsInFiles) {
  if (recordset == nullptr)
    throw EPackageError("Recordset needed at TquvPackageWriter.WriteCommandAsRecordset");
  const auto flags = static_cast<uint8_t>(
      RecordsetSaveFlags(withDefinitions, recordset->FieldDefs().Modified(), rowsInFiles));
  WriteCommandAsRecordset([&](TStream& writer) { recordset->SaveToStream(writer, flags); });
}

void TquvPackageWriter::EndCommand() {
  if (FHoldsLock) {
    FHoldsLock = false;
    FPackage.UnlockConnection();
  }
  if (FInCommand) {
    FInCommand = false;
    DecActiveSenders();
  }
}

void TquvPackageWriter::WriteText(std::string_view text) {
  FPackage.WriteInteger(pack_dt_text);
  FPackage.WriteBlock(text.data(), static_cast<int32_t>(text.size()));
}

void TquvPackageWriter::WriteFile(int32_t value, TStream& source, int32_t size) {
  FPackage.WriteInteger(pack_dt_file);
  TFlagScope inFile(FInFile);
  uint8_t head[8];
  PutInt32LE(head, value);
  PutInt32LE(head + 4, size);
  WriteBuffer(head, sizeof head);
  if (size > 0) CopyStreams(source, *this, size);
}

void TquvPackageWriter::BeginFileRequests() {
  if (FFileRequestLevel++ == 0)
    FPackage.WriteBuffer(kFileSignature.data(), static_cast<int32_t>(kFileSignature.size()));
}

void TquvPackageWriter::EndFileRequests() {
  if (FFileRequestLevel == 0) return;
  if (--FFileRequestLevel == 0) FPackage.Flush(kRequestFlushTimeoutMs);
}

void TquvPackageWriter::WriteFileRequest(const TquvFileRequest& request) {
  BeginFileRequests();
  {
    const TFailureGuard leaveFileRequests([this] { --FFileRequestLevel; });
    const TFileRequestBytes bytes = EncodeFileRequest(request);
    FPackage.WriteBuffer(bytes.data(), kFileRequestSize);
  }
  EndFileRequests();
}

void TquvPackageWriter::SendLocatorRequest(std::string_view text) {
  FPackage.WriteBuffer(kLocatorSignature.data(), static_cast<int32_t>(kLocatorSignature.size()));
  WriteText(text);
  FPackage.Flush(kRequestFlushTimeoutMs);
}

// --- TquvPackageReader ---

// The decoding buffers are made on the first compressed block.
TquvPackageReader::TquvPackageReader(TquvPackage& package) : FPackage(package) {}

TquvPackageReader::~TquvPackageReader() { EndCommandHeader(); }

int32_t TquvPackageReader::Read(void* buffer, int32_t count) {
  if (count <= 0) return 0;
  auto* out = static_cast<uint8_t*>(buffer);
  if (!Decoding()) {
    CheckDeadline();
    FPackage.ReadExact(out, count);
    FReceivedSinceSize += count;
  } else {
    for (int32_t done = 0; done < count;) {
      if (FDecodedPos == FDecodedFill) NextBlock();
      const int32_t piece = std::min(count - done, FDecodedFill - FDecodedPos);
      std::memcpy(out + done, FDecoded.data() + FDecodedPos, static_cast<std::size_t>(piece));
      FDecodedPos += piece;
      done += piece;
      if (FDecodedPos == FDecodedFill && FInput.size() > kMinInputCapacity)
        SetInputCapacity(kMinInputCapacity);
    }
  }
  ReportProgress(count);
  return count;
}

int32_t TquvPackageReader::Write(const void*, int32_t) {
  throw EPackageError("Can't write to this stream (TquvPackageWriter.Read)");
}

void TquvPackageReader::NextBlock() {
  for (int32_t empty = 0;; ++empty) {
    if (empty > kMostEmptyBlocks) RaiseInconsistent();
    CheckDeadline();
    const int32_t length = FPackage.ReadInteger();
    if (length < 0 || length > kMaxBlockLength) RaiseInconsistent();
    if (length > static_cast<int32_t>(FInput.size()))
      SetInputCapacity(std::max(length, kMinInputCapacity));
    FPackage.ReadExact(FInput.data(), length);
    try {
      FDecodedFill = static_cast<int32_t>(fastlzw::Decompress(
          FInput.data(), FDecoded.data(), static_cast<std::size_t>(length), FDecoded.size()));
    } catch (const fastlzw::EFastLzwError&) {
      FDecodedFill = 0;
      RaiseInconsistent();
    }
    FDecodedPos = 0;
    if (FDecodedFill > 0) {
      FReceivedSinceSize += FDecodedFill;
      return;
    }
  }
}

void TquvPackageReader::CheckDeadline() const {
  if (!FHasDeadline || Clock().TickCount() - FStartTick <= FLimitMs) return;
  throw ETransferLimitError(std::string("a transferência passou do prazo de "_cp) +
                            std::to_string(FLimitMs / 1000) + " s (" +
                            std::to_string(std::min(FReceivedSinceSize, FAnnounced)) + " de " +
                            std::to_string(FAnnounced) + " bytes recebidos)");
}

void TquvPackageReader::SetInputCapacity(int32_t capacity) {
  FInput.resize(static_cast<std::size_t>(capacity));
  FInput.shrink_to_fit();
  FDecoded.resize(FInput.size() * 3);
  FDecoded.shrink_to_fit();
}

void TquvPackageReader::StopDecoding() {
  FCompressedBlocks = false;
  FDecodedPos = FDecodedFill = 0;
  if (FInput.size() > kMinInputCapacity) SetInputCapacity(kMinInputCapacity);
}

void TquvPackageReader::ReportProgress(int32_t count) {
  if (!FProgressActive || !OnProgress || FTotal <= 0) return;
  FDone += count;
  RaiseProgress(static_cast<int32_t>(static_cast<double>(FDone) / FTotal * 100));
}

void TquvPackageReader::RaiseProgress(int32_t percent) {
  if (!OnProgress) return;
  bool flag = false;
  OnProgress(this, percent, flag);
}

int32_t TquvPackageReader::ReadInt32() {
  uint8_t bytes[4];
  ReadBuffer(bytes, sizeof bytes);
  return GetInt32LE(bytes);
}

bool TquvPackageReader::NextIsCommand() {
  const int32_t marker = FPackage.ReadInteger();
  if (marker == pack_dt_command_h) return true;
  if (marker == pack_dt_eof || marker == pack_dt_end) return false;
  RaiseInconsistent();
}

void TquvPackageReader::ReadCommandHeader(TquvCommandHeader& header, std::string& context) {
  if (!FInHeader) {
    FPackage.LockConnection();
    FInHeader = true;
    FSavedWaitData = std::move(FPackage.OnWaitData);
    FPackage.OnWaitData = [this](TquvPackage&, int32_t position, bool& flag) {
      if (OnProgress) OnProgress(this, position, flag);
    };
  }
  const TFailureGuard endHeader([this] { EndCommandHeader(); });
  FPackage.ExpectInteger(kCommandHeaderSize);
  TCommandHeaderBytes bytes;
  FPackage.ReadExact(bytes.data(), kCommandHeaderSize);
  TquvCommandHeader received = DecodeCommandHeader(bytes);
  FPackage.ExpectInteger(pack_dt_context);
  context = FPackage.ReadBlock();
  FCompress = received.Compression != 0;
  FHeader = received;
  header = std::move(received);
}

void TquvPackageReader::EndCommandHeader() {
  if (!FInHeader) return;
  FInHeader = false;
  FPackage.OnWaitData = std::move(FSavedWaitData);
  FSavedWaitData = nullptr;
  FPackage.UnlockConnection();
}

void TquvPackageReader::ReadCommandAsRecordset(const std::function<void(TStream&)>& load) {
  LoadRecordset(FPackage.ReadInteger(), load);
}

void TquvPackageReader::ReadCommandAsRecordset(TquvRecordset* recordset) {
  ReadCommandAsRecordset([&](TStream& reader) {
    if (recordset == nullptr)
      throw EPackageError("Recordset needed at TquvPackageReader.ReadCommandAsRecordset");
    // The reader's progress reaches the recordset for this load only, so the
    // recordset never keeps a handler that points at this reader.
    TquvRecordset::TProgressEvent previous = std::move(recordset->OnProgress);
    recordset->OnProgress = nullptr;
    if (OnProgress)
      recordset->OnProgress = [this](TquvRecordset&, int32_t percent, bool& flag) {
        OnProgress(this, percent, flag);
      };
    // Row files name files of this process: a peer never passes them.
    const bool acceptRowFiles = recordset->AcceptRowFiles;
    recordset->AcceptRowFiles = false;
    try {
      if (recordset->Name().empty()) recordset->SetDefinition(FHeader.MethodName);
      recordset->LoadFromStream(reader, true);
    } catch (...) {
      recordset->AcceptRowFiles = acceptRowFiles;
      recordset->OnProgress = std::move(previous);
      if (!recordset->ReadOnly()) recordset->Clear();
      throw;
    }
    recordset->AcceptRowFiles = acceptRowFiles;
    recordset->OnProgress = std::move(previous);
  });
}

bool TquvPackageReader::ReadRecordsetOrEnd(const std::function<void(TStream&)>& load) {
  const int32_t marker = FPackage.ReadInteger();
  if (marker == pack_dt_eof || marker == pack_dt_end) return false;
  LoadRecordset(marker, load);
  return true;
}

void TquvPackageReader::LoadRecordset(int32_t marker, const std::function<void(TStream&)>& load) {
  if (marker != pack_dt_recordset && marker != pack_dt_recordset_z) RaiseInconsistent();
  FCompressedBlocks = marker == pack_dt_recordset_z;
  {
    const TFailureGuard stopDecoding([this] { StopDecoding(); });
    load(*this);
  }
  StopDecoding();
}

std::string TquvPackageReader::ReadText() {
  FPackage.ExpectInteger(pack_dt_text);
  return FPackage.ReadBlock();
}

void TquvPackageReader::ReadFile(TStream& target, int32_t& value, bool compressed, int32_t& size,
                                 const TquvFileLimits& limits) {
  FCompress = FCompressedBlocks = compressed;
  const int32_t marker = FPackage.ReadInteger();
  if (marker == pack_dt_text) throw ERemoteFileError(FPackage.ReadBlock());
  if (marker != pack_dt_file) RaiseInconsistent();
  {
    const TFailureGuard stopDecoding([this] {
      FHasDeadline = false;
      StopDecoding();
    });
    value = ReadInt32();
    size = ReadInt32();
    if (size < 0) RaiseInconsistent();
    if (size > limits.MaxBytes)
      throw ETransferLimitError("o servidor anuncia " + std::to_string(size) +
                                " bytes, mais que o limite de " + std::to_string(limits.MaxBytes) +
                                " bytes");
    if (limits.FloorMs > 0) {
      FHasDeadline = true;
      FStartTick = limits.StartTick;
      FLimitMs = static_cast<uint32_t>(std::min<int64_t>(
          UINT32_MAX / 2,
          limits.FloorMs + int64_t(size) * 1000 / std::max<int32_t>(limits.MinBytesPerSecond, 1)));
      FAnnounced = size;
      FReceivedSinceSize = FDecodedFill - FDecodedPos;
    }
    const int64_t initial = target.Size();
    FTotal = initial + size;
    FDone = initial;
    RaiseProgress(0);
    {
      TFlagScope progress(FProgressActive);
      if (size > 0) CopyStreams(*this, target, size);
    }
    RaiseProgress(100);
  }
  FHasDeadline = false;
  StopDecoding();
}

}  // namespace quv
