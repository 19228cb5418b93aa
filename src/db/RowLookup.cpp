#include "db/RowLookup.h"

#include "base/DiagnosticLog.h"

#include <cctype>
#include <cstdlib>

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

// The parts of a parenthesised list from `at` (at its "("), split at the
// commas outside quotes and inner parentheses; `at` ends after the ")".
std::vector<std::string> listParts(const std::string& text, std::size_t& at) {
    std::vector<std::string> parts;
    std::string part;
    bool quoted = false;
    int depth = 0;
    for (; at < text.size(); ++at) {
        const char c = text[at];
        if (c == '\'')
            quoted = !quoted; // a doubled quote toggles twice
        if (!quoted && c == '(' && depth++ == 0)
            continue;
        if (!quoted && c == ')' && --depth == 0) {
            parts.push_back(part);
            ++at;
            return parts;
        }
        if (!quoted && c == ',' && depth == 1) {
            parts.push_back(part);
            part.clear();
            continue;
        }
        part += c;
    }
    return {};
}

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

std::string RowLookupQuery(const std::string& insert,
                           const std::function<std::vector<std::string>(const std::string& table)>& columns) {
    const std::string upper = trimmedUpper(insert, true);
    if (upper.rfind("INSERT INTO ", 0) != 0)
        return {};
    std::size_t at = std::string("INSERT INTO ").size();
    const std::size_t nameEnd = upper.find_first_of(" (", at);
    if (nameEnd == std::string::npos)
        return {};
    const std::string table = upper.substr(at, nameEnd - at);
    at = upper.find_first_not_of(' ', nameEnd);
    std::vector<std::string> names;
    if (at != std::string::npos && upper[at] == '(') {
        for (const std::string& name : listParts(upper, at))
            names.push_back(trimmedUpper(name, true));
        at = upper.find_first_not_of(' ', at);
    } else {
        names = columns(table);
    }
    if (at == std::string::npos || upper.compare(at, 6, "VALUES") != 0)
        return {};
    at = insert.find('(', at);
    const std::vector<std::string> values =
        at == std::string::npos ? std::vector<std::string>() : listParts(insert, at);
    if (values.empty() || values.size() != names.size())
        return {};
    std::string where;
    for (std::size_t i = 0; i < values.size(); ++i) {
        const std::string value = trimmedUpper(values[i], false);
        if (trimmedUpper(value, true) == "NULL")
            continue; // a key the table draws itself
        where += (where.empty() ? " WHERE " : " AND ") + names[i] + " = " + value;
    }
    return "SELECT COUNT(*) FROM " + table + where;
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

int RowPresent(SessionDB& session, const std::string& insert, long times) {
    const auto columns = [&session](const std::string& table) {
        std::vector<QueryRow> found;
        session.SetSqlText("SELECT RDB$FIELD_NAME FROM RDB$RELATION_FIELDS WHERE RDB$RELATION_NAME = '" +
                           table + "' ORDER BY RDB$FIELD_POSITION");
        session.RunInReadTransaction([&] { return session.RunQueryToList(&found); });
        std::vector<std::string> names;
        for (const QueryRow& row : found)
            names.push_back(row.empty() ? std::string() : row.begin()->second);
        return names;
    };
    const DbHandle* handle = session.Handle();
    const std::string query = RowLookupQuery(insert, columns);
    if (*handle == 0)
        return -1;
    if (query.empty())
        return 0;
    std::vector<QueryRow> counted;
    session.SetSqlText(query);
    if (session.RunInReadTransaction([&] { return session.RunQueryToList(&counted); }) != 0)
        return *handle == 0 ? -1 : 0;
    const long there =
        counted.empty() || counted.front().empty() ? 0 : std::atol(counted.front().begin()->second.c_str());
    return there >= times ? 1 : 0;
}

} // namespace db
