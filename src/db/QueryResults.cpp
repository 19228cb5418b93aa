// Query runs: every row goes, through a row sink, to the target the caller
// chose.
#include "db/SessionDB.h"

#include "base/DiagnosticLog.h"
#include "base/FormatSettings.h"
#include "base/TraceLabel.h"
#include "platform/WireCodePage.h"

#include <QDate>
#include <QLocale>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <ibase.h>

struct SessionDB::Query {
    XSQLDA* descriptor = nullptr;
    std::vector<std::vector<char>> data;
    std::vector<short> nulls;

    ~Query() { std::free(descriptor); }
    void allocate(int columns) {
        std::free(descriptor);
        descriptor = static_cast<XSQLDA*>(std::calloc(1, XSQLDA_LENGTH(columns)));
        descriptor->version = SQLDA_VERSION1;
        descriptor->sqln = short(columns);
    }
    ColumnData column(int i) const {
        const XSQLVAR& var = descriptor->sqlvar[i];
        return {var.sqltype & ~1, var.sqlscale, var.sqllen, var.sqldata, var.sqlind && *var.sqlind == -1};
    }
    std::string name(int i) const {
        const XSQLVAR& var = descriptor->sqlvar[i];
        return platform::fromWire(
            std::string(var.sqlname, std::size_t(std::max<short>(var.sqlname_length, 0))));
    }
    db::ResultRow row() const {
        std::vector<ColumnData> columns;
        columns.reserve(std::size_t(descriptor->sqld));
        for (int i = 0; i < descriptor->sqld; ++i)
            columns.push_back(column(i));
        return db::ResultRow(std::move(columns));
    }
};

namespace {

ISC_STATUS* vec(intptr_t* status) {
    return reinterpret_cast<ISC_STATUS*>(status);
}
isc_tr_handle* trh(unsigned* handle) {
    return reinterpret_cast<isc_tr_handle*>(handle);
}
isc_stmt_handle* sth(unsigned* handle) {
    return reinterpret_cast<isc_stmt_handle*>(handle);
}

// Removes blanks and control characters at both ends.
std::string trimmed(const std::string& text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && static_cast<unsigned char>(text[begin]) <= ' ')
        ++begin;
    while (end > begin && static_cast<unsigned char>(text[end - 1]) <= ' ')
        --end;
    return text.substr(begin, end - begin);
}

// The whole text as a decimal integer, else `fallback`.
int32_t decimalOr(const std::string& text, int32_t fallback) {
    int32_t value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, error] = std::from_chars(text.data(), end, value);
    return error == std::errc() && ptr == end && !text.empty() ? value : fallback;
}

// As C's atoi: leading white space and a sign, digits up to the first other
// character, 0 without digits; out-of-range values are clamped.
int32_t leadingInteger(const std::string& text) {
    const long value = std::strtol(text.c_str(), nullptr, 10);
    return int32_t(std::clamp<long>(value, INT32_MIN, INT32_MAX));
}

std::string scaledInteger(int64_t value, int scale) {
    if (scale >= 0) {
        std::string text = std::to_string(value);
        return value == 0 ? text : text + std::string(std::size_t(scale), '0');
    }
    const bool negative = value < 0;
    const uint64_t magnitude = negative ? uint64_t(0) - uint64_t(value) : uint64_t(value);
    std::string digits = std::to_string(magnitude);
    const std::size_t places = std::size_t(-scale);
    if (digits.size() <= places)
        digits.insert(0, places + 1 - digits.size(), '0');
    digits.insert(digits.size() - places, ".");
    return negative ? "-" + digits : digits;
}

std::string dateText(int32_t days) {
    return QDate(1858, 11, 17).addDays(days).toString(QStringLiteral("yyyy-MM-dd")).toStdString();
}

