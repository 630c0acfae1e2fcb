// The exchange folder changes under connected clients: it becomes
// read-only, or it is removed or renamed. Clients hear a clear answer to
// every request, the log says what happened, nothing is written anywhere
// but the exchange folder, and service resumes once the folder is back.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "obex/packet.h"
#include "platform/unique_fd.h"
#include "tests/faults/fault_fixture.h"

namespace quillfern::testing {
namespace {

namespace fs = std::filesystem;

Bytes Bare(uint8_t code) {
  return {code, 0x00, 0x03};
}

// Makes a folder unwritable while it lives. Permission bits bind an
// ordinary user; root is bound by the immutable attribute.
class ReadOnlyFolder {
 public:
  explicit ReadOnlyFolder(const fs::path& path) : path_(path) {
    fs::permissions(path_, fs::perms::all, fs::perm_options::remove);
    fs::permissions(path_, fs::perms::owner_read | fs::perms::owner_exec, fs::perm_options::add);
    if (geteuid() != 0) return;
    applied_ = false;
    fd_.Reset(::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    int flags = 0;
    if (!fd_ || ::ioctl(fd_.Get(), FS_IOC_GETFLAGS, &flags) != 0) return;
    flags |= FS_IMMUTABLE_FL;
    applied_ = ::ioctl(fd_.Get(), FS_IOC_SETFLAGS, &flags) == 0;
  }
  ~ReadOnlyFolder() {
    int flags = 0;
    if (applied_ && fd_ && ::ioctl(fd_.Get(), FS_IOC_GETFLAGS, &flags) == 0) {
      flags &= ~FS_IMMUTABLE_FL;
      ::ioctl(fd_.Get(), FS_IOC_SETFLAGS, &flags);
    }
    fs::permissions(path_, fs::perms(0755));
  }
  bool Applied() const { return applied_; }

 private:
  fs::path path_;
  UniqueFd fd_;
  bool applied_ = true;
};

class ExchangeFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TempFolder::WriteFile(Exchange() / "a.txt", "first file");
    reader_ = service_.Connected();
    service_.PushAcknowledged(*reader_, "acked.txt", "acknowledged before the change");
    // A second client is part way through a push when the folder changes.
    pusher_ = service_.Connected();
    EXPECT_EQ(pusher_
                  ->Request(PacketBuilder(OpPut)
                                .Name(u"pending.bin")
                                .Length(6000)
                                .Body(ToBytes(Pattern(3000)))
                                .Build())
                  .Code(),
              RspContinue);
  }

  fs::path Exchange() const { return service_.Exchange(); }

  Response FinishPending() {
    return pusher_->Request(PacketBuilder(OpPutFinal).EndOfBody(ToBytes(Pattern(3000))).Build());
  }

  // The requests that need the folder, each with its answer and log line.
  struct Expected {
    Bytes put;
    std::string putLine;
    Bytes listing;
    std::string listingLine;
    Bytes get;
    std::string getLine;
  };
  void ExpectAnswers(const Expected& e) {
    EXPECT_EQ(
        reader_
            ->Request(PacketBuilder(OpPutFinal).Name(u"new.txt").EndOfBody(ToBytes("new")).Build())
            .packet,
        e.put);
    EXPECT_EQ(service_.NextLine(), e.putLine);
    Bytes object;
    EXPECT_EQ(reader_->Get(u"", "x-obex/folder-listing", object).Code(), e.listing[0]);
    EXPECT_EQ(service_.NextLine(), e.listingLine);
    EXPECT_EQ(reader_->Get(u"a.txt", "", object).Code(), e.get[0]);
    EXPECT_EQ(service_.NextLine(), e.getLine);
  }

  // After the folder is back, both clients push and are served.
  void ExpectServedAgain() {
    service_.PushAcknowledged(*reader_, "after.txt", "after the folder came back");
    service_.PushAcknowledged(*pusher_, "pending.bin", "pushed again", 2);
    auto newcomer = service_.Connected();
    Bytes object;
    EXPECT_EQ(newcomer->Get(u"after.txt", "", object).Code(), RspSuccess);
    EXPECT_EQ(service_.NextLine().rfind("3 Get file \"after.txt\" : Success", 0), 0u);
  }

