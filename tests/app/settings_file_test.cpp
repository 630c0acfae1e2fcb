#include "app/settings_file.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace quillfern {
namespace {

const std::string Bom = "\xEF\xBB\xBF";

// A literal with NUL bytes inside, whole.
template <size_t N>
std::string Bytes(const char (&literal)[N]) {
  return std::string(literal, N - 1);
}

struct FileCase {
  const char* what;
  std::string before;
  std::vector<std::string> tcpPort;  // what Values("Settings", "TcpPort") reads
  std::string after;                 // the bytes after SetValue("Settings", "TcpPort", "651")
};

const std::vector<FileCase> FileCases = {
    {"empty file", "", {}, "[Settings]\nTcpPort=651\n"},
    {"only the section", "[Settings]\n", {}, "[Settings]\nTcpPort=651\n"},
    {"the key's line alone changes",
     "[Settings]\nAutoStart=0\nTcpPort=650\nUseIPv6=1\n",
     {"650"},
     "[Settings]\nAutoStart=0\nTcpPort=651\nUseIPv6=1\n"},
    {"names match without regard to case",
     "[settings]\ntcpport=650\n",
     {"650"},
     "[settings]\ntcpport=651\n"},
    {"blanks around names and value; the key is kept as written",
     "  [ Settings ]  \n\tTcpPort = 650 \t\n",
     {"650"},
     "  [ Settings ]  \n\tTcpPort =651\n"},
    {"a bad value is read as it stands",
     "[Settings]\nTcpPort=abc\n",
     {"abc"},
     "[Settings]\nTcpPort=651\n"},
    {"empty value", "[Settings]\nTcpPort=\n", {""}, "[Settings]\nTcpPort=651\n"},
    {"quoted value", "[Settings]\nTcpPort=\" 650 \"\n", {" 650 "}, "[Settings]\nTcpPort=651\n"},
    {"only the first '=' separates",
     "[Settings]\nTcpPort=6=5\n",
     {"6=5"},
     "[Settings]\nTcpPort=651\n"},
    {"no section: one is added after the other lines",
     "TcpPort=1\n[Other]\nTcpPort=2\n",
     {},
     "TcpPort=1\n[Other]\nTcpPort=2\n\n[Settings]\nTcpPort=651\n"},
    {"the last line has no line end",
     "[Settings]\nAutoStart=1",
     {},
     "[Settings]\nAutoStart=1\nTcpPort=651\n"},
    {"no section and no final line end", "# mine", {}, "# mine\n\n[Settings]\nTcpPort=651\n"},
    {"a missing key goes after the section's last filled line",
     "[Settings]\nAutoStart=1\n\n; about the next one\n[Other]\nX=1\n",
     {},
     "[Settings]\nAutoStart=1\n\n; about the next one\nTcpPort=651\n[Other]\nX=1\n"},
    {"blank lines at the section's end stay after it",
     "[Settings]\nAutoStart=1\n\n\n[Other]\n",
     {},
     "[Settings]\nAutoStart=1\nTcpPort=651\n\n\n[Other]\n"},
    {"a repeated key gives each value, and setting it leaves one line",
     "[Settings]\nTcpPort=700\nAutoStart=1\nTcpPort=800",
     {"700", "800"},
     "[Settings]\nTcpPort=651\nAutoStart=1\n"},
    {"the sections of one name are one section",
     "[Settings]\nTcpPort=700\n[Other]\nTcpPort=1\n[settings]\nTcpPort=800\nX=1\n",
     {"700", "800"},
     "[Settings]\nTcpPort=651\n[Other]\nTcpPort=1\n[settings]\nX=1\n"},
    {"a key only in a later section of the name is changed where it is",
     "[Settings]\nAutoStart=1\n[Other]\n[Settings]\nTcpPort=800\n",
     {"800"},
     "[Settings]\nAutoStart=1\n[Other]\n[Settings]\nTcpPort=651\n"},
    {"comments are not keys",
     "[Settings]\n;TcpPort=1\n# TcpPort=2\n",
     {},
     "[Settings]\n;TcpPort=1\n# TcpPort=2\nTcpPort=651\n"},
    {"the same key in another section is not ours",
     "[Other]\nTcpPort=1\n[Settings]\n",
     {},
     "[Other]\nTcpPort=1\n[Settings]\nTcpPort=651\n"},
    {"lines that are no key or section are kept",
     "[Settings\n[Settings]\njunk without equals\n=no key\nTcpPort=650\n",
     {"650"},
     "[Settings\n[Settings]\njunk without equals\n=no key\nTcpPort=651\n"},
    {"CRLF: each line keeps its end, added lines take the file's",
     "[Settings]\r\nAutoStart=1\r\nTcpPort=650\r\n",
     {"650"},
     "[Settings]\r\nAutoStart=1\r\nTcpPort=651\r\n"},
    {"CRLF: an added key ends in CRLF",
     "[Settings]\r\nAutoStart=1\r\n",
     {},
     "[Settings]\r\nAutoStart=1\r\nTcpPort=651\r\n"},
    {"a byte order mark before the section",
     Bom + "[Settings]\nTcpPort=650\n",
     {"650"},
     Bom + "[Settings]\nTcpPort=651\n"},
    {"a byte order mark alone", Bom, {}, Bom + "[Settings]\nTcpPort=651\n"},
    {"bytes that are not UTF-8 elsewhere stay",
     "; caf\xE9\n[Settings]\nRootPath=/home/j\xFCrgen\nTcpPort=650\n\xFF\xFE\n",
     {"650"},
     "; caf\xE9\n[Settings]\nRootPath=/home/j\xFCrgen\nTcpPort=651\n\xFF\xFE\n"},
    {"a NUL byte elsewhere stays",
     Bytes("[Settings]\nX=a\0b\nTcpPort=1\n"),
     {"1"},
     Bytes("[Settings]\nX=a\0b\nTcpPort=651\n")},
};

TEST(SettingsFileText, ReadsAndSetsOneKeyLeavingEveryOtherByte) {
  for (const auto& c : FileCases) {
    SCOPED_TRACE(c.what);
    SettingsFileText file(c.before);
    EXPECT_EQ(file.Values("Settings", "TcpPort"), c.tcpPort);
    file.SetValue("Settings", "TcpPort", "651");
    EXPECT_EQ(file.Bytes(), c.after);
    EXPECT_EQ(file.Values("Settings", "TcpPort"), std::vector<std::string>{"651"});
  }
}

TEST(SettingsFileText, ValuesWithBlanksOrQuotesAtTheirEndsReadBackUnchanged) {
  for (const std::string value :
       {" lead", "trail ", "\tboth\t", "\"quoted\"", "\"", "a \"b\" c", "", "plain"}) {
    SCOPED_TRACE(value);
    SettingsFileText file("[Settings]\n");
    file.SetValue("Settings", "OPServiceName", value);
    EXPECT_EQ(file.Values("Settings", "OPServiceName"), std::vector<std::string>{value});
  }
}

TEST(SettingsFileText, KeysAddedOneAfterAnotherKeepTheirOrder) {
  SettingsFileText file("[Settings]\nTcpPort=abc\n");
  for (const char* key : {"AutoStart", "AutoStartOP", "RootPath"})
    file.SetValue("Settings", key, "0");
  EXPECT_EQ(file.Bytes(), "[Settings]\nTcpPort=abc\nAutoStart=0\nAutoStartOP=0\nRootPath=0\n");
}

}  // namespace
}  // namespace quillfern
