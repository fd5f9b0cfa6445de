#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zip.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "loader/quvDiff.h"
#include "loader/quvLoader.h"
#include "loader/quvLoaderError.h"
#include "loader/quvLoaderFiles.h"
#include "loader/quvRegistryLoader.h"
#include "platform/Cp1252.h"
#include "tests/kit/ByteBuilder.h"
#include "tests/kit/IntfTestFiles.h"
#include "tests/kit/ServerProcess.h"
#include "tests/kit/TempFolder.h"
#include "transport/quvpack.h"

namespace quv {
namespace {

namespace fs = std::filesystem;
using testing::CurrentFile;
using testing::TServerProcess;

constexpr int64_t kAge1 = 1600000000, kAge2 = 1650000000, kAge3 = 1700000000;

// A loader that notes the names it received.
class TNotingLoader final : public TquvLoader {
 public:
  using TquvLoader::TquvLoader;
  std::vector<std::string> Received;

 protected:
  void FileReceived(const std::string& remoteName, int64_t) override {
    Received.push_back(remoteName);
  }
};

// A zip archive of `entries`; those named in `links` are symbolic links to their content.
std::string Zip(const std::vector<std::pair<std::string, std::string>>& entries,
                const std::vector<std::string>& links = {}) {
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* buffer = zip_source_buffer_create(nullptr, 0, 0, &error);
  zip_source_keep(buffer);
  zip_t* archive = zip_open_from_source(buffer, ZIP_TRUNCATE, &error);
  for (const auto& [name, content] : entries) {
    zip_source_t* source = zip_source_buffer(archive, content.data(), content.size(), 0);
    const zip_int64_t index = zip_file_add(archive, name.c_str(), source, ZIP_FL_ENC_RAW);
    if (std::find(links.begin(), links.end(), name) != links.end())
      zip_file_set_external_attributes(archive, static_cast<zip_uint64_t>(index), 0, ZIP_OPSYS_UNIX,
                                       (S_IFLNK | 0777u) << 16);
  }
  zip_close(archive);
  zip_source_open(buffer);
  zip_source_seek(buffer, 0, SEEK_END);
  const zip_int64_t size = zip_source_tell(buffer);
  zip_source_seek(buffer, 0, SEEK_SET);
  std::string bytes(static_cast<std::size_t>(size), '\0');
  zip_source_read(buffer, bytes.data(), static_cast<zip_uint64_t>(size));
  zip_source_close(buffer);
  zip_source_free(buffer);
  return bytes;
}

// A served folder, a program folder and the server between them.
class LoaderServerTest : public ::testing::Test {
 protected:
  LoaderServerTest() : FServer({"--files", FServed.Path()}) { SetGlobalVersion("1"); }

  void SetGlobalVersion(const std::string& version) {
    FServed.WriteFile("_version.ini", "[Attributes]\r\nGlobalVersion=" + version + "\r\n");
  }
  // Publishes `content` as `name` with its descriptor; `more` adds lines.
  void Publish(const std::string& name, const std::string& content, int64_t age,
               const std::string& more = "") {
    FServed.WriteFile(name, content);
    FServed.WriteFile(name + ".upd", "[Attributes]\r\nCheckSum=" + std::to_string(Crc32(content)) +
                                         "\r\nAge=" + std::to_string(age) + "\r\n" + more);
  }
  std::string Local(const std::string& name) const { return FProgram.Path() + "/" + name; }
  std::string LocalContent(const std::string& name) const { return ReadWholeFile(Local(name)); }
  // Updates `name` with a fresh loader, as a new process would; the names received.
  std::vector<std::string> Update(const std::string& name) {
    TNotingLoader loader(FServer.Address());
    loader.Update(FProgram.Path(), name);
    return loader.Received;
  }
  std::string UpdateError(const std::string& name) {
    return testing::MessageOf([&] { Update(name); });
  }

