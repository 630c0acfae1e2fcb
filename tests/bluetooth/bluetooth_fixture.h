#pragma once

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <memory>
#include <string_view>
#include <vector>

#include "bluetooth/loopback_stack.h"
#include "bluetooth/service_record.h"
#include "bluetooth/transport_bluetooth.h"
#include "obex/packet.h"
#include "tests/support/obex_client.h"
#include "tests/support/temp_folder.h"

// What the tests of the Bluetooth services share: a phone, its texts, and the air.
namespace quillfern::testing {

inline constexpr BluetoothAddress PhoneAddress = 0x001A7DDA7113;
inline constexpr char PhoneText[] = "Phone (00:1A:7D:DA:71:13)";
inline const Bytes ServiceUnavailable = {0xD3, 0x00, 0x03};
// A browsing device that may not browse hears it as the answer to its CONNECT:
// with the CONNECT fields and the largest packet of the link (RFCOMM, L2CAP).
inline const Bytes BrowsingRefused = {0xD3, 0x00, 0x07, 0x10, 0x00, 0xFF, 0xFF};
inline const Bytes BrowsingRefusedOverL2cap = {0xD3, 0x00, 0x07, 0x10, 0x00, 0x20, 0x00};
inline const Bytes FolderBrowsing(FolderBrowsingTarget.begin(), FolderBrowsingTarget.end());

// The record a service publishes, as its bytes.
inline Bytes Record(uint8_t mode, uint16_t channel, std::string_view name,
                    uint16_t psm = NoL2capPsm) {
  std::array<uint8_t, ServiceRecordCapacity> buffer{};
  const size_t length = BuildServiceRecord(buffer, mode, channel, name, psm);
  return Bytes(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(length));
}

// This computer's radio and a phone that share one folder of air.
class BluetoothTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::error_code error;
    radio_ = LoopbackBluetoothStack::Create(Air(), LoopbackRadioAddress, "Computer", error);
    ASSERT_TRUE(radio_) << error.message();
    phone_ = LoopbackBluetoothStack::Create(Air(), PhoneAddress, "Phone", error);
    ASSERT_TRUE(phone_) << error.message();
    ASSERT_EQ(phone_->SetTrusted(true), 0);
  }

  std::filesystem::path Air() const { return folder_.Base() / "air"; }

  // An OBEX client on the phone, looking for the service kind type
  // (ObjectPush 0, FileTransfer 1) on this computer, over RFCOMM or L2CAP.
  std::unique_ptr<ObexClient> Phone(uint8_t type, bool l2cap = false) {
    auto client =
        std::make_unique<ObexClient>([this, l2cap](EventLoop& loop, TOBEXConnection& record) {
          auto transport = std::make_unique<TOBEXTransportBTMS>(loop, record, *phone_);
          transport->PeerAddress = LoopbackRadioAddress;
          transport->UseL2cap = l2cap;
          return transport;
        });
    client->Connection().Mode = type;
    return client;
  }

  std::vector<Bytes> PublishedRecords() {
    std::vector<Bytes> records;
    EXPECT_GE(phone_->SearchRecords(LoopbackRadioAddress, records), 0);
    return records;
  }

  TempFolder folder_;
  std::unique_ptr<LoopbackBluetoothStack> radio_;
  std::unique_ptr<LoopbackBluetoothStack> phone_;
};

}  // namespace quillfern::testing
