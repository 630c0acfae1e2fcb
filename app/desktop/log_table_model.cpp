#include "app/desktop/log_table_model.h"

#include <QString>
#include <QTextDocument>

#include "app/desktop/shown_text.h"

namespace quillfern {

LogTableModel::LogTableModel(const TLogRecords& records, QObject* parent)
    : QAbstractTableModel(parent), records_(records) {}

int LogTableModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int LogTableModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : ColumnCount;
}

const TLogRecord* LogTableModel::RecordOf(int row) const {
  if (row < 0 || static_cast<size_t>(row) >= rows_.size()) return nullptr;
  const size_t index = static_cast<size_t>(row);
  // Rows and records are appended, removed and cleared together, so row i holds the
  // key of record i; the key is checked all the same before the record is drawn.
  if (index >= records_.Size() || records_.At(index).key != rows_[index].key) return nullptr;
  return &records_.At(index).record;
}

QVariant LogTableModel::data(const QModelIndex& index, int role) const {
  const bool operationTip = role == Qt::ToolTipRole && index.column() == ColumnOperation;
  if ((role != Qt::DisplayRole && !operationTip) || !index.isValid()) return {};
  const TLogRecord* record = RecordOf(index.row());
  if (record == nullptr) return {};
  switch (index.column()) {
    case ColumnDateTime:
      return QString::fromStdString(LogTimeText(record->Time));
    case ColumnServer:
      return QString::fromStdString(ServerKindText(record->ServerKind));
    case ColumnSlot:
      return QString::number(record->Slot);
    case ColumnOperation: {
      // A line names peers and objects, which name themselves. Whoever wrote
      // the record, the cell and the export show it as one line that drives
      // nothing; a line already shown so stays as it is. A tooltip that would
      // pass for rich text is escaped, so it shows as the cell does.
      const QString text = ShownQString(record->Text);
      if (operationTip && Qt::mightBeRichText(text)) return Qt::convertFromPlainText(text);
      return text;
    }
    default:
      return {};
  }
}

QVariant LogTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  switch (section) {
    case ColumnDateTime:
      return QStringLiteral("DateTime");
    case ColumnServer:
      return QStringLiteral("Server");
    case ColumnSlot:
      return QStringLiteral("Slot");
    case ColumnOperation:
      return QStringLiteral("Operation");
    default:
      return {};
  }
}

void LogTableModel::RecordsAdded(size_t removedFront, const LogFilter& filter) {
  if (removedFront > 0 && !rows_.empty()) {
    const size_t count = std::min(removedFront, rows_.size());
    beginRemoveRows(QModelIndex(), 0, static_cast<int>(count) - 1);
    rows_.erase(rows_.begin(), rows_.begin() + static_cast<std::ptrdiff_t>(count));
    endRemoveRows();
  }
  while (rows_.size() < records_.Size()) {
    const int row = static_cast<int>(rows_.size());
    const TLogRecords::Entry& entry = records_.At(rows_.size());
    beginInsertRows(QModelIndex(), row, row);
    rows_.push_back(Row{entry.key, VisibleWhenAdded(filter, entry.record)});
    endInsertRows();
  }
}

void LogTableModel::ApplyFilters(const LogFilter& filter) {
  for (size_t i = 0; i < rows_.size(); ++i) {
    const TLogRecord* record = RecordOf(static_cast<int>(i));
    rows_[i].visible = record != nullptr && VisibleUnderFilters(filter, *record);
  }
}

void LogTableModel::RecordsCleared() {
  beginResetModel();
  rows_.clear();
  endResetModel();
}

bool LogTableModel::RowVisible(int row) const {
  return row >= 0 && static_cast<size_t>(row) < rows_.size() &&
         rows_[static_cast<size_t>(row)].visible;
}

bool LogRowFilter::filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const {
  const auto* model = static_cast<const LogTableModel*>(sourceModel());
  return !sourceParent.isValid() && model != nullptr && model->RowVisible(sourceRow);
}

}  // namespace quillfern
