// Reading a delimited contact file for the import: the header's columns and
// the data lines, then the fields of one line. No quoting is understood: the
// export never quotes, it turns the separator inside a value into a blank.
#pragma once

#include <QChar>
#include <QString>
#include <QStringList>

#include <cstddef>
#include <string>
#include <vector>

namespace admin {

// The most header columns offered; further ones are ignored.
inline constexpr int MaxImportColumns = 16;
// The most characters of a header column (longer refuses the file) and of a
// data field (longer is cut).
inline constexpr int MaxImportFieldLength = 255;
// The largest file read: the whole file is held in memory.
inline constexpr std::size_t MaxImportFileBytes = 64u * 1024 * 1024;

struct ContactCsvFile {
    // False when the file is refused (a NUL byte, an overlong header column,
    // too large); nothing else is then filled.
    bool valid = false;
    // The header's columns, at most MaxImportColumns.
    std::vector<std::string> header;
    // The lines after the header, decoded from the wire code page.
    QStringList lines;
};

// Splits the file's bytes (wire code page) into lines at CR LF, CR or LF and
// reads the header's columns from the first line.
ContactCsvFile ReadContactCsv(const std::string& bytes, QChar separator);

// The first `count` fields of a data line: each the text up to the next
// separator, a last one without its separator kept; each cut to
// MaxImportFieldLength characters; missing ones empty.
std::vector<QString> SplitImportLine(const QString& line, QChar separator, int count);

// A value as the import stores it: control characters and characters the
// wire code page has none for become a blank; the value is trimmed.
std::string CleanImportValue(const QString& value);

// What a telephone field keeps: digits, '*', '#' and 'p'.
std::string PhoneDigits(const std::string& value);

} // namespace admin