  TTempFolder FServed, FProgram;
  TServerProcess FServer;
};

using Names = std::vector<std::string>;

TEST_F(LoaderServerTest, FreshInstallThenWholeFileAndDifferenceUpdates) {
  const std::string v1(100000, 'a'), v2 = v1.substr(0, 50000) + "changed" + v1.substr(50000);
  Publish("lib.quv", v1, kAge1);
  EXPECT_EQ(Update("lib.quv"), Names{"lib.quv"});
  EXPECT_EQ(LocalContent("lib.quv"), v1);
  EXPECT_EQ(FileAge(Local("lib.quv")), kAge1);
  EXPECT_EQ(LocalContent("_version.ini"), ReadWholeFile(FServed.Path() + "/_version.ini"));
  // The server's descriptor, cached with the global version written in, is
  // the installed file's descriptor.
  EXPECT_EQ(LocalContent("_updcache/lib.quv.upd"),
            "[Attributes]\r\nGlobalVersion=1\r\nCheckSum=" + std::to_string(Crc32(v1)) +
                "\r\nAge=1600000000\r\n");
  EXPECT_EQ(LocalContent("lib.quv.upd"), LocalContent("_updcache/lib.quv.upd"));
  EXPECT_FALSE(fs::exists(Local("_new/lib.quv")));
  EXPECT_EQ(Update("lib.quv"), Names{});

  FServed.WriteFile("lib.diff", MakeDifference(v1, v2));
  Publish("lib.quv", v2, kAge2, "[" + std::to_string(Crc32(v1)) + "]\r\nDiff_Files=lib.diff\r\n");
  SetGlobalVersion("2");
  EXPECT_EQ(Update("lib.quv"), Names{"lib.diff"});
  EXPECT_EQ(LocalContent("lib.quv"), v2);
  EXPECT_EQ(FileAge(Local("lib.quv")), kAge2);

  Publish("lib.quv", "version 3", kAge3);
  SetGlobalVersion("3");
  EXPECT_EQ(Update("lib.quv"), Names{"lib.quv"});
  EXPECT_EQ(LocalContent("lib.quv"), "version 3");
}

TEST_F(LoaderServerTest, ACorruptDifferenceKeepsTheOldFile) {
  const std::string v1(5000, 'x'), v2 = "y" + v1;
  Publish("lib.quv", v1, kAge1);
  Update("lib.quv");
  std::string diff = MakeDifference(v1, v2);
  diff[30] ^= 0x40;  // inside the first block's literal data
  FServed.WriteFile("lib.diff", diff);
  Publish("lib.quv", v2, kAge2, "[" + std::to_string(Crc32(v1)) + "]\r\nDiff_Files=lib.diff\r\n");
  SetGlobalVersion("2");
  EXPECT_EQ(UpdateError("lib.quv"), "Erro processando diff:CRC Error");
  EXPECT_EQ(LocalContent("lib.quv"), v1);
  EXPECT_EQ(TUpdateDescriptor::FromFile(Local("lib.quv.upd")).CheckSum(), Crc32(v1));
  EXPECT_FALSE(fs::exists(Local("lib.quv.~tmp")));
  // Bytes that are no difference at all are not taken for the file.
  FServed.WriteFile("lib.diff", v2);
  EXPECT_EQ(UpdateError("lib.quv"), "Erro processando diff:CRC Error");
  EXPECT_EQ(LocalContent("lib.quv"), v1);
}

TEST_F(LoaderServerTest, OutOfDateRulesOfTheVersionBookkeeping) {
  Publish("lib.quv", "one", kAge1);
  Update("lib.quv");
  // The same global version: the cached descriptor stands, nothing is asked.
  Publish("lib.quv", "two", kAge2);
  EXPECT_EQ(Update("lib.quv"), Names{});
  // A new global version: the descriptor is read again and the file fetched.
  SetGlobalVersion("2");
  EXPECT_EQ(Update("lib.quv"), Names{"lib.quv"});
  EXPECT_EQ(LocalContent("lib.quv"), "two");
  // An age of 0, or the local file's own date, means current.
  Publish("lib.quv", "three", 0);
  SetGlobalVersion("3");
  EXPECT_EQ(Update("lib.quv"), Names{});
  Publish("lib.quv", "three", kAge2);
  SetGlobalVersion("4");
  EXPECT_EQ(Update("lib.quv"), Names{});
  EXPECT_EQ(LocalContent("lib.quv"), "two");
  // A file the server says does not exist is not fetched.
  Publish("gone.dat", "x", kAge1, "Exists=0\r\n");
  EXPECT_EQ(Update("gone.dat"), Names{});
  EXPECT_FALSE(fs::exists(Local("gone.dat")));
  // The source for this system is fetched under the local name.
  Publish("tool", "generic", kAge1, "[source]\r\nLINUX=tool.linux\r\nELSE=tool.other\r\n");
  FServed.WriteFile("tool.linux", "for linux");
  EXPECT_EQ(Update("tool"), Names{"tool.linux"});
  EXPECT_EQ(LocalContent("tool"), "for linux");
}

TEST_F(LoaderServerTest, AnInterruptedUnpackIsFinishedNextTime) {
  Publish("pack.zip", Zip({{"docs/", ""}, {"docs/a.txt", "A"}, {"b.txt", "B"}}), kAge1,
          "IsPack=1\r\n");
  fs::create_directories(Local("b.txt/blocking"));
  EXPECT_NE(UpdateError("pack.zip").find(std::string("mesmo após 3 tentativas"_cp)),
            std::string::npos);
  EXPECT_TRUE(TUpdateDescriptor::FromFile(Local("_updcache/pack.zip.upd")).UnzipPackPending());
  fs::remove_all(Local("b.txt"));
  EXPECT_EQ(Update("pack.zip"), Names{});
  EXPECT_EQ(LocalContent("docs/a.txt"), "A");
  EXPECT_EQ(LocalContent("b.txt"), "B");
  EXPECT_FALSE(TUpdateDescriptor::FromFile(Local("_updcache/pack.zip.upd")).UnzipPackPending());
}

TEST_F(LoaderServerTest, NamesLeadingOutOfTheProgramFolderWriteNothing) {
  Publish("bad.zip", Zip({{"good.txt", "G"}, {"../evil.txt", "E"}}), kAge1, "IsPack=1\r\n");
  EXPECT_NE(UpdateError("bad.zip").find("fora da pasta do programa: ../evil.txt"),
            std::string::npos);
  EXPECT_FALSE(fs::exists(Local("good.txt")));
  EXPECT_FALSE(fs::exists(fs::path(FProgram.Path()).parent_path() / "evil.txt"));
  Publish("link.zip", Zip({{"good.txt", "G"}, {"passwd", "/etc/passwd"}}, {"passwd"}), kAge1,
          "IsPack=1\r\n");
  EXPECT_NE(UpdateError("link.zip").find(std::string("link simbólico recusado: passwd"_cp)),
            std::string::npos);
  EXPECT_FALSE(fs::exists(Local("good.txt")));
  EXPECT_FALSE(fs::exists(Local("passwd")));
  Publish("junk.zip", "not an archive", kAge1, "IsPack=1\r\n");
  EXPECT_EQ(UpdateError("junk.zip").rfind("Erro descompactando " + Local("junk.zip") + ": ", 0),
            0u);
  Publish("x.dat", "x", kAge1, "[hard_dependencies]\r\n1=..\\outside.dat\r\n");
  EXPECT_EQ(UpdateError("x.dat"), "Nome de arquivo fora da pasta do programa: ..\\outside.dat");
  EXPECT_EQ(UpdateError("/etc/passwd"), "Nome de arquivo fora da pasta do programa: /etc/passwd");
}

TEST_F(LoaderServerTest, AFileThatCannotBeReplacedFailsAfterThreeAttempts) {
  Publish("lib.quv", "new", kAge1);
  fs::create_directories(Local("lib.quv/inside"));
  const std::string error = UpdateError("lib.quv");
  const std::string expected =
      std::string("Não foi possível atualizar o arquivo "_cp) + Local("lib.quv") +
      std::string(
          " mesmo após 3 tentativas. O arquivo pode estar corrompido no servidor, por "
          "favor contacte o administrador.\r\n\r\nÚltimo erro:"_cp);
  EXPECT_EQ(error.rfind(expected, 0), 0u) << error;
  EXPECT_TRUE(fs::is_directory(Local("lib.quv/inside")));
}

TEST_F(LoaderServerTest, DependenciesComeFirstAndMissingFilesAreTheServersText) {
  Publish("dep.dat", "dependency", kAge1);
  Publish("main.dat", "main", kAge1, "[hard_dependencies]\r\n1=dep.dat\r\n2=other.dat.upd\r\n");
  Publish("other.dat", "other", kAge1);
  EXPECT_EQ(Update("main.dat"), (Names{"dep.dat", "main.dat"}));
  EXPECT_TRUE(fs::exists(Local("_updcache/other.dat.upd")));
  EXPECT_FALSE(fs::exists(Local("other.dat")));
  EXPECT_EQ(UpdateError("nothing.dat"), std::string("Arquivo não encontrado: nothing.dat"_cp));
}

TEST_F(LoaderServerTest, ListsAndBatchesOfFiles) {
  FServed.WriteFile("apps/a!x.quv", "ax");
  FServed.WriteFile("apps/b.quv", "b");
  TquvLoader loader(FServer.Address());
  EXPECT_EQ(loader.ListFiles("apps\\*!*.quv"), Names{"apps\\a!x.quv"});
  EXPECT_EQ(loader.RequestFiles({"apps/a!x.quv", "apps/b.quv"}), (Names{"ax", "b"}));
  EXPECT_THROW(loader.RequestFiles({"apps/b.quv", "none"}), ERemoteFileError);
  EXPECT_EQ(loader.RequestFiles({"apps/b.quv"}), Names{"b"});  // still in step
}

TEST_F(LoaderServerTest, ACancelledLoaderAFolderThatCannotBeMadeAndAnAbsentServerStop) {
  Publish("lib.quv", "content", kAge1);
  TquvLoader loader(FServer.Address());
  loader.Cancel();
  EXPECT_EQ(testing::MessageOf<ELoaderError>([&] { loader.Update(FProgram.Path(), "lib.quv"); }),
            "Carga de módulo cancelada."_cp);
  FProgram.WriteFile("_updcache", "a file where the cache folder belongs");
  EXPECT_EQ(UpdateError("lib.quv"), "Can not create dir");
  EXPECT_FALSE(fs::exists(Local("lib.quv")));
  TquvLoader unreachable("127.0.0.1:1");
  EXPECT_EQ(
      testing::MessageOf<ELoaderError>([&] { unreachable.Update("/nonexistent", "lib.quv"); }),
      "Não foi possível conectar ao servidor"_cp);
}

// Sets an environment variable for one test.
class TEnvironment final {
 public:
  TEnvironment(const char* name, const std::string& value) : FName(name) {
    ::setenv(name, value.c_str(), 1);
  }
  ~TEnvironment() { ::unsetenv(FName); }

