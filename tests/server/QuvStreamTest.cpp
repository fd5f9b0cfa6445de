#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>

#include "platform/Assertion.h"
#include "server/common/quvBufferedStreams.h"
#include "server/common/quvstream.h"
#include "tests/kit/ByteBuilder.h"
#include "tests/kit/TempFolder.h"

namespace quv {
namespace {

using testing::MessageOf;
using testing::TByteBuilder;

std::vector<uint8_t> BytesOf(TquvStream& stream) {
  return static_cast<TMemoryStream&>(stream.Stream()).Bytes();
}

TEST(MemoryStreamTest, ReadsWritesSeeksAndRaisesExactErrors) {
  TMemoryStream stream;
  stream.WriteBuffer("abcdef", 6);
  EXPECT_EQ(stream.Size(), 6);
  EXPECT_EQ(stream.Seek(-2, TSeekOrigin::End), 4);
  char two[2];
  stream.ReadBuffer(two, 2);
  EXPECT_EQ(std::string(two, 2), "ef");
  EXPECT_EQ(stream.Read(two, 2), 0);
  EXPECT_EQ(MessageOf([&] { stream.ReadBuffer(two, 1); }), "Stream read error");
  EXPECT_EQ(stream.Seek(-1, TSeekOrigin::Beginning), -1);
  EXPECT_EQ(stream.Position(), 6);
  // A write beyond the end fills the gap with zero bytes.
  stream.SetPosition(8);
  stream.WriteBuffer("z", 1);
  EXPECT_EQ(stream.Bytes(), (std::vector<uint8_t>{'a', 'b', 'c', 'd', 'e', 'f', 0, 0, 'z'}));
  stream.SetSize(3);
  EXPECT_EQ(stream.Position(), 3);
  EXPECT_EQ(stream.Remaining(), 0);
}

TEST(MemoryStreamTest, LargeBlocksKeepTheirBytesAndCopyBothWaysWithProgress) {
  std::vector<uint8_t> pattern(3 << 20);
  for (std::size_t i = 0; i < pattern.size(); ++i) pattern[i] = uint8_t(i * 7 + i / 4096);
  TMemoryStream source;
  for (std::size_t at = 0; at < pattern.size(); at += 100000)
    source.WriteBuffer(&pattern[at], int32_t(std::min<std::size_t>(100000, pattern.size() - at)));
  EXPECT_EQ(source.Bytes(), pattern);
  // Through a file-backed stream and back into a fresh memory stream.
  TquvBufferedTempStream file(8192);
  std::vector<int32_t> percents;
  CopyStreams(source, file, 0,
              [&](TStream*, int32_t percent, bool&) { percents.push_back(percent); });
  EXPECT_EQ(percents.back(), 100);
  TMemoryStream back;
  back.WriteBuffer("x", 1);
  CopyStreams(file, back, 0);
  EXPECT_EQ(back.Size(), int64_t(pattern.size()) + 1);
  EXPECT_TRUE(std::equal(pattern.begin(), pattern.end(), back.Memory() + 1));
  // Shrinking and growing again gives zero bytes, not the old ones.
  back.SetSize(10);
  back.SetSize(2 << 20);
  EXPECT_EQ(back.Bytes()[10], 0);
  EXPECT_EQ(back.Bytes()[(2 << 20) - 1], 0);
  file.SetPosition(0);
  EXPECT_EQ(MessageOf([&] { CopyStreams(file, back, int64_t(pattern.size()) + 1); }),
            "Stream copy error at quvStreams.CopyStreams");
}

// Freed large blocks are kept for the next large stream, so a new stream may
// sit on another's old bytes: none of them may show through.
TEST(MemoryStreamTest, AReusedLargeBlockShowsNoneOfItsOldBytes) {
  constexpr int32_t kLarge = 4 << 20;
  const auto leaveDirtyBlock = [] {
    TMemoryStream old;
    const std::vector<uint8_t> bytes(kLarge, 0xAB);
    old.WriteBuffer(bytes.data(), kLarge);
  };
  const auto zeros = [](const TMemoryStream& stream, int64_t count) {
    return std::all_of(stream.Memory(), stream.Memory() + count, [](uint8_t b) { return b == 0; });
  };
  leaveDirtyBlock();
  TMemoryStream grown;
  grown.SetSize(kLarge);
  EXPECT_TRUE(zeros(grown, kLarge));
  leaveDirtyBlock();
  TMemoryStream gap;
  gap.SetPosition(kLarge - 1);
  gap.WriteBuffer("z", 1);
  EXPECT_TRUE(zeros(gap, kLarge - 1));
  EXPECT_EQ(gap.Memory()[kLarge - 1], 'z');
}

TEST(FileStreamTest, CreatesReopensAndNamesAMissingFile) {
  const TTempFolder folder;
  const std::string name = folder.Path() + "/data.bin";
  {
    TFileStream out(name, TFileMode::Create);
    out.WriteBuffer("hello", 5);
    out.SetSize(4);
  }
  {
    TFileStream in(name, TFileMode::OpenRead);
    EXPECT_EQ(in.Size(), 4);
    char buffer[4];
    in.ReadBuffer(buffer, 4);
    EXPECT_EQ(std::string(buffer, 4), "hell");
    EXPECT_EQ(MessageOf([&] { in.WriteBuffer("x", 1); }), "Stream write error");
  }
  unlink(name.c_str());
  const std::string message = MessageOf([&] { TFileStream missing(name, TFileMode::OpenRead); });
  EXPECT_EQ(message.rfind("Cannot open file \"" + name + "\". ", 0), 0u) << message;
}

TEST(QuvStreamTest, PrimitiveWritesGiveTheirExactBytes) {
  TquvStream stream;
  stream.WriteInteger(-2);
  stream.WriteString("");
  stream.WriteString("ab");
  stream.WriteRawString("cd");
  stream.WriteRawString("");
  TMemoryStream source(std::vector<uint8_t>{1, 2, 3});
  stream.WriteStream(source);
  EXPECT_EQ(BytesOf(stream),
            TByteBuilder().I32(-2).I32(0).Text(4, "ab").Raw("cd").I32(3).U8(1).U8(2).U8(3).Bytes());
}

TEST(QuvStreamTest, PrimitiveReadsTakeWhatTheWritesGave) {
  TByteBuilder bytes;
  bytes.I32(7).I32(0).Text(4, "abc").Text(4, "abc").Text(4, "xy").Text(4, "zz");
  TMemoryStream inner = bytes.Stream();
  TquvStream stream(&inner, false);
  EXPECT_EQ(stream.ReadInteger(), 7);
  EXPECT_EQ(stream.ReadString(), "");
  EXPECT_EQ(stream.Position(), 8);
  EXPECT_EQ(stream.ReadStringWithNullTerm(), std::string("abc\0", 4));
  EXPECT_EQ(stream.ReadDataString(), "abc");
  EXPECT_EQ(stream.SkipString(), 28);
  TMemoryStream dest;
  stream.ReadStream(dest);
  EXPECT_EQ(dest.Bytes(), (std::vector<uint8_t>{'z', 'z'}));
  EXPECT_EQ(MessageOf([&] { stream.ReadInteger(); }), "Stream read error");
}

TEST(QuvStreamTest, LongLengthsAreCheckedAgainstTheRestBeforeReading) {
  constexpr std::string_view kReadString =
      "Invalid string size reading string in TquvStream.ReadString";
  constexpr std::string_view kReadDataString =
      "Invalid string size reading string in TquvStream.ReadDataString";
  TMemoryStream inner;
  TquvStream stream(&inner, false);
  const auto load = [&](int32_t length) {
    inner.Clear();
    stream.WriteInteger(length);
    stream.WriteRawString(std::string(100, 'x'));
    stream.SetPosition(0);
  };
  load(70000);
  EXPECT_EQ(MessageOf([&] { stream.ReadString(); }), kReadString);
  EXPECT_EQ(stream.Position(), 4) << "no byte of the text is read";
  load(70000);
  EXPECT_EQ(MessageOf([&] { stream.ReadDataString(); }), kReadDataString);
  EXPECT_EQ(stream.Position(), 4);
  load(-1);
  EXPECT_EQ(MessageOf([&] { stream.ReadDataString(); }), kReadDataString);
  load(-1);
  EXPECT_EQ(stream.ReadString(), "");
  // Up to 65535 the length is trusted and the short read fails afterwards.
  load(60000);
  EXPECT_EQ(MessageOf([&] { stream.ReadString(); }), kReadString);
  load(60000);
  EXPECT_EQ(MessageOf([&] { stream.ReadDataString(); }), "Stream read error");
}

TEST(QuvStreamTest, NullTerminatedReadAssertsOnABadLength) {
  for (const int32_t length : {-1, 70000}) {
    TMemoryStream inner = TByteBuilder().I32(length).Raw("abc").Stream();
    TquvStream stream(&inner, false);
    try {
      stream.ReadStringWithNullTerm();
      ADD_FAILURE() << "no assertion for " << length;
    } catch (const EAssertionFailed& e) {
      EXPECT_EQ(e.Message(),
                "Invalid string size reading string in TquvStream.ReadStringWithNullTerm");
      EXPECT_EQ(e.SourceUnit(), "server/common/quvstream");
    }
  }
  TMemoryStream truncated = TByteBuilder().U16(3).Stream();
  TquvStream stream(&truncated, false);
  EXPECT_EQ(MessageOf([&] { stream.ReadStringWithNullTerm(); }),
            "Invalid string size reading string in TquvStream.ReadString");
}

TEST(QuvStreamTest, HostileCountsFailWithoutReadingPastTheEnd) {
  TMemoryStream skip = TByteBuilder().I32(-5).Stream();
  TquvStream skipper(&skip, false);
  EXPECT_EQ(MessageOf([&] { skipper.SkipString(); }),
            "Invalid string size skipping string in TquvStream.SkipString");
  TMemoryStream copy = TByteBuilder().I32(0x7FFFFFFF).Raw("ab").Stream();
  TquvStream copier(&copy, false);
  TMemoryStream dest;
  EXPECT_EQ(MessageOf([&] { copier.ReadStream(dest); }), "Stream read error");
}

TEST(QuvStreamTest, ForwardsToTheInnerStreamAndFreesItWhenItOwnsIt) {
  auto* inner = new TMemoryStream();
  {
    TquvStream owner(inner, true);
    EXPECT_TRUE(owner.OwnsStream());
    owner.WriteInteger(1);
    EXPECT_EQ(inner->Size(), 4);
    owner.SetSize(2);
    EXPECT_EQ(inner->Size(), 2);
  }  // the sanitizer build reports a leak if the wrapper did not free `inner`
}

// A remote destination that records how CopyStreams drives it.
class TRecordingRemoteStream final : public TquvRemoteStream {
 public:
  int32_t Read(void*, int32_t) override { return 0; }
  int32_t Write(const void* buffer, int32_t count) override {
    Largest = std::max(Largest, count);
    return Bytes.Write(buffer, count);
  }
  int64_t Seek(int64_t, TSeekOrigin) override { return 0; }
  void BeforeCopy() override { ++Before; }
  void AfterCopy() override { ++After; }

