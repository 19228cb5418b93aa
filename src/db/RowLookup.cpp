#include "db/RowLookup.h"

#include "base/DiagnosticLog.h"

#include <QUuid>
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <map>
#include <set>

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

namespace {

// An insert of values as written: its table, the columns it names (else the
// table's, in order) in upper case, and its values, trimmed.
struct InsertedRow {
    std::string table;
    std::vector<std::string> names;
    std::vector<std::string> values;
};

bool parseInsert(const std::string& insert, const TableColumns& columns, InsertedRow& row) {
    const std::string upper = trimmedUpper(insert, true);
    if (upper.rfind("INSERT INTO ", 0) != 0)
        return false;
    std::size_t at = std::string("INSERT INTO ").size();
    const std::size_t nameEnd = upper.find_first_of(" (", at);
    if (nameEnd == std::string::npos)
        return false;
    row.table = upper.substr(at, nameEnd - at);
    at = upper.find_first_not_of(' ', nameEnd);
    if (at != std::string::npos && upper[at] == '(') {
        for (const std::string& name : listParts(upper, at))
            row.names.push_back(trimmedUpper(name, true));
        at = upper.find_first_not_of(' ', at);
    } else {
        for (const std::string& name : columns(row.table))
            row.names.push_back(trimmedUpper(name, true));
    }
    if (at == std::string::npos || upper.compare(at, 6, "VALUES") != 0)
        return false;
    at = insert.find('(', at);
    if (at != std::string::npos)
        for (const std::string& value : listParts(insert, at))
            row.values.push_back(trimmedUpper(value, false));
    return !row.values.empty() && row.values.size() == row.names.size();
}

bool isNull(const std::string& value) {
    return trimmedUpper(value, true) == "NULL";
}

// The value the insert gives `column` as written, "" for none or NULL.
std::string valueOf(const InsertedRow& row, const std::string& column) {
    for (std::size_t i = 0; i < row.names.size(); ++i)
        if (row.names[i] == column)
            return isNull(row.values[i]) ? std::string() : row.values[i];
    return {};
}

// A literal's value as the server gives it back: without its quotes.
std::string literalValue(const std::string& literal) {
    if (literal.size() < 2 || literal.front() != '\'' || literal.back() != '\'')
        return literal;
    std::string value;
    for (std::size_t i = 1; i + 1 < literal.size(); ++i) {
        value += literal[i];
        if (literal[i] == '\'' && literal[i + 1] == '\'')
            ++i;
    }
    return trimmedUpper(value, false);
}

} // namespace

std::string RowLookupQuery(const std::string& insert, const TableColumns& columns) {
    InsertedRow row;
    if (!parseInsert(insert, columns, row))
        return {};
    std::string where;
    for (std::size_t i = 0; i < row.values.size(); ++i) {
        if (isNull(row.values[i]))
            continue; // a key the table draws itself
        where += (where.empty() ? " WHERE " : " AND ") + row.names[i] + " = " + row.values[i];
    }
    return "SELECT COUNT(*) FROM " + row.table + where;
}

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

namespace {

// So many marks or keys go in one query's IN list (the server takes 1500).
constexpr std::size_t IdentitiesPerQuery = 250;

// The queries of one settling, on its session: each table's columns and
// primary key asked once.
class Lookup {
  public:
    explicit Lookup(SessionDB& session) : session_(session) {}

    bool lost() const { return *session_.Handle() == 0; }

    // The first column of the query's rows, trimmed; false when it failed.
    bool read(const std::string& query, std::vector<std::string>& values) {
        std::vector<QueryRow> rows;
        session_.SetSqlText(query);
        if (session_.RunInReadTransaction([&] { return session_.RunQueryToList(&rows); }) != 0)
            return false;
        for (const QueryRow& row : rows)
            values.push_back(row.empty() ? std::string() : trimmedUpper(row.begin()->second, false));
        return true;
    }

