#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Cp1252.h"
#include "platform/Exception.h"
#include "server/common/fastlzw.h"
#include "server/common/quvRecordset.h"
#include "server/common/quvstream.h"
#include "transport/quvBandWidth.h"
#include "transport/quvConn.h"

// The package protocol: a 4-byte signature, then items that each start with
// an int32 marker. Integers are int32 little-endian; a block is an int32 byte
// count followed by that many bytes. doc/package-protocol.md has the details.
namespace quv {

// Item markers.
inline constexpr int32_t pack_dt_text = 1000;         // a block with a text
inline constexpr int32_t pack_dt_recordset = 1001;    // a serialised recordset
inline constexpr int32_t pack_dt_command_h = 1002;    // int32 132, the command header
inline constexpr int32_t pack_dt_context = 1003;      // a block with the call context
inline constexpr int32_t pack_dt_eof = 1004;          // ends the package
inline constexpr int32_t pack_dt_end = 1005;          // ends the package (read only)
inline constexpr int32_t pack_dt_recordset_z = 1006;  // a recordset in compressed blocks
inline constexpr int32_t pack_dt_alive = 1007;        // the answer to a probe
inline constexpr int32_t pack_dt_file = 1008;         // int32 value, int32 size, the data
inline constexpr int32_t pack_abort = -1;             // the package being sent is abandoned

// What ReadSignature recognised; codes 5 and 8 do not occur.
enum class TquvSignature : int32_t {
  None = 0,          // nothing recognised, or fewer than 4 bytes arrived
  Call = 1,          // "QUV1"
  Close = 2,         // "QUVC"
  Probe = 3,         // "QUVF"
  FileTransfer = 4,  // "QUFT"
  Locator = 6,       // "QULS"
  Closed = 7,        // the connection is gone
  Get = 9,           // "GET "
  Post = 10,         // "POST"
  Put = 11,          // "PUT "
  Delete = 12,       // "DELE"
  Notification = 13  // "QUVN"
};

// Standard messages.
inline constexpr std::string_view kPackageReceiveErrorMessage =
    "Erro recebendo dados do servidor.A rede pode estar temporariamente lenta ou danificada.Se o "
    "problema persistir contate o Administrador de Rede";
inline constexpr std::string_view kNoDataMessage =
    "Tempo limite alcançado ao aguardando sua requisição.O servidor pode estar muito carregado."
    "Aguarde e tente novamente.Se o problema persistir contate o Administrador do Sistema"_cp;
inline constexpr std::string_view kNoConnectionMessage =
    "Sem conexão com o servidor.O sistema pode estar desconfigurado ou o servidor inacessível."
    "Aguarde e tente novamente.Se o problema persistir contate o Administrador do Sistema"_cp;
inline constexpr std::string_view kInconsistentPackageMessage =
    "Inconsistent package communication";
inline constexpr std::string_view kNotConfirmedMessage =
    "Could not send data package (other peer did not confirm)";

class EPackageError : public Exception {
 public:
  using Exception::Exception;
};

// No reply arrived within the call's time-out.
class ENoDataError : public Exception {
 public:
  ENoDataError() : Exception(std::string(kNoDataMessage)) {}
};

// The connection is lost or refused.
class ENoConnectionError : public Exception {
 public:
  ENoConnectionError() : Exception(std::string(kNoConnectionMessage)) {}
  explicit ENoConnectionError(std::string message) : Exception(std::move(message)) {}
};

// The server sent an error text in place of a requested file.
class ERemoteFileError : public Exception {
 public:
  using Exception::Exception;
};

// What a file transfer may cost its reader (TquvPackageReader::ReadFile).
struct TquvFileLimits {
  // A file announced larger is refused before any of its bytes is read.
  int64_t MaxBytes = INT32_MAX;
  // With FloorMs above 0, the whole transfer must end within FloorMs plus a
  // second for every MinBytesPerSecond bytes announced, on the process
  // clock, counted from StartTick (its reading before the request was sent).
  uint32_t FloorMs = 0;
  int32_t MinBytesPerSecond = 1;
  uint32_t StartTick = 0;
};

// A file transfer beyond the limits its reader set: too large, or not done
// in time. The connection is left inside the transfer; its owner drops it.
class ETransferLimitError : public EPackageError {
 public:
  using EPackageError::EPackageError;
};

// The request and reply header. On the wire (132 bytes): request number
// (int32 @0), method name (length byte @4 + 100 bytes), method number (int32
// @108), reserved (int32 @112), result kind (@116), call kind (@117), row
// count (int32 @120), rows so far (int32 @124), compression (@128); the gaps
// are padding, written as zero and ignored on reading.
struct TquvCommandHeader {
  int32_t RequestNumber = 0;
  std::string MethodName;  // at most kMethodNameCapacity bytes reach the wire
  int32_t MethodNumber = 0;
  int32_t Reserved = 0;
  uint8_t ResultKind = 0;  // reply: 2 error text, 3 nothing, otherwise a recordset
  uint8_t CallKind = 0;
  int32_t RowCount = 0;
  int32_t RowsSoFar = 0;
  uint8_t Compression = 0;  // non-zero: recordsets may travel in compressed blocks

