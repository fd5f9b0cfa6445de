#include <gtest/gtest.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "platform/DateTime.h"
#include "tests/kit/TempFolder.h"
#include "tests/kit/bridge/TestBridge.h"
#include "transport/logfiles.h"

extern char** environ;

namespace quv {
namespace {

using TFiles = std::map<std::string, std::string>;

// Keeps the lock files of the loggers inside a test's own folder.
class TRuntimeFolderOverride final {
 public:
  explicit TRuntimeFolderOverride(const std::string& folder) {
    if (const char* old = getenv("XDG_RUNTIME_DIR")) FOld = old;
    setenv("XDG_RUNTIME_DIR", folder.c_str(), 1);
  }
  ~TRuntimeFolderOverride() {
    if (FOld.empty())
      unsetenv("XDG_RUNTIME_DIR");
    else
      setenv("XDG_RUNTIME_DIR", FOld.c_str(), 1);
  }

 private:
  std::string FOld;
};

TTestBridgeContext LogContext(int32_t number, int32_t level, int32_t mode,
                              const std::string& category1 = "",
                              const std::string& category2 = "") {
  TTestBridgeContext fields;
  fields.Number = number;
  fields.LogLevel = level;
  fields.LogMode = mode;
  fields.Category1 = category1;
  fields.Category2 = category2;
  return fields;
}

double At(int hour, int minute, int second, int ms) {
  return EncodeDateTime({2026, 8, 12, hour, minute, second, ms});
}

class LogFiles : public ::testing::Test {
 protected:
  void TearDown() override {
    if (auto* setContext = TestBridgeSetContext()) setContext(nullptr);
  }

  std::string LogFolder() const { return FTemp.Path() + "/trace"; }
  std::unique_ptr<TLogFiles> MakeLog(TBrokerBridge bridge = {}) {
    std::filesystem::create_directories(LogFolder());
    return std::make_unique<TLogFiles>(LogFolder(), FTemp.Path() + "/prog", std::move(bridge));
  }
  TFiles Files() const {
    TFiles files;
    for (const auto& entry : std::filesystem::directory_iterator(LogFolder())) {
      std::ifstream in(entry.path(), std::ios::binary);
      std::stringstream content;
      content << in.rdbuf();
      files[entry.path().filename().string()] = content.str();
    }
    return files;
  }
  // The test bridge's control of the context it hands out (null when it did not load).
  TTestBridgeSetContextFunc* TestBridgeSetContext() {
    return FBridgeControl.Function<TTestBridgeSetContextFunc>("TestBridgeSetContext");
  }
  void SetContext(const TTestBridgeContext& fields) {
    ASSERT_NE(TestBridgeSetContext(), nullptr) << FBridgeControl.LoadError();
    TestBridgeSetContext()(&fields);
  }

