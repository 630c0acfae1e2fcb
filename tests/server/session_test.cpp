#include <gtest/gtest.h>

#include "obex/packet.h"
#include "tests/support/obex_client.h"
#include "tests/support/server_thread_runner.h"
#include "tests/support/temp_folder.h"

namespace quillfern::testing {
namespace {

const Bytes ConnectMax8192 = {0x80, 0x00, 0x07, 0x10, 0x00, 0x20, 0x00};
const Bytes ConnectResponseSlot1 = {0xA0, 0x00, 0x0C, 0x10, 0x00, 0x20,
                                    0x00, 0xCB, 0x00, 0x00, 0x00, 0x01};

class SessionTest : public ::testing::Test {
 protected:
  TempFolder folder_;
  std::unique_ptr<ServerThreadRunner> server_ =
      std::make_unique<ServerThreadRunner>(ServerOptions{.root = folder_.Exchange()});
};

TEST_F(SessionTest, ConnectIsAnsweredWithConnectionIdAndRaisesOnConnect) {
  ObexClient client;
  ASSERT_EQ(client.Open("127.0.0.1", server_->Port()), 0);
  EXPECT_EQ(client.Request(ConnectMax8192).packet, ConnectResponseSlot1);
  ASSERT_TRUE(server_->WaitForLines(1));
  EXPECT_EQ(server_->Lines()[0].rfind("1 Connected : 127.0.0.1:", 0), 0u);
  EXPECT_EQ(client.Disconnect().packet, Bytes({0xA0, 0x00, 0x03}));
  EXPECT_TRUE(client.WaitForClose(2000));
  ASSERT_TRUE(server_->WaitForLines(2));
  EXPECT_EQ(server_->Lines()[1].rfind("1 Disconnected : 127.0.0.1:", 0), 0u);
}

}  // namespace
}  // namespace quillfern::testing
