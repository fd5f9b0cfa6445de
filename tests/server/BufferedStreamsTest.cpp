#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <regex>

#include "server/common/quvBufferedStreams.h"
#include "server/common/quvstream.h"
#include "tests/kit/ByteBuilder.h"
#include "tests/kit/PrivateTempDir.h"

namespace quv {
namespace {

using testing::MessageOf;
using testing::TPrivateTempDir;

using TBytes = std::vector<uint8_t>;

TBytes Pattern(std::size_t size, uint8_t seed = 1) {
  TBytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7);
  return bytes;
}

TBytes ReadAll(TStream& stream) {
  TBytes bytes(static_cast<std::size_t>(stream.Size()));
  stream.SetPosition(0);
  stream.ReadBuffer(bytes.data(), static_cast<int32_t>(bytes.size()));
  return bytes;
}

TBytes FileBytes(const std::string& name) {
  std::ifstream file(name, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// The buffered streams under test, each beside the memory stream it must match.
struct TSubject {
  const char* Name;
  std::function<std::unique_ptr<TquvBufferedStream>()> Make;
};

std::vector<TSubject> Subjects() {
  auto overTempFile = [](int32_t size, uint8_t modes, bool align) {
    return [=] {
      auto stream = std::make_unique<TquvBufferedStream>(
          new TTempStream("", true, kTempOpenReadWrite), size, true);
      stream->SetModes(modes);
      stream->AlignToPosition = align;
      return stream;
    };
  };
  return {
      {"temp stream", [] { return std::make_unique<TquvBufferedTempStream>(8192); }},
      {"small buffer over a file", overTempFile(100, 3, false)},
      {"buffered reads only", overTempFile(300, TquvBufferedStream::kBufferedReads, true)},
      {"buffered writes only", overTempFile(300, TquvBufferedStream::kBufferedWrites, false)},
      {"over a wrapper stream",
       [] { return std::make_unique<TquvBufferedStream>(new TquvStream(), 0, true); }},
  };
}

// Random writes, reads, seeks, size changes and flushes, each also applied to a
// memory stream; every result and every byte must agree.
TEST(BufferedStreamTest, BehavesLikeAMemoryStreamOverRandomOperations) {
  TPrivateTempDir tempDir;
  std::mt19937 random(20240611);
  auto below = [&](int n) { return static_cast<int32_t>(random() % unsigned(n)); };
  for (const TSubject& subject : Subjects()) {
    SCOPED_TRACE(subject.Name);
    for (int round = 0; round < 40; ++round) {
      auto stream = subject.Make();
      TMemoryStream model;
      for (int step = 0; step < 150; ++step) {
        SCOPED_TRACE(step);
        const int32_t count = below(4) == 0 ? below(12000) : below(400);
        switch (below(6)) {
          case 0:
          case 1: {
            const TBytes bytes = Pattern(std::size_t(count), uint8_t(step));
            ASSERT_EQ(stream->Write(bytes.data(), count), model.Write(bytes.data(), count));
            break;
          }
          case 2: {
            TBytes got(std::size_t(count) + 1), want(std::size_t(count) + 1);
            ASSERT_EQ(stream->Read(got.data(), count), model.Read(want.data(), count));
            ASSERT_EQ(got, want);
            break;
          }
          case 3: {
            // Mostly short hops, which land inside the buffered window.
            const auto origin = static_cast<TSeekOrigin>(below(3));
            const int32_t range = below(2) == 0 ? 30000 : 1000;
            const int64_t offset =
                below(range) - (origin == TSeekOrigin::Beginning ? 0 : range / 2);
            ASSERT_EQ(stream->Seek(offset, origin), model.Seek(offset, origin));
            break;
          }
          case 4: {
            const int32_t size = below(30000);
            stream->SetSize(size);
            model.SetSize(size);
          }
            ASSERT_EQ(stream->Position(), model.Position());
            break;
          default:
            stream->Flush();
        }
        ASSERT_EQ(stream->Size(), model.Size());
      }
      ASSERT_EQ(ReadAll(*stream), model.Bytes());
    }
  }
  EXPECT_EQ(tempDir.FileCount(), 0);
}

TEST(BufferedTempStreamTest, StaysInMemoryUntilTheFirstWindowOverflowsAndCleansUp) {
  TPrivateTempDir tempDir;
  const TBytes bytes = Pattern(9000);
  {
    TquvBufferedTempStream stream(8192);
    stream.WriteBuffer(bytes.data(), 8000);
    EXPECT_EQ(ReadAll(stream), TBytes(bytes.begin(), bytes.begin() + 8000));
    TBytes tail(100);
    EXPECT_EQ(stream.Read(tail.data(), 100), 0);   // reading past the end spills nothing
    stream.WriteBuffer(bytes.data() + 8000, 192);  // exactly the whole window
    EXPECT_EQ(tempDir.FileCount(), 0);
    EXPECT_FALSE(stream.HasInner());
    stream.WriteBuffer(bytes.data() + 8192, 1);
    EXPECT_TRUE(stream.HasInner());
    stream.WriteBuffer(bytes.data() + 8193, 807);
    EXPECT_EQ(ReadAll(stream), bytes);
  }
  EXPECT_EQ(tempDir.FileCount(), 0);
  {
    // A window that does not start at 0 is not memory-only for long either.
    TquvBufferedTempStream stream(8192);
    stream.Seek(100, TSeekOrigin::Beginning);
    stream.WriteBuffer(bytes.data(), 10);
    EXPECT_FALSE(stream.HasInner());
    TBytes head(110);
    stream.SetPosition(0);
    EXPECT_EQ(stream.Read(head.data(), 110), 110);
    EXPECT_EQ(TBytes(head.begin(), head.begin() + 100), TBytes(100, 0));
    EXPECT_TRUE(stream.HasInner());
  }
  EXPECT_EQ(tempDir.FileCount(), 0);
}

TEST(BufferedTempStreamTest, SetSizeSpillsOnlyBeyondTheBufferAndKeepsZerosAndCuts) {
  TPrivateTempDir tempDir;
  TquvBufferedTempStream stream(8192);
  stream.SetSize(100);
  EXPECT_FALSE(stream.HasInner());
  EXPECT_EQ(stream.Size(), 100);
  // The grown bytes reach the file when it is made, though nothing was written.
  EXPECT_EQ(FileBytes(StreamFileName(stream)), TBytes(100, 0));

  TquvBufferedTempStream grown(8192);
  grown.WriteBuffer("abc", 3);
  grown.SetSize(10000);
  EXPECT_TRUE(grown.HasInner());
  EXPECT_EQ(grown.Size(), 10000);
  EXPECT_EQ(grown.Position(), 3);
  // Cut, then written beyond the cut: the cut bytes must not come back.
  const TBytes bytes = Pattern(10000);
  grown.SetPosition(0);
  grown.WriteBuffer(bytes.data(), 10000);
  TBytes some(50);
  grown.SetPosition(0);
  grown.ReadBuffer(some.data(), 50);  // leaves a clean window over the start
  grown.SetSize(100);
  EXPECT_EQ(grown.Position(), 50);
  grown.Seek(200, TSeekOrigin::Beginning);
  grown.WriteBuffer("z", 1);
  TBytes want(bytes.begin(), bytes.begin() + 100);
  want.resize(200, 0);
  want.push_back('z');
  EXPECT_EQ(ReadAll(grown), want);
}

TEST(BufferedStreamTest, BufferSizeFollowsTheInnerStream) {
  TPrivateTempDir tempDir;
  TMemoryStream memory;
  TquvBufferedStream overMemory(&memory, 4096);
  EXPECT_EQ(overMemory.Capacity(), 0);
  overMemory.WriteBuffer("abc", 3);
  EXPECT_EQ(memory.Size(), 3);  // written through at once

  TquvBufferedStream overFile(new TTempStream("", true, kTempOpenReadWrite), 0, true);
  EXPECT_EQ(overFile.Capacity(), DefaultFileBufferSize());

  TquvStream wrapper;
  EXPECT_EQ(TquvBufferedStream(&wrapper, 100).Capacity(), 8192);

  // A temporary stream's own size holds while it is in memory; spilled, it
  // buffers like any stream over a file and keeps every byte.
  TquvBufferedTempStream temp(8192);
  const TBytes bytes = Pattern(20000);
  temp.WriteBuffer(bytes.data(), 8000);
  EXPECT_EQ(temp.Capacity(), 8192);
  temp.WriteBuffer(bytes.data() + 8000, 12000);
  EXPECT_EQ(temp.Capacity(), std::max(DefaultFileBufferSize(), 8192));
  EXPECT_EQ(ReadAll(temp), bytes);

  // A stream supplied on first need becomes the inner stream.
  TMemoryStream supplied;
  TquvBufferedStream lazy(nullptr, 100);
  lazy.OnGetStream = [&] { return &supplied; };
  lazy.WriteBuffer(Pattern(9000).data(), 9000);
  lazy.Flush();
  EXPECT_EQ(supplied.Bytes(), Pattern(9000));
  TquvBufferedStream orphan(nullptr, 100);
  orphan.FlushOnDestroy = false;
  orphan.WriteBuffer("abc", 3);
  EXPECT_EQ(MessageOf([&] { orphan.Flush(); }), "The buffered stream has no inner stream");
}

TEST(TempStreamTest, NamesOpensAndRemovesFilesAndReportsSystemErrors) {
  TPrivateTempDir tempDir;
  std::string name;
  {
    TTempStream stream("", true, kTempOpenReadWrite | kTempShareDenyNone);
    name = stream.FileName();
    const std::regex expected(tempDir.Path() + "/quvSTR" + std::to_string(getpid()) +
                              "\\.[0-9]+%[0-9]+");
    EXPECT_TRUE(std::regex_match(name, expected)) << name;
    EXPECT_FALSE(stream.KeepFile());
    stream.WriteBuffer("hello", 5);
    // Other code may read the file by name while the stream is open.
    EXPECT_EQ(FileBytes(name), TBytes({'h', 'e', 'l', 'l', 'o'}));
  }
  EXPECT_FALSE(std::filesystem::exists(name));
  const std::string next = TempFileName();
  EXPECT_NE(next, name);
  EXPECT_EQ(next.substr(0, next.rfind('%')), name.substr(0, name.rfind('%')));
  {
    TTempStream kept(next, false, kTempOpenWrite);
    EXPECT_TRUE(kept.KeepFile());
  }
  EXPECT_TRUE(std::filesystem::remove(next));
  const std::string missing = tempDir.Path() + "/no/such/folder";
  const std::string message = MessageOf([&] { TTempStream(missing, true, kTempOpenReadWrite); });
  EXPECT_NE(message.find("No such file or directory"), std::string::npos) << message;
  EXPECT_THROW(TTempStream("", true, 3), EOSError);
  EXPECT_EQ(tempDir.FileCount(), 0);
}

// Other code may open a delete-on-close file by name; the file stays until
// the last of them closes it, whichever was first.
TEST(TempStreamTest, ADeleteOnCloseFileGoesWithItsLastHolder) {
  TPrivateTempDir tempDir;
  auto maker = std::make_unique<TTempStream>("", true, kTempOpenReadWrite);
  const std::string name = maker->FileName();
  maker->WriteBuffer("rows", 4);
  { TTempStream reader(name, true, kTempOpenRead); }
  EXPECT_TRUE(std::filesystem::exists(name)) << "the maker still holds it";
  auto lastReader = std::make_unique<TTempStream>(name, true, kTempOpenRead);
  maker.reset();
  EXPECT_EQ(ReadAll(*lastReader), TBytes({'r', 'o', 'w', 's'}));
  lastReader.reset();
  EXPECT_FALSE(std::filesystem::exists(name));
  EXPECT_EQ(tempDir.FileCount(), 0);
}

TEST(TempStreamTest, NewFilesStayOutOfTheFolderUntilTheirNameIsAskedFor) {
  TPrivateTempDir tempDir;
  if (TTempFile::Unnamed(tempDir.Path() + "/probe", TTempFileAccess::Write).Named())
    GTEST_SKIP() << "the file system of " << tempDir.Path() << " makes no unnamed files";
  {
    TquvBufferedTempStream spilled(8192);
    spilled.WriteBuffer(Pattern(20000).data(), 20000);
    TTempStream temp("", true, kTempOpenReadWrite);
    temp.WriteBuffer("abc", 3);
    EXPECT_EQ(tempDir.FileCount(), 0);
    // Asked for its name, the file is there to be opened by it.
    const std::string name = StreamFileName(spilled);
    EXPECT_EQ(FileBytes(name), Pattern(20000));
    EXPECT_EQ(tempDir.FileCount(), 1);
  }
  EXPECT_EQ(tempDir.FileCount(), 0);
  // A process that dies with its streams open leaves nothing behind.
  EXPECT_EXIT(
      {
        TquvBufferedTempStream spilled(8192);
        spilled.WriteBuffer(Pattern(20000).data(), 20000);
        std::_Exit(3);
      },
      ::testing::ExitedWithCode(3), "");
  EXPECT_EQ(tempDir.FileCount(), 0);
}

TEST(TempStreamTest, SweepRemovesOnlyTheFilesOfEndedProcesses) {
  TPrivateTempDir tempDir;
  const std::string folder = tempDir.Path() + "/";
  const std::string ended = "quvSTR2147483647.4194304%0";  // beyond every process id
  const std::string mine = "quvSTR" + std::to_string(getpid()) + ".4194304%7";
  const std::vector<std::string> others = {
      mine,
      "quvSTR2147483647.4194304%",
      "quvSTR2147483647%0",
      "quvSTR2147483647.4194304%0.bak",
      "quvSTR0.4194304%0",
      "quvSTR-1.4194304%0",
      "quvSTR4294967295.4194304%0",
      "quvSTR99999999999.4194304%0",
      "quvstr2147483647.4194304%0",
      "xquvSTR2147483647.4194304%0",
  };
  for (const std::string& name : others) std::ofstream(folder + name) << "x";
  std::ofstream(folder + ended) << "x";
  std::filesystem::create_directory(folder + "quvSTR2147483647.4194304%1");
  std::filesystem::create_symlink(folder + mine, folder + "quvSTR2147483647.4194304%2");

  EXPECT_EQ(RemoveTempFilesOfEndedProcesses(folder), 1);
  EXPECT_FALSE(std::filesystem::exists(folder + ended));
  for (const std::string& name : others)
    EXPECT_TRUE(std::filesystem::exists(folder + name)) << name;
  EXPECT_TRUE(std::filesystem::is_directory(folder + "quvSTR2147483647.4194304%1"));
  EXPECT_TRUE(std::filesystem::is_symlink(folder + "quvSTR2147483647.4194304%2"));
  EXPECT_EQ(RemoveTempFilesOfEndedProcesses(folder + "missing/"), 0);
}

TEST(SubStreamTest, StaysInsideItsWindow) {
  TMemoryStream parent(Pattern(100));
  TSubStream window(&parent, false, 10, 20);
  EXPECT_EQ(parent.Position(), 20);
  TBytes got(50);
  EXPECT_EQ(window.Read(got.data(), 50), 10);
  const TBytes bytes = Pattern(100);
  EXPECT_EQ(TBytes(got.begin(), got.begin() + 10), TBytes(bytes.begin() + 20, bytes.begin() + 30));
  EXPECT_EQ(window.Read(got.data(), 50), 0);
  EXPECT_EQ(window.Seek(-5, TSeekOrigin::Beginning), 0);
  EXPECT_EQ(window.Seek(-3, TSeekOrigin::End), 7);
  EXPECT_EQ(window.Seek(50, TSeekOrigin::Current), 10);
  EXPECT_EQ(window.Size(), 10);
  EXPECT_EQ(MessageOf([&] { window.Seek(0, static_cast<TSeekOrigin>(7)); }),
            "Invalid Origin in TSubStream.Seek");
  window.Seek(8, TSeekOrigin::Beginning);
  EXPECT_EQ(window.Write("ab", 2), 2);
  EXPECT_EQ(parent.Bytes()[28], 'a');
  EXPECT_EQ(MessageOf([&] { window.Write("c", 1); }), "Can not write after stream boundaries");
  window.SetSize(5);
  EXPECT_EQ(parent.Size(), 25);

  // An open-ended window reads on to the parent's end but has no size.
  TSubStream rest(new TMemoryStream(Pattern(100)), true, 0, 90);
  EXPECT_EQ(rest.Read(got.data(), 50), 10);
  EXPECT_EQ(rest.Size(), 0);
  EXPECT_EQ(MessageOf([&] { rest.Write("c", 1); }), "Can not write after stream boundaries");
  EXPECT_EQ(MessageOf([&] { TSubStream(&parent, false, -1, 0); }), "Invalid window in TSubStream");
}

TEST(StreamFileNameTest, NamesTheFileBehindEachKindOfStream) {
  TPrivateTempDir tempDir;
  TTempStream temp("", true, kTempOpenReadWrite);
  EXPECT_EQ(StreamFileName(temp), temp.FileName());
  TquvStream wrapper(&temp);
  EXPECT_EQ(StreamFileName(wrapper), temp.FileName());

  TquvBufferedTempStream buffered(8192);
  buffered.WriteBuffer("memory only", 11);
  const std::string spilled = StreamFileName(buffered);
  const std::string text = "memory only";
  EXPECT_EQ(FileBytes(spilled), TBytes(text.begin(), text.end()));

  TMemoryStream memory(Pattern(5000));
  memory.SetPosition(4000);
  const std::string copy = StreamFileName(memory);
  EXPECT_EQ(FileBytes(copy), Pattern(5000));
  EXPECT_EQ(copy.rfind(tempDir.Path() + "/quvSTR", 0), 0u);
  std::filesystem::remove(copy);
  TquvBufferedStream overMemory(new TMemoryStream(Pattern(300)), 0, true);
  const std::string second = StreamFileName(overMemory);
  EXPECT_EQ(FileBytes(second), Pattern(300));
  std::filesystem::remove(second);
}

}  // namespace
}  // namespace quv
