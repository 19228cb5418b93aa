#include "db/RowLookup.h"

#include "base/DiagnosticLog.h"

#include <QUuid>
#include <cctype>

namespace db {

bool IsRowStatement(const std::string& statement) {
    std::string word;
    for (char c : statement) {
        if (std::isalpha(static_cast<unsigned char>(c)))
            word += char(std::toupper(static_cast<unsigned char>(c)));
        else if (!word.empty() || !std::isspace(static_cast<unsigned char>(c)))
            break;
    }
    return word == "INSERT" || word == "UPDATE" || word == "DELETE" || word == "MERGE";
}

namespace {

std::string trimmedUpper(std::string text, bool upper) {
    const auto first = text.find_first_not_of(" \t\r\n");
    const auto last = text.find_last_not_of(" \t\r\n");
    text = first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
    if (upper)
        for (char& c : text)
            c = char(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

} // namespace

const char* const RowMarkColumn = "sRowMark";
const char* const RowMarkDefinition = "sRowMark VARCHAR(32)";

std::string NewRowMark() {
    return QUuid::createUuid().toRfc4122().toHex().toStdString();
}

std::string RowMarkIndexName(const std::string& table) {
    return "IDX_" + trimmedUpper(table, true) + "_ROWMARK";
}

std::string RowMarkIndexStatement(const std::string& table) {
    return "CREATE INDEX " + RowMarkIndexName(table) + " ON " + table + " (" + RowMarkColumn + ")";
}

// A lost row is said even while shutting down.
void LogRowNotWritten(const std::string& statement) {
    base::DiagnosticLog::instance().WriteWhileClosing(2, "Nie zapisano w bazie danych: %s",
                                                      statement.c_str());
}

bool IsInsertStatement(const std::string& statement) {
    const std::string upper = trimmedUpper(statement, true);
    return upper.rfind("INSERT ", 0) == 0;
}

std::string TableOfStatement(const std::string& statement) {
    const std::string upper = trimmedUpper(statement, true);
    for (const char* head : {"INSERT INTO ", "UPDATE ", "DELETE FROM "}) {
        if (upper.rfind(head, 0) != 0)
            continue;
        const std::size_t at = upper.find_first_not_of(' ', std::string(head).size());
        if (at == std::string::npos)
            return {};
        return upper.substr(at, upper.find_first_of(" (", at) - at);
    }
    return {};
}

} // namespace db