  static constexpr int32_t kMethodNameCapacity = 100;
  bool operator==(const TquvCommandHeader&) const = default;
};

inline constexpr int32_t kCommandHeaderSize = 132;
using TCommandHeaderBytes = std::array<uint8_t, kCommandHeaderSize>;

TCommandHeaderBytes EncodeCommandHeader(const TquvCommandHeader& header);
// A method-name length above the field's capacity is cut to it.
TquvCommandHeader DecodeCommandHeader(const TCommandHeaderBytes& bytes);

// A file-transfer request. On the wire (268 bytes): kind (@0), file name
// (length byte @1 + 255 bytes), value (int32 @260), max count (int32 @264).
struct TquvFileRequest {
  uint8_t Kind = 0;      // 2 one file, 3 the files matching a mask, 4 a batch item, 5 end of batch
  std::string FileName;  // at most 255 bytes reach the wire
  int32_t Value = 0;
  int32_t MaxCount = 0;  // 2147483647 for kind 3, else 0

  bool operator==(const TquvFileRequest&) const = default;
};

// Request kinds of a file exchange.
inline constexpr uint8_t kFileRequestOne = 2;       // send this one file
inline constexpr uint8_t kFileRequestList = 3;      // send the names that match a mask
inline constexpr uint8_t kFileRequestBatch = 4;     // one file of a batch
inline constexpr uint8_t kFileRequestBatchEnd = 5;  // ends the batch

inline constexpr int32_t kFileRequestSize = 268;
using TFileRequestBytes = std::array<uint8_t, kFileRequestSize>;

TFileRequestBytes EncodeFileRequest(const TquvFileRequest& request);
TquvFileRequest DecodeFileRequest(const TFileRequestBytes& bytes);

// The code of the 4 signature bytes `bytes`; None when they match nothing.
TquvSignature ClassifySignature(std::string_view bytes);

enum class TquvPackageState : uint8_t { Idle = 0, Sending = 1, Abandoned = 2 };

class TquvPackage;

// Raised while a read waits for data; `position` is always 0 and `flag` is
// not looked at afterwards.
using TquvWaitDataEvent = std::function<void(TquvPackage& sender, int32_t position, bool& flag)>;

// The send buffer and the raw reads and writes over one connection, which it
// borrows: "*connection" must outlive the package. A TCustomConn gets its wait,
// lock, log and reset calls; any other stream is used as a plain byte stream.
// One thread at a time.
class TquvPackage final {
 public:
  explicit TquvPackage(TStream& connection);
  TquvPackage(const TquvPackage&) = delete;
  TquvPackage& operator=(const TquvPackage&) = delete;

  // Starts a package with the signature "QUV1", abandoning one still being sent.
  void BeginSend();
  // Ends the package with pack_dt_eof and waits up to `timeoutMs` for "RECVOK".
  // Does nothing when no package is being sent.
  void EndSend(int32_t timeoutMs);
  // Abandons the package being sent with pack_abort.
  void AbortSend();
  // One read of up to 4 bytes within `timeoutMs` (0: 30000), classified.
  TquvSignature ReadSignature(int32_t timeoutMs);
  void SendRecvOK();
  // "RECVOK" into the send buffer only: the next flush carries it, together
  // with whatever was buffered after it.
  void BufferRecvOK();
  void SendAlive();
  // The body of a "QUVN" notification: a text item, 4 bytes, 1 byte.
  void ReadNotification(std::string& text, int32_t& value, uint8_t& flag);

  void SetTimeout(int32_t ms);
  int32_t Timeout() const { return FTimeout; }
  // The longest block ReadBlock accepts; a longer one is inconsistent.
  void SetMaxBlockLength(int32_t length) { FMaxBlockLength = length; }
  TquvPackageState State() const { return FState; }
  TStream& Connection() const { return FConnection; }

  // The connection's lock, for spans of several operations.
  void LockConnection();
  void UnlockConnection();
  // A diagnostic line for the connection's log.
  void Log(std::string_view text) const;

