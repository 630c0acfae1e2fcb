#include "app/desktop/log_export.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QTimer>
#include <QToolButton>
#include <ctime>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "app/desktop/form_log.h"
#include "tests/support/temp_folder.h"

namespace quillfern {
namespace {

namespace fs = std::filesystem;
using testing::TempFolder;

const std::string Header = "DateTime,Server,Slot,Operation\r\n";
const std::string Comma = "2017-03-05 14:07:09,TCP,1,\"Put : a,b.txt : Success\"\r\n";
const std::string Quote =
    "2017-03-05 14:07:09,BT_OP,2,\"Put : \"\"quoted\"\" name.txt : Success\"\r\n";
// A line break in a record is shown as an escape, as the window shows it.
const std::string Lines =
    "2017-03-05 14:07:09,TCP,2,Put : two\\u000Alines\\u000D.txt : Success\r\n";
const std::string Umlaut =
    "2017-03-05 14:07:09,TCP,1,Put : Gr\xC3\xBC\xC3\x9F"
    "e \xE2\x82\xAC.txt : Success\r\n";

// A log window with one line of each kind a CSV field must take care of.
class LogExportTest : public ::testing::Test {
 protected:
  LogExportTest() {
    form_.SetClock([] {
      std::tm local{};
      local.tm_year = 2017 - 1900;
      local.tm_mon = 2;
      local.tm_mday = 5;
      local.tm_hour = 14;
      local.tm_min = 7;
      local.tm_sec = 9;
      local.tm_isdst = -1;
      return std::chrono::system_clock::from_time_t(std::mktime(&local));
    });
    form_.SetMessage(
        [this](QWidget*, const QString& text) { messages_.push_back(text.toStdString()); });
    form_.AddLog(1, 1, "Put : a,b.txt : Success");
    form_.AddLog(2, 2, "Put : \"quoted\" name.txt : Success");
    form_.AddLog(1, 2, "Put : two\nlines\r.txt : Success");
    form_.AddLog(1, 1,
                 "Put : Gr\xC3\xBC\xC3\x9F"
                 "e \xE2\x82\xAC.txt : Success");
  }

  void Filter(int server, int slot) {
    form_.findChild<QComboBox*>("ComboBoxServer")->setCurrentIndex(server);
    form_.findChild<QComboBox*>("ComboBoxSlot")->setCurrentIndex(slot);
  }
  std::string Csv() { return LogExportCsv(*form_.ShownRows()).toStdString(); }

