#include "bluetooth/stack_choice.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string_view>

#include "bluetooth/linux_stack.h"
#include "bluetooth/loopback_stack.h"

namespace quillfern {
namespace {

constexpr std::string_view LoopbackPrefix = "loopback:";

class UnavailableBluetoothStack final : public BluetoothStack {
 public:
  bool Loaded() override { return false; }
  int CreateSocket(RfcommSocket&) override { return -EAFNOSUPPORT; }
  int BindAnyChannel(RfcommSocket&) override { return -EBADF; }
  int BoundChannel(const RfcommSocket&) override { return -EBADF; }
  int SetLinkSecurity(RfcommSocket&, LinkSecurity) override { return -EBADF; }
  int Listen(RfcommSocket&, int) override { return -EBADF; }
  int Accept(RfcommSocket&, UniqueFd&) override { return -EBADF; }
  int PeerAddress(int, BluetoothAddress&) override { return -EBADF; }
  int CreateL2capSocket(L2capSocket&) override { return -EAFNOSUPPORT; }
  int BindAnyPsm(L2capSocket&) override { return -EBADF; }
  int BoundPsm(const L2capSocket&) override { return -EBADF; }
  int LinkMtu(int, L2capMtu&) override { return -EBADF; }
  int RegisterRecord(std::span<const uint8_t>, RecordHandle&) override { return -ENODEV; }
  int DeleteRecord(RecordHandle) override { return -ENODEV; }
  int FirstRadio(BluetoothAddress&) override { return -ENODEV; }
  int LookupDeviceName(BluetoothAddress, std::string&) override { return -ENODEV; }
  int DeviceTrusted(BluetoothAddress) override { return -ENODEV; }
  int Connect(BluetoothAddress, uint8_t, RfcommSocket&) override { return -EAFNOSUPPORT; }
  int ConnectL2cap(BluetoothAddress, uint16_t, L2capSocket&) override { return -EAFNOSUPPORT; }
  int SearchRecords(BluetoothAddress, std::vector<std::vector<uint8_t>>&) override {
    return -ENODEV;
  }
};

BluetoothStackChoice Unavailable(std::string problem) {
  return {MakeUnavailableBluetoothStack(), std::move(problem)};
}

std::string HostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return "Quillfern";
  return name;
}

}  // namespace

std::unique_ptr<BluetoothStack> MakeUnavailableBluetoothStack() {
  return std::make_unique<UnavailableBluetoothStack>();
}

BluetoothStackChoice ChooseBluetoothStack(const char* setting, EventLoop& loop) {
  const std::string_view value = setting ? setting : "";
  if (value.empty()) return {std::make_unique<LinuxBluetoothStack>(loop), {}};
  if (!value.starts_with(LoopbackPrefix) || value.size() == LoopbackPrefix.size()) {
    return Unavailable(std::string(BluetoothStackVariable) +
                       " must be empty or loopback:/folder, not \"" + std::string(value) + "\"");
  }
  const std::string folder(value.substr(LoopbackPrefix.size()));
  std::error_code error;
  auto stack = LoopbackBluetoothStack::Create(folder, LoopbackRadioAddress, HostName(), error);
  if (!stack) {
    return Unavailable("Bluetooth loopback folder " + folder + ": " + error.message());
  }
  return {std::move(stack), {}};
}

BluetoothStackChoice ChooseBluetoothStackFromEnvironment(EventLoop& loop) {
  return ChooseBluetoothStack(std::getenv(BluetoothStackVariable), loop);
}

}  // namespace quillfern
