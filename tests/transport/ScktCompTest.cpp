#include <gtest/gtest.h>
#include <netdb.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/Cp1252.h"
#include "tests/kit/ByteBuilder.h"
#include "tests/kit/LoopbackServer.h"
#include "transport/quvConn.h"
#include "transport/quvScktComp.h"

namespace quv {
namespace {

using testing::MessageOf;
using testing::TLoopbackServer;
using testing::UnusedPort;

// Receives `count` bytes, looping over partial receives.
std::string ReceiveAll(TCustomWinSocket& socket, int32_t count) {
  std::string bytes(static_cast<std::size_t>(count), '\0');
  for (int32_t got = 0; got < count;) {
    const int32_t result = socket.ReceiveBuf(bytes.data() + got, count - got);
    if (result <= 0) return bytes.substr(0, static_cast<std::size_t>(got));
    got += result;
  }
  return bytes;
}

class ClientSocket : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(FServer.Listening()); }

  // The socket connected to the test server by numeric address, waiting `timeout` ms for data.
  TClientWinSocket& OpenByAddress(int32_t timeout = 5000) {
    FSocket.SetAddress("127.0.0.1");
    FSocket.SetPort(FServer.Port());
    FSocket.Open();
    EXPECT_TRUE(FServer.WaitForConnections(1));
    FSocket.Socket().SetTimeout(timeout);
    return FSocket.Socket();
  }

  TLoopbackServer FServer;
  TClientSocket FSocket;
};

TEST_F(ClientSocket, ConnectsByNameReportingTheLifeCycleInOrder) {
  std::vector<std::string> events;
  FSocket.OnLookup = [&](TCustomWinSocket&) { events.push_back("lookup"); };
  FSocket.OnConnecting = [&](TCustomWinSocket&) { events.push_back("connecting"); };
  FSocket.OnConnect = [&](TCustomWinSocket&) { events.push_back("connect"); };
  FSocket.OnDisconnect = [&](TCustomWinSocket&) { events.push_back("disconnect"); };
  FSocket.SetHost("localhost");
  FSocket.SetPort(FServer.Port());
  FSocket.Open();
  EXPECT_TRUE(FSocket.Active());
  EXPECT_TRUE(FSocket.Socket().Connected());
  FSocket.Close();
  EXPECT_FALSE(FSocket.Active());
  EXPECT_EQ(events, (std::vector<std::string>{"lookup", "connecting", "connect", "disconnect"}));
  EXPECT_TRUE(FServer.WaitForClientClose(0));
}

TEST_F(ClientSocket, SendsAndReceivesByNumericAddress) {
  TClientWinSocket& socket = OpenByAddress();
  EXPECT_EQ(socket.SendBuf("QUV1", 4), 4);
  EXPECT_EQ(FServer.WaitForReceived(0, 4), "QUV1");
  EXPECT_EQ(socket.SendBuf("", 0), 0);
  FServer.Send(0, "RECVOK");
  EXPECT_EQ(ReceiveAll(socket, 6), "RECVOK");
}

TEST_F(ClientSocket, WaitThatRunsOutGivesMinusOneAndPeekFindsLaterData) {
  TClientWinSocket& socket = OpenByAddress(20);
  char byte = 0;
  EXPECT_EQ(socket.ReceiveBuf(&byte, 1), kConnNothingWithinWait);
  EXPECT_EQ(socket.ReceiveBuf(&byte, -1), kConnNothingWithinWait);
  socket.SetTimeout(5000);
  FServer.Send(0, "x");
  EXPECT_EQ(socket.ReceiveBuf(&byte, -1), 1);
  EXPECT_EQ(socket.ReceiveBuf(&byte, 1), 1);  // the peek left the byte there
  EXPECT_EQ(byte, 'x');
}

TEST_F(ClientSocket, BytesReadAheadComeInOrderAndGoWithTheirConnection) {
  TClientWinSocket& socket = OpenByAddress();
  std::string large;
  for (int i = 0; i < 40000; ++i) large += static_cast<char>('a' + i % 26);
  FServer.Send(0, large);
  // Small receives are served ahead, a large one straight from the socket.
  EXPECT_EQ(ReceiveAll(socket, 3), large.substr(0, 3));
  char byte = 0;
  EXPECT_EQ(socket.ReceiveBuf(&byte, -1), 1);
  EXPECT_EQ(ReceiveAll(socket, 39000), large.substr(3, 39000));
  EXPECT_EQ(ReceiveAll(socket, 997), large.substr(39003));
  FServer.Send(0, "stale");
  EXPECT_EQ(ReceiveAll(socket, 1), "s");
  FSocket.Close();
  FSocket.Open();
  ASSERT_TRUE(FServer.WaitForConnections(2));
  FServer.Send(1, "new");
  EXPECT_EQ(ReceiveAll(FSocket.Socket(), 3), "new");
}

