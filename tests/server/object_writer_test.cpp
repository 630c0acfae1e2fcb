#include "server/object_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/unique_fd.h"
#include "server/receiving_names.h"
#include "tests/support/temp_folder.h"

namespace quillfern::testing {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> EntriesOf(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string() + "=" + TempFolder::ReadFile(entry.path()));
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::span<const uint8_t> AsBytes(const std::string& text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

std::string Repeat(std::string_view piece, size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i) out += piece;
  return out;
}

// The number goes before the extension, and a name near the longest a file may have
// makes room for it by giving up the end of its stem, never half a character.
TEST(NumberedName, PutsTheNumberBeforeTheExtensionAndAlwaysFits) {
  const std::string EAcute = "\xC3\xA9";
  const std::string Euro = "\xE2\x82\xAC";
  struct Case {
    const char* what;
    std::string name;
    int number;
    std::string numbered;
  };
  const std::vector<Case> cases = {
      {"extension", "IMG_0001.jpg", 2, "IMG_0001 (2).jpg"},
      {"no extension", "notes", 2, "notes (2)"},
      {"the last dot counts", "archive.tar.gz", 2, "archive.tar (2).gz"},
      {"room to spare", Repeat("a", 247) + ".txt", 1, Repeat("a", 247) + " (1).txt"},
      {"the longest name", Repeat("a", 251) + ".txt", 1, Repeat("a", 247) + " (1).txt"},
      {"two-byte characters", Repeat(EAcute, 125) + ".txt", 1, Repeat(EAcute, 123) + " (1).txt"},
      {"three-byte characters and a long number", Repeat(Euro, 83) + ".txt", 10000,
       Repeat(Euro, 81) + " (10000).txt"},
      {"the longest name without extension", Repeat("n", 255), 1, Repeat("n", 251) + " (1)"},
      {"an extension that leaves no room is cut as part of the name", "a." + Repeat("x", 253), 1,
       "a." + Repeat("x", 249) + " (1)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(NumberedName(c.name, c.number), c.numbered);
    EXPECT_LE(NumberedName(c.name, c.number).size(), size_t{NAME_MAX});
  }
}

// Both ways of holding an object until it is complete: an unnamed file, and
// the hidden name used where the file system has no unnamed files.
class ObjectWriterTest : public ::testing::TestWithParam<ObjectWriter::Temporary> {
 protected:
  int Open(ObjectWriter& writer, const std::string& name) {
    UniqueFd folder(::open(folder_.Exchange().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    return writer.Open(std::move(folder), name, ReceivingName(), GetParam());
  }

  TempFolder folder_;
};

TEST_P(ObjectWriterTest, CommittedObjectReplacesTheEarlierFileAndLeavesNothingElse) {
  struct Case {
    std::string label;
    std::optional<std::string> earlier;
  };
  const std::vector<Case> cases = {{"new name", std::nullopt}, {"earlier file", "earlier"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    fs::remove(folder_.Exchange() / "object");
    if (c.earlier) TempFolder::WriteFile(folder_.Exchange() / "object", *c.earlier);
    ObjectWriter writer;
    ASSERT_EQ(Open(writer, "object"), 0);
    ASSERT_EQ(writer.Write(AsBytes("complete")), 8);
    const std::vector<std::string> before =
        c.earlier ? std::vector<std::string>{"object=" + *c.earlier} : std::vector<std::string>{};
    if (GetParam() == ObjectWriter::Temporary::Unnamed) {
      EXPECT_EQ(EntriesOf(folder_.Exchange()), before);
    }
    ASSERT_EQ(writer.Commit(), 0);
    EXPECT_EQ(EntriesOf(folder_.Exchange()), std::vector<std::string>{"object=complete"});
  }
}

TEST_P(ObjectWriterTest, ObjectNeverCommittedLeavesTheFolderAsItWas) {
  TempFolder::WriteFile(folder_.Exchange() / "kept", "earlier");
  const auto before = EntriesOf(folder_.Exchange());
  for (const std::string name : {"kept", "new"}) {
    SCOPED_TRACE(name);
    {
      ObjectWriter writer;
      ASSERT_EQ(Open(writer, name), 0);
      ASSERT_EQ(writer.Write(AsBytes("partial")), 7);
    }
    EXPECT_EQ(EntriesOf(folder_.Exchange()), before);
  }
}

TEST_P(ObjectWriterTest, ReplacementKeepsTheModeOfTheEarlierFile) {
  TempFolder::WriteFile(folder_.Exchange() / "private", "earlier");
  fs::permissions(folder_.Exchange() / "private", fs::perms(0604));
  ObjectWriter writer;
  ASSERT_EQ(Open(writer, "private"), 0);
  ASSERT_EQ(writer.Commit(), 0);
  EXPECT_EQ(fs::status(folder_.Exchange() / "private").permissions(), fs::perms(0604));
}

TEST_P(ObjectWriterTest, OnlyPlainFilesAreReplaced) {
  fs::create_directory(folder_.Exchange() / "folder");
  fs::create_symlink("folder", folder_.Exchange() / "link");
  ObjectWriter writer;
  EXPECT_EQ(Open(writer, "folder"), -EISDIR);
  EXPECT_EQ(Open(writer, "link"), -ELOOP);
  EXPECT_EQ(std::distance(fs::directory_iterator(folder_.Exchange()), fs::directory_iterator()), 2);
}

// Many writers keeping what is there, committing one name at the same
// moment: each object gets a name of its own, and nothing is replaced.
TEST_P(ObjectWriterTest, WritersKeepingEarlierFilesNeverReplaceOneAnother) {
  TempFolder::WriteFile(folder_.Exchange() / "IMG.jpg", "earlier");
  constexpr int Writers = 8;
  std::vector<std::unique_ptr<ObjectWriter>> writers;
  for (int i = 0; i < Writers; ++i) {
    writers.push_back(std::make_unique<ObjectWriter>());
    UniqueFd folder(::open(folder_.Exchange().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    ASSERT_EQ(writers.back()->Open(std::move(folder), "IMG.jpg", ReceivingName(), GetParam(),
                                   ObjectWriter::Placement::KeepExisting),
              0);
    const std::string content = "object " + std::to_string(i);
    ASSERT_EQ(writers.back()->Write(AsBytes(content)), static_cast<int>(content.size()));
  }
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int i = 0; i < Writers; ++i) {
    threads.emplace_back([&, i] {
      while (!go.load()) std::this_thread::yield();
      EXPECT_EQ(writers[static_cast<size_t>(i)]->Commit(), 0);
    });
  }
  go = true;
  for (auto& thread : threads) thread.join();
  std::vector<std::string> expected{"IMG.jpg=earlier"};
  std::vector<std::string> stored;
  for (int i = 0; i < Writers; ++i) {
    const std::string name = writers[static_cast<size_t>(i)]->StoredName();
    stored.push_back(name);
    expected.push_back(name + "=object " + std::to_string(i));
  }
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(EntriesOf(folder_.Exchange()), expected);
  std::sort(stored.begin(), stored.end());
  std::vector<std::string> numbered;
  for (int n = 1; n <= Writers; ++n) numbered.push_back(NumberedName("IMG.jpg", n));
  std::sort(numbered.begin(), numbered.end());
  EXPECT_EQ(stored, numbered);
}

INSTANTIATE_TEST_SUITE_P(Temporaries, ObjectWriterTest,
                         ::testing::Values(ObjectWriter::Temporary::Unnamed,
                                           ObjectWriter::Temporary::Named),
                         [](const auto& param) {
                           return param.param == ObjectWriter::Temporary::Unnamed ? "Unnamed"
                                                                                  : "Named";
                         });

}  // namespace
}  // namespace quillfern::testing