std::string timeText(uint32_t time) {
    int h = 0, m = 0, s = 0;
    SessionDB::SplitIscTime(time, &h, &m, &s, nullptr);
    char text[32];
    std::snprintf(text, sizeof text, " %2d:%02d:%02d", h, m, s);
    return text;
}

// The decimal separator is the process's locale setting, which a language's
// locale lines may change.
std::string fixedTwo(double value) {
    std::string text = QLocale::c().toString(value, 'f', 2).toStdString();
    const std::string& separator = base::FormatSettings().DecimalSeparator();
    const std::size_t point = text.find('.');
    if (point != std::string::npos && !separator.empty())
        text.replace(point, 1, separator);
    return text;
}

template <class T> T read(const char* data) {
    T value;
    std::memcpy(&value, data, sizeof value);
    return value;
}

// A sink made of two functions: what the columns begin, what each row adds.
template <class Begin, class Add> class SinkOf final : public db::RowSink {
  public:
    SinkOf(Begin begin, Add add) : begin_(std::move(begin)), add_(std::move(add)) {}
    void columns(const std::vector<db::ResultColumn>& columns) override { begin_(columns); }
    void row(const db::ResultRow& row) override { add_(row); }

  private:
    Begin begin_;
    Add add_;
};

void keepNoColumns(const std::vector<db::ResultColumn>&) {}

ContactRow contactRow(const db::ResultRow& r) {
    ContactRow row;
    row.idContactPriv = r.trimmed(0);
    row.nGroupId = decimalOr(r.trimmed(13), -1);
    row.Name = r.trimmed(3);
    row.JobPosition = r.trimmed(2);
    row.FirstName = r.trimmed(4);
    row.Phone = r.trimmed(5);
    row.Home = r.trimmed(6);
    row.Mobile = r.trimmed(7);
    row.Mail = r.trimmed(8);
    row.www = r.trimmed(9);
    row.Company = r.trimmed(1);
    row.Address = r.trimmed(10);
    row.City = r.trimmed(11);
    row.PostCode = r.trimmed(12);
    return row;
}

ROUTING_RULE routingRule(const db::ResultRow& r) {
    ROUTING_RULE rule;
    rule.nId = leadingInteger(r.text(0));
    rule.nPriority = leadingInteger(r.text(1));
    rule.sSender = r.trimmed(2);
    rule.sLine = r.trimmed(3);
    const std::string recipients = r.trimmed(4);
    std::size_t start = 0;
    while (start <= recipients.size()) {
        const std::size_t blank = recipients.find(' ', start);
        const std::size_t end = blank == std::string::npos ? recipients.size() : blank;
        if (const int32_t id = leadingInteger(recipients.substr(start, end - start)); id != 0)
            rule.sRecipients.push_back(id);
        start = end + 1;
    }
    return rule;
}

} // namespace

namespace db {

ColumnData ResultRow::column(int i) const {
    return i >= 0 && i < size() ? columns_[std::size_t(i)] : ColumnData{};
}

std::string ResultRow::text(int i) const {
    return i >= 0 && i < size() ? SessionDB::ColumnToText(columns_[std::size_t(i)]) : std::string();
}

std::string ResultRow::trimmed(int i) const {
    return ::trimmed(text(i));
}

} // namespace db

void SessionDB::SplitIscTime(uint32_t t, int* hours, int* minutes, int* seconds, int* fraction) {
    if (hours)
        *hours = int(t / 36000000);
    t %= 36000000;
    if (minutes)
        *minutes = int(t / 600000);
    t %= 600000;
    if (seconds)
        *seconds = int(t / 10000);
    if (fraction)
        *fraction = int(t % 10000);
}

