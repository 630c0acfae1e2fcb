#include "tests/bluetooth/bluetooth_server_runner.h"

namespace quillfern::testing {

std::unique_ptr<ServerThreadRunner> RunBluetoothServer(
    BluetoothStack& radio, uint8_t mode, const std::filesystem::path& root,
    const std::function<void(TOBEXServerBTMS&)>& setUp) {
  return std::make_unique<ServerThreadRunner>([&radio, mode, root, setUp](EventLoop& loop) {
    auto server = std::make_unique<TOBEXServerBTMS>(loop, radio, mode);
    const bool push = mode == ModeInbox;
    server->SetKind(push ? KindBluetoothObjectPush : KindBluetoothFolderBrowsing);
    server->SetServiceName(push ? "OBEX Object Push" : "OBEX Folder Browsing");
    server->SetRootPath(root.string());
    if (setUp) setUp(*server);
    return server;
  });
}

uint16_t ChannelOf(ServerThreadRunner& server) {
  uint16_t channel = 0;
  server.OnServerThread<TOBEXServerBTMS>([&](TOBEXServerBTMS& btms) { channel = btms.Channel; });
  return channel;
}

}  // namespace quillfern::testing