  TMemoryStream Bytes;
  int32_t Largest = 0, Before = 0, After = 0;
};

TEST(CopyStreamsTest, CountZeroCopiesAllFromTheStartAndRemoteHooksRunOnce) {
  TMemoryStream source(std::vector<uint8_t>(100000, 7));
  source.SetPosition(500);
  TRecordingRemoteStream dest;
  std::vector<int32_t> percents;
  CopyStreams(source, dest, 0, [&](TStream* sender, int32_t percent, bool& flag) {
    EXPECT_EQ(sender, nullptr);
    EXPECT_FALSE(flag);
    percents.push_back(percent);
  });
  EXPECT_EQ(dest.Bytes.Size(), 100000);
  EXPECT_EQ(dest.Largest, 61440);
  EXPECT_EQ(dest.Before, 1);
  EXPECT_EQ(dest.After, 1);
  EXPECT_EQ(percents, (std::vector<int32_t>{61, 100}));
}

TEST(CopyStreamsTest, SmallCopiesUseTheRemoteChunkAndShortSourcesFail) {
  TMemoryStream source(std::vector<uint8_t>(100, 1));
  TRecordingRemoteStream dest;
  CopyStreams(source, dest, 100);
  EXPECT_EQ(dest.Bytes.Size(), 100);
  source.SetPosition(90);
  EXPECT_EQ(MessageOf([&] { CopyStreams(source, dest, 20); }),
            "Stream copy error at quvStreams.CopyStreams");
  EXPECT_EQ(dest.Bytes.Size(), 110);  // what was there is copied; nothing is rolled back
  EXPECT_EQ(dest.After, 2);
  // A long count beyond the end of a sized source fails before copying.
  TMemoryStream sink;
  source.SetPosition(0);
  EXPECT_EQ(MessageOf([&] { CopyStreams(source, sink, 70000); }),
            "Stream copy error at quvStreams.CopyStreams");
  EXPECT_EQ(sink.Size(), 0);
}

}  // namespace
}  // namespace quv
