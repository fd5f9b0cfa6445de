#include <gtest/gtest.h>

#include <random>

#include "tests/kit/BufferConn.h"
#include "tests/kit/ByteBuilder.h"
#include "transport/quvpack.h"

namespace quv {
namespace {

using testing::MessageOf;
using testing::TBufferConn;
using testing::TByteBuilder;

std::string Text(const std::vector<uint8_t>& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

std::string RandomBytes(std::size_t n, uint32_t seed) {
  std::mt19937 random(seed);
  std::string bytes(n, '\0');
  for (auto& b : bytes) b = static_cast<char>(random());
  return bytes;
}

// Cuts `data` into chunks and writes each as an int32 block length and the block.
TByteBuilder& CompressedBlocks(TByteBuilder& out, std::string_view data,
                               std::size_t chunk = 10240) {
  fastlzw::TWorkArea work;
  std::vector<uint8_t> block(fastlzw::CompressBound(chunk));
  for (std::size_t at = 0; at < data.size(); at += chunk) {
    const std::size_t n = std::min(chunk, data.size() - at);
    const auto length = fastlzw::Compress(reinterpret_cast<const uint8_t*>(data.data()) + at,
                                          block.data(), n, work);
    out.I32(length).Raw(std::string_view(reinterpret_cast<char*>(block.data()), length));
  }
  return out;
}

TquvCommandHeader SampleHeader(uint8_t compression = 0) {
  TquvCommandHeader header;
  header.RequestNumber = 123456789;
  header.MethodName = "quvsystem.tasks.list";
  header.MethodNumber = 7;
  header.CallKind = 3;
  header.RowCount = 30;
  header.RowsSoFar = 4;
  header.ResultKind = 1;
  header.Compression = compression;
  return header;
}

std::string HeaderBytes(const TquvCommandHeader& header) {
  const auto bytes = EncodeCommandHeader(header);
  return std::string(bytes.begin(), bytes.end());
}

TEST(CommandHeader, FieldsSitAtTheirOffsetsRoundTripAndCutTheMethodName) {
  const TquvCommandHeader header = SampleHeader(1);
  const auto bytes = EncodeCommandHeader(header);
  TByteBuilder expected;
  expected.I32(123456789).U8(20).Raw("quvsystem.tasks.list").Raw(std::string(83, '\0'));
  expected.I32(7).I32(0).U8(1).U8(3).U16(0).I32(30).I32(4).U8(1).Raw(std::string(3, '\0'));
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), Text(expected.Bytes()));
  EXPECT_EQ(DecodeCommandHeader(bytes), header);
  // The method name is cut to its field either way.
  TquvCommandHeader longName;
  longName.MethodName = std::string(150, 'm');
  auto cut = EncodeCommandHeader(longName);
  EXPECT_EQ(cut[4], 100);
  EXPECT_EQ(DecodeCommandHeader(cut).MethodName, std::string(100, 'm'));
  cut[4] = 255;  // a peer's length beyond the field reads no further than the field
  EXPECT_EQ(DecodeCommandHeader(cut).MethodName.size(), 100u);
}

TEST(FileRequest, FieldsSitAtTheirOffsetsAndRoundTrip) {
  const TquvFileRequest request{3, "*.quv", 0, 2147483647};
  const auto bytes = EncodeFileRequest(request);
  EXPECT_EQ(bytes[0], 3);
  EXPECT_EQ(bytes[1], 5);
  EXPECT_EQ(std::string(&bytes[2], &bytes[7]), "*.quv");
  EXPECT_EQ(bytes[264], 0xFF);
  EXPECT_EQ(bytes[267], 0x7F);
  EXPECT_EQ(DecodeFileRequest(bytes), request);
}

class PackageTest : public ::testing::Test {
 protected:
  TBufferConn FConn;
  TquvPackage FPackage{FConn};
  TquvPackageWriter FWriter{FPackage};
};

TEST_F(PackageTest, RequestWithAnEmptyContextIsFramedExactly) {
  FConn.Feed("RECVOK");
  const TquvCommandHeader header = SampleHeader();
  FWriter.WriteCommandHeader(header, "");
  FWriter.EndCommand();
  FPackage.EndSend(20000);
  TByteBuilder expected;
  expected.Raw("QUV1").I32(pack_dt_command_h).I32(132).Raw(HeaderBytes(header));
  expected.I32(pack_dt_context).I32(0).I32(pack_dt_eof);
  EXPECT_EQ(FConn.WrittenText(), Text(expected.Bytes()));
  EXPECT_EQ(FPackage.State(), TquvPackageState::Idle);
  EXPECT_EQ(FConn.LockDepth(), 0);
  EXPECT_EQ(FConn.Unread(), 0u);
}

TEST_F(PackageTest, EndSendOnAnIdlePackageWritesAndWaitsForNothing) {
  FConn.Feed("RECVOK");
  FPackage.EndSend(0);
  EXPECT_TRUE(FConn.Written().empty());
  EXPECT_EQ(FConn.Unread(), 6u);
}

TEST_F(PackageTest, SecondBeginSendAbandonsTheFirstPackage) {
  FPackage.BeginSend();
  FPackage.BeginSend();
  FPackage.Flush(0);
  EXPECT_EQ(FConn.WrittenText(), Text(TByteBuilder().Raw("QUV1").I32(-1).Raw("QUV1").Bytes()));
  EXPECT_EQ(FPackage.State(), TquvPackageState::Sending);
}

TEST_F(PackageTest, CompressedWriteIsCutIntoBlocksOf10240InputBytes) {
  FWriter.WriteCommandHeader(SampleHeader(1), "ctx");
  FPackage.Flush(0);
  FConn.ClearWritten();
  std::string data;
  for (int i = 0; data.size() < 25000; ++i) data += "row " + std::to_string(i % 97) + ";";
  data.resize(25000);
  FWriter.WriteCommandAsRecordset([&](TStream& out) {
    EXPECT_EQ(FWriter.CopyBufferSize(), 10230);
    out.WriteBuffer(data.data(), static_cast<int32_t>(data.size()));
  });
  EXPECT_EQ(FWriter.CopyBufferSize(), 4096);
  FPackage.Flush(0);
  TByteBuilder expected;
  expected.I32(pack_dt_recordset_z);
  CompressedBlocks(expected, data);
  EXPECT_EQ(FConn.Written(), expected.Bytes());
  // Three blocks: the lengths are at 4, after the first and after the second.
  std::size_t at = 4, blocks = 0;
  for (; at < FConn.Written().size(); ++blocks)
    at += 4 + static_cast<std::size_t>(FConn.Written()[at] | FConn.Written()[at + 1] << 8);
  EXPECT_EQ(blocks, 3u);
}

TEST_F(PackageTest, IncompressibleChunkIsStoredWithOneFlagByte) {
  FWriter.WriteCommandHeader(SampleHeader(1), "");
  FPackage.Flush(0);
  FConn.ClearWritten();
  const std::string data = RandomBytes(5000, 1);
  FWriter.WriteCommandAsRecordset(
      [&](TStream& out) { out.WriteBuffer(data.data(), static_cast<int32_t>(data.size())); });
  FPackage.Flush(0);
  TByteBuilder expected;
  expected.I32(pack_dt_recordset_z).I32(5001).U8(fastlzw::StoredFlag).Raw(data);
  EXPECT_EQ(FConn.WrittenText(), Text(expected.Bytes()));
}

TEST_F(PackageTest, TextsFileAndLocatorRequestsAreFlushedAsWritten) {
  FWriter.BeginFileRequests();
  FWriter.WriteFileRequest({4, "a.quv", 11, 0});
  FWriter.WriteFileRequest({5, "", 0, 0});
  EXPECT_EQ(FConn.Flushes(), 0);
  FWriter.EndFileRequests();
  FWriter.SendLocatorRequest("quvsystem");
  const auto a = EncodeFileRequest({4, "a.quv", 11, 0});
  const auto end = EncodeFileRequest({5, "", 0, 0});
  TByteBuilder expected;
  expected.Raw("QUFT")
      .Raw(std::string(a.begin(), a.end()))
      .Raw(std::string(end.begin(), end.end()));
  expected.Raw("QULS").I32(pack_dt_text).I32(9).Raw("quvsystem");
  EXPECT_EQ(FConn.WrittenText(), Text(expected.Bytes()));
  EXPECT_EQ(FConn.Flushes(), 2);
}

TEST_F(PackageTest, ProbesAndAcknowledgementsAreAnswered) {
  FConn.Feed("QUVF");
  ASSERT_EQ(FPackage.ReadSignature(0), TquvSignature::Probe);
  FPackage.SendAlive();
  FPackage.SendRecvOK();
  EXPECT_EQ(FConn.WrittenText(), Text(TByteBuilder().I32(pack_dt_alive).Raw("RECVOK").Bytes()));
}

TEST_F(PackageTest, SignaturesAreClassified) {
  const std::pair<std::string_view, TquvSignature> cases[] = {
      {"QUV1", TquvSignature::Call},    {"QUVC", TquvSignature::Close},
      {"QUVF", TquvSignature::Probe},   {"QUFT", TquvSignature::FileTransfer},
      {"QULS", TquvSignature::Locator}, {"GET ", TquvSignature::Get},
      {"POST", TquvSignature::Post},    {"PUT ", TquvSignature::Put},
      {"DELE", TquvSignature::Delete},  {"QUVN", TquvSignature::Notification},
      {"QUVX", TquvSignature::None},
  };
  for (const auto& [bytes, code] : cases) FConn.Feed(bytes);
  for (const auto& [bytes, code] : cases) EXPECT_EQ(FPackage.ReadSignature(0), code) << bytes;
  EXPECT_EQ(FPackage.ReadSignature(0), TquvSignature::Closed);
  EXPECT_EQ(FConn.Wait(), 15000);  // the signature's wait is undone
  FConn.SetPeerClosed(false);
  FConn.Feed("QU");  // two bytes are no signature
  EXPECT_EQ(FPackage.ReadSignature(500), TquvSignature::None);
}

TEST_F(PackageTest, AcknowledgementMustBeExactlyRecvOK) {
  FConn.Feed("RECVOX");
  FPackage.BeginSend();
  EXPECT_EQ(MessageOf([&] { FPackage.EndSend(0); }), kNotConfirmedMessage);
  EXPECT_EQ(FConn.Resets(), 1);
}

TEST_F(PackageTest, NotificationBodyIsRead) {
  FConn.Feed(TByteBuilder().I32(pack_dt_text).I32(2).Raw("hi").I32(-5).U8(9).Bytes());
  std::string text;
  int32_t value = 0;
  uint8_t flag = 0;
  FPackage.ReadNotification(text, value, flag);
  EXPECT_EQ(text, "hi");
  EXPECT_EQ(value, -5);
  EXPECT_EQ(flag, 9);
}

// A serialised recordset stand-in: an int32 length and the bytes.
void SavePayload(TStream& out, const std::string& payload) {
  TquvStream(&out).WriteString(payload);
}

std::string LoadPayload(TStream& in) { return TquvStream(&in).ReadDataString(); }

// A reply of two commands, with and without compression, read back.
TEST(PackageRoundTrip, ReaderReadsWhatTheWriterWrote) {
  for (const uint8_t compression : {0, 1}) {
    TBufferConn out;
    out.Feed("RECVOK");
    TquvPackage sending(out);
    TquvPackageWriter writer(sending);
    const std::string big = RandomBytes(3000, 2) + std::string(30000, 'z') + RandomBytes(3000, 3);
    TquvCommandHeader header = SampleHeader(compression);
    writer.WriteCommandHeader(header, "context bytes");
    writer.WriteCommandAsRecordset([&](TStream& s) { SavePayload(s, big); });
    writer.EndCommand();
    TquvCommandHeader second = header;
    second.ResultKind = 2;
    writer.WriteCommandHeader(second, "");
    writer.WriteText("Erro chamando x:falhou");
    TMemoryStream serialised;
    SavePayload(serialised, "second");
    writer.WriteCommandAsRecordset(serialised);
    writer.EndCommand();
    sending.EndSend(0);

    TBufferConn in;
    in.Feed(out.Written());
    TquvPackage receiving(in);
    TquvPackageReader reader(receiving);
    TquvCommandHeader read;
    std::string context, payload;
    ASSERT_EQ(receiving.ReadSignature(0), TquvSignature::Call);
    ASSERT_TRUE(reader.NextIsCommand());
    reader.ReadCommandHeader(read, context);
    EXPECT_EQ(in.LockDepth(), 1);
    EXPECT_EQ(read, header);
    EXPECT_EQ(context, "context bytes");
    reader.ReadCommandAsRecordset([&](TStream& s) { payload = LoadPayload(s); });
    EXPECT_EQ(payload, big);
    reader.EndCommandHeader();
    ASSERT_TRUE(reader.NextIsCommand());
    reader.ReadCommandHeader(read, context);
    EXPECT_EQ(read, second);
    EXPECT_EQ(reader.ReadText(), "Erro chamando x:falhou");
    reader.ReadCommandAsRecordset([&](TStream& s) { payload = LoadPayload(s); });
    EXPECT_EQ(payload, "second");
    reader.EndCommandHeader();
    EXPECT_FALSE(reader.NextIsCommand());
    EXPECT_EQ(in.Unread(), 0u);
    EXPECT_EQ(in.LockDepth(), 0);
  }
}

TEST(PackageReader, EndMarkersEndAndOtherMarkersAreInconsistent) {
  TBufferConn conn(Text(TByteBuilder().I32(pack_dt_end).I32(pack_dt_recordset).Bytes()));
  TquvPackage package(conn);
  TquvPackageReader reader(package);
  EXPECT_FALSE(reader.NextIsCommand());
  EXPECT_EQ(MessageOf([&] { reader.NextIsCommand(); }), kInconsistentPackageMessage);
  EXPECT_EQ(conn.Resets(), 0);
}

// Rows passed by file name work between recordsets of one process only: a
// peer that names files this process holds gets an error and removes nothing.
TEST(PackageReader, ARecordsetThatNamesRowFilesIsRefused) {
  auto defs = [] {
    auto made = std::make_unique<TquvSymbolDefs>();
    made->SetName("rows.sent");
    made->AddSymbol("code").SetTypeCode('N');
    return made;
  };
  TquvRecordset sender;
  sender.SetFieldDefs(defs());
  sender.AppendValues(std::vector<TVariant>{TVariant(7)});
  TMemoryStream serialised;
  sender.SaveToStream(serialised, kRsRowsInFiles);

  TBufferConn out;
  TquvPackage sending(out);
  TquvPackageWriter writer(sending);
  writer.WriteCommandHeader(SampleHeader(), "");
  serialised.SetPosition(0);
  writer.WriteCommandAsRecordset(serialised);
  writer.EndCommand();
  sending.WriteInteger(pack_dt_eof);
  sending.Flush(0);

  TBufferConn in;
  in.Feed(out.Written());
  TquvPackage receiving(in);
  TquvPackageReader reader(receiving);
  ASSERT_EQ(receiving.ReadSignature(0), TquvSignature::Call);
  ASSERT_TRUE(reader.NextIsCommand());
  TquvCommandHeader header;
  std::string context;
  reader.ReadCommandHeader(header, context);
  TquvRecordset receiver;
  receiver.SetFieldDefs(defs());
  EXPECT_EQ(MessageOf([&] { reader.ReadCommandAsRecordset(&receiver); }), kRowFilesRefused);
  EXPECT_TRUE(receiver.AcceptRowFiles);
  EXPECT_EQ(receiver.RecordCount(), 0);
  sender.First();
  EXPECT_EQ(sender.GetFieldValue("code").ToInteger(), 7);
}

class ReadFileTest : public ::testing::Test {
 protected:
  void Read(bool compressed) {
    TquvPackage package(FConn);
    TquvPackageReader reader(package);
    reader.OnProgress = [&](TStream* sender, int32_t percent, bool&) {
      EXPECT_EQ(sender, &reader);
      FPercents.push_back(percent);
    };
    reader.ReadFile(FTarget, FValue, compressed, FSize);
  }

