#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "appserver/quvFileRequests.h"
#include "platform/Cp1252.h"
#include "tests/kit/ServerProcess.h"
#include "tests/kit/TempFolder.h"
#include "transport/quvClientConn.h"
#include "transport/quvpack.h"

namespace quv {
namespace {

namespace fs = std::filesystem;
using testing::TServerProcess;

void WriteFile(const fs::path& path, std::string_view bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// A folder of files to serve and, beside it, one the server must not give away.
class FileFolder {
 public:
  FileFolder() {
    WriteFile(Served() / "a.txt", "conteúdo"_cp);
    for (int i = 0; i < 30000; ++i) FLarge += static_cast<char>((i * 7919) % 251);
    WriteFile(Served() / "sub" / "b.bin", FLarge);
    WriteFile(Served() / "apps" / "x!y.quv", "x");
    WriteFile(Served() / "apps" / "z.quv", "z");
    WriteFile(Served() / "apps" / "nota.txt", "n");
    WriteFile(FRoot / "secret.txt", "segredo");
    fs::create_symlink(FRoot / "secret.txt", Served() / "out");
    fs::create_symlink(FRoot, Served() / "up");
    ::mkfifo((Served() / "fifo").c_str(), 0600);
  }

  fs::path Served() const { return FRoot / "served"; }
  const std::string& Large() const { return FLarge; }

 private:
  TTempFolder FTemp;
  fs::path FRoot = FTemp.Path();
  std::string FLarge;
};

struct TFileAnswer {
  std::string Bytes;
  int32_t Value = 0;
  std::string Refusal;  // the server's text in place of the file
};

// Reads the next answer of a file exchange the way the loader does.
TFileAnswer ReadAnswer(TquvPackageReader& reader) {
  TFileAnswer answer;
  TMemoryStream target;
  int32_t size = 0;
  try {
    reader.ReadFile(target, answer.Value, true, size);
    answer.Bytes.assign(reinterpret_cast<const char*>(target.Memory()),
                        static_cast<std::size_t>(target.Size()));
  } catch (const ERemoteFileError& e) {
    answer.Refusal = e.what();
  }
  return answer;
}

TquvFileRequest Request(uint8_t kind, const std::string& name, int32_t value = 0) {
  return TquvFileRequest{kind, name, value, kind == kFileRequestList ? INT32_MAX : 0};
}

// One connection to the server, asking for files.
class FileClient {
 public:
  explicit FileClient(const TServerProcess& server) : FConn(server.Address(), true) {}

  TFileAnswer One(const std::string& name, int32_t value = 0) {
    FWriter.WriteFileRequest(Request(kFileRequestOne, name, value));
    return ReadAnswer(FReader);
  }
  TFileAnswer List(const std::string& mask) {
    FWriter.WriteFileRequest(Request(kFileRequestList, mask));
    return ReadAnswer(FReader);
  }
  std::vector<TFileAnswer> Batch(const std::vector<std::string>& names) {
    FWriter.BeginFileRequests();
    int32_t value = 0;
    for (const std::string& name : names)
      FWriter.WriteFileRequest(Request(kFileRequestBatch, name, ++value));
    FWriter.WriteFileRequest(Request(kFileRequestBatchEnd, ""));
    FWriter.EndFileRequests();
    std::vector<TFileAnswer> answers;
    for (std::size_t i = 0; i < names.size(); ++i) answers.push_back(ReadAnswer(FReader));
    return answers;
  }

  TClientConn FConn;
  TquvPackage FPackage{FConn};
  TquvPackageWriter FWriter{FPackage};
  TquvPackageReader FReader{FPackage};
};

std::string Refused(const std::string& name) { return "Nome de arquivo recusado: " + name; }

TEST(FileRequests, FilesComeBackWithTheirValueAndNamesLeadingOutAreRefused) {
  FileFolder folder;
  TServerProcess server({"--files", folder.Served().string()});
  FileClient client(server);
  const TFileAnswer a = client.One("a.txt", 7);
  EXPECT_EQ(a.Bytes, "conteúdo"_cp);
  EXPECT_EQ(a.Value, 7);
  EXPECT_EQ(client.One("sub\\b.bin").Bytes, folder.Large());  // several compressed blocks
  EXPECT_EQ(client.One("falta.txt").Refusal, "Arquivo não encontrado: falta.txt"_cp);
  EXPECT_EQ(client.One("sub").Refusal, "Arquivo não encontrado: sub"_cp);
  EXPECT_EQ(client.One("fifo").Refusal, "Arquivo não encontrado: fifo"_cp);  // not waited on
  for (const std::string name : {"../secret.txt", "sub\\..\\..\\secret.txt", "/etc/passwd",
                                 "\\etc\\passwd", "C:\\secret.txt", "out", "up/secret.txt", ""})
    EXPECT_EQ(client.One(name).Refusal, Refused(name)) << name;
  // Refusals leave the exchange in step: the connection goes on serving.
  EXPECT_EQ(client.One("a.txt").Bytes, "conteúdo"_cp);
}

TEST(FileRequests, ABatchIsAnsweredInOrderAndAListNamesTheMatchingFiles) {
  FileFolder folder;
  TServerProcess server({"--files", folder.Served().string()});
  FileClient client(server);
  const std::vector<TFileAnswer> answers = client.Batch({"a.txt", "../secret.txt", "sub/b.bin"});
  ASSERT_EQ(answers.size(), 3u);
  EXPECT_EQ(answers[0].Bytes, "conteúdo"_cp);
  EXPECT_EQ(answers[0].Value, 1);
  EXPECT_EQ(answers[1].Refusal, Refused("../secret.txt"));
  EXPECT_EQ(answers[2].Bytes, folder.Large());
  EXPECT_EQ(answers[2].Value, 3);
  EXPECT_TRUE(client.Batch({}).empty());

  const TFileAnswer quv = client.List("apps\\*.QUV");
  EXPECT_EQ(quv.Bytes, "apps\\x!y.quv\r\napps\\z.quv\r\n");
  EXPECT_EQ(quv.Value, 2);
  EXPECT_EQ(client.List("apps\\*!*.quv").Bytes, "apps\\x!y.quv\r\n");
  EXPECT_EQ(client.List("*").Bytes, "a.txt\r\n");  // no folders, no links
  EXPECT_EQ(client.List("../*").Refusal, Refused("../*"));
}

TEST(FileRequests, WithoutAFolderEveryRequestIsRefusedAndABadSequenceEndsTheConnection) {
  TServerProcess server;
  {
    FileClient client(server);
    EXPECT_EQ(client.One("a.txt").Refusal, "Este servidor não publica arquivos"_cp);
    const std::vector<TFileAnswer> answers = client.Batch({"a.txt", "b.txt"});
    EXPECT_EQ(answers[1].Refusal, "Este servidor não publica arquivos"_cp);
  }
  FileClient broken(server);
  broken.FWriter.BeginFileRequests();
  broken.FWriter.WriteFileRequest(Request(kFileRequestBatch, "a.txt"));
  broken.FWriter.WriteFileRequest(Request(kFileRequestOne, "a.txt"));
  broken.FWriter.EndFileRequests();
  EXPECT_EQ(broken.FPackage.ReadSignature(0), TquvSignature::Closed);
  FileClient next(server);
  EXPECT_EQ(next.One("a.txt").Refusal, "Este servidor não publica arquivos"_cp);
}

}  // namespace
}  // namespace quv
