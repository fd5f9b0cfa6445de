#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "loader/quvDiff.h"
#include "loader/quvLoader.h"
#include "loader/quvLoaderError.h"
#include "loader/quvLoaderFiles.h"
#include "loader/quvRegistryLoader.h"
#include "platform/Cp1252.h"
#include "platform/ExePath.h"
#include "tests/kit/ByteBuilder.h"
#include "tests/kit/IntfTestFiles.h"
#include "tests/kit/ServerProcess.h"
#include "tests/kit/TempFolder.h"
#include "tests/kit/TestScope.h"
#include "tests/loader/ScriptedFileServer.h"
#include "transport/quvpack.h"

namespace quv {
namespace {

namespace fs = std::filesystem;
using testing::CurrentFile;
using testing::TServerProcess;

constexpr int64_t kAge1 = 1600000000, kAge2 = 1650000000, kAge3 = 1700000000;

// A loader that notes the names it received and how its updates ended.
class TNotingLoader final : public TquvLoader {
 public:
  using TquvLoader::TquvLoader;
  std::vector<std::string> Received;
  std::vector<std::string> Finished;  // "NAME: current", "NAME: fetched", "NAME: failed"

 protected:
  void FileReceived(const std::string& remoteName, int64_t) override {
    Received.push_back(remoteName);
  }
  void UpdateFinished(const std::string& localName, TUpdateOutcome outcome) override {
    static const char* const kOutcomes[] = {"current", "fetched", "failed"};
    Finished.push_back(ExtractFileName(localName) + ": " + kOutcomes[static_cast<int>(outcome)]);
  }
};

// A zip archive of `entries`; those named in `links` are symbolic links to
// their content, those in `modes` carry that Unix mode.
std::string Zip(const std::vector<std::pair<std::string, std::string>>& entries,
                const std::vector<std::string>& links = {},
                const std::vector<std::pair<std::string, uint32_t>>& modes = {}) {
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
    for (const auto& [moded, mode] : modes)  // 0: no Unix mode at all
      if (moded == name)
        zip_file_set_external_attributes(archive, static_cast<zip_uint64_t>(index), 0,
                                         mode == 0 ? ZIP_OPSYS_DOS : ZIP_OPSYS_UNIX,
                                         mode == 0 ? 0 : (S_IFREG | mode) << 16);
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

// The permission bits of `path`.
uint32_t ModeOf(const std::string& path) {
  struct stat status {};
  ::stat(path.c_str(), &status);
  return status.st_mode & 07777;
}

// `mode` as a new file gets it under this process's umask.
uint32_t LessUmask(uint32_t mode) {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return mode & ~mask;
}

// The most resident memory of this process since the last ResetPeakMemory.
int64_t PeakMemory() {
  const std::string status = ReadWholeFile("/proc/self/status");
  const std::size_t at = status.find("VmHWM:");
  return at == std::string::npos ? 0 : std::stoll(status.substr(at + 6)) * 1024;
}
void ResetPeakMemory() { std::ofstream("/proc/self/clear_refs") << "5"; }

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
      testing::MessageOf<ELoaderError>([&] { unreachable.Update(FProgram.Path(), "lib.quv"); }),
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

// A hostile or changing server ---------------------------------------------

// Sixty thousand dependencies took seconds while each was looked up by
// walking its section; the first missing one is still what the update names.
TEST_F(LoaderServerTest, ALongDependencyListIsReadWhole) {
  std::string list = "[hard_dependencies]\r\n";
  for (int i = 0; i < 60000; ++i) list += std::to_string(i) + "=d" + std::to_string(i) + "\r\n";
  Publish("main.dat", "main", kAge1, list);
  EXPECT_EQ(UpdateError("main.dat"), std::string("Arquivo não encontrado: d0"_cp));
}

TEST_F(LoaderServerTest, DescriptorsOverTheirLimitAreRefusedBeforeTheyAreHeld) {
  Publish("big.dat", "x", kAge1, ";" + std::string(1 << 20, 'p') + "\r\n");
  const int64_t announced = fs::file_size(FServed.Path() + "/big.dat.upd");
  EXPECT_EQ(UpdateError("big.dat"), "Erro recebendo big.dat.upd: o servidor anuncia " +
                                        std::to_string(announced) +
                                        " bytes, mais que o limite de 1048576 bytes");
  EXPECT_FALSE(fs::exists(Local("_updcache/big.dat.upd")));
  EXPECT_FALSE(fs::exists(Local("big.dat")));
  // The global version file is a descriptor as well.
  FServed.WriteFile("_version.ini",
                    "[Attributes]\r\nGlobalVersion=2\r\n;" + std::string(1 << 20, 'p') + "\r\n");
  EXPECT_EQ(UpdateError("big.dat").rfind("Erro recebendo _version.ini: o servidor anuncia ", 0),
            0u);
}

TEST_F(LoaderServerTest, WholeFilesGoToTheDiskWithoutBeingHeldInMemory) {
  constexpr int64_t kSize = int64_t(64) << 20;
  uint32_t checksum = 0;
  {
    std::string content(static_cast<std::size_t>(kSize), '\0');
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7 / 5);
    Publish("big.bin", content, kAge1);
    checksum = Crc32(content);
  }
  ResetPeakMemory();
  const int64_t before = PeakMemory();
  EXPECT_EQ(Update("big.bin"), Names{"big.bin"});
  EXPECT_LT(PeakMemory() - before, kSize / 4);
  EXPECT_EQ(fs::file_size(Local("big.bin")), static_cast<uintmax_t>(kSize));
  EXPECT_EQ(TUpdateDescriptor::FromFile(Local("big.bin.upd")).CheckSum(), checksum);
  EXPECT_FALSE(fs::exists(Local("_new/big.bin")));
}

TEST_F(LoaderServerTest, CachedDescriptorsOfDifferentFilesNeverMeet) {
  Publish("sub/x", "in the folder", kAge1);
  Publish("sub_x", "beside it", kAge2);
  EXPECT_EQ(Update("sub/x"), Names{"sub/x"});
  EXPECT_EQ(Update("sub_x"), Names{"sub_x"});
  EXPECT_EQ(LocalContent("sub_x"), "beside it");
  EXPECT_EQ(LocalContent("sub/x"), "in the folder");
  Publish("sub_x", "later", kAge3);
  SetGlobalVersion("2");
  EXPECT_EQ(Update("sub_x"), Names{"sub_x"});
  EXPECT_EQ(LocalContent("sub_x"), "later");
  EXPECT_EQ(Update("sub\\x"), Names{});  // the same file as sub/x
  EXPECT_EQ(LocalContent("sub/x"), "in the folder");
}

TEST_F(LoaderServerTest, AnInterruptedUnpackIsFinishedAfterTheGlobalVersionMoves) {
  Publish("pack.zip", Zip({{"a.txt", "A"}, {"b.txt", "B"}}), kAge1, "IsPack=1\r\n");
  fs::create_directories(Local("b.txt/blocking"));
  EXPECT_NE(UpdateError("pack.zip").find(std::string("mesmo após 3 tentativas"_cp)),
            std::string::npos);
  // A new global version, the archive unchanged: the mark is still read.
  SetGlobalVersion("2");
  EXPECT_NE(UpdateError("pack.zip").find(std::string("mesmo após 3 tentativas"_cp)),
            std::string::npos);
  SetGlobalVersion("3");
  fs::remove_all(Local("b.txt"));
  EXPECT_EQ(Update("pack.zip"), Names{});
  EXPECT_EQ(LocalContent("b.txt"), "B");
  EXPECT_FALSE(TUpdateDescriptor::FromFile(Local("_updcache/pack.zip.upd")).UnzipPackPending());
  EXPECT_FALSE(TUpdateDescriptor::FromFile(Local("pack.zip.upd")).UnzipPackPending());
  EXPECT_EQ(TUpdateDescriptor::FromFile(Local("_updcache/pack.zip.upd")).GlobalVersion(), "3");
}

TEST_F(LoaderServerTest, FilesUnderLongPathsUpdate) {
  // 230 bytes: with the program folder in front, the lock's name once
  // passed the 255 bytes of a file name, and the cached descriptor's too.
  std::string local;
  for (int i = 0; i < 60; ++i) local += "dd/";
  local += std::string(50, 'f');
  ASSERT_EQ(local.size(), 230u);
  std::string name = local;
  std::replace(name.begin(), name.end(), '/', '\\');
  Publish(local, "deep", kAge1);
  EXPECT_EQ(Update(name), Names{name});
  EXPECT_EQ(LocalContent(local), "deep");
  EXPECT_EQ(Update(name), Names{});
  Publish(local, "deeper", kAge2);
  SetGlobalVersion("2");
  EXPECT_EQ(Update(local), Names{local});
  EXPECT_EQ(LocalContent(local), "deeper");
}

TEST_F(LoaderServerTest, ReplacedFilesKeepTheirModeAndNewOnesTakeTheGivenOne) {
  Publish("tool", "#!/bin/sh\necho one\n", kAge1);
  Update("tool");
  EXPECT_EQ(ModeOf(Local("tool")), LessUmask(0644));
  fs::permissions(Local("tool"), static_cast<fs::perms>(0750));
  Publish("tool", "#!/bin/sh\necho two\n", kAge2);
  SetGlobalVersion("2");
  EXPECT_EQ(Update("tool"), Names{"tool"});
  EXPECT_EQ(ModeOf(Local("tool")), 0750u);
  // A new file takes the mode its descriptor gives, a program the mode of one.
  Publish("given", "g", kAge1, "Mode=0740\r\n");
  Update("given");
  EXPECT_EQ(ModeOf(Local("given")), LessUmask(0740));
  // Archive entries: the archive's mode when new, the replaced file's after.
  Publish("pack.zip",
          Zip({{"bin/run", "#!/bin/sh\n"}, {"data.txt", "d"}}, {},
              {{"bin/run", 04755}, {"data.txt", 0}}),
          kAge1, "IsPack=1\r\n");
  Update("pack.zip");
  EXPECT_EQ(ModeOf(Local("bin/run")), LessUmask(0755));
  EXPECT_EQ(ModeOf(Local("data.txt")), LessUmask(0644));
  fs::permissions(Local("bin/run"), static_cast<fs::perms>(0700));
  Publish("pack.zip", Zip({{"bin/run", "#!/bin/sh\n\n"}}, {}, {{"bin/run", 0755}}), kAge2,
          "IsPack=1\r\n");
  SetGlobalVersion("3");
  Update("pack.zip");
  EXPECT_EQ(ModeOf(Local("bin/run")), 0700u);
}

TEST_F(LoaderServerTest, AFailedRegistrationIsRetriedUntilItSucceeds) {
  const std::string component = ReadWholeFile(QUV_TEST_COMPONENT);
  const TEnvironment marker("QUV_TEST_REGISTERED", Local("registered"));
  const std::string refused =
      std::string("Não foi possível registrar componente "_cp) + Local("viaprogram.so");
  Publish("viaprogram.so", component, kAge1, "IsCOMObj=1\r\nRegisterWithProgram=1\r\n");
  {
    const TEnvironment fails("QUV_TEST_REGISTER_FAILS", "1");
    EXPECT_EQ(UpdateError("viaprogram.so"), refused);
    EXPECT_EQ(UpdateError("viaprogram.so"), refused);
  }
  EXPECT_EQ(Update("viaprogram.so"), Names{});
  EXPECT_TRUE(fs::exists(Local("registered")));
  fs::remove(Local("registered"));
  Update("viaprogram.so");
  EXPECT_FALSE(fs::exists(Local("registered")));
  // Dependencies are registered as well.
  Publish("comp.so", component, kAge1, "IsCOMObj=1\r\n");
  Publish("user.dat", "u", kAge1, "[hard_dependencies]\r\n1=comp.so\r\n");
  Update("user.dat");
  EXPECT_TRUE(fs::exists(Local("registered")));
}

TEST_F(LoaderServerTest, AWholeFileMustMatchTheCheckSumOfItsDescriptor) {
  Publish("lib.quv", "one", kAge1);
  Update("lib.quv");
  // The file changed on the server after its descriptor was read.
  Publish("lib.quv", "two", kAge2);
  FServed.WriteFile("lib.quv", "three");
  SetGlobalVersion("2");
  EXPECT_EQ(UpdateError("lib.quv"),
            std::string("O arquivo lib.quv recebido do servidor não confere com seu descritor "
                        "(CheckSum "_cp) +
                std::to_string(Crc32("two")) + ", recebido " + std::to_string(Crc32("three")) +
                "); o arquivo local foi mantido.");
  EXPECT_EQ(LocalContent("lib.quv"), "one");
  EXPECT_EQ(TUpdateDescriptor::FromFile(Local("lib.quv.upd")).CheckSum(), Crc32("one"));
  EXPECT_FALSE(fs::exists(Local("_new/lib.quv")));
  // A cached descriptor that the server has moved past is read again once,
  // and the file received is taken when the fresh one describes it.
  Publish("lib.quv", "four", kAge3);
  FProgram.WriteFile("_updcache/lib.quv.upd",
                     "[Attributes]\r\nGlobalVersion=2\r\nCheckSum=" + std::to_string(Crc32("two")) +
                         "\r\nAge=" + std::to_string(kAge2) + "\r\n");
  EXPECT_EQ(Update("lib.quv"), Names{"lib.quv"});
  EXPECT_EQ(LocalContent("lib.quv"), "four");
  EXPECT_EQ(TUpdateDescriptor::FromFile(Local("lib.quv.upd")).CheckSum(), Crc32("four"));
  EXPECT_EQ(TUpdateDescriptor::FromFile(Local("_updcache/lib.quv.upd")).CheckSum(), Crc32("four"));
  // A difference made for another new file is not applied.
  const std::string five = "five" + std::string(3000, '5');
  FServed.WriteFile("lib.diff", MakeDifference("four", five + "!"));
  Publish("lib.quv", five, kAge3 + 1,
          "[" + std::to_string(Crc32("four")) + "]\r\nDiff_Files=lib.diff\r\n");
  SetGlobalVersion("3");
  EXPECT_NE(UpdateError("lib.quv").find("O arquivo lib.diff recebido do servidor"),
            std::string::npos);
  EXPECT_EQ(LocalContent("lib.quv"), "four");
}

TEST_F(LoaderServerTest, ADescriptorAskedForByNameOnlyRefreshesTheCache) {
  Publish("other.dat", "other", kAge1);
  Update("other.dat.upd");
  EXPECT_TRUE(fs::exists(Local("_updcache/other.dat.upd")));
  EXPECT_FALSE(fs::exists(Local("_updcache/other.dat.upd.upd")));
  EXPECT_FALSE(fs::exists(Local("other.dat.upd")));
  EXPECT_FALSE(fs::exists(Local("other.dat")));
}

TEST_F(LoaderServerTest, ACancelStopsOneUpdateOnly) {
  Publish("lib.quv", "content", kAge1);
  TquvLoader loader(FServer.Address());
  loader.Cancel();
  EXPECT_EQ(testing::MessageOf<ELoaderError>([&] { loader.Update(FProgram.Path(), "lib.quv"); }),
            "Carga de módulo cancelada."_cp);
  EXPECT_EQ(loader.Update(FProgram.Path(), "lib.quv"), Local("lib.quv"));
  EXPECT_EQ(LocalContent("lib.quv"), "content");
}

TEST_F(LoaderServerTest, TheEndOfEveryUpdateIsHeardAlsoWhenItFails) {
  Publish("lib.quv", "content", kAge1);
  TNotingLoader loader(FServer.Address());
  loader.Update(FProgram.Path(), "lib.quv");
  loader.Update(FProgram.Path(), "lib.quv");
  EXPECT_THROW(loader.Update(FProgram.Path(), "missing.dat"), ERemoteFileError);
  loader.Update(FProgram.Path(), "lib.quv.upd");
  EXPECT_EQ(loader.Finished, (Names{"lib.quv: fetched", "lib.quv: current", "missing.dat: failed",
                                    "lib.quv.upd: current"}));
}

TEST_F(LoaderServerTest, AMissingProgramFolderIsNamed) {
  Publish("lib.quv", "content", kAge1);
  TquvLoader loader(FServer.Address());
  const std::string missing = FProgram.Path() + "/nothere";
  EXPECT_EQ(testing::MessageOf<ELoaderError>([&] { loader.Update(missing, "lib.quv"); }),
            std::string("Pasta do programa não encontrada: "_cp) + missing);
  FProgram.WriteFile("afile", "");
  EXPECT_EQ(testing::MessageOf<ELoaderError>([&] { loader.Update(Local("afile"), "lib.quv"); }),
            std::string("Pasta do programa não encontrada: "_cp) + Local("afile"));
}

// Servers that send what the application server never would.

std::string VersionFile() { return "[Attributes]\r\nGlobalVersion=1\r\n"; }

TEST(LoaderHostileServer, ATransferThatTricklesEndsAtItsDeadline) {
  TManualClock& clock = testing::TestManualClock();
  constexpr int32_t kAnnounced = 1 << 20;
  testing::TScriptedFileServer server([&](const TquvFileRequest& request, auto& answer) {
    if (request.FileName == "_version.ini") {
      answer.SendFile(0, VersionFile());
    } else if (request.FileName == "slow.dat.upd") {
      answer.SendFile(0, "[Attributes]\r\nCheckSum=1\r\nAge=1600000000\r\n");
    } else if (answer.SendFileStart(0, kAnnounced)) {
      // One 10 KiB block every 20 s.
      for (int sent = 0; sent < kAnnounced; sent += 10240) {
        clock.Advance(20000);
        if (!answer.SendStoredBlock(std::string(10240, 's'))) return;
      }
    }
  });
  TTempFolder program;
  TquvLoader loader(server.Address());
  const std::string error =
      testing::MessageOf<ELoaderError>([&] { loader.Update(program.Path(), "slow.dat"); });
  EXPECT_EQ(
      error.rfind("Erro recebendo slow.dat: a transferência passou do prazo de 184 s ("_cp, 0), 0u)
      << error;
  EXPECT_FALSE(fs::exists(program.Path() + "/slow.dat"));
}

TEST(LoaderHostileServer, EndlessEmptyBlocksAreRefused) {
  testing::TScriptedFileServer server([&](const TquvFileRequest& request, auto& answer) {
    if (request.FileName == "_version.ini") {
      answer.SendFile(0, VersionFile());
    } else if (request.FileName == "empty.dat.upd") {
      answer.SendFile(0, "[Attributes]\r\nAge=1600000000\r\n");
    } else if (answer.SendFileStart(0, 4)) {
      for (int i = 0; i < 100000; ++i)
        if (!answer.SendInteger(0)) return;
      answer.SendStoredBlock("data");
    }
  });
  TTempFolder program;
  TquvLoader loader(server.Address());
  EXPECT_EQ(testing::MessageOf([&] { loader.Update(program.Path(), "empty.dat"); }),
            kInconsistentPackageMessage);
  EXPECT_FALSE(fs::exists(program.Path() + "/empty.dat"));
}

TEST(LoaderHostileServer, NamesOutsideTheMaskAreNotTaken) {
  testing::TScriptedFileServer server([&](const TquvFileRequest&, auto& answer) {
    answer.SendFile(4, "apps\\a!x.quv\r\nlib.so\r\napps\\sub\\b!y.quv\r\napps\\c.quv\r\n");
  });
  TquvLoader loader(server.Address());
  EXPECT_EQ(loader.ListFiles("apps\\*!*.quv"), Names{"apps\\a!x.quv"});
  EXPECT_EQ(loader.ListFiles("APPS\\*!*.QUV"), Names{});
}

}  // namespace
}  // namespace quv
