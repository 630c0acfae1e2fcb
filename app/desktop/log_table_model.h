#pragma once

#include <QAbstractTableModel>
#include <QSortFilterProxyModel>
#include <cstdint>
#include <deque>

#include "app/log_records.h"

// The log window's table: rows that hold only their record's key and a visible flag;
// every cell text is made from the record when the view asks for it.
namespace quillfern {

class LogTableModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  enum Column { ColumnDateTime, ColumnServer, ColumnSlot, ColumnOperation, ColumnCount };

  LogTableModel(const TLogRecords& records, QObject* parent);

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

  // After records were appended (and removedFront of the oldest removed for the
  // record limit): the rows of the removed records go, and each new record gets a row
  // whose visibility the server filter alone decides.
  void RecordsAdded(size_t removedFront, const LogFilter& filter);
  // Every row's visibility anew from both filters.
  void ApplyFilters(const LogFilter& filter);
  // After the records were cleared: no rows.
  void RecordsCleared();

  bool RowVisible(int row) const;

 private:
  struct Row {
    uint64_t key;
    bool visible;
  };
  const TLogRecord* RecordOf(int row) const;

  const TLogRecords& records_;  // the window's, which outlives this model
  std::deque<Row> rows_;        // UI thread only; row i shows record i
};

// Shows the rows whose visible flag is set; Refilter after the flags changed.
class LogRowFilter : public QSortFilterProxyModel {
  Q_OBJECT

 public:
  using QSortFilterProxyModel::QSortFilterProxyModel;
  void Refilter() { invalidateFilter(); }

 protected:
  bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override;
};

}  // namespace quillfern
