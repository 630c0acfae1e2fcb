#include "app/desktop/form_log.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QCoreApplication>
#include <QHeaderView>
#include <QLabel>
#include <QScrollBar>
#include <QTableView>
#include <QTextDocument>
#include <QToolButton>
#include <ctime>
#include <ostream>
#include <string>
#include <vector>

namespace quillfern {
namespace {

std::chrono::system_clock::time_point LocalTime(int year, int month, int day, int hour, int minute,
                                                int second) {
  std::tm local{};
  local.tm_year = year - 1900;
  local.tm_mon = month - 1;
  local.tm_mday = day;
  local.tm_hour = hour;
  local.tm_min = minute;
  local.tm_sec = second;
  local.tm_isdst = -1;
  return std::chrono::system_clock::from_time_t(std::mktime(&local));
}

// A log window with its filters and question reachable, and the visible lines read
// back through the table's own model, as the view would draw them.
class LogWindowTest : public ::testing::Test {
 protected:
  LogWindowTest() {
    form_.SetConfirm([this](QWidget*, const QString& question) {
      questions_.push_back(question.toStdString());
      return answer_;
    });
  }

  QComboBox* Server() { return form_.findChild<QComboBox*>("ComboBoxServer"); }
  QComboBox* Slot() { return form_.findChild<QComboBox*>("ComboBoxSlot"); }
  QToolButton* Clear() { return form_.findChild<QToolButton*>("SpeedButtonClearLog"); }

  std::string Cell(int row, int column) {
    const QAbstractItemModel* rows = form_.ShownRows();
    return rows->data(rows->index(row, column)).toString().toStdString();
  }
  // The "Operation" texts of the visible rows, in order.
  std::vector<std::string> Shown() {
    std::vector<std::string> texts;
    for (int row = 0; row < form_.ShownRows()->rowCount(); ++row) texts.push_back(Cell(row, 3));
    return texts;
  }

