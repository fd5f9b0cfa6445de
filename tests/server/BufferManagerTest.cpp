#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <vector>

#include "platform/Thread.h"
#include "server/common/BufferManager.h"
#include "server/common/quvBufferedStreams.h"
#include "server/common/quvstream.h"
#include "support/StreamIntf.h"
#include "tests/kit/ByteBuilder.h"

namespace quv {
namespace {

using testing::MessageOf;

TEST(BufferManagerTest, PoolsBuffersAndRefusesToClearWhileOneIsLent) {
  TBufferManager manager(100);
  TBufferRecord* first = manager.GetBuffer();
  EXPECT_TRUE(first->InUse);
  EXPECT_EQ(first->Size, 100);
  EXPECT_EQ(MessageOf([&] { manager.Clear(); }), "There are used items in BufferManager list");
  manager.ReleaseBuffer(first);
  manager.ReleaseBuffer(first);  // a second release changes nothing
  EXPECT_EQ(manager.FreeCount(), 1u);
  EXPECT_EQ(manager.GetBuffer(), first);  // the pooled record comes back
  EXPECT_EQ(manager.UsedCount(), 1);

  // A new size frees the pool; a buffer of the old size is not pooled again.
  manager.SetBufferSize(200);
  manager.ReleaseBuffer(first);
  EXPECT_EQ(manager.FreeCount(), 0u);
  TBufferRecord* second = manager.GetBuffer();
  EXPECT_EQ(second->Size, 200);
  manager.ReleaseBuffer(second);
  manager.Clear();
  EXPECT_EQ(manager.FreeCount(), 0u);

  std::vector<TBufferRecord*> many;
  for (std::size_t i = 0; i < TBufferManager::kMaxFreeRecords + 5; ++i)
    many.push_back(manager.GetBuffer());
  for (TBufferRecord* record : many) manager.ReleaseBuffer(record);
  EXPECT_EQ(manager.FreeCount(), TBufferManager::kMaxFreeRecords);
}

// Borrows and returns buffers in a loop, writing into each one.
class TBorrower final : public TThread {
 public:
  TBorrower(TBufferManager& manager, std::atomic<int>& overlaps)
      : FManager(manager), FOverlaps(overlaps) {}
  ~TBorrower() override { TerminateAndWait(); }

 protected:
  void Execute() override {
    for (int i = 0; i < 2000; ++i) {
      TBufferRecord* record = FManager.GetBuffer();
      record->Data[0] = static_cast<uint8_t>(i);
      if (record->Data[0] != static_cast<uint8_t>(i)) ++FOverlaps;
      FManager.ReleaseBuffer(record);
    }
  }

 private:
  TBufferManager& FManager;
  std::atomic<int>& FOverlaps;
};

TEST(BufferManagerTest, LendsEachBufferToOneThreadAtATime) {
  TBufferManager manager(64);
  std::atomic<int> overlaps{0};
  std::vector<std::unique_ptr<TBorrower>> borrowers;
  for (int i = 0; i < 4; ++i) borrowers.push_back(std::make_unique<TBorrower>(manager, overlaps));
  for (auto& borrower : borrowers) borrower->Start();
  for (auto& borrower : borrowers) borrower->WaitFor();
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_EQ(manager.UsedCount(), 0);
  EXPECT_LE(manager.FreeCount(), 4u);
}

// A copy destination that records the chunks it receives and how many
// buffers the process-wide manager had lent out while the copy ran.
class TChunkRecorder final : public TquvRemoteStream {
 public:
  int32_t Read(void*, int32_t) override { return 0; }
  int32_t Write(const void*, int32_t count) override {
    Chunks.push_back(count);
    LentDuringCopy = ProcessBufferManager()->UsedCount();
    return FailWrites ? 0 : count;
  }
  int64_t Seek(int64_t, TSeekOrigin) override { return 0; }
  int32_t CopyBufferSize() override { return 1500; }

  std::vector<int32_t> Chunks;
  int32_t LentDuringCopy = -1;
  bool FailWrites = false;
};

// Turns the process-wide switch on for one test and restores the pool size.
class TUseBufferManager final {
 public:
  TUseBufferManager() { SetUseBufferManager(true); }
  ~TUseBufferManager() {
    SetUseBufferManager(false);
    ProcessBufferManager()->SetBufferSize(TBufferManager::kDefaultBufferSize);
  }
};

TEST(CopyStreamsBufferTest, CopiesBorrowFromTheManagerOnlyWhenSwitchedOn) {
  TMemoryStream source(std::vector<uint8_t>(3000, 5));
  TChunkRecorder plain;
  CopyStreams(source, plain, 0);
  EXPECT_EQ(plain.Chunks, std::vector<int32_t>({1500, 1500}));
  EXPECT_EQ(plain.LentDuringCopy, 0);
  {
    TUseBufferManager on;
    ProcessBufferManager()->SetBufferSize(1000);
    TChunkRecorder pooled;
    CopyStreams(source, pooled, 0);
    EXPECT_EQ(pooled.Chunks, std::vector<int32_t>({1000, 1000, 1000}));
    EXPECT_EQ(pooled.LentDuringCopy, 1);
    EXPECT_EQ(ProcessBufferManager()->UsedCount(), 0);
    // The buffer goes back when the copy fails too.
    TChunkRecorder failing;
    failing.FailWrites = true;
    EXPECT_EQ(MessageOf([&] { CopyStreams(source, failing, 0); }), "Stream write error");
    EXPECT_EQ(ProcessBufferManager()->UsedCount(), 0);
    // An interface source borrows its chunk too.
    auto* bytes = new TMemoryStream(std::vector<uint8_t>(2500, 9));
    const TRef<IStream> stream(new TStreamInterface(*bytes, true));
    TChunkRecorder fromInterface;
    EXPECT_EQ(CopyStreams(*stream, fromInterface, 0, false), 2500);
    EXPECT_EQ(fromInterface.Chunks, std::vector<int32_t>({1000, 1000, 500}));
    EXPECT_EQ(fromInterface.LentDuringCopy, 1);
    EXPECT_EQ(ProcessBufferManager()->UsedCount(), 0);
  }
}

TEST(CopyStreamsBufferTest, BufferedStreamsBorrowTheirBufferWhenNoSizeIsAsked) {
  TUseBufferManager on;
  {
    TquvBufferedTempStream pooled(0);
    EXPECT_EQ(pooled.Capacity(), TBufferManager::kDefaultBufferSize);
    TquvBufferedTempStream sized(20000);
    EXPECT_EQ(sized.Capacity(), 20000);
    EXPECT_EQ(ProcessBufferManager()->UsedCount(), 1);
  }
  EXPECT_EQ(ProcessBufferManager()->UsedCount(), 0);
}

}  // namespace
}  // namespace quv
