#pragma once

#include <QByteArray>
#include <QString>

class QAbstractItemModel;

// The log window's rows as a file: what the table shows (its visible rows in their
// order, its columns and headers), as plain text or as CSV. Pure functions of the
// model, and one safe write.
namespace quillfern {

enum class LogExportFormat { Text, Csv };

// Plain text, UTF-8: a header line, then one line per row, every column but the last
// padded with blanks to its widest cell and two blanks between columns, lines ended
// by "\n". A line break or tab inside a cell becomes a blank, so one row stays one line.
QByteArray LogExportText(const QAbstractItemModel& rows);

// CSV as RFC 4180 gives it, UTF-8 without a byte order mark: a header record, then one
// record per row, records ended by CRLF. A field holding a comma, a double quote, CR or
// LF is put in double quotes, with each of its double quotes doubled.
QByteArray LogExportCsv(const QAbstractItemModel& rows);

QByteArray LogExport(const QAbstractItemModel& rows, LogExportFormat format);

// The format a file name asks for: CSV for a ".csv" name (any case), text otherwise.
LogExportFormat LogExportFormatOf(const QString& fileName);

// Writes the bytes as the whole new content of the file, or leaves any file of that
// name as it was: they go to a temporary file beside it that replaces it once
// complete. On failure returns false with the system's reason in error.
bool WriteLogExport(const QString& fileName, const QByteArray& bytes, QString& error);

}  // namespace quillfern
