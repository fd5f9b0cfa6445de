#include <gtest/gtest.h>
#include <stdlib.h>

#include "platform/Cp1252.h"
#include "tests/kit/ByteBuilder.h"
#include "tests/kit/LoopbackServer.h"
#include "transport/quvClientConn.h"
#include "transport/quvConPool.h"

// This program runs beside the test access library libquvConn.so.
namespace quv {
namespace {

using testing::MessageOf;

class AccessLibrary : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(FServer.Listening()); }
  void TearDown() override {
    ::unsetenv("QUV_TEST_DENY_ACCESS");
    ConnFunctions().SetEnabled(true);
  }
  testing::TLoopbackServer FServer;
};

TEST_F(AccessLibrary, DecidesAccessOverThePoolSwitch) {
  InstallConnFunctions();
  ::setenv("QUV_TEST_DENY_ACCESS", "1", 1);
  EXPECT_EQ(MessageOf([&] { TClientConn conn(FServer.Address(), false); }),
            "O acesso ao servidor está desabilitado"_cp);
  ::unsetenv("QUV_TEST_DENY_ACCESS");
  TClientConn allowed(FServer.Address(), false);
  EXPECT_TRUE(FServer.WaitForConnections(1));
}

TEST_F(AccessLibrary, AllowedAccessWithThePoolSwitchedOffFindsNoConnection) {
  InstallConnFunctions();
  ConnFunctions().SetEnabled(false);
  EXPECT_EQ(MessageOf([&] { TClientConn conn(FServer.Address(), false); }),
            std::string("Não foi possível contectar a "_cp) + FServer.Address());
  EXPECT_EQ(FServer.Accepted(), 0u);
}

}  // namespace
}  // namespace quv