 private:
  const char* FName;
};

TEST_F(LoaderServerTest, ComponentsAreRegisteredInProcessOrByTheProgram) {
  const std::string component = ReadWholeFile(QUV_TEST_COMPONENT);
  const TEnvironment marker("QUV_TEST_REGISTERED", Local("registered"));
  Publish("comp.so", component, kAge1, "IsCOMObj=1\r\n");
  Update("comp.so");
  EXPECT_TRUE(fs::exists(Local("registered")));
  fs::remove(Local("registered"));
  Publish("viaprogram.so", component, kAge1, "IsCOMObj=1\r\nRegisterWithProgram=1\r\n");
  Update("viaprogram.so");
  EXPECT_TRUE(fs::exists(Local("registered")));

  Publish("broken.so", "not a library", kAge1, "IsCOMObj=1\r\n");
  EXPECT_EQ(UpdateError("broken.so"),
            std::string("Não foi possível carregar biblioteca de componente"_cp));
  const TEnvironment fails("QUV_TEST_REGISTER_FAILS", "1");
  Publish("refused.so", component, kAge1, "IsCOMObj=1\r\nRegisterWithProgram=1\r\n");
  EXPECT_EQ(UpdateError("refused.so"),
            std::string("Não foi possível registrar componente "_cp) + Local("refused.so"));
}

TEST_F(LoaderServerTest, ProgramsRunWhenUpdatedAndFontsGoToTheUsersFolder) {
  const TEnvironment ran("QUV_TEST_RAN", Local("ran"));
  Publish("setup.sh", "#!/bin/sh\ntouch \"$QUV_TEST_RAN\"\n", kAge1, "ExecWhenUpd=1\r\n");
  Update("setup.sh");
  EXPECT_TRUE(fs::exists(Local("ran")));
  fs::remove(Local("ran"));
  Update("setup.sh");  // current: not run again
  EXPECT_FALSE(fs::exists(Local("ran")));

  TTempFolder data;
  const TEnvironment dataHome("XDG_DATA_HOME", data.Path());
  Publish("face.ttf", "font bytes", kAge1, "IsFont=1\r\n");
  Update("face.ttf");
  EXPECT_EQ(ReadWholeFile(data.Path() + "/fonts/face.ttf"), "font bytes");
}

TEST_F(LoaderServerTest, ACompleteEarlierReceiptInNewIsReused) {
  const std::string content(20000, 'r');
  Publish("lib.quv", content, kAge1);
  testing::TByteBuilder receipt;
  receipt.Raw("QUVR").I32(static_cast<int32_t>(Crc32(content))).I32(static_cast<int32_t>(kAge1));
  const std::string header = testing::AsString(receipt.Bytes());
  FProgram.WriteFile("_new/lib.quv", header + content.substr(0, 100));
  EXPECT_EQ(Update("lib.quv"), Names{"lib.quv"});  // cut short: fetched again
  EXPECT_EQ(LocalContent("lib.quv"), content);
  fs::remove(Local("lib.quv"));
  FProgram.WriteFile("_new/lib.quv", header + content);
  EXPECT_EQ(Update("lib.quv"), Names{});
  EXPECT_EQ(LocalContent("lib.quv"), content);
  EXPECT_FALSE(fs::exists(Local("_new/lib.quv")));
}

// The registry asks the loader for its files and for the extension list.
TEST_F(LoaderServerTest, TheRegistryTakesItsFilesThroughTheLoader) {
  Publish("live.quv", CurrentFile({{"old.one", {"a"}}}), kAge1);
  Publish("apps/live!ext.quv", CurrentFile({{"ext.more", {}, "old.one", 2}}), kAge1);
  {
    TquvRegistryLoader installed(FServer.Address());
    TquvInterfaces registry(TquvLibraryOptions{FProgram.Path(), false, false});
    EXPECT_EQ(registry.GetInterface("live.old.one")->Defs().Count(), 1);
    EXPECT_EQ(registry.InternalGetItem("live").ExtensionLibraryNames(), Names{"LIVE!EXT"});
  }
  EXPECT_TRUE(fs::exists(Local("live!ext.quv")));
  Publish("live.quv", CurrentFile({{"new.one", {"a", "b"}}}), kAge2);
  SetGlobalVersion("2");
  TquvRegistryLoader installed(FServer.Address());
  TquvInterfaces registry(TquvLibraryOptions{FProgram.Path(), false, false});
  EXPECT_EQ(registry.GetInterface("live.new.one")->Defs().Count(), 2);
  // A companion with the interface data, fetched when first read.
  Publish("live.en.quvo", CurrentFile({{"new.one", {"a", "b", "c"}}}), kAge2);
  TquvInterfaces suffixed(TquvLibraryOptions{FProgram.Path(), false, false, "en"});
  EXPECT_EQ(suffixed.GetInterface("live.new.one")->Defs().Count(), 3);
  EXPECT_TRUE(fs::exists(Local("live.en.quvo")));
  // With updates off the file is used as it is found.
  Publish("live.quv", CurrentFile({{"third.one", {}}}), kAge3);
  SetGlobalVersion("3");
  TquvInterfaces offline(TquvLibraryOptions{FProgram.Path(), true, false});
  EXPECT_EQ(offline.GetInterface("live.new.one")->Defs().Count(), 2);
}

}  // namespace
}  // namespace quv
