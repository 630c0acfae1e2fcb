#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "app/settings_store.h"
#include "tests/support/headless_process.h"
#include "tests/support/temp_folder.h"

// The manual page is written by hand; these checks hold it to what the program takes and
// reads, so that an option, a setting or an environment variable added to the program
// without a word in the page fails here.
namespace quillfern::testing {
namespace {

namespace fs = std::filesystem;

const fs::path Source = QUILLFERN_SOURCE_DIR;

using Names = std::set<std::string>;

// The page's text as a reader sees it: roff's escapes for dashes, fonts and quotes undone.
std::string Plain(const std::string& roff) {
  std::string text;
  for (size_t i = 0; i < roff.size(); ++i) {
    if (roff[i] != '\\' || i + 1 == roff.size()) {
      text += roff[i];
    } else if (roff[i + 1] == '-') {
      text += '-';
      ++i;
    } else if (roff[i + 1] == '&') {
      ++i;
    } else if (roff[i + 1] == 'f' && i + 2 < roff.size()) {
      i += 2;
    } else if (roff.compare(i, 4, "\\(lq") == 0 || roff.compare(i, 4, "\\(rq") == 0) {
      text += '"';
      i += 3;
    } else {
      text += roff[i];
    }
  }
  return text;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find('\n', start);
    lines.push_back(text.substr(start, end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return lines;
}

// The page's section under the heading given (".SH NAME"), or empty.
std::string Section(const std::vector<std::string>& page, const std::string& heading) {
  std::string text;
  bool inside = false;
  for (const std::string& line : page) {
    if (line.rfind(".SH ", 0) == 0)
      inside = line == ".SH " + heading;
    else if (inside)
      text += line + "\n";
  }
  return text;
}

bool IsNameCharacter(char c) {
  return std::islower(static_cast<unsigned char>(c)) ||
         std::isdigit(static_cast<unsigned char>(c)) || c == '-';
}

// --long, -x (one letter) and /minimize: what the program's options look like.
bool IsOption(const std::string& word) {
  if (word.size() == 2) return word[0] == '-' && std::islower(static_cast<unsigned char>(word[1]));
  return word.rfind("--", 0) == 0 ? word.size() > 2 : word == "/minimize";
}

// The options a text names.
Names OptionsIn(const std::string& text) {
  Names options;
  for (size_t i = 0; i < text.size(); ++i) {
    const bool startsWord = i == 0 || !(std::isalnum(static_cast<unsigned char>(text[i - 1])) ||
                                        text[i - 1] == '-' || text[i - 1] == '/');
    if (!startsWord || (text[i] != '-' && text[i] != '/')) continue;
    size_t end = i + 1;
    while (end < text.size() && IsNameCharacter(text[end])) ++end;
    const std::string word = text.substr(i, end - i);
    if (IsOption(word)) options.insert(word);
    i = end;
  }
  return options;
}

std::string HelpText() {
  HeadlessProcess help({QUILLFERN_BINARY, "--help"}, {"DISPLAY=", "WAYLAND_DISPLAY="});
  std::string text;
  std::string line;
  while (help.ReadLine(line)) text += line + "\n";
  EXPECT_EQ(help.Wait(), 0);
  return text;
}

// Every quoted literal in the program's sources that starts with the prefix, up to its
// closing quote, when all its characters pass the test.
template <typename Test>
Names LiteralsInSources(const std::vector<std::string>& folders, const std::string& prefix,
                        Test characterFits) {
  Names found;
  for (const std::string& folder : folders) {
    for (const auto& entry : fs::recursive_directory_iterator(Source / folder)) {
      const std::string extension = entry.path().extension().string();
      if (extension != ".cpp" && extension != ".h") continue;
      const std::string text = TempFolder::ReadFile(entry.path());
      for (size_t at = text.find("\"" + prefix); at != std::string::npos;
           at = text.find("\"" + prefix, at + 1)) {
        size_t end = at + 1 + prefix.size();
        while (end < text.size() && characterFits(text[end])) ++end;
        if (end < text.size() && text[end] == '"') found.insert(text.substr(at + 1, end - at - 1));
      }
    }
  }
  return found;
}

class ManualPage : public ::testing::Test {
 protected:
  const std::vector<std::string> page =
      Lines(Plain(TempFolder::ReadFile(Source / "packaging/quillfern.1.in")));
};

TEST_F(ManualPage, DocumentsTheOptionsThatHelpAndTheProgramKnow) {
  const Names help = OptionsIn(HelpText());
  ASSERT_TRUE(help.contains("--headless") && help.contains("--version")) << help.size();
  // Every option the program compares an argument with is in the help.
  for (const std::string& literal : LiteralsInSources({"app"}, "-", IsNameCharacter)) {
    if (IsOption(literal)) {
      EXPECT_TRUE(help.contains(literal)) << literal;
    }
  }

  EXPECT_EQ(OptionsIn(Section(page, "SYNOPSIS")), help);
  // Each option has a paragraph of its own: a tagged paragraph, ".TP" then the tag line.
  Names described;
  for (size_t i = 0; i + 1 < page.size(); ++i) {
    if (page[i] == ".TP" && (page[i + 1].find(" -") != std::string::npos ||
                             page[i + 1].find(" /") != std::string::npos)) {
      described.merge(OptionsIn(page[i + 1]));
    }
  }
  EXPECT_EQ(described, help);
}

TEST_F(ManualPage, DescribesEverySettingWithItsDefault) {
  const std::string settings = Section(page, "SETTINGS FILE");
  Names expected;
  for (const SettingDefinition& definition : SettingsTable) {
    std::string value = definition.type == SettingType::Integer
                            ? std::to_string(definition.defaultInteger)
                            : std::string(definition.defaultText);
    if (value.empty()) value = "none";
    expected.insert(std::string(definition.key) + " (default: " + value + ")");
  }
  // The tag lines of the section's paragraphs, one per key.
  Names described;
  for (const std::string& line : Lines(settings)) {
    if (line.find(" (default: ") != std::string::npos) described.insert(line);
  }
  EXPECT_EQ(described, expected);
}

TEST_F(ManualPage, NamesEveryEnvironmentVariableTheProgramReads) {
  const auto isVariableCharacter = [](char c) {
    return std::isupper(static_cast<unsigned char>(c)) ||
           std::isdigit(static_cast<unsigned char>(c)) || c == '_';
  };
  const std::vector<std::string> program = {"platform", "obex",      "server",
                                            "tcp",      "bluetooth", "app"};
  Names variables = LiteralsInSources(program, "QUILLFERN_", isVariableCharacter);
  variables.merge(LiteralsInSources(program, "XDG_", isVariableCharacter));
  ASSERT_TRUE(variables.contains("QUILLFERN_BLUETOOTH") && variables.contains("XDG_CONFIG_HOME"));
  const std::string environment = Section(page, "ENVIRONMENT");
  for (const std::string& variable : variables) {
    EXPECT_NE(environment.find(variable), std::string::npos) << variable;
  }
}

}  // namespace
}  // namespace quillfern::testing
