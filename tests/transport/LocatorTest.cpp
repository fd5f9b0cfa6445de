#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/Cp1252.h"
#include "tests/kit/ByteBuilder.h"
#include "tests/kit/LocatorPeers.h"
#include "tests/kit/LoopbackServer.h"
#include "tests/kit/TempFolder.h"
#include "transport/quvClientCfg.h"
#include "transport/quvlocatorclient.h"
#include "transport/udp.h"

namespace quv {
namespace {

using testing::MessageOf;
using testing::TTcpLocatorServer;
using testing::TUdpResponder;
using testing::UnusedPort;

// Short enough for the tests, long enough for a responder thread on a busy machine.
constexpr int32_t kTestUdpWaitMs = 1000;
const std::string kCommand(kServerImplementsLibrary);

std::string Response(const std::string& address) { return "#RESPONSE#srv " + address + "#END#"; }

std::string RequestFor(const std::string& library) { return kCommand + " " + library; }

// Every test talks to loopback only: the broadcast goes to a responder on
// 127.0.0.1, forced locators are loopback servers.
class Locator : public ::testing::Test {
 protected:
  void SetUp() override { ClearAddressCache(); }
  void TearDown() override {
    TquvClientCfg::LoadFrom(FNone, FNone);
    ClearAddressCache();
  }

  void Configure(uint16_t udpPort, const std::string& forced = "") {
    TquvClientCfg::LoadFrom(
        FNone, FTemp.WriteFile("quvclient.ini", "[CLIENT]\nLOCATORADDRESS=127.0.0.1\nLOCATORPORT=" +
                                                    std::to_string(udpPort) +
                                                    "\nFORCEADDRESS=" + forced + "\n"));
  }
  std::string ResolveLibrary(const std::string& name) {
    return Resolve(kCommand, name, kTestUdpWaitMs);
  }

