#include "server/folder_listing.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "obex/packet.h"
#include "platform/text.h"
#include "platform/unique_fd.h"
#include "server/name_resolver.h"
#include "tests/support/temp_folder.h"

namespace quillfern::testing {
namespace {

namespace fs = std::filesystem;

const std::string ListingHead =
    "<?xml version=\"1.0\"?>\r\n"
    "<!DOCTYPE folder-listing SYSTEM \"obex-folder-listing.dtd\">\r\n"
    "<folder-listing version=\"1.0\">\r\n";
const std::string ListingTail = "</folder-listing>";
constexpr uid_t NobodyId = 65534;

std::string ModifiedText(const fs::path& path) {
  struct stat status {};
  ::stat(path.c_str(), &status);
  std::tm utc{};
  ::gmtime_r(&status.st_mtime, &utc);
  return FormatObexTime(utc);
}

std::string List(const fs::path& folder, bool allowHidden = false) {
  const UniqueFd opened(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  std::string listing;
  const int64_t size = BuildFolderListing(allowHidden, opened.Get(), listing);
  return size == static_cast<int64_t>(listing.size()) ? listing : "<failed>";
}

// Root may write any folder, so a read-only folder only shows as such to an
// ordinary user: when the tests run as root, the listing is built by a child
// that has given up root.
std::string ListAsOrdinaryUser(const fs::path& base, const fs::path& folder) {
  if (::geteuid() != 0) return List(folder);
  fs::permissions(base, fs::perms::others_read | fs::perms::others_exec, fs::perm_options::add);
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return "<no pipe>";
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(pipeFds[0]);
    if (::setgid(NobodyId) != 0 || ::setuid(NobodyId) != 0) ::_exit(2);
    const std::string listing = List(folder);
    const bool written =
        ::write(pipeFds[1], listing.data(), listing.size()) == static_cast<ssize_t>(listing.size());
    ::_exit(written ? 0 : 3);
  }
  ::close(pipeFds[1]);
  std::string listing;
  char buffer[4096];
  for (ssize_t got; (got = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;) {
    listing.append(buffer, static_cast<size_t>(got));
  }
  ::close(pipeFds[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? listing : "<child failed>";
}

// The entry lines between the head and the tail, sorted: the listing keeps
// the order of the file system, which a test cannot know.
std::vector<std::string> EntryLines(const std::string& listing) {
  std::vector<std::string> lines;
  if (listing.rfind(ListingHead, 0) != 0 || !listing.ends_with(ListingTail)) return {"<frame>"};
  const std::string entries =
      listing.substr(ListingHead.size(), listing.size() - ListingHead.size() - ListingTail.size());
  for (size_t start = 0; start < entries.size();) {
    const size_t end = entries.find("\r\n", start);
    if (end == std::string::npos) return {"<unterminated line>"};
    lines.push_back(entries.substr(start, end - start));
    start = end + 2;
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

// Well-formed as far as names can break it: valid UTF-8 and no character
// XML 1.0 forbids.
bool OnlyXmlCharacters(const std::string& text) {
  if (!IsValidUtf8(text)) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<uint8_t>(text[i]);
    if (byte < 0x20 && byte != '\t' && byte != '\n' && byte != '\r') return false;
    if (byte == 0xEF && text.compare(i, 2, "\xEF\xBF") == 0 && i + 2 < text.size() &&
        (static_cast<uint8_t>(text[i + 2]) & 0xFE) == 0xBE) {
      return false;
    }
  }
  return true;
}

class FolderListingTest : public ::testing::Test {
 protected:
  TempFolder folder_;
};

TEST_F(FolderListingTest, ListsFilesWithSizeAndReadOnlyFoldersWithReadPermissionOnly) {
  const fs::path exchange = folder_.Exchange();
  TempFolder::WriteFile(exchange / "a.txt", "12345");
  fs::create_directory(exchange / "docs");
  fs::permissions(exchange / "docs", fs::perms(0555));
  fs::permissions(exchange, fs::perms(0755));

  const std::string listing = ListAsOrdinaryUser(folder_.Base(), exchange);

  const std::vector<std::string> expected = {
      "\t<file name=\"a.txt\" size=\"5\" modified=\"" + ModifiedText(exchange / "a.txt") +
          "\" user-perm=\"RWD\" />",
      "\t<folder name=\"docs\" modified=\"" + ModifiedText(exchange / "docs") +
          "\" user-perm=\"R\" />",
  };
  EXPECT_EQ(EntryLines(listing), expected);
}

TEST_F(FolderListingTest, WritableFolderHasFullPermissions) {
  fs::create_directory(folder_.Exchange() / "docs");
  EXPECT_EQ(EntryLines(List(folder_.Exchange())),
            std::vector<std::string>{"\t<folder name=\"docs\" modified=\"" +
                                     ModifiedText(folder_.Exchange() / "docs") +
                                     "\" user-perm=\"RWD\" />"});
}

TEST_F(FolderListingTest, EmptyFolderHasOnlyTheFrame) {
  EXPECT_EQ(List(folder_.Exchange()), ListingHead + ListingTail);
}

TEST_F(FolderListingTest, FolderThatCannotBeEnumeratedGivesMinusOne) {
  TempFolder::WriteFile(folder_.Exchange() / "file", "x");
  const UniqueFd file(::open((folder_.Exchange() / "file").c_str(), O_RDONLY | O_CLOEXEC));
  const UniqueFd pathOnly(::open(folder_.Exchange().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  for (const int fd : {-1, file.Get(), pathOnly.Get()}) {
    std::string listing = "untouched";
    EXPECT_EQ(BuildFolderListing(false, fd, listing), -1) << fd;
    EXPECT_EQ(listing, "untouched");
  }
}

TEST_F(FolderListingTest, HiddenEntriesAreListedOnlyWhenAllowed) {
  TempFolder::WriteFile(folder_.Exchange() / ".hidden", "");
  fs::create_directory(folder_.Exchange() / ".config");
  EXPECT_EQ(EntryLines(List(folder_.Exchange(), false)), std::vector<std::string>{});
  const auto shown = EntryLines(List(folder_.Exchange(), true));
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_EQ(shown[0].rfind("\t<file name=\".hidden\" size=\"0\"", 0), 0u);
  EXPECT_EQ(shown[1].rfind("\t<folder name=\".config\"", 0), 0u);
}

TEST_F(FolderListingTest, LinksLeadingOutOfTheExchangeFolderAreLeftOut) {
  fs::create_directory(folder_.Exchange() / "docs");
  fs::create_directory_symlink(folder_.Exchange() / "docs", folder_.Exchange() / "inward");
  fs::create_directory_symlink(folder_.Outside(), folder_.Exchange() / "outward");
  fs::create_symlink(folder_.Outside() / "keep.txt", folder_.Exchange() / "kept.txt");
  const NameResolver names(NormalisedRoot(folder_.Exchange().string()));
  const auto reachable = [&names](std::string_view name) {
    return names.Resolve("", std::string(name), NameIntent::Look, false).refusal ==
           NameRefusal::None;
  };
  const UniqueFd opened(::open(folder_.Exchange().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  std::string listing;
  ASSERT_GT(BuildFolderListing(false, opened.Get(), listing, reachable), 0);
  auto lines = EntryLines(listing);
  std::sort(lines.begin(), lines.end());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].rfind("\t<folder name=\"docs\"", 0), 0u);
  EXPECT_EQ(lines[1].rfind("\t<folder name=\"inward\"", 0), 0u);
}

TEST_F(FolderListingTest, AnyNameOnDiskGivesWellFormedXml) {
  struct Case {
    std::string label;
    std::string onDisk;
    std::string listed;
  };
  std::string longReplacement;
  for (int i = 0; i < 170; ++i) longReplacement += "\xEF\xBF\xBD";
  const std::vector<Case> cases = {
      {"markup", "a&b <c> \"d\".txt", "a&amp;b &lt;c> &quot;d&quot;.txt"},
      {"plain UTF-8", "caf\xC3\xA9.txt", "caf\xC3\xA9.txt"},
      {"invalid UTF-8", "bad\xFF\xC3.txt", "bad\xEF\xBF\xBD\xEF\xBF\xBD.txt"},
      {"control character", "ctl\x01\x1F.txt", "ctl\xEF\xBF\xBD\xEF\xBF\xBD.txt"},
      {"non-character", "nc\xEF\xBF\xBE\xEF\xBF\xBF.txt", "nc\xEF\xBF\xBD\xEF\xBF\xBD.txt"},
      {"line breaks", "two\tlines\r\n.txt", "two&#9;lines&#13;&#10;.txt"},
      // Each invalid byte grows to three; the name is cut at 511 bytes, between
      // characters.
      {"long after repair", std::string(255, '\xFF'), longReplacement},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const fs::path folder = folder_.Base() / ("case" + std::to_string(&c - cases.data()));
    fs::create_directory(folder);
    TempFolder::WriteFile(folder / c.onDisk, "x");
    const std::string listing = List(folder);
    EXPECT_TRUE(OnlyXmlCharacters(listing));
    EXPECT_EQ(
        EntryLines(listing),
        std::vector<std::string>{"\t<file name=\"" + c.listed + "\" size=\"1\" modified=\"" +
                                 ModifiedText(folder / c.onDisk) + "\" user-perm=\"RWD\" />"});
  }
}

}  // namespace
}  // namespace quillfern::testing