  TTempFolder FTemp;
  TRuntimeFolderOverride FRuntime{FTemp.Path()};
  TManualClock FClock{0, At(10, 59, 30, 250)};
  TClockOverride FClockOverride{FClock};
  TDynamicLibrary FBridgeControl = TDynamicLibrary::Load(QUV_TEST_BRIDGE);
};

TEST_F(LogFiles, WithoutBridgeOnlyLevelZeroAndBelowAreWritten) {
  auto log = MakeLog();
  log->Log(1, "not written", "LOG");
  log->Log(0, "level zero", "LOG");
  log->Log(-3, "below zero", "LOG");
  log->Log(0, "", "LOG");
  const TFiles files = Files();
  ASSERT_EQ(files.size(), 1u);
  const std::string head = std::to_string(getpid()) + "-[0-9]+ 08/12/26 10:59:30:250 ";
  const std::string content = files.at("progLOG_260812_10.txt");
  EXPECT_TRUE(
      std::regex_match(content, std::regex(head + "level zero\r\n" + head + "below zero\r\n")))
      << content;
}

TEST_F(LogFiles, ContextLevelLetsHigherLevelsThroughWithItsNumberInFront) {
  auto log = MakeLog(TBrokerBridge::Load(QUV_TEST_BRIDGE));
  SetContext(LogContext(7, 2, 0));
  log->Log(2, "level two", "LOG");
  log->Log(3, "level three", "LOG");
  const std::string content = Files().at("progLOG_260812_10.txt");
  EXPECT_TRUE(std::regex_match(
      content, std::regex("7-" + std::to_string(getpid()) + "-[0-9]+ [0-9/: ]+ level two\r\n")))
      << content;
}

TEST_F(LogFiles, ModesNameTheirFilesAndTakeTheContextCategory) {
  auto log = MakeLog(TBrokerBridge::Load(QUV_TEST_BRIDGE));
  SetContext(LogContext(0, 0, 1, "MC", "UC"));
  log->Log(0, "mode one", "");
  log->Log(0, "named category", "QUVCLIENT");
  SetContext(LogContext(0, 0, 2, "MC", "UC"));
  log->Log(0, "mode two", "");
  SetContext(LogContext(0, 0, 2, "", "QUVCLIENT"));
  log->Log(0, "same name, other mode", "");
  const TFiles files = Files();
  ASSERT_EQ(files.size(), 4u);
  EXPECT_NE(files.at("@M_MC_260812.txt").find("mode one\r\n"), std::string::npos);
  EXPECT_NE(files.at("progQUVCLIENT_260812_10.txt").find("named category"), std::string::npos);
  EXPECT_NE(files.at("@U_UC_260812.txt").find("mode two\r\n"), std::string::npos);
  EXPECT_NE(files.at("@U_QUVCLIENT_260812.txt").find("other mode"), std::string::npos);
}

TEST_F(LogFiles, LinesOfTwoHoursGoToTwoFiles) {
  auto log = MakeLog();
  FClock.SetNow(At(10, 59, 59, 999));
  log->Log(0, "before", "LOG");
  FClock.SetNow(At(11, 0, 0, 0));
  log->Log(0, "after", "LOG");
  const TFiles files = Files();
  ASSERT_EQ(files.size(), 2u);
  EXPECT_NE(files.at("progLOG_260812_10.txt").find("10:59:59:999 before\r\n"), std::string::npos);
  EXPECT_NE(files.at("progLOG_260812_11.txt").find("11:00:00:000 after\r\n"), std::string::npos);
}

TEST_F(LogFiles, MissingUnloadableOrPartialBridgeIsNoBroker) {
  const std::string garbage = FTemp.WriteFile("libquvbrokerbridge.so", "not a library");
  for (const std::string& path : {FTemp.Path() + "/none.so", garbage}) {
    const TBrokerBridge bridge = TBrokerBridge::Load(path);
    EXPECT_FALSE(bridge.Present()) << path;
    EXPECT_FALSE(bridge.GetContext()) << path;
  }
  SetContext(LogContext(0, 5, 0));
  TBrokerBridge partial = TBrokerBridge::Load(QUV_TEST_PARTIAL_BRIDGE);
  EXPECT_TRUE(partial.Present());
  EXPECT_TRUE(partial.HasGetInServerEnv());
  EXPECT_TRUE(partial.HasSetContext());
  EXPECT_FALSE(partial.HasGetContext());
  EXPECT_FALSE(partial.HasSetInServerEnv());
  auto log = MakeLog(std::move(partial));
  log->Log(1, "no context, so dropped", "LOG");
  EXPECT_TRUE(Files().empty());
}

TEST_F(LogFiles, FullBridgeReportsTheServerEnvironmentAndCallsThroughItsContext) {
  const TBrokerBridge bridge = TBrokerBridge::Load(QUV_TEST_BRIDGE);
  EXPECT_TRUE(bridge.Present());
  EXPECT_TRUE(bridge.HasGetInServerEnv() && bridge.HasSetContext() && bridge.HasSetInServerEnv());
  EXPECT_FALSE(bridge.GetContext());
  TTestBridgeContext fields;
  SetContext(fields);
  std::string output;
  uint8_t status = 9;
  bridge.GetContext()->Call("lib.method", "ctx", "input bytes", output, status);
  EXPECT_EQ(output, "input bytes");
  EXPECT_EQ(status, 0);
  fields.EchoInput = false;
  fields.Status = 2;
  fields.Output = "falhou";
  SetContext(fields);
  bridge.GetContext()->Call("lib.other", "ctx2", "input bytes", output, status);
  EXPECT_EQ(output, "falhou");
  EXPECT_EQ(status, 2);
  std::string method, callContext;
  FBridgeControl.Function<TTestBridgeLastCallFunc>("TestBridgeLastCall")(&method, &callContext);
  EXPECT_EQ(method + "|" + callContext, "lib.other|ctx2");
}

pid_t SpawnWriter(const std::string& folder, const std::string& program, const std::string& tag,
                  int count) {
  const std::string helper = QUV_LOG_WRITER_HELPER;
  std::vector<std::string> args = {helper, folder, program, "SHARED", tag, std::to_string(count)};
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  EXPECT_EQ(posix_spawn(&pid, helper.c_str(), nullptr, nullptr, argv.data(), environ), 0);
  return pid;
}

TEST_F(LogFiles, TwoProcessesAppendingToOneCategoryLoseAndTearNoLine) {
  constexpr int kLines = 3000;
  std::filesystem::create_directories(LogFolder());
  const std::string program = FTemp.Path() + "/prog";
  const pid_t first = SpawnWriter(LogFolder(), program, "A", kLines);
  const pid_t second = SpawnWriter(LogFolder(), program, "B", kLines);
  for (const pid_t pid : {first, second}) {
    int status = -1;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  // The real clock may cross an hour while they write: read every file.
  const std::regex shape("[0-9]+-[0-9]+ [0-9/]{8} [0-9:]{12} ([AB]):([0-9]+)\\.{150}\r");
  std::map<std::string, std::vector<bool>> seen{{"A", std::vector<bool>(kLines)},
                                                {"B", std::vector<bool>(kLines)}};
  int lines = 0;
  for (const auto& [name, content] : Files()) {
    std::istringstream in(content);
    for (std::string line; std::getline(in, line); ++lines) {
      std::smatch match;
      ASSERT_TRUE(std::regex_match(line, match, shape)) << name << ": " << line;
      const int index = std::stoi(match[2]);
      ASSERT_LT(index, kLines);
      EXPECT_FALSE(seen[match[1]][index]) << line;
      seen[match[1]][index] = true;
    }
  }
  EXPECT_EQ(lines, 2 * kLines);
}

TEST_F(LogFiles, ThreadsOfOneProcessShareTheLoggerWithoutLosingLines) {
  constexpr int kThreads = 4;
  constexpr int kLines = 500;
  auto log = MakeLog();
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&log, t] {
      for (int i = 0; i < kLines; ++i)
        log->Log(0, std::to_string(t) + ":" + std::to_string(i), i % 2 ? "EVEN" : "ODD");
    });
  for (std::thread& thread : threads) thread.join();
  std::set<std::string> messages;
  int lines = 0;
  for (const auto& [name, content] : Files()) {
    std::istringstream in(content);
    for (std::string line; std::getline(in, line); ++lines)
      messages.insert(line.substr(line.rfind(' ') + 1));
  }
  EXPECT_EQ(lines, kThreads * kLines);
  EXPECT_EQ(messages.size(), static_cast<std::size_t>(kThreads * kLines));
}

TEST(LogFolder, TraceBesideTheProgramOrThePerUserStateFolder) {
  TTempFolder temp;
  EXPECT_EQ(PrepareLogFolder(temp.Path() + "/prog"), temp.Path() + "/trace/");
  struct stat info {};
  EXPECT_EQ(stat((temp.Path() + "/trace").c_str(), &info), 0);

  // A program "inside" a plain file: no trace folder can be made there, not even by root.
  const std::string notAFolder = temp.WriteFile("file", "x");
  ASSERT_EQ(setenv("XDG_STATE_HOME", (temp.Path() + "/state").c_str(), 1), 0);
  EXPECT_EQ(PrepareLogFolder(notAFolder + "/quvtasks.bin"), temp.Path() + "/state/quvtasks/");
  unsetenv("XDG_STATE_HOME");
  EXPECT_EQ(stat((temp.Path() + "/state/quvtasks").c_str(), &info), 0);
}

}  // namespace
}  // namespace quv