  // Low level. Writes are buffered; a time-out of 0 means 30000 ms.
  void WriteInteger(int32_t value);
  // The int32 count, then the bytes.
  void WriteBlock(const void* data, int32_t count);
  void WriteBuffer(const void* data, int32_t count, int32_t timeoutMs = 0);
  void Flush(int32_t timeoutMs);
  // Reads exactly; a stall resets the connection and raises the receive error.
  void ReadExact(void* data, int32_t count);
  int32_t ReadInteger();
  // Reads an int32 and raises "Inconsistent package communication" unless it is `expected`.
  void ExpectInteger(int32_t expected);
  // An int32 count and that many bytes; a negative count, or one above the
  // maximum block length, is inconsistent.
  std::string ReadBlock();
  // Reads up to `count` bytes within `timeoutMs`; false when they did not all arrive.
  bool ReadRaw(void* data, int32_t count, int32_t timeoutMs);

  TquvWaitDataEvent OnWaitData;

  static constexpr int32_t kSendBufferSize = 65536;
  static constexpr int32_t kDirectSendSize = 32768;
  static constexpr int32_t kDefaultWaitMs = 30000;
  static constexpr int32_t kResetTimeoutMs = 5000;

 private:
  void SendRaw(const uint8_t* data, int32_t count, int32_t timeoutMs);
  void WriteSignature(std::string_view signature);
  bool IsGone(int32_t result) const;
  [[noreturn]] void FailConnection(std::string_view logLine);
  [[noreturn]] void FailStalled();
  // After a failure on the connection: reset it and drop what was meant for it.
  void ResetAfterFailure();

  TquvPackageState FState = TquvPackageState::Idle;
  TStream& FConnection;
  TCustomConn* FConn;  // FConnection as a connection, or null
  int32_t FTimeout = 15000;
  int32_t FMaxBlockLength = INT32_MAX;
  std::unique_ptr<uint8_t[]> FSendBuffer;  // not cleared: a package per call stays cheap
  int32_t FFill = 0;
};

// How a recordset is asked to serialise itself into a package writer:
// definitions included (5) when asked for or changed, plus 8 for rows in files.
int32_t RecordsetSaveFlags(bool withDefinitions, bool definitionsModified, bool rowsInFiles);

// A write-only stream over a package, which it borrows. Writes the command
// header and context, recordsets (in compressed blocks when the header asks
// for it), texts and file and locator requests. One thread at a time.
class TquvPackageWriter final : public TquvRemoteStream {
 public:
  explicit TquvPackageWriter(TquvPackage& package);
  ~TquvPackageWriter() override;

  int32_t Read(void* buffer, int32_t count) override;  // raises EPackageError
  int32_t Write(const void* buffer, int32_t count) override;
  int64_t Seek(int64_t, TSeekOrigin) override { return 0; }
  void BeforeCopy() override;
  int32_t CopyBufferSize() override;

  // Starts a command (and the package when none is being sent) and holds the
  // connection's lock until EndCommand; counts this writer as sending.
  void WriteCommandHeader(const TquvCommandHeader& header, std::string_view context);
  // The recordset marker, then whatever `save` writes into this writer, cut
  // into compressed blocks when the header's compression byte is set. A
  // recordset plugs in with save = its SaveToStream and RecordsetSaveFlags.
  void WriteCommandAsRecordset(const std::function<void(TStream&)>& save);
  // The same for a recordset already serialised into `serialised` (all of it).
  void WriteCommandAsRecordset(TStream& serialised);
  // `recordset` serialising itself with RecordsetSaveFlags; null raises EPackageError.
  void WriteCommandAsRecordset(TquvRecordset* recordset, bool withDefinitions, bool rowsInFiles);
  // Releases what WriteCommandHeader took; does nothing outside a command.
  void EndCommand();
  void WriteText(std::string_view text);
  // A pack_dt_file item: the marker, then `value`, `size` and `size` bytes of
  // `source` (from its position), these three in compressed blocks. A file
  // server's answer to one requested file.
  void WriteFile(int32_t value, TStream& source, int32_t size);
  void BeginFileRequests();
  void EndFileRequests();
  void WriteFileRequest(const TquvFileRequest& request);
  void SendLocatorRequest(std::string_view text);

  const TquvCommandHeader& Header() const { return FHeader; }
  TBandWidthControl& BandWidth() { return FBandWidth; }

  static constexpr int32_t kChunkSize = 10240;
  static constexpr int32_t kCompressedCopySize = 10230;
  static constexpr int32_t kRequestFlushTimeoutMs = 15000;

 private:
  bool Compressing() const { return (FCompress && FInRecordset) || FInFile; }
  // Buffers `count` bytes as compressed blocks; returns the bytes buffered.
  int32_t WriteCompressed(const uint8_t* data, int32_t count);