  TempFolder temp_;
  TFormLog form_;
  std::vector<std::string> messages_;
};

struct CsvCase {
  const char* name;
  int server;
  int slot;
  std::string csv;
};

// Named by its case in test listings.
void PrintTo(const CsvCase& c, std::ostream* out) {
  *out << c.name;
}

class LogExportCsvTest : public LogExportTest, public ::testing::WithParamInterface<CsvCase> {};

TEST_P(LogExportCsvTest, CsvHoldsTheShownRowsWithFieldsQuotedAsNeeded) {
  Filter(GetParam().server, GetParam().slot);
  EXPECT_EQ(Csv(), GetParam().csv);
}

INSTANTIATE_TEST_SUITE_P(
    Filters, LogExportCsvTest,
    ::testing::Values(CsvCase{"All", 0, 0, Header + Comma + Quote + Lines + Umlaut},
                      CsvCase{"Tcp", 1, 0, Header + Comma + Lines + Umlaut},
                      CsvCase{"TcpSlotTwo", 1, 2, Header + Lines},
                      CsvCase{"ObjectPush", 2, 0, Header + Quote},
                      CsvCase{"NothingShownGivesTheHeaderAlone", 3, 0, Header}),
    [](const ::testing::TestParamInfo<CsvCase>& param) { return param.param.name; });

TEST_F(LogExportTest, TextLinesUpTheColumnsAndKeepsEachRowOnOneLine) {
  EXPECT_EQ(LogExportText(*form_.ShownRows()).toStdString(),
            "DateTime             Server  Slot  Operation\n"
            "2017-03-05 14:07:09  TCP     1     Put : a,b.txt : Success\n"
            "2017-03-05 14:07:09  BT_OP   2     Put : \"quoted\" name.txt : Success\n"
            "2017-03-05 14:07:09  TCP     2     Put : two\\u000Alines\\u000D.txt : Success\n"
            "2017-03-05 14:07:09  TCP     1     Put : Gr\xC3\xBC\xC3\x9F"
            "e \xE2\x82\xAC.txt : Success\n");
  Filter(2, 0);
  EXPECT_EQ(LogExportText(*form_.ShownRows()).toStdString(),
            "DateTime             Server  Slot  Operation\n"
            "2017-03-05 14:07:09  BT_OP   2     Put : \"quoted\" name.txt : Success\n");
}

// Saves through the window's own button and file dialog, choosing the filter and
// typing the name as a user does.
struct SaveCase {
  const char* name;
  const char* filter;
  const char* typed;  // the name typed into the dialog
  const char* file;   // the file that must appear
  bool csv;
};

void PrintTo(const SaveCase& c, std::ostream* out) {
  *out << c.name;
}

class LogSaveTest : public LogExportTest, public ::testing::WithParamInterface<SaveCase> {};

TEST_P(LogSaveTest, SaveButtonWritesTheShownRowsToTheChosenFile) {
  const SaveCase& c = GetParam();
  Filter(1, 0);
  QStringList filters;
  QString startFolder;
  QTimer::singleShot(0, [&] {
    auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(dialog, nullptr);
    filters = dialog->nameFilters();
    startFolder = dialog->directory().absolutePath();
    dialog->setDirectory(QString::fromStdString(temp_.Base().string()));
    dialog->selectNameFilter(QString::fromLatin1(c.filter));
    emit dialog->filterSelected(QString::fromLatin1(c.filter));
    dialog->selectFile(QString::fromUtf8(c.typed));
    static_cast<QDialog*>(dialog)->accept();  // the dialog's own accept, as Save does
  });
  form_.findChild<QToolButton*>("ButtonSaveLog")->click();
  EXPECT_EQ(filters, (QStringList{"Text (*.txt)", "CSV (*.csv)"}));
  // Never the folder the program was started in.
  EXPECT_NE(startFolder, QDir::currentPath());
  const fs::path saved = temp_.Base() / fs::path(c.file);
  ASSERT_TRUE(fs::exists(saved)) << c.file;
  const std::string expected =
      c.csv ? Header + Comma + Lines + Umlaut : LogExportText(*form_.ShownRows()).toStdString();
  EXPECT_EQ(TempFolder::ReadFile(saved), expected);
  EXPECT_TRUE(messages_.empty());
  // Only the file itself: no temporary file left beside it.
  EXPECT_EQ(std::distance(fs::directory_iterator(temp_.Base()), fs::directory_iterator()), 3);
}

INSTANTIATE_TEST_SUITE_P(
    Dialog, LogSaveTest,
    ::testing::Values(
        SaveCase{"TextWithoutEnding", "Text (*.txt)", "log", "log.txt", false},
        SaveCase{"CsvWithoutEnding", "CSV (*.csv)", "log", "log.csv", true},
        SaveCase{"CsvEndingDecides", "Text (*.txt)", "Übersicht.csv", "Übersicht.csv", true},
        SaveCase{"OtherEndingTakesTheFilter", "CSV (*.csv)", "log.dat", "log.dat", true}),
    [](const ::testing::TestParamInfo<SaveCase>& param) { return param.param.name; });

TEST_F(LogExportTest, SavingOverAFileReplacesItWhole) {
  const fs::path file = temp_.Base() / "old.csv";
  TempFolder::WriteFile(file, std::string(10000, 'x'));
  ASSERT_TRUE(form_.SaveShownRows(QString::fromStdString(file.string()), LogExportFormat::Csv));
  EXPECT_EQ(TempFolder::ReadFile(file), Header + Comma + Quote + Lines + Umlaut);
}

TEST_F(LogExportTest, AFailedSaveSaysWhyAndWritesNothing) {
  const fs::path file = temp_.Base() / "missing" / "log.txt";
  EXPECT_FALSE(form_.SaveShownRows(QString::fromStdString(file.string()), LogExportFormat::Text));
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_EQ(messages_[0].rfind("Cannot save the log to " + file.string() + ": ", 0), 0u)
      << messages_[0];
  EXPECT_FALSE(fs::exists(file.parent_path()));
}

}  // namespace
}  // namespace quillfern