  FaultService service_{Link::Tcp};
  std::unique_ptr<ObexClient> reader_;
  std::unique_ptr<ObexClient> pusher_;
};

TEST_F(ExchangeFolderTest, ReadOnlyFolderRefusesChangesServesReadsAndRecovers) {
  {
    ReadOnlyFolder readOnly(Exchange());
    if (!readOnly.Applied()) GTEST_SKIP() << "cannot make a folder read-only for root here";
    // The object cannot be given its name: the client hears so, not Success.
    EXPECT_EQ(FinishPending().packet, Bare(RspForbidden));
    EXPECT_EQ(service_.NextLine(), "2 Put \"pending.bin\" : Forbidden");
    ExpectAnswers({Bare(RspForbidden), "1 Put \"new.txt\" : Forbidden", Bare(RspSuccess),
                   "1 Get folder listing : Success", Bare(RspSuccess),
                   "1 Get file \"a.txt\" : Success"});
    EXPECT_EQ(reader_->Delete(u"a.txt").packet, Bare(RspForbidden));
    EXPECT_EQ(service_.NextLine(), "1 Delete file \"a.txt\" : Forbidden");
    EXPECT_EQ(reader_->SetPath(0x00, u"made").packet, Bare(RspNotAcceptable));
    EXPECT_EQ(service_.NextLine(), "1 Create folder \"made\" : Not Acceptable");
  }
  EXPECT_FALSE(fs::exists(Exchange() / "pending.bin"));
  EXPECT_FALSE(fs::exists(Exchange() / "new.txt"));
  ExpectServedAgain();
  service_.ExpectNothingAcknowledgedLost();
}

TEST_F(ExchangeFolderTest, RemovedFolderIsNotFoundUntilItIsMadeAgain) {
  const auto acked = TempFolder::ReadFile(Exchange() / "acked.txt");
  const auto outside = Snapshot(service_.Folder().Outside());
  fs::remove_all(Exchange());
  EXPECT_EQ(FinishPending().packet, Bare(RspForbidden));
  EXPECT_EQ(service_.NextLine(), "2 Put \"pending.bin\" : Forbidden");
  ExpectAnswers({Bare(RspForbidden), "1 Put \"new.txt\" : Forbidden", Bare(RspNotFound),
                 "1 Get folder listing : Not found", Bare(RspNotFound), "1 Not found"});
  // Nothing was written anywhere meanwhile.
  EXPECT_FALSE(fs::exists(Exchange()));
  EXPECT_EQ(Snapshot(service_.Folder().Outside()), outside);

  // The user makes the folder again: the clients still connected are served
  // in the new one.
  fs::create_directory(Exchange());
  TempFolder::WriteFile(Exchange() / "acked.txt", acked);
  ExpectServedAgain();
  service_.ExpectNothingAcknowledgedLost();
}

TEST_F(ExchangeFolderTest, RenamedFolderIsNotFoundAndGetsNothingNewUntilItIsBack) {
  const fs::path moved = service_.Folder().Base() / "moved";
  fs::rename(Exchange(), moved);
  const auto movedBefore = Snapshot(moved);
  ExpectAnswers({Bare(RspForbidden), "1 Put \"new.txt\" : Forbidden", Bare(RspNotFound),
                 "1 Get folder listing : Not found", Bare(RspNotFound), "1 Not found"});
  // The folder under its new name is the user's now: no request reaches it.
  EXPECT_EQ(Snapshot(moved), movedBefore);
  EXPECT_FALSE(fs::exists(Exchange()));

  fs::rename(moved, Exchange());
  // The push begun before the rename is completed once the folder is back.
  EXPECT_EQ(FinishPending().packet, Bare(RspSuccess));
  EXPECT_EQ(service_.NextLine(), "2 Put \"pending.bin\" : Success");
  EXPECT_EQ(TempFolder::ReadFile(Exchange() / "pending.bin"), Pattern(3000) + Pattern(3000));
  ExpectServedAgain();
  service_.ExpectNothingAcknowledgedLost();
}

}  // namespace
}  // namespace quillfern::testing
