// The disk fills in the middle of a push or a copy: a real, small tmpfs
// holds the exchange folder. The client hears 0xCD (0xE0 for a copy), the
// log says so, nothing of the object stays under any name nor holds any
// space, and the next push that fits succeeds.

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/statvfs.h>

#include <memory>
#include <string>
#include <vector>

#include "obex/packet.h"
#include "tests/faults/fault_fixture.h"

namespace quillfern::testing {
namespace {

namespace fs = std::filesystem;

constexpr size_t DiskSize = 1024 * 1024;

// A tmpfs of the given size mounted on a folder while it lives. Mounting
// needs privilege; Mounted() says whether it worked.
class SmallDisk {
 public:
  SmallDisk(const fs::path& at, size_t bytes) : at_(at) {
    fs::create_directories(at_);
    const std::string options = "size=" + std::to_string(bytes);
    mounted_ = ::mount("tmpfs", at_.c_str(), "tmpfs", 0, options.c_str()) == 0;
  }
  ~SmallDisk() {
    if (mounted_) ::umount2(at_.c_str(), MNT_DETACH);
  }
  bool Mounted() const { return mounted_; }
  uint64_t FreeBytes() const {
    struct statvfs info {};
    ::statvfs(at_.c_str(), &info);
    return static_cast<uint64_t>(info.f_bavail) * info.f_frsize;
  }

 private:
  fs::path at_;
  bool mounted_ = false;
};

class DiskFullTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!disk_.Mounted()) GTEST_SKIP() << "cannot mount a tmpfs here (needs privilege)";
    fs::create_directory(Exchange());
    service_ = std::make_unique<FaultService>(Link::Tcp, Exchange());
  }
  fs::path Exchange() const { return base_.Base() / "disk" / "exchange"; }

  TempFolder base_;
  SmallDisk disk_{base_.Base() / "disk", DiskSize};
  std::unique_ptr<FaultService> service_;
};

TEST_F(DiskFullTest, PushThatDoesNotFitIsEntityTooLargeAndLeavesNoTrace) {
  struct Case {
    std::string label;
    uint16_t maxPacket;  // large packets go to the file by splice, small ones are gathered
    std::u16string name;
  };
  const std::vector<Case> cases = {
      {"large packets, new name", 65535, u"new.bin"},
      {"small packets, new name", 1024, u"new.bin"},
      {"large packets, over an earlier file", 65535, u"keep.txt"},
      {"small packets, over an earlier file", 1024, u"keep.txt"},
  };
  TempFolder::WriteFile(Exchange() / "keep.txt", "earlier content");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string shown(c.name.begin(), c.name.end());
    auto client = service_->Connected(c.maxPacket);
    service_->PushAcknowledged(*client, "acked-" + std::to_string(c.maxPacket) + ".txt",
                               "acknowledged before the disk filled");
    const auto before = Snapshot(Exchange());
    const uint64_t freeBefore = disk_.FreeBytes();
    EXPECT_EQ(client->Put(c.name, ToBytes(Pattern(2 * DiskSize))).packet,
              (Bytes{RspEntityTooLarge, 0x00, 0x03}));
    EXPECT_EQ(service_->NextLine(), "1 Put \"" + shown + "\" : Requested entity too large");
    EXPECT_EQ(Snapshot(Exchange()), before);
    // The object's blocks are free again: nothing holds them.
    EXPECT_EQ(disk_.FreeBytes(), freeBefore);
    // The session is in step with its client, and a push that fits is stored.
    service_->PushAcknowledged(*client, shown, "fits");
    client->Disconnect();
    EXPECT_EQ(service_->NextLine().rfind("1 Disconnected : ", 0), 0u);
  }
  service_->ExpectNothingAcknowledgedLost();
}

TEST_F(DiskFullTest, DiskFilledByOthersRefusesPushesServesReadsAndRecoversWhenFreed) {
  auto client = service_->Connected(65535);
  service_->PushAcknowledged(*client, "acked.txt", "acknowledged before the disk filled");
  // Someone else fills the disk to all but a few pages.
  TempFolder::WriteFile(Exchange() / "filler.bin", std::string(DiskSize - 16 * 1024, 'f'));
  const std::string object = Pattern(100 * 1024);
  EXPECT_EQ(client->Put(u"photo.jpg", ToBytes(object)).Code(), RspEntityTooLarge);
  EXPECT_EQ(service_->NextLine(), "1 Put \"photo.jpg\" : Requested entity too large");
  EXPECT_FALSE(fs::exists(Exchange() / "photo.jpg"));

  // Reading needs no room: listings and fetches go on.
  Bytes listing;
  EXPECT_EQ(client->Get(u"", "x-obex/folder-listing", listing).Code(), RspSuccess);
  EXPECT_EQ(service_->NextLine(), "1 Get folder listing : Success");
  Bytes fetched;
  EXPECT_EQ(client->Get(u"acked.txt", "", fetched).Code(), RspSuccess);
  EXPECT_EQ(service_->NextLine(), "1 Get file \"acked.txt\" : Success");

  // The client frees the space itself, then pushes again.
  EXPECT_EQ(client->Delete(u"filler.bin").Code(), RspSuccess);
  EXPECT_EQ(service_->NextLine(), "1 Delete file \"filler.bin\" : Success");
  service_->PushAcknowledged(*client, "photo.jpg", object);
  service_->ExpectNothingAcknowledgedLost();
}

TEST_F(DiskFullTest, CopyThatDoesNotFitIsDatabaseFullAndLeavesNoTrace) {
  // More than half the disk: a second copy of it cannot fit.
  TempFolder::WriteFile(Exchange() / "big.bin", Pattern(DiskSize * 6 / 10));
  auto client = service_->Connected();
  const auto before = Snapshot(Exchange());
  const uint64_t freeBefore = disk_.FreeBytes();
  EXPECT_EQ(client->Action(0x00, u"big.bin", u"copy.bin").packet,
            (Bytes{RspDatabaseFull, 0x00, 0x03}));
  EXPECT_EQ(service_->NextLine(), "1 Copy \"big.bin\" to \"copy.bin\" : Database full");
  EXPECT_EQ(Snapshot(Exchange()), before);
  EXPECT_EQ(disk_.FreeBytes(), freeBefore);

  // A move needs no room, and a copy that fits is made.
  EXPECT_EQ(client->Action(0x01, u"big.bin", u"moved.bin").Code(), RspSuccess);
  EXPECT_EQ(service_->NextLine(), "1 Move \"big.bin\" to \"moved.bin\" : Success");
  service_->PushAcknowledged(*client, "small.txt", "small");
  EXPECT_EQ(client->Action(0x00, u"small.txt", u"small copy.txt").Code(), RspSuccess);
  EXPECT_EQ(service_->NextLine(), "1 Copy \"small.txt\" to \"small copy.txt\" : Success");
  EXPECT_EQ(TempFolder::ReadFile(Exchange() / "small copy.txt"), "small");
  service_->ExpectNothingAcknowledgedLost();
}

}  // namespace
}  // namespace quillfern::testing
