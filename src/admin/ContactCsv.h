// The delimited text files the contact and user lists are exported to: one
// line per row, each value followed by the separator, CR LF after every
// line, nothing quoted, in the wire code page. Since nothing is quoted, a
// value must not carry what would break a line or a field.
#pragma once

#include <QByteArray>
#include <QString>

#include <string>
#include <vector>

namespace admin {

// The value (UTF-8) as it may stand in such a file: every control character
// (tabs, line breaks), every character the wire code page cannot write and
// every character equal to the separator becomes one blank; the rest stays,
// so the value keeps its length in characters.
std::string CleanCsvValue(const std::string& value, const std::string& separator);

// One line (UTF-8): each cleaned value followed by the separator, then CR LF.
std::string CsvLine(const std::vector<std::string>& values, const std::string& separator);

// The whole file in the wire code page: the header line, then a line per row.
QByteArray CsvFileBytes(const std::vector<std::string>& header,
                        const std::vector<std::vector<std::string>>& rows, const std::string& separator);

// Writes the file whole or not at all (an existing file is replaced only by a
// complete one). False with the reason when it cannot be written.
bool WriteCsvFile(const QString& path, const QByteArray& bytes, QString* reason);

} // namespace admin
