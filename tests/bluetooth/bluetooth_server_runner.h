#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>

#include "bluetooth/server_btms.h"
#include "tests/support/server_thread_runner.h"

namespace quillfern::testing {

// A Bluetooth server of the mode on the radio, on a thread of its own, named and
// rooted as the program's services are; setUp runs on that thread before it starts.
std::unique_ptr<ServerThreadRunner> RunBluetoothServer(
    BluetoothStack& radio, uint8_t mode, const std::filesystem::path& root,
    const std::function<void(TOBEXServerBTMS&)>& setUp = {});

// The channel the running server listens on.
uint16_t ChannelOf(ServerThreadRunner& server);

}  // namespace quillfern::testing
