#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/headless_process.h"
#include "tests/support/project_files.h"
#include "tests/support/temp_folder.h"

namespace quillfern::testing {
namespace {

namespace fs = std::filesystem;

constexpr int ArgumentErrorExit = 2;
constexpr char HelpHint[] = "quillfern --help lists the options.";

struct Finished {
  int exit = -1;
  std::string out;
  std::string errors;
};

// The program with no display to open a window on: nothing asked here may need one.
Finished RunProgram(const std::vector<std::string>& arguments) {
  std::vector<std::string> command{QUILLFERN_BINARY};
  command.insert(command.end(), arguments.begin(), arguments.end());
  HeadlessProcess process(command, {"DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM="});
  Finished finished;
  std::string line;
  while (process.ReadLine(line)) finished.out += line + "\n";
  finished.errors = process.ReadAllErrors(1000);
  finished.exit = process.Wait();
  return finished;
}

std::string Shown(const std::vector<std::string>& arguments) {
  std::string text = "quillfern";
  for (const std::string& argument : arguments) text += " " + argument;
  return text;
}

TEST(CommandLine, VersionAndHelpAnswerInBothModesWithoutADisplay) {
  const std::string version = "Quillfern " + ProjectVersion(QUILLFERN_SOURCE_DIR) + "\n";
  for (const auto& arguments : std::vector<std::vector<std::string>>{
           {"--version"}, {"--headless", "--version"}, {"--minimize", "--version"}}) {
    const Finished run = RunProgram(arguments);
    EXPECT_EQ(run.exit, 0) << Shown(arguments);
    EXPECT_EQ(run.out, version) << Shown(arguments);
    EXPECT_EQ(run.errors, "") << Shown(arguments);
  }
  for (const auto& arguments : std::vector<std::vector<std::string>>{
           {"--help"}, {"-h"}, {"--headless", "--help"}, {"--headless", "--root", "/x", "-h"}}) {
    const Finished run = RunProgram(arguments);
    EXPECT_EQ(run.exit, 0) << Shown(arguments);
    EXPECT_EQ(run.out.rfind("Usage: quillfern", 0), 0u) << Shown(arguments) << "\n" << run.out;
    EXPECT_EQ(run.errors, "") << Shown(arguments);
  }
}

struct UnknownCase {
  std::vector<std::string> arguments;
  std::string error;  // the first line on standard error
};

TEST(CommandLine, AnUnknownArgumentEndsWithCodeTwoAndAOneLineHint) {
  const std::vector<UnknownCase> cases = {
      {{"--bogus"}, "Unknown argument: --bogus"},
      {{"--minimize", "stray"}, "Unknown argument: stray"},
      {{"-platform"}, "Unknown argument: -platform"},  // Qt's option, without its value
      {{"--headless", "--bogus"}, "Unknown or incomplete argument: --bogus"},
      {{"--headless", "--root", "/x", "--port"}, "Unknown or incomplete argument: --port"},
      {{"--headless", "--root", "/x", "/minimize"}, "Unknown or incomplete argument: /minimize"},
  };
  for (const UnknownCase& c : cases) {
    const Finished run = RunProgram(c.arguments);
    EXPECT_EQ(run.exit, ArgumentErrorExit) << Shown(c.arguments);
    EXPECT_EQ(run.out, "") << Shown(c.arguments);
    EXPECT_EQ(run.errors, c.error + "\n" + HelpHint + "\n") << Shown(c.arguments);
  }
}

TEST(CommandLine, QtsOwnOptionsAreTakenByTheDesktopProgram) {
  // Without a display the program goes as far as looking for one.
  const std::vector<std::string> arguments = {"-platform", "xcb", "--style=fusion", "-reverse",
                                              "-session",  "abc", "/MINIMIZE"};
  const Finished run = RunProgram(arguments);
  EXPECT_EQ(run.exit, ArgumentErrorExit);
  EXPECT_EQ(run.errors.rfind("No display", 0), 0u) << run.errors;
}

// The first line of a file that starts with the given text, from there on; empty when none does.
std::string LineFrom(const fs::path& file, const std::string& start) {
  const std::string text = TempFolder::ReadFile(file);
  const size_t at = text.find(start);
  if (at == std::string::npos) return {};
  return text.substr(at + start.size(), text.find('\n', at) - at - start.size());
}

// One version for the build, the program, the package and the software centres.
TEST(CommandLine, ThePackageAndTheMetadataCarryTheProgramsVersion) {
  const fs::path source = QUILLFERN_SOURCE_DIR;
  const std::string version = ProjectVersion(source);
  ASSERT_FALSE(version.empty());
  EXPECT_EQ(RunProgram({"--version"}).out, "Quillfern " + version + "\n");
  // The newest changelog entry comes first, as does the newest release.
  const std::string changelog = LineFrom(source / "debian/changelog", "quillfern (");
  EXPECT_EQ(changelog.substr(0, changelog.find(')')), version);
  const std::string release = LineFrom(
      source / "packaging/io.github.quillfern.quillfern.metainfo.xml", "<release version=\"");
  EXPECT_EQ(release.substr(0, release.find('"')), version);
  // The manual page has the build fill its version in.
  EXPECT_NE(LineFrom(source / "packaging/quillfern.1.in", ".TH ").find("@PROJECT_VERSION@"),
            std::string::npos);
}

}  // namespace
}  // namespace quillfern::testing
