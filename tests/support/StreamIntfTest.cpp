#include <gtest/gtest.h>

#include "support/StreamIntf.h"

namespace quv {
namespace {

// A memory stream that says when it is destroyed.
class TWatchedStream final : public TStream {
 public:
  explicit TWatchedStream(bool& destroyed) : FDestroyed(destroyed) {}
  ~TWatchedStream() override { FDestroyed = true; }
  void SetSize(int64_t newSize) override { FData.SetSize(newSize); }
  int32_t Read(void* buffer, int32_t count) override { return FData.Read(buffer, count); }
  int32_t Write(const void* buffer, int32_t count) override { return FData.Write(buffer, count); }
  int64_t Seek(int64_t offset, TSeekOrigin origin) override { return FData.Seek(offset, origin); }

 private:
  bool& FDestroyed;
  TMemoryStream FData;
};

TEST(StreamAdapters, TheInterfaceFreesOnlyAStreamItOwns) {
  bool ownedGone = false, borrowedGone = false;
  TWatchedStream borrowed(borrowedGone);
  {
    TRef<IInterface> owner(new TStreamInterface(*new TWatchedStream(ownedGone), true));
    TRef<IInterface> lender(new TStreamInterface(borrowed, false));
    EXPECT_TRUE(Supports<IStream>(owner.Get()));
    EXPECT_FALSE(Supports<INotifier>(owner.Get()));
  }
  EXPECT_TRUE(ownedGone);
  EXPECT_FALSE(borrowedGone);
}

TEST(StreamAdapters, EachOperationPassesStraightThrough) {
  TMemoryStream memory;
  TInterfaceStream stream(TRef<IStream>(new TStreamInterface(memory, false)));
  stream.WriteBuffer("hello world", 11);
  EXPECT_EQ(memory.Size(), 11);
  EXPECT_EQ(stream.Size(), 11);
  EXPECT_EQ(stream.Seek(-5, TSeekOrigin::End), 6);
  char word[5];
  stream.ReadBuffer(word, 5);
  EXPECT_EQ(std::string(word, 5), "world");
  EXPECT_EQ(stream.Read(word, 1), 0);
  EXPECT_THROW(stream.ReadBuffer(word, 1), EReadError);
  stream.SetSize(5);
  EXPECT_EQ(memory.Bytes(), (std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o'}));
  EXPECT_EQ(stream.Seek(-1, TSeekOrigin::Beginning), -1);
}

}  // namespace
}  // namespace quv
