#include "admin/ContactCsv.h"

#include "platform/WireCodePage.h"

#include <QSaveFile>

#include <algorithm>

namespace admin {
namespace {

// Whether one character (its UTF-8 bytes) may stand in a value as it is.
bool keepsCharacter(const std::string& character, const std::string& separator) {
    if (character == separator)
        return false;
    const unsigned char first = static_cast<unsigned char>(character.front());
    if (first < 0x80)
        return first >= 0x20 && first != 0x7F;
    const QString text = QString::fromUtf8(character.data(), qsizetype(character.size()));
    for (const QChar c : text) {
        const QChar::Category category = c.category();
        // U+FFFD stands for bytes that were no UTF-8.
        if (category == QChar::Other_Control || category == QChar::Separator_Line ||
            category == QChar::Separator_Paragraph || c.unicode() == 0xFFFD)
            return false;
    }
    std::string wire;
    return platform::toWireExact(character, &wire);
}

std::size_t characterLength(unsigned char first) {
    if (first >= 0xF0)
        return 4;
    if (first >= 0xE0)
        return 3;
    if (first >= 0xC0)
        return 2;
    return 1;
}

} // namespace

std::string CleanCsvValue(const std::string& value, const std::string& separator) {
    std::string clean;
    clean.reserve(value.size());
    for (std::size_t i = 0; i < value.size();) {
        const std::size_t length =
            std::min(characterLength(static_cast<unsigned char>(value[i])), value.size() - i);
        const std::string character = value.substr(i, length);
        clean += keepsCharacter(character, separator) ? character : std::string(" ");
        i += length;
    }
    return clean;
}

std::string CsvLine(const std::vector<std::string>& values, const std::string& separator) {
    std::string line;
    for (const std::string& value : values)
        line += CleanCsvValue(value, separator) + separator;
    return line + "\r\n";
}

QByteArray CsvFileBytes(const std::vector<std::string>& header,
                        const std::vector<std::vector<std::string>>& rows, const std::string& separator) {
    std::string text = CsvLine(header, separator);
    for (const std::vector<std::string>& row : rows)
        text += CsvLine(row, separator);
    const std::string wire = platform::toWire(text);
    return QByteArray(wire.data(), qsizetype(wire.size()));
}

bool WriteCsvFile(const QString& path, const QByteArray& bytes, QString* reason) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        *reason = file.errorString();
        file.cancelWriting();
        return false;
    }
    return true;
}

} // namespace admin
