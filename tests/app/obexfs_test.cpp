#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <random>

#include "tests/support/temp_folder.h"
#include "tests/support/third_party_client.h"

namespace quillfern::testing {
namespace {

namespace fs = std::filesystem;

std::string RandomContent(size_t size) {
  std::mt19937 generator(5);
  std::string content(size, '\0');
  for (char& c : content) c = static_cast<char>(generator());
  return content;
}

// obexfs (package obexftp) mounts an OBEX server as a folder tree through
// FUSE. Over TCP it connects to port 650 of the host given, with no way to
// name another port, so the port shim sends it to the test's port.
class Obexfs : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveProgram("obexfs")) GTEST_SKIP() << "obexfs is not installed (Debian package obexftp)";
    if (::access("/dev/fuse", R_OK | W_OK) != 0) {
      GTEST_SKIP() << "/dev/fuse is missing or not usable here, so no FUSE file system can be "
                      "mounted: obexfs is not tested";
    }
    served_ = std::make_unique<ServedExchange>(QUILLFERN_BINARY);
    work_ = served_->work;
    mount_ = served_->folder.Base() / "mount";
    fs::create_directory(mount_);
    ASSERT_NE(served_->port, 0);
  }

  void TearDown() override {
    if (obexfs_) {
      // Lazily, so a client still in the folder cannot keep it mounted.
      if (IsMountPoint(mount_)) RunIn(work_, "fusermount -u -z " + ShellQuoted(mount_.string()));
      if (!obexfs_->WaitForExit(5000)) ADD_FAILURE() << "obexfs did not end on unmount";
      obexfs_->Stop();
    }
  }

  // Starts obexfs in the foreground and waits for its mount; skips the
  // test where this machine does not let it mount.
  void Mount() {
    const fs::path output = served_->folder.Base() / "obexfs.out";
    obexfs_ = std::make_unique<BackgroundProgram>(
        std::vector<std::string>{"obexfs", "-n", "127.0.0.1", "--", "-f", mount_.string()},
        std::vector<std::string>{std::string("LD_PRELOAD=") + QUILLFERN_PORT_SHIM,
                                 "QF_OBEX_PORT=" + std::to_string(served_->port)},
        output);
    // It connects first (three tries a second apart), then mounts.
    for (int wait = 0; wait < 1000 && obexfs_->Running(); ++wait) {
      if (IsMountPoint(mount_)) return;
      ::usleep(10000);
    }
    if (IsMountPoint(mount_)) return;
    const std::string said = TempFolder::ReadFile(output);
    // libfuse and fusermount say "fuse: ..." or "fusermount: ..." when the
    // kernel or the rules refuse the mount.
    if (!obexfs_->Running() && said.find("fuse") != std::string::npos) {
      GTEST_SKIP() << "mounting a FUSE file system is not allowed here: " << said;
    }
    FAIL() << "obexfs did not mount; it said: " << said << "\nlog:\n" << Records().Seen();
  }

  // A command on the mounted tree; every one is bounded in time, since a
  // FUSE request waits as long as its file system.
  int Run(const std::string& command) { return RunIn(work_, command, {}, 20); }

  std::string Mounted(const std::string& path) const {
    return ShellQuoted((mount_ / path).string());
  }

  RecordReader& Records() { return served_->records; }

  std::unique_ptr<ServedExchange> served_;
  fs::path work_;
  fs::path mount_;
  std::unique_ptr<BackgroundProgram> obexfs_;
};

