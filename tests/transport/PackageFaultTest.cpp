#include <gtest/gtest.h>

#include "tests/kit/BufferConn.h"
#include "tests/kit/ByteBuilder.h"
#include "tests/kit/FaultConn.h"
#include "transport/quvpack.h"

namespace quv {
namespace {

using testing::MessageOf;
using testing::TBufferConn;
using testing::TByteBuilder;
using testing::TFault;
using testing::TFaultConn;

// A package over a faulty in-memory connection, on a test clock that moves
// only while the connection waits.
class PackageFault : public ::testing::Test {
 protected:
  void Feed(const TByteBuilder& bytes) { FBuffer.Feed(bytes.Bytes()); }

  TManualClock FClock;
  TClockOverride FClockGuard{FClock};
  TBufferConn FBuffer{std::string_view(), &FClock};
  TFaultConn FConn{FBuffer, &FClock};
  TquvPackage FPackage{FConn};
  TquvPackageWriter FWriter{FPackage};
  TquvPackageReader FReader{FPackage};
};

TEST_F(PackageFault, RefusedTestSendResetsAndStartsCleanNextTime) {
  FConn.FailWrite(1, TFault::Gone);
  EXPECT_EQ(MessageOf([&] { FPackage.BeginSend(); }), kNoConnectionMessage);
  EXPECT_EQ(FConn.Resets(), 1);
  EXPECT_EQ(FPackage.State(), TquvPackageState::Idle);
  FPackage.BeginSend();  // after the reset: one signature, no abort marker
  FPackage.Flush(0);
  EXPECT_EQ(FBuffer.WrittenText(), "QUV1");
}

TEST_F(PackageFault, WriteToAGoneConnectionRaisesNoConnection) {
  FPackage.BeginSend();
  FConn.FailWrite(1, TFault::Gone);
  EXPECT_EQ(MessageOf([&] { FPackage.SendAlive(); }), kNoConnectionMessage);
  EXPECT_EQ(FConn.Resets(), 1);
}

TEST_F(PackageFault, StalledSendGivesTheReceiveErrorAfterItsTimeOut) {
  FConn.FailWrite(1, TFault::Stall);
  EXPECT_EQ(MessageOf([&] { FPackage.SendRecvOK(); }), kPackageReceiveErrorMessage);
  EXPECT_EQ(FConn.Resets(), 1);
  EXPECT_GT(FClock.TickCount(), 30000u);
}

TEST_F(PackageFault, StalledReadRaisesWaitDataThenTheReceiveError) {
  Feed(TByteBuilder().I32(pack_dt_text).U16(132));
  int32_t waits = 0;
  FPackage.OnWaitData = [&](TquvPackage&, int32_t position, bool&) {
    EXPECT_EQ(position, 0);
    ++waits;
  };
  FBuffer.SetPeerClosed(false);
  EXPECT_EQ(MessageOf([&] { FReader.ReadText(); }), kPackageReceiveErrorMessage);
  EXPECT_EQ(FConn.Resets(), 1);
  EXPECT_EQ(waits, 4);  // 10 s waits until more than 30 s have passed
  EXPECT_EQ(FBuffer.Wait(), 15000);
}

TEST_F(PackageFault, FailedHeaderReadGivesBackTheLockAndTheWaitHandler) {
  Feed(TByteBuilder().I32(132).I32(5));
  FPackage.OnWaitData = [](TquvPackage&, int32_t, bool&) {};
  TquvCommandHeader header;
  std::string context;
  EXPECT_EQ(MessageOf([&] { FReader.ReadCommandHeader(header, context); }), kNoConnectionMessage);
  EXPECT_EQ(FBuffer.LockDepth(), 0);
  EXPECT_TRUE(FPackage.OnWaitData);
}

TEST_F(PackageFault, WaitWithoutDataDuringAHeaderReportsProgress) {
  const TquvCommandHeader sent;
  const auto bytes = EncodeCommandHeader(sent);
  TByteBuilder head;
  head.I32(132).Raw(std::string(bytes.begin(), bytes.end())).I32(pack_dt_context).I32(0);
  Feed(head);
  FConn.FailRead(2, TFault::Nothing);
  std::vector<int32_t> percents;
  FReader.OnProgress = [&](TStream*, int32_t percent, bool&) { percents.push_back(percent); };
  TquvCommandHeader header;
  std::string context;
  FReader.ReadCommandHeader(header, context);
  EXPECT_EQ(percents, std::vector<int32_t>{0});
  EXPECT_EQ(header, sent);
}

TEST_F(PackageFault, ConnectionGoneWhileReadingRaisesNoConnection) {
  Feed(TByteBuilder().I32(pack_dt_text).I32(10).Raw("abc"));
  EXPECT_EQ(MessageOf([&] { FReader.ReadText(); }), kNoConnectionMessage);
  EXPECT_EQ(FConn.Resets(), 1);
}

TEST_F(PackageFault, AcknowledgementThatStopsShortIsNotConfirmed) {
  Feed(TByteBuilder().Raw("RECV"));
  FBuffer.SetPeerClosed(false);
  FPackage.BeginSend();
  EXPECT_EQ(MessageOf([&] { FPackage.EndSend(20000); }), kNotConfirmedMessage);
  EXPECT_EQ(FConn.Resets(), 1);
}

TEST_F(PackageFault, WrongMarkersAndLengthsAreInconsistentWithoutAReset) {
  const TByteBuilder cases[] = {
      TByteBuilder().I32(131),                                             // header length
      TByteBuilder().I32(132).Raw(std::string(132, 0)).I32(pack_dt_text),  // context marker
      TByteBuilder().I32(132).Raw(std::string(132, 0)).I32(pack_dt_context).I32(-1),
  };
  for (const auto& bytes : cases) {
    TBufferConn conn(bytes.Bytes());
    TquvPackage package(conn);
    TquvPackageReader reader(package);
    TquvCommandHeader header;
    std::string context;
    EXPECT_EQ(MessageOf([&] { reader.ReadCommandHeader(header, context); }),
              kInconsistentPackageMessage);
    EXPECT_EQ(conn.Resets(), 0);
    EXPECT_EQ(conn.LockDepth(), 0);
  }
}

TEST_F(PackageFault, HugeAnnouncedLengthsCostNoMoreThanTheBytesSent) {
  Feed(TByteBuilder().I32(pack_dt_text).I32(2147483647).Raw("tiny"));
  EXPECT_EQ(MessageOf([&] { FReader.ReadText(); }), kNoConnectionMessage);
}

TEST_F(PackageFault, BadCompressedBlocksAreInconsistent) {
  auto load = [&](const TByteBuilder& blocks) {
    TBufferConn conn(blocks.Bytes());
    TquvPackage package(conn);
    TquvPackageReader reader(package);
    int32_t value = 0, size = 0;
    TMemoryStream target;
    return MessageOf([&] { reader.ReadFile(target, value, true, size); });
  };
  EXPECT_EQ(load(TByteBuilder().I32(pack_dt_file).I32(65536)), kInconsistentPackageMessage);
  EXPECT_EQ(load(TByteBuilder().I32(pack_dt_file).I32(-3)), kInconsistentPackageMessage);
  // A run of 4095 bytes, repeated past the decode buffer.
  TByteBuilder overflow;
  overflow.I32(pack_dt_file).I32(3 + 4 * 16).U8(fastlzw::CompressedFlag).U16(0xFFFF);
  for (int i = 0; i < 16; ++i) overflow.U8(0).U8(0x0F).U8(0xEF).U8('x');
  EXPECT_EQ(load(overflow), kInconsistentPackageMessage);
  // A back reference before the start of the output.
  EXPECT_EQ(load(TByteBuilder().I32(pack_dt_file).I32(5).U8(0x40).U8(0x80).U8(0).U8(0x10).U8(0)),
            kInconsistentPackageMessage);
  // A negative file size, decoded from a stored block.
  EXPECT_EQ(load(TByteBuilder().I32(pack_dt_file).I32(9).U8(0x80).I32(1).I32(-1)),
            kInconsistentPackageMessage);
}

// A run of empty compressed blocks is a way to hold a reader without end.
TEST_F(PackageFault, MoreThanAFewEmptyBlocksInARowAreInconsistent) {
  auto load = [&](int empties) {
    TByteBuilder bytes;
    bytes.I32(pack_dt_file).I32(9).U8(fastlzw::StoredFlag).I32(1).I32(2);
    for (int i = 0; i < empties; ++i) bytes.I32(i % 2 == 0 ? 0 : 1).Raw(i % 2 == 0 ? "" : "\x80");
    bytes.I32(3).U8(fastlzw::StoredFlag).Raw("ok");
    TBufferConn conn(bytes.Bytes());
    TquvPackage package(conn);
    TquvPackageReader reader(package);
    int32_t value = 0, size = 0;
    TMemoryStream target;
    return MessageOf([&] { reader.ReadFile(target, value, true, size); });
  };
  EXPECT_EQ(load(TquvPackageReader::kMostEmptyBlocks), "(no error)");
  EXPECT_EQ(load(TquvPackageReader::kMostEmptyBlocks + 1), kInconsistentPackageMessage);
}

TEST_F(PackageFault, AFileOverItsLimitIsRefusedBeforeItsBytesAreRead) {
  Feed(TByteBuilder().I32(pack_dt_file).I32(9).U8(fastlzw::StoredFlag).I32(1).I32(2000000000));
  int32_t value = 0, size = 0;
  TMemoryStream target;
  EXPECT_EQ(MessageOf<ETransferLimitError>(
                [&] { FReader.ReadFile(target, value, true, size, TquvFileLimits{1000}); }),
            "o servidor anuncia 2000000000 bytes, mais que o limite de 1000 bytes");
  EXPECT_EQ(target.Size(), 0);
}

TEST_F(PackageFault, AFileTransferEndsAtItsDeadline) {
  // 20000 bytes announced at 1000 bytes a second, with a floor of 5 s: 25 s.
  auto load = [&](uint32_t elapsedMs) {
    TByteBuilder bytes;
    bytes.I32(pack_dt_file).I32(9).U8(fastlzw::StoredFlag).I32(1).I32(20000);
    for (int i = 0; i < 20; ++i)
      bytes.I32(1001).U8(fastlzw::StoredFlag).Raw(std::string(1000, 'b'));
    TBufferConn conn(bytes.Bytes());
    TquvPackage package(conn);
    TquvPackageReader reader(package);
    int32_t value = 0, size = 0;
    TMemoryStream target;
    const TquvFileLimits limits{INT32_MAX, 5000, 1000, FClock.TickCount() - elapsedMs};
    return MessageOf([&] { reader.ReadFile(target, value, true, size, limits); });
  };
  EXPECT_EQ(load(25000), "(no error)");
  EXPECT_EQ(load(25001), "a transferência passou do prazo de 25 s (0 de 20000 bytes recebidos)"_cp);
}

TEST_F(PackageFault, AbandonedWriterGivesUpItsLockAndItsSenderCount) {
  const int32_t before = ActiveSenders();
  {
    TquvPackageWriter writer(FPackage);
    writer.WriteCommandHeader(TquvCommandHeader{}, "");
    writer.WriteCommandHeader(TquvCommandHeader{}, "");
    EXPECT_EQ(ActiveSenders(), before + 1);
    EXPECT_EQ(FBuffer.LockDepth(), 1);
  }
  EXPECT_EQ(ActiveSenders(), before);
  EXPECT_EQ(FBuffer.LockDepth(), 0);
}

}  // namespace
}  // namespace quv
