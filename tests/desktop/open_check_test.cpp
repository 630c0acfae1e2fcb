#include "app/desktop/open_check.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "tests/support/temp_folder.h"

// Which received files "Open" hands to the desktop's opener: real files in a
// temporary folder, typed by the shared MIME database as the desktop types
// them.
namespace quillfern::testing {
namespace {

namespace fs = std::filesystem;

const char Picture[] = "\xFF\xD8\xFF\xE0\x00\x10JFIF\x00 a picture";
const char Launcher[] = "[Desktop Entry]\nType=Application\nName=holiday\nExec=sh -c 'id'\n";
const char Elf[] =
    "\x7F"
    "ELF\x02\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x3E\x00";

OpenCheck Check(const fs::path& path) {
  return CheckOpen(QString::fromStdString(path.string()));
}

TEST(CheckOpen, RefusesWhatRunsByNameOrByContentAndOpensTheRest) {
  struct Case {
    const char* name;
    std::string content;
    const char* reason;  // empty: opened
  };
  const Case cases[] = {
      {"photo.jpg", std::string(Picture, sizeof Picture - 1), ""},
      {"notes.txt", "Holiday notes\n", ""},
      {"report.pdf", "%PDF-1.4\n", ""},
      // A launcher whose name reads "holiday_potksed.jpg" on screen.
      {"holiday_\u202Egpj.desktop", Launcher, "it is a launcher"},
      {"a\n\n\n\n\n\n\n\n\n\n\n\n.desktop", "just text", "it is a launcher"},
      {"holiday.jpg", Launcher, "it is a launcher"},
      {"theme.theme", "[Desktop Entry]\nType=X-GNOME-Metatheme\n", "it is a launcher"},
      {"run.sh", "echo hello\n", "it is a program or script"},
      {"readme.txt", "#!/bin/sh\necho hello\n", "it is a program or script"},
      {"tool.py", "print('hello')\n", "it is a program or script"},
      {"tool.pl", "print \"hello\";\n", "it is a program or script"},
      {"tool.rb", "puts 'hello'\n", "it is a program or script"},
      {"setup.exe", "MZ\x90", "it is a program or script"},
      {"app.jar", "PK\x03\x04", "it is a program or script"},
      {"picture", std::string(Elf, sizeof Elf - 1), "it is a program or script"},
      {"library.so", "nothing", "it is a program or script"},
  };
  TempFolder folder;
  for (const Case& tested : cases) {
    SCOPED_TRACE(tested.name);
    const fs::path file = folder.Exchange() / tested.name;
    TempFolder::WriteFile(file, tested.content);
    const OpenCheck check = Check(file);
    EXPECT_EQ(check.open, *tested.reason == '\0');
    EXPECT_EQ(check.reason.toStdString(), tested.reason);
  }
}

TEST(CheckOpen, RefusesAFileWithAnyExecutableBit) {
  TempFolder folder;
  const fs::path file = folder.Exchange() / "photo.jpg";
  TempFolder::WriteFile(file, std::string(Picture, sizeof Picture - 1));
  ASSERT_TRUE(Check(file).open);
  for (const fs::perms bit :
       {fs::perms::owner_exec, fs::perms::group_exec, fs::perms::others_exec}) {
    fs::permissions(file, bit, fs::perm_options::add);
    const OpenCheck check = Check(file);
    EXPECT_FALSE(check.open);
    EXPECT_EQ(check.reason, "it is marked as a program");
    fs::permissions(file, bit, fs::perm_options::remove);
  }
}

// What is not a plain file now is not opened: a link, a folder, a pipe (the
// check does not wait for a writer), a file gone.
TEST(CheckOpen, RefusesWhatIsNoPlainFile) {
  TempFolder folder;
  const fs::path plain = folder.Exchange() / "photo.jpg";
  TempFolder::WriteFile(plain, std::string(Picture, sizeof Picture - 1));
  const fs::path link = folder.Exchange() / "link.jpg";
  fs::create_symlink(plain, link);
  const fs::path subfolder = folder.Exchange() / "album.jpg";
  fs::create_directory(subfolder);
  const fs::path pipe = folder.Exchange() / "pipe.jpg";
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);

  EXPECT_EQ(Check(link).reason, "it is not a plain file");
  EXPECT_EQ(Check(subfolder).reason, "it is not a plain file");
  EXPECT_EQ(Check(pipe).reason, "it is not a plain file");
  const OpenCheck gone = Check(folder.Exchange() / "gone.jpg");
  EXPECT_FALSE(gone.open);
  EXPECT_EQ(gone.reason, "it cannot be read");
}

}  // namespace
}  // namespace quillfern::testing
