#include "bluetooth/server_btms.h"

#include <array>
#include <cerrno>
#include <optional>
#include <string>
#include <system_error>
#include <utility>

#include "bluetooth/service_record.h"
#include "bluetooth/transport_bluetooth.h"
#include "obex/packet.h"
#include "platform/debug.h"
#include "server/push_gate.h"
#include "server/session.h"

namespace quillfern {
namespace {

constexpr uint16_t BluetoothSlotCount = 4;
constexpr int ListenBacklog = 64;
constexpr int DeviceInfoFailed = -1;

}  // namespace

TOBEXServerBTMS::TOBEXServerBTMS(EventLoop& loop, BluetoothStack& stack, uint8_t mode)
    : TOBEXServer(loop, mode), stack_(stack) {
  BuildSlots(BluetoothSlotCount, BluetoothSlotTimeoutMs);
  if (Mode == ModeFolderBrowsing) {
    for (uint16_t i = 0; i < SlotCount; ++i) {
      GetSlot(i).SetRequiredTarget({FolderBrowsingTarget.begin(), FolderBrowsingTarget.end()});
    }
  }
}

TOBEXServerBTMS::~TOBEXServerBTMS() {
  Stop();
  Slots.clear();
}

std::unique_ptr<TOBEXTransportBase> TOBEXServerBTMS::CreateSlotTransport(
    TOBEXServerConnection& session) {
  return std::make_unique<TOBEXTransportBTMS>(Loop(), session, stack_);
}

TOBEXTransportBTMS& TOBEXServerBTMS::SlotTransport(int index) const {
  return static_cast<TOBEXTransportBTMS&>(GetSlot(index).Link());
}

int TOBEXServerBTMS::Start() {
  ErrorHint.clear();
  int result = BindAndRegister();
  if (result == 0) result = ListenForPeers();
  if (result != 0) {
    ErrorHint = LogStackNotice();
    if (radioWatch_ != 0) stack_.UnwatchRadio(std::exchange(radioWatch_, 0));
    return result;
  }
  // Whatever the stack warned of (another program offering the service) goes to the log.
  LogStackNotice();
  if (radioWatch_ == 0) {
    radioWatch_ = stack_.WatchRadio([this](const std::string& why) { RadioLost(why); });
  }
  return 0;
}

std::string TOBEXServerBTMS::LogStackNotice() {
  std::string notice = stack_.TakeNotice();
  if (!notice.empty()) ServerLog("", notice);
  return notice;
}

void TOBEXServerBTMS::RadioLost(const std::string& why) {
  const char* service = Mode == ModeFolderBrowsing ? "Folder Browsing" : "Object Push";
  ServerLog("",
            why + ": Bluetooth " + service + " stopped; switch it on again once the radio is back");
  Stop();
}

int TOBEXServerBTMS::Stop() {
  if (radioWatch_ != 0) stack_.UnwatchRadio(std::exchange(radioWatch_, 0));
  DisconnectAll();
  if (RecordHandle != NoRecordHandle) UnregisterService();
  CloseListenSocket();
  CancelPendingWork();
  return 0;
}

int TOBEXServerBTMS::BindAndRegister() {
  // A record left by an earlier Start would go on announcing a channel that
  // nobody listens on any more.
  if (RecordHandle != NoRecordHandle) UnregisterService();
  CloseListenSocket();
  stack_.TakeNotice();  // what earlier calls left says nothing about this start
  if (const int created = stack_.CreateSocket(ListenSocket); created < 0) {
    DebugPrintf("Create server socket error : %d", -created);
    ErrorText = "Create server socket failed";
    return -1;
  }
  // Folder Browsing reads the exchange folder: the link is encrypted, and
  // the accept checks that the user chose the device. A push takes any link.
  const LinkSecurity security =
      Mode == ModeFolderBrowsing ? LinkSecurity::Medium : LinkSecurity::Low;
  if (const int secured = stack_.SetLinkSecurity(ListenSocket, security); secured < 0) {
    DebugPrintf("Link security error : %d", -secured);
    if (security != LinkSecurity::Low) {
      ErrorText = "Link security failed";
      return secured;
    }
  }
  if (const int bound = stack_.BindAnyChannel(ListenSocket); bound < 0) {
    DebugPrintf("Bind error : %d", -bound);
    ErrorText = "Bind failed";
    return bound;
  }
  const int channel = stack_.BoundChannel(ListenSocket);
  if (channel < 0) {
    ErrorText = "getsockname failed";
    return channel;
  }
  Channel = static_cast<uint16_t>(channel);
  // Listening before the record goes out, so that it never names a PSM
  // nobody listens on.
  CloseL2capListener();
  if (l2cap_) OpenL2capListener(security);

  std::array<uint8_t, ServiceRecordCapacity> record{};
  const size_t length =
      BuildServiceRecord(record, Mode, Channel, ServiceName, Psm != 0 ? Psm : NoL2capPsm);
  const int registered = stack_.RegisterRecord(std::span(record).first(length), RecordHandle);
  if (registered < 0) {
    RecordHandle = NoRecordHandle;
    ErrorText = "Register service failed";
    DebugPrintf("%d", -registered);
    return registered;
  }
  return 0;
}

int TOBEXServerBTMS::ListenForPeers() {
  const int registered = Loop().AsyncSelect(ListenSocket.Get(), Window(), FdAccept);
  if (registered != 0) {
    ErrorText = "WSAAsyncSelect failed";
    DebugPrintf("WSAAsyncSelect error : %d", -registered);
    return registered;
  }
  if (const int listening = stack_.Listen(ListenSocket, ListenBacklog); listening < 0) {
    ErrorText = "Listen failed";
    DebugPrintf("Listen error : %d", -listening);
    return listening;
  }
  return 0;
}

int TOBEXServerBTMS::UnregisterService() {
  const int result = stack_.DeleteRecord(RecordHandle);
  if (result < 0) {
    ErrorText = "Unregister service failed";
    DebugPrintf("%d", -result);
  }
  RecordHandle = NoRecordHandle;
  return result;
}

void TOBEXServerBTMS::CloseListenSocket() {
  CloseL2capListener();
  if (!ListenSocket.Valid()) return;
  Loop().AsyncSelect(ListenSocket.Get(), Window(), 0);
  ListenSocket.Reset();
}

void TOBEXServerBTMS::OpenL2capListener(LinkSecurity security) {
  const auto failed = [this](const char* step, int result) {
    CloseL2capListener();
    const char* service = Mode == ModeFolderBrowsing ? "Folder Browsing" : "Object Push";
    ServerLog("", std::string("Bluetooth ") + service + ": OBEX over L2CAP is not available (" +
                      step + ": " + std::error_code(-result, std::generic_category()).message() +
                      "); clients connect over RFCOMM");
  };
  if (const int created = stack_.CreateL2capSocket(L2capListenSocket); created < 0) {
    return failed("socket", created);
  }
  if (const int secured = stack_.SetLinkSecurity(L2capListenSocket, security);
      secured < 0 && security != LinkSecurity::Low) {
    return failed("link security", secured);
  }
  if (const int bound = stack_.BindAnyPsm(L2capListenSocket); bound < 0) {
    return failed("bind", bound);
  }
  const int psm = stack_.BoundPsm(L2capListenSocket);
  if (psm <= 0) return failed("getsockname", psm < 0 ? psm : -EINVAL);
  if (const int registered = Loop().AsyncSelect(L2capListenSocket.Get(), Window(), FdAccept);
      registered != 0) {
    return failed("notification", registered);
  }
  if (const int listening = stack_.Listen(L2capListenSocket, ListenBacklog); listening < 0) {
    return failed("listen", listening);
  }
  Psm = static_cast<uint16_t>(psm);
}

void TOBEXServerBTMS::CloseL2capListener() {
  Psm = 0;
  if (!L2capListenSocket.Valid()) return;
  Loop().AsyncSelect(L2capListenSocket.Get(), Window(), 0);
  L2capListenSocket.Reset();
}

std::vector<int> TOBEXServerBTMS::ListenerSockets() const {
  std::vector<int> listeners;
  if (ListenSocket.Valid()) listeners.push_back(ListenSocket.Get());
  if (L2capListenSocket.Valid()) listeners.push_back(L2capListenSocket.Get());
  return listeners;
}

void TOBEXServerBTMS::WndProc(Message& message) {
  notifiedListener_ =
      message.message == SocketMessage ? static_cast<int>(message.wParam) : NoSocket;
  TOBEXServer::WndProc(message);
  notifiedListener_ = NoSocket;
}

int TOBEXServerBTMS::LookupDeviceInfo(BluetoothAddress address, std::string& name) {
  BluetoothAddress radio = 0;
  if (!stack_.Loaded() || stack_.FirstRadio(radio) < 0) return DeviceInfoFailed;
  return stack_.LookupDeviceName(address, name) < 0 ? DeviceInfoFailed : 0;
}

int TOBEXServerBTMS::AcceptPeer(std::string& peerText) {
  // Peers of both listeners are taken alike from here on: the same slots,
  // the same checks, the same log lines.
  BluetoothSocket& listener =
      L2capListenSocket.Valid() && notifiedListener_ == L2capListenSocket.Get() ? L2capListenSocket
                                                                                : ListenSocket;
  UniqueFd peer;
  if (const int accepted = stack_.Accept(listener, peer); accepted < 0) return accepted;
  // The stack answers each of these within its short time limit, so a
  // device that is slow to tell its name costs the text, never the service.
  BluetoothAddress address = 0;
  const bool addressKnown = stack_.PeerAddress(peer.Get(), address) == 0;
  int trusted = 0;
  if (addressKnown) {
    std::string name;
    const bool named = LookupDeviceInfo(address, name) == 0;
    peerText = PeerDisplayText(named ? std::optional(name) : std::nullopt, address);
    acceptedPeer_.address = AddressText(address);
    // Asked once, here on the main thread; the session keeps the answer. A
    // stack that cannot tell counts as "not trusted", the side that asks or
    // refuses rather than lets in.
    trusted = stack_.DeviceTrusted(address);
    acceptedPeer_.trusted = trusted == 1;
  }
  if (Mode == ModeFolderBrowsing && !acceptedPeer_.trusted &&
      !Pushes().AlwaysAccepted(acceptedPeer_.address) &&
      !MayAskToBrowse(addressKnown, trusted, peerText)) {
    // A browsing client's first request is its CONNECT with the target: the
    // refusal answers it as such.
    const uint16_t largest = &listener == &L2capListenSocket ? L2capLargestObexPacket
                                                             : static_cast<uint16_t>(ObexMaxPacket);
    RefuseConnection(std::move(peer), BareConnectResponse(RspServiceUnavailable, largest));
    return -EACCES;
  }
  return peer.Release();
}

bool TOBEXServerBTMS::MayAskToBrowse(bool addressKnown, int trusted, const std::string& peerText) {
  // An encrypted link alone proves nothing, nor does a key: Secure Simple
  // Pairing gives any phone one, and bluetoothd keeps the keys of bondable
  // phones on its own. Only the user's choice lets a device read the folder.
  std::string why;
  if (!addressKnown) {
    why = "the device's address is unknown, so whether it is trusted cannot be checked";
  } else if (AskToBrowse()) {
    acceptedPeer_.askToBrowse = true;
    return true;
  } else if (trusted < 0) {
    why = "could not check that the device is trusted; to let it browse, " +
          ChooseDeviceHint(acceptedPeer_.address);
  } else {
    why = "the device is not trusted; to let it browse, " + ChooseDeviceHint(acceptedPeer_.address);
  }
  ServerLog(peerText, "Refused" + (peerText.empty() ? "" : " " + peerText) + " : " + why);
  return false;
}

}  // namespace quillfern