  TFormLog form_;
  bool answer_ = true;
  std::vector<std::string> questions_;
};

TEST_F(LogWindowTest, ShowsTheColumnsAndFilterChoicesOfAnEmptyLog) {
  EXPECT_EQ(form_.windowTitle(), "Log");
  EXPECT_EQ(form_.size(), QSize(640, 456));
  EXPECT_EQ(form_.minimumSize(), QSize(400, 300));
  const QAbstractItemModel* rows = form_.ShownRows();
  std::vector<std::string> headers;
  for (int column = 0; column < rows->columnCount(); ++column) {
    headers.push_back(rows->headerData(column, Qt::Horizontal).toString().toStdString());
  }
  EXPECT_EQ(headers, (std::vector<std::string>{"DateTime", "Server", "Slot", "Operation"}));
  const QHeaderView* header = form_.findChild<QTableView*>("EasyListview1")->horizontalHeader();
  // Each column as wide as its title and its widest cell need (see the log window's
  // font test); the operation takes the rest.
  const QFontMetrics cells = form_.findChild<QTableView*>("EasyListview1")->fontMetrics();
  EXPECT_GT(header->sectionSize(0), cells.horizontalAdvance("2017-03-05 14:07:09"));
  EXPECT_GT(header->sectionSize(1), header->fontMetrics().horizontalAdvance("Server"));
  EXPECT_GT(header->sectionSize(2), header->fontMetrics().horizontalAdvance("Slot"));
  EXPECT_LT(header->sectionSize(2), header->sectionSize(1));
  EXPECT_EQ(rows->rowCount(), 0);
  EXPECT_EQ(Server()->currentText(), "All");
  EXPECT_EQ(Server()->count(), 4);
  EXPECT_EQ(Server()->itemText(3), "BT_FB");
  EXPECT_EQ(Slot()->currentText(), "All");
  EXPECT_EQ(Slot()->count(), 5);
  EXPECT_TRUE(Slot()->isEnabled());
  EXPECT_EQ(Clear()->toolTip(), "Clear Log");
}

TEST_F(LogWindowTest, CellTextsComeFromTheRecord) {
  form_.SetClock([] { return LocalTime(2017, 3, 5, 14, 7, 9); });
  form_.AddLog(2, 3, "Put : a.txt : Success");
  form_.AddLog(7, 1, "Kind unknown");
  EXPECT_EQ(Cell(0, 0), "2017-03-05 14:07:09");
  EXPECT_EQ(Cell(0, 1), "BT_OP");
  EXPECT_EQ(Cell(0, 2), "3");
  EXPECT_EQ(Cell(0, 3), "Put : a.txt : Success");
  EXPECT_EQ(Cell(1, 1), "");
  // A line too long for its column shows whole as the cell's tooltip.
  const QAbstractItemModel* rows = form_.ShownRows();
  EXPECT_EQ(rows->data(rows->index(0, 3), Qt::ToolTipRole).toString(), "Put : a.txt : Success");
  EXPECT_FALSE(rows->data(rows->index(0, 0), Qt::ToolTipRole).isValid());
}

// A peer's name or an object's in a line shows in the tooltip as in the
// cell, never as markup.
TEST_F(LogWindowTest, OperationTooltipShowsMarkupAsText) {
  const QString line = "Connected : <b>Eve</b> & <img src=\"x.png\">";
  form_.AddLog(2, 1, line.toStdString());
  EXPECT_EQ(Cell(0, 3), line.toStdString());
  const QString tip =
      form_.ShownRows()->data(form_.ShownRows()->index(0, 3), Qt::ToolTipRole).toString();
  QTextDocument shown;
  if (Qt::mightBeRichText(tip)) {
    shown.setHtml(tip);
  } else {
    shown.setPlainText(tip);
  }
  EXPECT_EQ(shown.toPlainText(), line);
}

TEST_F(LogWindowTest, OperationTextIsUtf8) {
  form_.AddLog(1, 1,
               "Put : Gr\xC3\xBC\xC3\x9F"
               "e \xE2\x82\xAC.txt : Success");
  EXPECT_EQ(form_.ShownRows()->data(form_.ShownRows()->index(0, 3)).toString(),
            QString::fromUtf8(u8"Put : Grüße €.txt : Success"));
}

struct FilterCase {
  const char* name;
  int server;  // position in the server filter
  int slot;    // position in the slot filter
  std::vector<std::string> shown;
};

// Named by its case in test listings.
void PrintTo(const FilterCase& c, std::ostream* out) {
  *out << c.name;
}

class LogFilterTest : public LogWindowTest, public ::testing::WithParamInterface<FilterCase> {};

TEST_P(LogFilterTest, ShowsTheLinesOfTheChosenServerAndSlot) {
  form_.AddLog(1, 1, "tcp 1");
  form_.AddLog(2, 1, "op 1");
  form_.AddLog(2, 2, "op 2");
  form_.AddLog(3, 2, "fb 2");
  form_.AddLog(2, 2, "op 2 again");
  form_.AddLog(1, 2, "tcp 2");
  Server()->setCurrentIndex(GetParam().server);
  Slot()->setCurrentIndex(GetParam().slot);
  EXPECT_EQ(Shown(), GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(
    Filters, LogFilterTest,
    ::testing::Values(
        FilterCase{
            "AllShowsEverything", 0, 0, {"tcp 1", "op 1", "op 2", "fb 2", "op 2 again", "tcp 2"}},
        FilterCase{"TcpAnySlot", 1, 0, {"tcp 1", "tcp 2"}},
        FilterCase{"ObjectPushAnySlot", 2, 0, {"op 1", "op 2", "op 2 again"}},
        FilterCase{"ObjectPushSlotTwo", 2, 2, {"op 2", "op 2 again"}},
        FilterCase{"FolderBrowsingSlotOne", 3, 1, {}},
        FilterCase{"FolderBrowsingSlotTwo", 3, 2, {"fb 2"}}, FilterCase{"TcpSlotFour", 1, 4, {}}),
    [](const ::testing::TestParamInfo<FilterCase>& param) { return param.param.name; });

TEST_F(LogWindowTest, NewLinesWhileFilteredFollowOnlyTheServerFilterUntilTheNextChange) {
  form_.AddLog(2, 1, "op 1");
  form_.AddLog(2, 2, "op 2");
  Server()->setCurrentIndex(2);
  Slot()->setCurrentIndex(2);
  ASSERT_EQ(Shown(), (std::vector<std::string>{"op 2"}));

  form_.AddLog(1, 2, "new tcp 2");
  form_.AddLog(2, 1, "new op 1");
  form_.AddLog(2, 2, "new op 2");
  EXPECT_EQ(Shown(), (std::vector<std::string>{"op 2", "new op 1", "new op 2"}));

  // The next filter change applies the slot filter to every row.
  Slot()->setCurrentIndex(1);
  EXPECT_EQ(Shown(), (std::vector<std::string>{"op 1", "new op 1"}));
  Slot()->setCurrentIndex(2);
  EXPECT_EQ(Shown(), (std::vector<std::string>{"op 2", "new op 2"}));
}

TEST_F(LogWindowTest, ChoosingAServerResetsTheSlotFilterAndAllDisablesIt) {
  form_.AddLog(2, 1, "op 1");
  form_.AddLog(3, 1, "fb 1");
  form_.AddLog(3, 2, "fb 2");
  Server()->setCurrentIndex(2);
  Slot()->setCurrentIndex(2);
  EXPECT_TRUE(Shown().empty());

  Server()->setCurrentIndex(3);
  EXPECT_EQ(Slot()->currentText(), "All");
  EXPECT_TRUE(Slot()->isEnabled());
  EXPECT_EQ(Shown(), (std::vector<std::string>{"fb 1", "fb 2"}));

  Slot()->setCurrentIndex(1);
  Server()->setCurrentIndex(0);
  EXPECT_EQ(Slot()->currentText(), "All");
  EXPECT_FALSE(Slot()->isEnabled());
  EXPECT_EQ(Shown(), (std::vector<std::string>{"op 1", "fb 1", "fb 2"}));
}

TEST_F(LogWindowTest, ClearAsksAndOnOkRemovesEveryLineWhileKeysCountOn) {
  for (int i = 0; i < 3; ++i) form_.AddLog(1, 1, "line " + std::to_string(i));
  answer_ = true;
  Clear()->click();
  EXPECT_EQ(questions_, (std::vector<std::string>{"Clear log?"}));
  EXPECT_EQ(form_.ShownRows()->rowCount(), 0);
  EXPECT_EQ(form_.Records().Size(), 0u);
  EXPECT_EQ(form_.Records().NextKey(), 4u);

  // One line after the clear is one row, filtered like any other.
  form_.AddLog(3, 2, "after");
  EXPECT_EQ(Shown(), (std::vector<std::string>{"after"}));
  EXPECT_EQ(form_.Records().At(0).key, 4u);
  Server()->setCurrentIndex(1);
  EXPECT_TRUE(Shown().empty());
  Server()->setCurrentIndex(3);
  EXPECT_EQ(Shown(), (std::vector<std::string>{"after"}));
}

TEST_F(LogWindowTest, CancelInTheClearQuestionKeepsEveryLine) {
  for (int i = 0; i < 3; ++i) form_.AddLog(1, 1, "line " + std::to_string(i));
  answer_ = false;
  Clear()->click();
  EXPECT_EQ(questions_.size(), 1u);
  EXPECT_EQ(Shown(), (std::vector<std::string>{"line 0", "line 1", "line 2"}));
}

TEST_F(LogWindowTest, LinesLoggedWhileHiddenAreThereWhenShownAndClosingOnlyHides) {
  for (int i = 0; i < 5; ++i) form_.AddLog(1, 1, "hidden " + std::to_string(i));
  EXPECT_FALSE(form_.isVisible());
  form_.show();
  EXPECT_TRUE(form_.isVisible());
  EXPECT_EQ(form_.ShownRows()->rowCount(), 5);
  Server()->setCurrentIndex(1);

  EXPECT_FALSE(form_.close());
  EXPECT_FALSE(form_.isVisible());
  form_.AddLog(1, 1, "while closed");
  form_.show();
  EXPECT_EQ(form_.ShownRows()->rowCount(), 6);
  EXPECT_EQ(Server()->currentText(), "TCP");
}

TEST_F(LogWindowTest, FiftyThousandLinesAreRowsWhoseTextsAreMadeOnDemand) {
  form_.show();
  constexpr int Lines = 50000;
  for (int i = 0; i < Lines; ++i) {
    form_.AddLog(static_cast<uint8_t>(1 + i % 3), static_cast<uint16_t>(1 + i % 4),
                 "request " + std::to_string(i));
  }
  EXPECT_EQ(form_.ShownRows()->rowCount(), Lines);
  EXPECT_EQ(Cell(Lines - 1, 3), "request 49999");
  EXPECT_EQ(Cell(Lines - 1, 1), "BT_OP");  // 49999 % 3 == 1
  Server()->setCurrentIndex(2);
  Slot()->setCurrentIndex(2);
  // Kind 2 at i % 3 == 1, slot 2 at i % 4 == 1: every twelfth line from i = 1.
  EXPECT_EQ(form_.ShownRows()->rowCount(), Lines / 12 + 1);
  EXPECT_EQ(Cell(0, 3), "request 1");
  EXPECT_EQ(Cell(1, 3), "request 13");
}

TEST_F(LogWindowTest, TheNewestLineStaysInViewUnlessTheReaderScrolledBack) {
  form_.show();
  QScrollBar* scroll = form_.findChild<QTableView*>("EasyListview1")->verticalScrollBar();
  for (int i = 0; i < 200; ++i) form_.AddLog(1, 1, "line " + std::to_string(i));
  QCoreApplication::processEvents();
  EXPECT_GT(scroll->maximum(), 0);
  EXPECT_EQ(scroll->value(), scroll->maximum());

  scroll->setValue(0);
  for (int i = 0; i < 10; ++i) form_.AddLog(1, 1, "more " + std::to_string(i));
  QCoreApplication::processEvents();
  EXPECT_EQ(scroll->value(), 0);
}

TEST_F(LogWindowTest, PastTheRecordLimitTheOldestRowsGoWithANote) {
  const QLabel* note = form_.findChild<QLabel*>("LabelDropped");
  ASSERT_NE(note, nullptr);
  for (size_t i = 0; i < LogRecordLimit; ++i) form_.AddLog(1, 1, std::to_string(i));
  form_.show();
  EXPECT_FALSE(note->isVisible());
  form_.AddLog(1, 1, "newest");
  EXPECT_EQ(form_.ShownRows()->rowCount(), static_cast<int>(LogRecordLimit - LogDropBatch + 1));
  EXPECT_EQ(Cell(0, 3), std::to_string(LogDropBatch));
  EXPECT_EQ(Cell(form_.ShownRows()->rowCount() - 1, 3), "newest");
  EXPECT_TRUE(note->isVisible());
  EXPECT_EQ(note->text().toStdString(), std::to_string(LogDropBatch) + " oldest lines removed");
  answer_ = true;
  Clear()->click();
  EXPECT_FALSE(note->isVisible());
}

TEST_F(LogWindowTest, GrabShowsTheWindow) {
  form_.SetClock([] { return LocalTime(2017, 3, 5, 14, 7, 9); });
  form_.AddLog(1, 1, "Connected : 127.0.0.1:50012");
  form_.AddLog(1, 1, "Put : report.pdf : Success");
  form_.AddLog(2, 2, "Connected : (00:1A:7D:DA:71:13)");
  form_.AddLog(2, 2, "Put : IMG_0001.jpg : Success");
  form_.AddLog(1, 1, "Disconnected : 127.0.0.1:50012");
  form_.show();
  const QPixmap shot = form_.grab();
  EXPECT_FALSE(shot.isNull());
  if (const char* folder = std::getenv("QUILLFERN_SCREENSHOTS")) {
    shot.save(QString::fromLocal8Bit(folder) + "/log.png");
  }
}

}  // namespace
}  // namespace quillfern
