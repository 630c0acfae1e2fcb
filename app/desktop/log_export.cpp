#include "app/desktop/log_export.h"

#include <QAbstractItemModel>
#include <QSaveFile>
#include <QStringList>
#include <QVector>

namespace quillfern {
namespace {

constexpr int ColumnGap = 2;

// The header texts, then each row's cell texts, as the view would draw them.
QVector<QStringList> Table(const QAbstractItemModel& rows) {
  QVector<QStringList> table;
  const int columns = rows.columnCount();
  QStringList header;
  for (int column = 0; column < columns; ++column) {
    header << rows.headerData(column, Qt::Horizontal, Qt::DisplayRole).toString();
  }
  table << header;
  for (int row = 0; row < rows.rowCount(); ++row) {
    QStringList cells;
    for (int column = 0; column < columns; ++column) {
      cells << rows.data(rows.index(row, column), Qt::DisplayRole).toString();
    }
    table << cells;
  }
  return table;
}

QString OneLine(QString cell) {
  cell.replace(QLatin1String("\r\n"), QLatin1String(" "));
  for (QChar& c : cell) {
    if (c == u'\r' || c == u'\n' || c == u'\t') c = u' ';
  }
  return cell;
}

QString CsvField(const QString& cell) {
  if (!cell.contains(u',') && !cell.contains(u'"') && !cell.contains(u'\r') &&
      !cell.contains(u'\n')) {
    return cell;
  }
  QString quoted = cell;
  quoted.replace(QLatin1String("\""), QLatin1String("\"\""));
  return u'"' + quoted + u'"';
}

}  // namespace

QByteArray LogExportText(const QAbstractItemModel& rows) {
  QVector<QStringList> table = Table(rows);
  const int columns = rows.columnCount();
  QVector<qsizetype> widths(columns, 0);
  for (QStringList& cells : table) {
    for (int column = 0; column < columns; ++column) {
      cells[column] = OneLine(cells[column]);
      widths[column] = std::max(widths[column], cells[column].size());
    }
  }
  QString text;
  for (const QStringList& cells : table) {
    QString line;
    for (int column = 0; column < columns; ++column) {
      if (column + 1 < columns) {
        line += cells[column].leftJustified(widths[column] + ColumnGap, u' ');
      } else {
        line += cells[column];
      }
    }
    // A short last cell would leave the padding of the one before it.
    while (line.endsWith(u' ')) line.chop(1);
    text += line + u'\n';
  }
  return text.toUtf8();
}

QByteArray LogExportCsv(const QAbstractItemModel& rows) {
  QString text;
  for (const QStringList& cells : Table(rows)) {
    QStringList fields;
    for (const QString& cell : cells) fields << CsvField(cell);
    text += fields.join(u',') + QLatin1String("\r\n");
  }
  return text.toUtf8();
}

QByteArray LogExport(const QAbstractItemModel& rows, LogExportFormat format) {
  return format == LogExportFormat::Csv ? LogExportCsv(rows) : LogExportText(rows);
}

LogExportFormat LogExportFormatOf(const QString& fileName) {
  return fileName.endsWith(QLatin1String(".csv"), Qt::CaseInsensitive) ? LogExportFormat::Csv
                                                                       : LogExportFormat::Text;
}

bool WriteLogExport(const QString& fileName, const QByteArray& bytes, QString& error) {
  QSaveFile file(fileName);
  if (!file.open(QIODevice::WriteOnly)) {
    error = file.errorString();
    return false;
  }
  // A failed write is remembered by the file, and commit then drops the temporary file.
  file.write(bytes);
  if (!file.commit()) {
    error = file.errorString();
    return false;
  }
  return true;
}

}  // namespace quillfern