std::string SessionDB::ColumnToText(const ColumnData& column) {
    if (column.isNull || !column.data)
        return {};
    const char* d = column.data;
    switch (column.type) {
    case SQL_TEXT: {
        const std::string bytes(d, std::size_t(std::max(column.length, 0)));
        return platform::fromWire(bytes.substr(0, bytes.find('\0')));
    }
    case SQL_SHORT:
        return scaledInteger(read<int16_t>(d), column.scale);
    case SQL_LONG:
        return scaledInteger(read<int32_t>(d), column.scale);
    case SQL_INT64:
        return scaledInteger(read<int64_t>(d), column.scale);
    case SQL_FLOAT:
        return fixedTwo(read<float>(d));
    case SQL_DOUBLE:
        return fixedTwo(read<double>(d));
    case SQL_TYPE_DATE:
        return dateText(read<int32_t>(d));
    case SQL_TYPE_TIME:
        return timeText(read<uint32_t>(d));
    case SQL_TIMESTAMP:
        return dateText(read<int32_t>(d)) + timeText(read<uint32_t>(d + 4));
    default:
        return {};
    }
}

int SessionDB::RunQuery() {
    TStringList* lines = ResultStrings;
    SinkOf strings(keepNoColumns, [lines](const db::ResultRow& row) {
        for (int i = 0; i < row.size(); ++i)
            lines->push_back(row.trimmed(i));
    });
    // Rows shown in a list view cannot be taken back, so such a query is not
    // run again after a lost connection.
    db::RowSink* view = ResultListView;
    SinkOf shown([view](const std::vector<db::ResultColumn>& columns) { view->columns(columns); },
                 [this, view](const db::ResultRow& row) {
                     view->row(row);
                     rowsShown_ = true;
                 });
    // With both targets set the list view takes every row.
    db::RowSink* sink = view ? static_cast<db::RowSink*>(&shown) : lines ? &strings : nullptr;
    return runQuery(sink, Trace::LogAndDebug);
}
int SessionDB::RunQueryToContactRows() {
    std::vector<ContactRow>* rows = ContactRowsTarget;
    SinkOf sink([rows](const auto&) { rows->clear(); },
                [rows](const db::ResultRow& row) { rows->push_back(contactRow(row)); });
    return runQuery(rows ? &sink : nullptr, Trace::Debug);
}
int SessionDB::RunQueryToRoutingRules(std::vector<ROUTING_RULE>* rules) {
    SinkOf sink([rules](const auto&) { rules->clear(); },
                [rules](const db::ResultRow& row) { rules->push_back(routingRule(row)); });
    return runQuery(rules ? &sink : nullptr, Trace::Debug);
}
int SessionDB::RunQueryToIdTextMap() {
    std::map<int, std::string>* map = IdTextMapTarget;
    SinkOf sink([map](const auto&) { map->clear(); },
                [map](const db::ResultRow& row) { (*map)[decimalOr(row.trimmed(0), -1)] = row.trimmed(1); });
    return runQuery(map ? &sink : nullptr, Trace::Debug);
}
int SessionDB::RunQueryToList(std::vector<QueryRow>* rows) {
    std::vector<std::string> names;
    SinkOf sink(
        [&names](const std::vector<db::ResultColumn>& columns) {
            for (const db::ResultColumn& column : columns)
                names.push_back(column.name);
        },
        [rows, &names](const db::ResultRow& row) {
            QueryRow values;
            for (int i = 0; i < row.size(); ++i)
                values.emplace(names[std::size_t(i)], row.trimmed(i));
            rows->push_back(std::move(values));
        });
    return runQuery(rows ? &sink : nullptr, Trace::Quiet);
}

