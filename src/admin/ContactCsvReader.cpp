#include "admin/ContactCsvReader.h"

#include "db/SqlText.h"
#include "platform/WireCodePage.h"

namespace admin {

namespace {

// The header's columns, or false when one is too long. Only the first line
// counts: a header without separator is one column, the whole line.
bool readHeader(const QString& line, QChar separator, std::vector<std::string>& columns) {
    if (line.isEmpty())
        return true;
    qsizetype start = 0;
    while (start <= line.size() && int(columns.size()) < MaxImportColumns) {
        qsizetype end = line.indexOf(separator, start);
        if (end < 0) {
            // Text after the last separator is a column; nothing there adds none.
            if (start == line.size() && start != 0)
                break;
            end = line.size();
        }
        if (end - start > MaxImportFieldLength)
            return false;
        columns.push_back(line.mid(start, end - start).toStdString());
        start = end + 1;
    }
    return true;
}

} // namespace

ContactCsvFile ReadContactCsv(const std::string& bytes, QChar separator) {
    ContactCsvFile file;
    // A NUL has no place in a text file and would end the value in SQL.
    if (bytes.size() > MaxImportFileBytes || bytes.find('\0') != std::string::npos)
        return file;
    const QString text = QString::fromStdString(platform::fromWire(bytes));
    QStringList lines;
    qsizetype start = 0;
    while (start < text.size()) {
        qsizetype end = start;
        while (end < text.size() && text[end] != QLatin1Char('\r') && text[end] != QLatin1Char('\n'))
            ++end;
        lines.append(text.mid(start, end - start));
        if (end + 1 < text.size() && text[end] == QLatin1Char('\r') && text[end + 1] == QLatin1Char('\n'))
            ++end;
        start = end + 1;
    }
    if (!lines.isEmpty() && !readHeader(lines.front(), separator, file.header))
        return {};
    if (!lines.isEmpty())
        lines.removeFirst();
    file.lines = std::move(lines);
    file.valid = true;
    return file;
}

std::vector<QString> SplitImportLine(const QString& line, QChar separator, int count) {
    std::vector<QString> fields(std::size_t(std::max(count, 0)));
    qsizetype start = 0;
    for (int k = 0; k < count && start < line.size(); ++k) {
        qsizetype end = line.indexOf(separator, start);
        if (end < 0)
            end = line.size();
        fields[std::size_t(k)] = line.mid(start, std::min<qsizetype>(end - start, MaxImportFieldLength));
        start = end + 1;
    }
    return fields;
}

std::string CleanImportValue(const QString& value) {
    QString clean = value;
    for (QChar& c : clean) {
        const char16_t code = c.unicode();
        if (code < 0x20 || (code >= 0x7F && code <= 0x9F) || code == QChar::ReplacementCharacter ||
            c.isSurrogate())
            c = QLatin1Char(' ');
    }
    return TrimSqlValue(clean.toStdString());
}

std::string PhoneDigits(const std::string& value) {
    std::string kept;
    for (char c : value)
        if ((c >= '0' && c <= '9') || c == '*' || c == '#' || c == 'p')
            kept += c;
    return kept;
}

} // namespace admin
