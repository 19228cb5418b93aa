// Query runs: every row goes, as text, to the target the caller chose.
#include "db/SessionDB.h"

#include "platform/WireCodePage.h"
#include "shell/DiagnosticLog.h"
#include "shell/TraceLabel.h"
#include "ui/Components.h"

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

std::string fixedTwo(double value) {
    QLocale locale = QLocale::system();
    locale.setNumberOptions(QLocale::OmitGroupSeparator);
    return locale.toString(value, 'f', 2).toStdString();
}

template <class T> T read(const char* data) {
    T value;
    std::memcpy(&value, data, sizeof value);
    return value;
}

} // namespace

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
    return runQuery(Delivery::Views, nullptr);
}
int SessionDB::RunQueryToContactRows() {
    return runQuery(Delivery::ContactRows, ContactRowsTarget);
}
int SessionDB::RunQueryToRoutingRules(std::vector<ROUTING_RULE>* rules) {
    return runQuery(Delivery::RoutingRules, rules);
}
int SessionDB::RunQueryToIdTextMap() {
    return runQuery(Delivery::IdTextMap, IdTextMapTarget);
}
int SessionDB::RunQueryToList(std::vector<QueryRow>* rows) {
    return runQuery(Delivery::List, rows);
}

int SessionDB::runQuery(Delivery delivery, void* target) {
    const bool views = delivery == Delivery::Views;
    const bool noisy = delivery != Delivery::List;
    auto trace = [noisy](const char* text) {
        if (noisy)
            shell::DebugTrace(text);
    };
    std::string wire;
    if (const int refused = statementToWire(sqlText_, &wire))
        return refused;
    Query query;
    if (isc_dsql_allocate_statement(vec(Status.data()), reinterpret_cast<isc_db_handle*>(DbHandle_),
                                    sth(&Statement))) {
        if (views && shell::Switches().chbLogBaza)
            shell::WriteLog(1, "%s", "ERROR: isc_dsql_allocate_statement failed");
        trace("ERROR: isc_dsql_allocate_statement failed");
        return reportFailedCall(false);
    }
    auto fail = [&]() {
        // The statement goes before a lost connection is detached.
        std::array<intptr_t, 20> ignored{};
        isc_dsql_free_statement(vec(ignored.data()), sth(&Statement), DSQL_drop);
        Statement = 0;
        return reportFailedCall(false);
    };
    if (isc_dsql_prepare(vec(Status.data()), trh(&Transaction), sth(&Statement), 0, wire.c_str(),
                         SQL_DIALECT_V6, nullptr)) {
        trace("ERROR: isc_dsql_prepare failed");
        return fail();
    }
    query.allocate(1);
    if (isc_dsql_describe(vec(Status.data()), sth(&Statement), 1, query.descriptor)) {
        trace("ERROR: isc_dsql_describe failed");
        return fail();
    }
    if (query.descriptor->sqld > query.descriptor->sqln) {
        query.allocate(query.descriptor->sqld);
        if (isc_dsql_describe(vec(Status.data()), sth(&Statement), 1, query.descriptor))
            return fail();
    }
    const int columns = query.descriptor->sqld;
    if (ResultColumnNames) {
        ResultColumnNames->clear();
        for (int i = 0; i < columns; ++i)
            ResultColumnNames->push_back(query.name(i));
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
    if (isc_dsql_execute(vec(Status.data()), trh(&Transaction), sth(&Statement), 1, nullptr))
        return fail();
    switch (delivery) {
    case Delivery::ContactRows:
        if (target)
            static_cast<std::vector<ContactRow>*>(target)->clear();
        break;
    case Delivery::RoutingRules:
        if (target)
            static_cast<std::vector<ROUTING_RULE>*>(target)->clear();
        break;
    case Delivery::IdTextMap:
        if (target)
            static_cast<std::map<int, std::string>*>(target)->clear();
        break;
    case Delivery::Views:
        if (ResultListView && ResultListView->Tag() < 1) {
            ResultListView->clear();
            ResultListView->Columns().Clear();
            for (int i = 0; i < columns; ++i)
                ResultListView->AddColumn(QString::fromStdString(query.name(i)),
                                          query.descriptor->sqlvar[i].sqllen * 3 + 20);
        }
        break;
    case Delivery::List:
        break;
    }
    const bool wanted = views ? (ResultListView || ResultStrings) : target != nullptr;
    if (wanted) {
        ISC_STATUS fetched;
        while ((fetched = isc_dsql_fetch(vec(Status.data()), sth(&Statement), 1, query.descriptor)) == 0)
            deliverRow(delivery, target, query);
        if (fetched != 100)
            return fail();
    }
    if (isc_dsql_free_statement(vec(Status.data()), sth(&Statement), DSQL_close)) {
        const int code = fail();
        return code;
    }
    const bool dropped = isc_dsql_free_statement(vec(Status.data()), sth(&Statement), DSQL_drop) == 0;
    Statement = 0;
    return dropped ? 0 : ReportError(Status.data());
}

bool SessionDB::deliverRow(Delivery delivery, void* target, Query& query) {
    const int columns = query.descriptor->sqld;
    auto text = [&](int i) { return i < columns ? ColumnToText(query.column(i)) : std::string(); };
    auto trim = [&](int i) { return trimmed(text(i)); };
    switch (delivery) {
    case Delivery::Views:
        if (ResultListView) {
            QStringList cells;
            for (int i = 0; i < columns; ++i)
                cells << QString::fromStdString(trim(i));
            ResultListView->AddRow(cells);
            rowsShown_ = true;
        } else if (ResultStrings) {
            for (int i = 0; i < columns; ++i)
                ResultStrings->push_back(trim(i));
        }
        break;
    case Delivery::ContactRows: {
        ContactRow row;
        row.idContactPriv = trim(0);
        row.nGroupId = decimalOr(trim(13), -1);
        row.Name = trim(3);
        row.JobPosition = trim(2);
        row.FirstName = trim(4);
        row.Phone = trim(5);
        row.Home = trim(6);
        row.Mobile = trim(7);
        row.Mail = trim(8);
        row.www = trim(9);
        row.Company = trim(1);
        row.Address = trim(10);
        row.City = trim(11);
        row.PostCode = trim(12);
        static_cast<std::vector<ContactRow>*>(target)->push_back(std::move(row));
        break;
    }
    case Delivery::RoutingRules: {
        ROUTING_RULE rule;
        rule.nId = leadingInteger(text(0));
        rule.nPriority = leadingInteger(text(1));
        rule.sSender = trim(2);
        rule.sLine = trim(3);
        const std::string recipients = trim(4);
        std::size_t start = 0;
        while (start <= recipients.size()) {
            const std::size_t blank = recipients.find(' ', start);
            const std::size_t end = blank == std::string::npos ? recipients.size() : blank;
            if (const int32_t id = leadingInteger(recipients.substr(start, end - start)); id != 0)
                rule.sRecipients.push_back(id);
            start = end + 1;
        }
        static_cast<std::vector<ROUTING_RULE>*>(target)->push_back(std::move(rule));
        break;
    }
    case Delivery::IdTextMap:
        (*static_cast<std::map<int, std::string>*>(target))[decimalOr(trim(0), -1)] = trim(1);
        break;
    case Delivery::List: {
        QueryRow row;
        for (int i = 0; i < columns; ++i)
            row.emplace(query.name(i), trim(i));
        static_cast<std::vector<QueryRow>*>(target)->push_back(std::move(row));
        break;
    }
    }
    return true;
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
