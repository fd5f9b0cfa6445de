#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/Cp1252.h"
#include "tests/kit/ByteBuilder.h"
#include "tests/kit/LoopbackServer.h"
#include "tests/kit/ServerProcess.h"
#include "tests/kit/TempFolder.h"
#include "tests/kit/TestScope.h"
#include "transport/quvClientCfg.h"
#include "transport/quvClientConn.h"
#include "transport/quvlocatorclient.h"
#include "transport/quvpack.h"
#include "transport/udp.h"

namespace quv {
namespace {

using testing::MessageOf;
using testing::TServerProcess;

// Short enough for the tests, long enough for a server on a busy machine.
constexpr int32_t kUdpWaitMs = 1000;
// How long a test waits to be sure that no answer comes.
constexpr int32_t kSilenceWaitMs = 300;
const std::string kCommand(kServerImplementsLibrary);

std::string RequestFor(const std::string& library) { return kCommand + " " + library; }

std::vector<std::string> Responses(const TLocator& locator) {
  return {locator.Responses().begin(), locator.Responses().end()};
}

// The real client asking real servers, over loopback only.
class ServerLocator : public ::testing::Test {
 protected:
  void SetUp() override { ClearAddressCache(); }
  void TearDown() override {
    TquvClientCfg::LoadFrom(FNone, FNone);
    ClearAddressCache();
  }

  void Configure(const std::string& udpAddress, uint16_t udpPort, const std::string& forced = "") {
    TquvClientCfg::LoadFrom(
        FNone, FTemp.WriteFile("quvclient.ini", "[CLIENT]\nLOCATORADDRESS=" + udpAddress +
                                                    "\nLOCATORPORT=" + std::to_string(udpPort) +
                                                    "\nFORCEADDRESS=" + forced + "\n"));
  }

  TTempFolder FTemp;
  const std::string FNone = FTemp.Path() + "/missing.ini";
};

TEST_F(ServerLocator, BroadcastOnLoopbackIsAnsweredAndKeptForTheValidity) {
  TServerProcess server({"--locator-validity", "300000"});
  Configure("127.0.0.1", server.LocatorPort());
  testing::TestManualClock();
  TLocator locator(kUdpWaitMs);
  ASSERT_TRUE(locator.Query(RequestFor("QuvTest")));
  EXPECT_EQ(Responses(locator), std::vector<std::string>{server.Address()});
  std::string cached;
  EXPECT_TRUE(LookupAddress(RequestFor("quvtest"), cached));
  testing::TestManualClock().Advance(300001);
  EXPECT_FALSE(LookupAddress(RequestFor("quvtest"), cached));
  EXPECT_EQ(Resolve(kCommand, "quvtest!x", kUdpWaitMs), server.Address());
  const int status = server.Stop();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_F(ServerLocator, ALibraryNoServerServesTimesOut) {
  TServerProcess server;
  Configure("127.0.0.1", server.LocatorPort());
  EXPECT_EQ(MessageOf([] { Resolve(kCommand, "nenhuma", kSilenceWaitMs); }),
            "Servidor para serviço nenhuma não encontrado"_cp);
}

TEST_F(ServerLocator, TwoServersAnswerABroadcastAndTheSmallerAddressTextWins) {
  // Sockets bound to the loopback broadcast address all get what is sent there.
  const std::string broadcast = "127.255.255.255";
  TServerProcess first({"--locator-listen", broadcast, "--locator-answer", "127.0.0.9"});
  TServerProcess second({"--locator-listen", broadcast, "--locator-answer", "127.0.0.10",
                         "--locator-port", std::to_string(first.LocatorPort())});
  Configure(broadcast, first.LocatorPort());
  TLocator locator(kUdpWaitMs);
  ASSERT_TRUE(locator.Query(RequestFor("quvtest")));
  EXPECT_EQ(Responses(locator), (std::vector<std::string>{"127.0.0.10", "127.0.0.9"}));
  EXPECT_EQ(Resolve(kCommand, "quvtest", kUdpWaitMs), "127.0.0.10");
}

TEST_F(ServerLocator, AForcedLocatorIsAnsweredOverTcpWithLocalhostForThisMachine) {
  TServerProcess server;
  Configure("127.0.0.1", testing::UnusedPort(), server.Address());
  EXPECT_EQ(Resolve(kCommand, "quvtest"), "localhost:" + std::to_string(server.Port()));
  EXPECT_EQ(MessageOf([] { Resolve(kCommand, "nenhuma"); }),
            std::string("Os servidores de localização \""_cp) + server.Address() +
                std::string("\" não implementam SERVER_IMPLEMENTS_LIBRARY_3 nenhuma."_cp));
}

TEST_F(ServerLocator, MalformedRequestsOverTcpGetAnEmptyTextOnALastingConnection) {
  TServerProcess server({"--locator-validity", "1500", "--locator-answer", "site%127.0.0.1"});
  TClientConn connection(server.Address(), true);
  TquvPackage package(connection);
  const auto ask = [&](const std::string& text) {
    TquvPackageWriter(package).SendLocatorRequest(text);
    return TquvPackageReader(package).ReadText();
  };
  for (const std::string& text : std::vector<std::string>{
           "", "#COMMAND##END#", "#COMMAND#" + RequestFor("") + "#END#",
           "#COMMAND#SERVER_IMPLEMENTS_LIBRARY_2 quvtest#END#", "#COMMAND#" + RequestFor("quvtest"),
           RequestFor("quvtest") + "#END#", "#COMMAND#" + RequestFor("quvtest.test") + "#END#"})
    EXPECT_EQ(ask(text), "") << text;
  EXPECT_EQ(ask(LocatorMessage(RequestFor("QUVTEST") + " " + server.Address())),
            "#RESPONSE#QUVTEST site%127.0.0.1#END##TIMEOUT001500#");
}

TEST_F(ServerLocator, MalformedDatagramsGetNoAnswerAndTheResponderCarriesOn) {
  TServerProcess server;
  TUdp udp(server.LocatorPort(), kSilenceWaitMs);
  const auto send = [&](const std::string& text) {
    TUdpMsg message;
    message.Host = "127.0.0.1";
    message.Data = text;
    udp.Send(message);
  };
  // A request that fills the most bytes a datagram may carry, and more after it.
  const std::string start = "#COMMAND#" + RequestFor("quvtest") + " ";
  const std::string filled =
      start + std::string(kUdpMaxPayload - start.size() - kMessageEnd.size(), 'x') + "#END#";
  send(filled + "!");
  for (const std::string text : {"", "#COMMAND#", "#COMMAND#SERVER_IMPLEMENTS_LIBRARY_3#END#",
                                 "#COMMAND#SERVER_IMPLEMENTS_LIBRARY_3  quvtest#END#"})
    send(text);
  send(LocatorMessage(RequestFor("quvtest")));
  TUdpMsg reply;
  ASSERT_TRUE(udp.Receive(reply));
  EXPECT_EQ(reply.Data, "#RESPONSE#quvtest " + server.Address() + "#END#");
  EXPECT_FALSE(udp.Receive(reply)) << reply.Data;
}

TEST(ServerLocatorOptions, BadValuesAreRefused) {
  for (const char* bad :
       {"--locator-validity 1000000", "--locator-port 65536", "--locator-listen nowhere",
        "--locator-answer 'a b'", "--locator-answer 'x#END#'"}) {
    const int refused =
        std::system((std::string(QUV_SERVER_BINARY " ") + bad + " 2>/dev/null").c_str());
    EXPECT_EQ(WEXITSTATUS(refused), 2) << bad;
  }
}

}  // namespace
}  // namespace quv
