#pragma once

#include <memory>
#include <string>

#include "bluetooth/stack.h"
#include "platform/event_loop.h"

// Which Bluetooth stack the program uses. QUILLFERN_BLUETOOTH=loopback:/folder selects the
// loopback stack on that folder (created when missing), with this program's radio at
// LoopbackRadioAddress; empty or unset, the Linux stack (kernel RFCOMM sockets and
// bluetoothd), whose bus connection the loop processes.
namespace quillfern {

inline constexpr char BluetoothStackVariable[] = "QUILLFERN_BLUETOOTH";

struct BluetoothStackChoice {
  // Never null: where no stack can be had, one that fails every operation the way a
  // system without Bluetooth does (no socket, no radio, not loaded).
  std::unique_ptr<BluetoothStack> stack;
  // Why no usable stack was chosen; empty when one was.
  std::string problem;
};

// setting is the variable's value, or null when it is not set.
BluetoothStackChoice ChooseBluetoothStack(const char* setting, EventLoop& loop);
BluetoothStackChoice ChooseBluetoothStackFromEnvironment(EventLoop& loop);

// The stand-in used when there is none.
std::unique_ptr<BluetoothStack> MakeUnavailableBluetoothStack();

}  // namespace quillfern