int SessionDB::runQuery(db::RowSink* sink, Trace trace) {
    auto debug = [trace](const char* text) {
        if (trace != Trace::Quiet)
            base::DebugTrace(text);
    };
    std::string wire;
    if (const int refused = statementToWire(sqlText_, &wire))
        return refused;
    Query query;
    if (bounded([&] {
            return isc_dsql_allocate_statement(vec(Status.data()),
                                               reinterpret_cast<isc_db_handle*>(DbHandle_), sth(&Statement));
        })) {
        if (trace == Trace::LogAndDebug && base::Switches().chbLogBaza)
            base::WriteLog(1, "%s", "ERROR: isc_dsql_allocate_statement failed");
        debug("ERROR: isc_dsql_allocate_statement failed");
        return reportFailedCall(false);
    }
    auto fail = [&]() {
        // The statement goes before a lost connection is detached.
        std::array<intptr_t, 20> ignored{};
        bounded([&] { return isc_dsql_free_statement(vec(ignored.data()), sth(&Statement), DSQL_drop); });
        Statement = 0;
        return reportFailedCall(false);
    };
    if (bounded([&] {
            return isc_dsql_prepare(vec(Status.data()), trh(&Transaction), sth(&Statement), 0, wire.c_str(),
                                    SQL_DIALECT_V6, nullptr);
        })) {
        debug("ERROR: isc_dsql_prepare failed");
        return fail();
    }
    query.allocate(1);
    if (bounded(
            [&] { return isc_dsql_describe(vec(Status.data()), sth(&Statement), 1, query.descriptor); })) {
        debug("ERROR: isc_dsql_describe failed");
        return fail();
    }
    if (query.descriptor->sqld > query.descriptor->sqln) {
        query.allocate(query.descriptor->sqld);
        if (bounded(
                [&] { return isc_dsql_describe(vec(Status.data()), sth(&Statement), 1, query.descriptor); }))
            return fail();
    }
    const int columns = query.descriptor->sqld;
    std::vector<db::ResultColumn> described;
    for (int i = 0; i < columns; ++i)
        described.push_back({query.name(i), query.descriptor->sqlvar[i].sqllen});
    if (ResultColumnNames) {
        ResultColumnNames->clear();
        for (const db::ResultColumn& column : described)
            ResultColumnNames->push_back(column.name);
    }
    query.data.resize(std::size_t(columns));
    query.nulls.assign(std::size_t(columns), 0);
    for (int i = 0; i < columns; ++i) {
        XSQLVAR& var = query.descriptor->sqlvar[i];
        const int nullable = var.sqltype & 1;
        if ((var.sqltype & ~1) == SQL_VARYING)
            var.sqltype = short(SQL_TEXT | nullable); // arrives blank-padded
        query.data[std::size_t(i)].assign(std::size_t(std::max<short>(var.sqllen, 8)), 0);
        var.sqldata = query.data[std::size_t(i)].data();
        var.sqlind = nullable ? &query.nulls[std::size_t(i)] : nullptr;
    }
    if (bounded([&] {
            return isc_dsql_execute(vec(Status.data()), trh(&Transaction), sth(&Statement), 1, nullptr);
        }))
        return fail();
    if (sink) {
        sink->columns(described);
        ISC_STATUS fetched;
        while ((fetched = bounded([&] {
                    return isc_dsql_fetch(vec(Status.data()), sth(&Statement), 1, query.descriptor);
                })) == 0)
            sink->row(query.row());
        if (fetched != 100)
            return fail();
    }
    if (bounded([&] { return isc_dsql_free_statement(vec(Status.data()), sth(&Statement), DSQL_close); })) {
        const int code = fail();
        return code;
    }
    const bool dropped =
        bounded([&] { return isc_dsql_free_statement(vec(Status.data()), sth(&Statement), DSQL_drop); }) == 0;
    Statement = 0;
    return dropped ? 0 : ReportError(Status.data());
}

int SessionDB::GetTableNames(TStringList* names) {
    ResultStrings = names;
    return ExecuteSQL("select rr.rdb$relation_name from rdb$relations rr  where (rr.RDB$SYSTEM_FLAG = 0 or "
                      "rr.RDB$SYSTEM_FLAG is null)  and rr.RDB$VIEW_SOURCE is null order by 1");
}

int SessionDB::GetViewNames(TStringList* names) {
    ResultStrings = names;
    return ExecuteSQL("select rr.rdb$view_name from rdb$view_relations rr");
}