  TTempFolder FTemp;
  const std::string FNone = FTemp.Path() + "/missing.ini";
  TUdpResponder FSilent;
};

TEST(LocatorResponse, SuffixGivesTheExpiryTheFirstWordIsDroppedAndMalformedTextsGiveNothing) {
  TManualClock clock(1000);
  TClockOverride useClock(clock);
  TAddrCacheInfo info = ParseLocatorResponse(Response("10.0.0.1") + "#TIMEOUT300000#");
  EXPECT_EQ(info.Address, "10.0.0.1");
  EXPECT_EQ(info.Expiry, 301000u);
  info = ParseLocatorResponse(Response("10.0.0.1"));
  EXPECT_EQ(info.Address, "10.0.0.1");
  EXPECT_EQ(info.Expiry, 0u);
  EXPECT_EQ(ParseLocatorResponse("#RESPONSE#a b c#END#").Address, "b c");
  EXPECT_EQ(ParseLocatorResponse("#RESPONSE#10.0.0.2#END#").Address, "10.0.0.2");
  // A validity that is not a number expires at once.
  info = ParseLocatorResponse(Response("x") + "#TIMEOUTabcdef!");
  EXPECT_EQ(info.Address, "x");
  EXPECT_EQ(info.Expiry, 1000u);
  // Malformed texts give no address.
  for (const std::string text :
       {"", "#RESPONSE#END#", "#RESPONSE#srv 10.0.0.1", "srv 10.0.0.1#END#", "#TIMEOUT300000#",
        "#RESPONSE#srv 10.0.0.1#END##TIMEOUT3", "#COMMAND#srv 10.0.0.1#END#"})
    EXPECT_EQ(ParseLocatorResponse(text).Address, "") << text;
}

TEST_F(Locator, AnswerWithValidityIsCachedUntilItExpires) {
  TManualClock clock(5000);
  TClockOverride useClock(clock);
  TUdpResponder responder({Response("10.0.0.7") + "#TIMEOUT300000#"});
  Configure(responder.Port());
  TLocator locator(kTestUdpWaitMs);
  ASSERT_TRUE(locator.Query(RequestFor("lib")));
  clock.Advance(299999);
  ASSERT_TRUE(locator.Query(RequestFor("LIB")));
  EXPECT_EQ(*locator.Responses().begin(), "10.0.0.7");
  EXPECT_EQ(responder.Requests().size(), 1u);
  clock.Advance(1);
  ASSERT_TRUE(locator.Query(RequestFor("lib")));
  EXPECT_EQ(responder.Requests().size(), 2u);
}

TEST_F(Locator, AddressInTheRequestOrNameNeedsNoTraffic) {
  TManualClock clock;
  TClockOverride useClock(clock);
  Configure(FSilent.Port());
  EXPECT_EQ(ResolveLibrary("lib@10.1.2.3"), "10.1.2.3");
  EXPECT_EQ(ResolveLibrary("server:6020"), "server");
  EXPECT_EQ(MessageOf([this] { ResolveLibrary("lib@"); }),
            "Servidor para serviço lib@ não encontrado"_cp);
  clock.Advance(4000000000);
  std::string cached;
  ASSERT_TRUE(LookupAddress(RequestFor("lib@10.1.2.3"), cached));
  EXPECT_EQ(cached, "10.1.2.3");
  EXPECT_TRUE(FSilent.Requests().empty());
}

TEST_F(Locator, BroadcastAnswersAreSortedAndTheSmallestWins) {
  TUdpResponder responder({Response("10.0.0.9"), "noise", Response("10.0.0.10")});
  Configure(responder.Port());
  TLocator locator(kTestUdpWaitMs);
  ASSERT_TRUE(locator.Query(RequestFor("lib")));
  EXPECT_EQ(std::vector<std::string>(locator.Responses().begin(), locator.Responses().end()),
            (std::vector<std::string>{"10.0.0.10", "10.0.0.9"}));
  EXPECT_EQ(responder.Requests(),
            std::vector<std::string>{"#COMMAND#SERVER_IMPLEMENTS_LIBRARY_3 lib#END#"});
  std::string cached;
  ASSERT_TRUE(LookupAddress(RequestFor("lib"), cached));
  EXPECT_EQ(cached, "10.0.0.10");
}

TEST_F(Locator, BroadcastReadsABoundedNumberOfAnswers) {
  std::vector<std::string> flood;
  for (int i = 0; i < 100; ++i) flood.push_back(Response("10.0.1." + std::to_string(i)));
  TUdpResponder responder(flood);
  Configure(responder.Port());
  TLocator locator(kTestUdpWaitMs);
  ASSERT_TRUE(locator.Query(RequestFor("lib")));
  EXPECT_EQ(locator.Responses().size(), 64u);
}

TEST_F(Locator, PrefixUpToPercentIsDroppedAndTheNameIsCutAtBang) {
  TUdpResponder responder({Response("site%10.0.0.5")});
  Configure(responder.Port());
  EXPECT_EQ(ResolveLibrary("lib!extra"), "10.0.0.5");
  EXPECT_EQ(responder.Requests(),
            std::vector<std::string>{"#COMMAND#SERVER_IMPLEMENTS_LIBRARY_3 lib#END#"});
}

TEST_F(Locator, NothingAnsweringIsNotFound) {
  Configure(FSilent.Port());
  EXPECT_EQ(MessageOf([&] { ResolveLibrary("lib!x"); }),
            "Servidor para serviço lib!x não encontrado"_cp);
  EXPECT_EQ(FSilent.Requests().size(), 1u);
}

TEST_F(Locator, ForcedLocatorsAreAskedInOrderAndLocalAnswersBecomeLocalhost) {
  TTcpLocatorServer silent("");
  TTcpLocatorServer answering(Response("site%127.0.0.1"));
  Configure(FSilent.Port(), " ;" + silent.Address() + " ; " + answering.Address());
  EXPECT_EQ(ResolveLibrary("lib"), "localhost");
  EXPECT_EQ(silent.Requests(), std::vector<std::string>{"#COMMAND#" + RequestFor("lib") + " " +
                                                        silent.Address() + "#END#"});
  EXPECT_EQ(answering.Requests().size(), 1u);
  EXPECT_TRUE(FSilent.Requests().empty());
}

TEST_F(Locator, ForcedLocatorsWithoutAnAnswerStopTheQuery) {
  TTcpLocatorServer empty("");
  TTcpLocatorServer malformed("garbage");
  const std::string forced = empty.Address() + ";" + malformed.Address();
  Configure(FSilent.Port(), forced);
  EXPECT_EQ(MessageOf([&] { ResolveLibrary("lib"); }),
            std::string("Os servidores de localização \""_cp) + forced +
                std::string("\" não implementam SERVER_IMPLEMENTS_LIBRARY_3 lib."_cp));
  Configure(FSilent.Port(), "127.0.0.1:" + std::to_string(testing::UnusedPort()));
  EXPECT_NE(MessageOf([&] { ResolveLibrary("lib"); }), "(no error)");
  EXPECT_TRUE(FSilent.Requests().empty());
}

TEST_F(Locator, InvalidateForgetsTheLibraryOfAName) {
  StoreAddress(RequestFor("QUVSYSTEM"), {"10.0.0.1", 0});
  StoreAddress(RequestFor("other"), {"10.0.0.2", 0});
  Invalidate("quvsystem.tasks.list");
  Invalidate("other:1.x");
  std::string cached;
  EXPECT_FALSE(LookupAddress(RequestFor("quvsystem"), cached));
  EXPECT_FALSE(LookupAddress(RequestFor("other"), cached));
}

TEST(LocatorLocalNames, HostNameAndLoopbackAreLocal) {
  char hostName[256] = {};
  ASSERT_EQ(::gethostname(hostName, sizeof hostName - 1), 0);
  EXPECT_TRUE(IsLocalName(AnsiUpperCase(hostName)));
  EXPECT_TRUE(IsLocalName("localhost"));
  EXPECT_TRUE(IsLocalName("127.0.0.1"));
  EXPECT_FALSE(IsLocalName("127.0.0.2x"));
}

TEST(Udp, DottedTextThatDoesNotParseIsRefused) {
  TUdp udp(6015);
  TUdpMsg message;
  message.Host = "300.1.2.3";
  message.Data = "x";
  EXPECT_EQ(MessageOf([&] { udp.Send(message); }),
            "Não foi possível converter o endereço IP 300.1.2.3"_cp);
}

// The old short forms would send to another address than the one written.
TEST(Udp, OnlyAFullDottedQuadIsAnAddress) {
  TUdp udp(UnusedPort());
  for (const std::string host : {"127.1", "127.0.1", "2130706433", "0x7f.1"}) {
    TUdpMsg message;
    message.Host = host;
    message.Data = "x";
    EXPECT_EQ(MessageOf([&] { udp.Send(message); }),
              std::string("Não foi possível converter o endereço IP "_cp) + host);
  }
}

}  // namespace
}  // namespace quv