    const std::vector<std::string>& columns(const std::string& table) {
        const auto known = columns_.find(table);
        if (known != columns_.end())
            return known->second;
        std::vector<std::string>& names = columns_[table];
        read("SELECT RDB$FIELD_NAME FROM RDB$RELATION_FIELDS WHERE RDB$RELATION_NAME = '" + table +
                 "' ORDER BY RDB$FIELD_POSITION",
             names);
        return names;
    }

    // The column of a primary key of one column, else "".
    const std::string& keyColumn(const std::string& table) {
        const auto known = keys_.find(table);
        if (known != keys_.end())
            return known->second;
        std::vector<std::string> names;
        read("SELECT s.RDB$FIELD_NAME FROM RDB$RELATION_CONSTRAINTS c JOIN RDB$INDEX_SEGMENTS s ON "
             "s.RDB$INDEX_NAME = c.RDB$INDEX_NAME WHERE c.RDB$RELATION_NAME = '" +
                 table + "' AND c.RDB$CONSTRAINT_TYPE = 'PRIMARY KEY'",
             names);
        return keys_[table] = names.size() == 1 ? names.front() : std::string();
    }

  private:
    SessionDB& session_;
    std::map<std::string, std::vector<std::string>> columns_;
    std::map<std::string, std::string> keys_;
};

// The inserts of one table that give one indexed column a value: which
// insert, and its value as written.
using Identified =
    std::map<std::pair<std::string, std::string>, std::vector<std::pair<std::size_t, std::string>>>;

// Looks the values up, so many to a query; false when the connection went.
bool findIdentified(Lookup& lookup, const Identified& identified, std::vector<bool>& present) {
    for (const auto& [where, rows] : identified) {
        const auto& [table, column] = where;
        for (std::size_t first = 0; first < rows.size(); first += IdentitiesPerQuery) {
            const std::size_t end = std::min(rows.size(), first + IdentitiesPerQuery);
            std::string list;
            for (std::size_t i = first; i < end; ++i)
                list += (list.empty() ? "" : ", ") + rows[i].second;
            std::vector<std::string> found;
            if (!lookup.read("SELECT " + column + " FROM " + table + " WHERE " + column + " IN (" + list +
                                 ")",
                             found) &&
                lookup.lost())
                return false;
            const std::set<std::string> there(found.begin(), found.end());
            for (std::size_t i = first; i < end; ++i)
                present[rows[i].first] = there.contains(literalValue(rows[i].second));
        }
    }
    return true;
}

} // namespace

bool RowsPresent(SessionDB& session, const std::vector<std::string>& inserts, std::vector<bool>& present) {
    present.assign(inserts.size(), false);
    if (*session.Handle() == 0)
        return false;
    Lookup lookup(session);
    const TableColumns columns = [&lookup](const std::string& table) { return lookup.columns(table); };
    const std::string markColumn = trimmedUpper(RowMarkColumn, true);
    Identified identified;
    std::vector<std::size_t> byValues;
    for (std::size_t i = 0; i < inserts.size(); ++i) {
        InsertedRow row;
        if (!parseInsert(inserts[i], columns, row))
            continue;
        std::string column = markColumn;
        std::string value = valueOf(row, column);
        if (value.empty()) {
            column = lookup.keyColumn(row.table);
            value = column.empty() ? std::string() : valueOf(row, column);
        }
        if (value.empty())
            byValues.push_back(i);
        else
            identified[{row.table, column}].emplace_back(i, value);
        if (lookup.lost())
            return false;
    }
    if (!findIdentified(lookup, identified, present))
        return false;
    // An insert that came more than once is there once for each time.
    std::map<std::string, long> times;
    for (std::size_t i : byValues) {
        std::vector<std::string> counted;
        if (!lookup.read(RowLookupQuery(inserts[i], columns), counted) && lookup.lost())
            return false;
        present[i] = !counted.empty() && std::atol(counted.front().c_str()) >= ++times[inserts[i]];
    }
    return true;
}

} // namespace db