  TBandWidthControl FBandWidth;
  TquvPackage& FPackage;
  TquvCommandHeader FHeader;
  bool FCompress = false;
  bool FInRecordset = false;
  bool FInFile = false;                           // files always travel in compressed blocks
  bool FInCommand = false;                        // counted as an active sender
  bool FHoldsLock = false;                        // holds the connection's lock for the command
  std::unique_ptr<fastlzw::TWorkArea> FWorkArea;  // made on first use
  std::vector<uint8_t> FOutput;                   // one compressed chunk, made with the work area
  int32_t FFileRequestLevel = 0;
};

// A read-only stream over a package, which it borrows: reads what the writer
// writes, decoding compressed blocks where the writer made them. One thread
// at a time.
class TquvPackageReader final : public TquvRemoteStream {
 public:
  explicit TquvPackageReader(TquvPackage& package);
  ~TquvPackageReader() override;

  // Fills `buffer` completely, from compressed blocks when they are on.
  int32_t Read(void* buffer, int32_t count) override;
  int32_t Write(const void* buffer, int32_t count) override;  // raises EPackageError
  int64_t Seek(int64_t, TSeekOrigin) override { return 0; }

  // True when a command header follows, false at the end of the package.
  bool NextIsCommand();
  // Holds the connection's lock until EndCommandHeader; while it is held,
  // waits for data raise OnProgress with percent 0.
  void ReadCommandHeader(TquvCommandHeader& header, std::string& context);
  // Does nothing unless a header is being read.
  void EndCommandHeader();
  // Expects a recordset marker and lets `load` read the serialised recordset
  // from this reader (decoding blocks when the header allows compression). A
  // recordset plugs in with load = its LoadFromStream.
  void ReadCommandAsRecordset(const std::function<void(TStream&)>& load);
  // `recordset` loading itself (definitions forced) with this reader's
  // OnProgress; one without a name first takes the definitions of the
  // header's method. Null raises EPackageError; on failure the recordset is
  // emptied and the error passes on.
  void ReadCommandAsRecordset(TquvRecordset* recordset);
  // Reads a recordset as ReadCommandAsRecordset does and returns true, or
  // returns false when the package ends there instead.
  bool ReadRecordsetOrEnd(const std::function<void(TStream&)>& load);
  std::string ReadText();
  // Reads a pack_dt_file item into `target` at its position; a text item in
  // its place raises ERemoteFileError with the text. A size above
  // limits.MaxBytes, or a transfer past the limits' deadline, raises
  // ETransferLimitError ("o servidor anuncia N bytes, mais que o limite de M
  // bytes"; "a transferência passou do prazo de S s (R de N bytes
  // recebidos)").
  void ReadFile(TStream& target, int32_t& value, bool compressed, int32_t& size,
                const TquvFileLimits& limits = {});

  const TquvCommandHeader& Header() const { return FHeader; }

  TquvProgressEvent OnProgress;

  static constexpr int32_t kMinInputCapacity = 4106;
  static constexpr int32_t kMaxBlockLength = 65535;  // the codec's lengths are 16-bit
  // Compressed blocks that decode to nothing carry nothing: a run of more
  // than this many is inconsistent, rather than a way to hold a reader.
  static constexpr int32_t kMostEmptyBlocks = 16;

 private:
  bool Decoding() const { return FCompress && FCompressedBlocks; }
  // Loads the recordset item that `marker` started.
  void LoadRecordset(int32_t marker, const std::function<void(TStream&)>& load);
  // Decodes the next non-empty compressed block.
  void NextBlock();
  // Raises ETransferLimitError when a file transfer's deadline has passed.
  void CheckDeadline() const;
  void SetInputCapacity(int32_t capacity);
  void StopDecoding();
  void ReportProgress(int32_t count);
  void RaiseProgress(int32_t percent);
  int32_t ReadInt32();

  TquvPackage& FPackage;
  TquvCommandHeader FHeader;
  bool FCompress = false;
  bool FCompressedBlocks = false;
  std::vector<uint8_t> FInput;
  int64_t FTotal = 0;
  int64_t FDone = 0;
  bool FProgressActive = false;
  std::vector<uint8_t> FDecoded;  // capacity: three times the input's
  int32_t FDecodedPos = 0;
  int32_t FDecodedFill = 0;
  bool FInHeader = false;
  TquvWaitDataEvent FSavedWaitData;
  // The deadline of the file being read, when it has one.
  bool FHasDeadline = false;
  uint32_t FStartTick = 0;
  uint32_t FLimitMs = 0;
  int64_t FAnnounced = 0;
  int64_t FReceivedSinceSize = 0;
};

}  // namespace quv