  TBufferConn FConn;
  TMemoryStream FTarget;
  int32_t FValue = 0;
  int32_t FSize = 0;
  std::vector<int32_t> FPercents;
};

TEST_F(ReadFileTest, CompressedFileIsAppendedWithProgressFromWhatWasThere) {
  const std::string data = RandomBytes(8000, 4) + std::string(92000, 'q');
  FTarget.WriteBuffer(std::string(10000, 'o').data(), 10000);
  TByteBuilder file;
  file.I32(pack_dt_file);
  CompressedBlocks(file, Text(TByteBuilder().I32(77).I32(100000).Raw(data).Bytes()));
  FConn.Feed(file.Bytes());
  Read(true);
  EXPECT_EQ(FValue, 77);
  EXPECT_EQ(FSize, 100000);
  EXPECT_EQ(Text(FTarget.Bytes()), std::string(10000, 'o') + data);
  // The copy reads 61440 bytes, then the rest; 10000 bytes were there before.
  EXPECT_EQ(FPercents, (std::vector<int32_t>{0, (10000 + 61440) * 100 / 110000, 100, 100}));
}

TEST_F(ReadFileTest, RawFileAndAnErrorTextInPlaceOfAFile) {
  FConn.Feed(TByteBuilder().I32(pack_dt_file).I32(5).I32(3).Raw("abc").Bytes());
  FConn.Feed(TByteBuilder().I32(pack_dt_text).I32(6).Raw("no way").I32(pack_dt_eof).Bytes());
  Read(false);
  EXPECT_EQ(Text(FTarget.Bytes()), "abc");
  EXPECT_EQ(MessageOf([&] { Read(false); }), "no way");
  EXPECT_EQ(MessageOf([&] { Read(false); }), kInconsistentPackageMessage);
}

}  // namespace
}  // namespace quv