TEST_F(Obexfs, ListsCopiesBothWaysCreatesAndRemovesThroughTheMountedTree) {
  const fs::path root = served_->folder.Exchange();
  const std::string fotos = "Fotos \u00e4\u00f6\u00fc";
  const std::string greeting = "Gr\u00fc\u00dfe \u20ac.txt";
  fs::create_directories(root / "sub" / "inner");
  fs::create_directory(root / fotos);
  TempFolder::WriteFile(root / "top.txt", "top");
  TempFolder::WriteFile(root / "sub" / "mid.txt", "mid");
  TempFolder::WriteFile(root / "sub" / "inner" / "deep.txt", "deep");
  TempFolder::WriteFile(root / fotos / greeting, "Gr\u00fc\u00dfe");
  // Larger than obexfs's 4 KiB writes and than one packet.
  const std::string big = RandomContent(300000);
  TempFolder::WriteFile(work_ / "big.bin", big);
  TempFolder::WriteFile(work_ / "na\u00efve \u2713.txt", "naive");
  TempFolder::WriteFile(work_ / "top.txt", "a newer top");
  Mount();
  if (IsSkipped() || HasFailure()) return;

  // The whole tree, each folder once: a listing of sub that held sub's
  // parent again would show sub below sub below sub.
  ASSERT_EQ(Run("ls -R " + ShellQuoted(mount_.string()) + " >tree.txt"), 0) << Records().Seen();
  const std::string tree = TempFolder::ReadFile(work_ / "tree.txt");
  for (const std::string& entry :
       {std::string("sub"), std::string("inner"), std::string("deep.txt"), fotos, greeting}) {
    EXPECT_NE(tree.find(entry), std::string::npos) << entry << " in " << tree;
  }
  EXPECT_EQ(tree.find("sub/sub"), std::string::npos) << tree;
  EXPECT_EQ(tree.find("inner/inner"), std::string::npos) << tree;

  // Copies in: obexfs sends a file when it is closed, after cp has ended,
  // so the log tells when it is there. Over TCP a name that exists is
  // replaced.
  ASSERT_EQ(Run("cp big.bin " + Mounted("sub/")), 0);
  ASSERT_TRUE(Records().WaitFor("Put \"big.bin\" : Success")) << Records().Seen();
  EXPECT_TRUE(TempFolder::ReadFile(root / "sub" / "big.bin") == big);
  ASSERT_EQ(Run("cp 'na\u00efve \u2713.txt' " + Mounted("")), 0);
  ASSERT_TRUE(Records().WaitFor("Put \"na\u00efve \u2713.txt\" : Success")) << Records().Seen();
  EXPECT_EQ(TempFolder::ReadFile(root / "na\u00efve \u2713.txt"), "naive");
  ASSERT_EQ(Run("cp top.txt " + Mounted("top.txt")), 0);
  ASSERT_TRUE(Records().WaitFor("Put \"top.txt\" : Success")) << Records().Seen();
  EXPECT_EQ(TempFolder::ReadFile(root / "top.txt"), "a newer top");

  // Copies out, byte for byte.
  ASSERT_EQ(Run("cp " + Mounted("sub/big.bin") + " big.back"), 0) << Records().Seen();
  EXPECT_TRUE(TempFolder::ReadFile(work_ / "big.back") == big);
  ASSERT_EQ(Run("cp " + Mounted(fotos + "/" + greeting) + " greeting.back"), 0);
  EXPECT_EQ(TempFolder::ReadFile(work_ / "greeting.back"), "Gr\u00fc\u00dfe");
  ASSERT_EQ(Run("cp " + Mounted("sub/inner/deep.txt") + " deep.back"), 0);
  EXPECT_EQ(TempFolder::ReadFile(work_ / "deep.back"), "deep");

  ASSERT_EQ(Run("mkdir " + Mounted("Neu \u00f1")), 0);
  ASSERT_TRUE(Records().WaitFor("Create folder \"Neu \u00f1\" : Success")) << Records().Seen();
  EXPECT_TRUE(fs::is_directory(root / "Neu \u00f1"));
  ASSERT_EQ(Run("rm " + Mounted("sub/mid.txt")), 0);
  ASSERT_TRUE(Records().WaitFor("Delete file \"mid.txt\" : Success")) << Records().Seen();
  EXPECT_FALSE(fs::exists(root / "sub" / "mid.txt"));
  ASSERT_EQ(Run("rmdir " + Mounted("Neu \u00f1")), 0);
  ASSERT_TRUE(Records().WaitFor("Delete directory \"Neu \u00f1\" : Success")) << Records().Seen();
  EXPECT_FALSE(fs::exists(root / "Neu \u00f1"));
}

}  // namespace
}  // namespace quillfern::testing
