#pragma once

#include <QString>
#include <QWidget>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "app/desktop/log_export.h"
#include "app/desktop/prompts.h"
#include "app/log_records.h"

class QAbstractItemModel;
class QComboBox;
class QLabel;
class QToolButton;
class QTableView;

// The log window: every connect, disconnect and request line the servers reported, in a
// table that can be filtered by server and slot. Created once after the main window and
// kept for the program's life; closing it only hides it, and lines keep arriving while
// it is hidden. Show it with show() and raise(). UI thread only.
namespace quillfern {

class LogTableModel;
class LogRowFilter;

class TFormLog : public QWidget {
  Q_OBJECT

 public:
  using Clock = std::function<std::chrono::system_clock::time_point()>;

  // A top-level window whatever the parent; the parent (or nullptr) owns it.
  explicit TFormLog(QWidget* parent = nullptr);
  ~TFormLog() override;

  // Appends one line with the current local time: kind 1 TCP, 2 BT_OP, 3 BT_FB; slot
  // 1 to 4; text in UTF-8 (what the server events carry). Works shown or hidden.
  void AddLog(uint8_t kind, uint16_t slot, const std::string& text);

  // For tests: where the time of a new line comes from, and who answers "Clear log?".
  void SetClock(Clock clock) { clock_ = std::move(clock); }
  void SetConfirm(ConfirmFunction confirm) { confirm_ = std::move(confirm); }
  // For tests: who shows a failed save's reason.
  void SetMessage(MessageFunction message) { message_ = std::move(message); }

  // Writes the shown rows (filters applied, in the shown order and columns) to the
  // file in the format given; a failure is shown with the window's message function.
  // True when the file was written.
  bool SaveShownRows(const QString& fileName, LogExportFormat format);

  const TLogRecords& Records() const { return records_; }
  // What the table shows: the visible rows, in order.
  const QAbstractItemModel* ShownRows() const;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void ComboBoxServerChange();
  void ComboBoxSlotChange();
  void SpeedButtonClearLogClick();
  void ButtonSaveLogClick();
  LogFilter CurrentFilter() const;
  void ApplyFilters();
  void ShowDropped();
  void FollowNewest();
  void SizeColumns();

  // All fields: UI thread only.
  TLogRecords records_;
  Clock clock_;
  ConfirmFunction confirm_;
  MessageFunction message_;
  bool placed_ = false;         // centred on the screen at the first show
  bool scrollPending_ = false;  // a scroll to the newest line is queued
  // The reader is at the newest line, so the view follows it: also while hidden,
  // through a filter change and at the next show. False once the reader scrolls back.
  bool following_ = true;
  QString saveFolder_;  // where the last save went; empty before the first
  LogTableModel* model_ = nullptr;
  LogRowFilter* rows_ = nullptr;
  QComboBox* ComboBoxServer = nullptr;
  QComboBox* ComboBoxSlot = nullptr;
  QToolButton* ButtonSaveLog = nullptr;
  QToolButton* SpeedButtonClearLog = nullptr;
  QLabel* droppedLabel_ = nullptr;
  QTableView* EasyListview1 = nullptr;
};

}  // namespace quillfern