TEST_F(ClientSocket, PeerCloseAndLocalCloseGiveMinusTwo) {
  TClientWinSocket& socket = OpenByAddress();
  FServer.Disconnect(0);
  char byte;
  EXPECT_EQ(socket.ReceiveBuf(&byte, 1), kConnGone);
  EXPECT_EQ(socket.ReceiveBuf(&byte, -1), kConnGone);
  FSocket.Close();
  EXPECT_EQ(socket.SendBuf("", 0), kConnGone);
  EXPECT_EQ(socket.ReceiveBuf(&byte, 1), kConnGone);
}

TEST_F(ClientSocket, ConnectsByServiceName) {
  // A service of the system's table whose port this test can listen on.
  for (const char* name : {"x11", "postgresql", "mysql", "http-alt", "webcache", "ircd"}) {
    const servent* service = ::getservbyname(name, "tcp");
    if (service == nullptr) continue;
    TLoopbackServer server(ntohs(static_cast<uint16_t>(service->s_port)));
    if (!server.Listening()) continue;
    FSocket.SetAddress("127.0.0.1");
    FSocket.SetPort(1);
    FSocket.SetService(name);
    FSocket.Open();
    EXPECT_TRUE(server.WaitForConnections(1));
    return;
  }
  GTEST_SKIP() << "no known service port is free here";
}

TEST_F(ClientSocket, UnknownServiceConnectsToPortZeroAndFails) {
  FSocket.SetAddress("127.0.0.1");
  FSocket.SetService("no-such-quv-service");
  EXPECT_THROW(FSocket.Open(), ESocketError);
  EXPECT_EQ(FServer.Accepted(), 0u);
}

TEST(SocketErrors, RefusedConnectHasTheSystemTextCodeAndCall) {
  TClientSocket socket;
  socket.SetAddress("127.0.0.1");
  socket.SetPort(UnusedPort());
  EXPECT_EQ(MessageOf([&] { socket.Open(); }),
            "Erro de socket: Connection refused (111), na API 'connect'");
  EXPECT_FALSE(socket.Active());
  EXPECT_FALSE(socket.Socket().Connected());
}

TEST(SocketErrors, AnyAddressOrUnreadableOneIsRefusedInsteadOfReachingThisHost) {
  TLoopbackServer server;
  for (const char* address : {"0.0.0.0", "not-an-address"}) {
    TClientSocket socket;
    socket.SetAddress(address);
    socket.SetPort(server.Port());
    EXPECT_EQ(MessageOf([&] { socket.Open(); }),
              "Erro de socket: Cannot assign requested address (99), na API 'connect'");
  }
  EXPECT_EQ(server.Accepted(), 0u);
}

int gHookedCode = 0;

TEST(SocketErrors, ThreadHookOrErrorHandlerTakesAFailedConnect) {
  TClientSocket socket;
  socket.SetAddress("127.0.0.1");
  socket.SetPort(UnusedPort());
  const TSocketErrorProc previous = SetSocketErrorProc([](int code) { gHookedCode = code; });
  EXPECT_NO_THROW(socket.Open());
  SetSocketErrorProc(previous);
  EXPECT_EQ(gHookedCode, ECONNREFUSED);

  TErrorEvent reported = TErrorEvent::eeGeneral;
  socket.OnError = [&](TCustomSocket& sender, TCustomWinSocket&, TErrorEvent event, int& code) {
    EXPECT_EQ(&sender, &socket);
    reported = event;
    code = 0;
  };
  EXPECT_NO_THROW(socket.Open());
  EXPECT_EQ(reported, TErrorEvent::eeConnect);
  EXPECT_FALSE(socket.Active());
}

TEST(SocketErrors, FixedMessagesOfTheComponent) {
  TLoopbackServer server;
  TClientSocket socket;
  EXPECT_EQ(MessageOf([&] { socket.Open(); }), "Não foi especificado endereço"_cp);
  socket.SetAddress("127.0.0.1");
  socket.SetPort(server.Port());
  socket.Open();
  socket.SetPort(server.Port());  // the same value changes nothing
  EXPECT_EQ(MessageOf([&] { socket.SetPort(server.Port() + 1); }),
            "Não é possível mudar um valor enquanto o socket está aberto"_cp);
  EXPECT_EQ(MessageOf([&] { socket.SetHost("localhost"); }),
            "Não é possível mudar um valor enquanto o socket está aberto"_cp);
  EXPECT_EQ(MessageOf([&] { socket.SetClientType(TClientType::ctNonBlocking); }),
            "Não é possível mudar um valor enquanto o socket está aberto"_cp);
  EXPECT_EQ(MessageOf([&] {
              socket.Socket().Open({"", "127.0.0.1", "", server.Port()}, 1000);
            }),
            "Socket já aberto"_cp);
}

}  // namespace
}  // namespace quv
