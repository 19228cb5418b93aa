// The call history: one row per finished call leg that the call tracking
// records, and the console's list of a user's or phone's incoming calls.
#include "pbx/DialNumbers.h"
#include "pbx/PbxLink.h"

#include "base/DiagnosticLog.h"
#include "base/TraceLabel.h"
#include "db/CallHistoryTables.h"
#include "db/MainDatabase.h"
#include "ui/Components.h"

#include <QStringList>
#include <algorithm>

namespace pbx {

namespace {

CallDate dateText(const QDateTime& start) {
    return CallDate(start.toString(QStringLiteral("yyyy-MM-dd")).toStdString());
}

CallTime timeText(const QDateTime& start) {
    return CallTime(start.toString(QStringLiteral("HH:mm:ss")).toStdString());
}

// The query names its column itself: only a plain column name may go there.
bool isColumnName(const std::string& column) {
    return std::all_of(column.begin(), column.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
    });
}

// The history list keeps its own columns: each row is appended.
class HistoryRows : public db::RowSink {
  public:
    explicit HistoryRows(ui::TListView& list) : list_(list) {}
    void columns(const std::vector<db::ResultColumn>&) override {}
    void row(const db::ResultRow& row) override {
        QStringList cells;
        for (int i = 0; i < row.size(); ++i)
            cells << QString::fromStdString(row.trimmed(i));
        list_.AddRow(cells);
    }

  private:
    ui::TListView& list_;
};

} // namespace

// While the database is away the row waits for it, and the reconnect timer
// brings it back.
void PbxLink::writeHistoryRow(const std::string& statement) {
    if (!MainDbHandleExists())
        host_.StartReconnectTimer();
    db::WriteMainRow(statement);
}

void PbxLink::SaveIncomingCall(const std::string& a, const std::string& b, std::uint32_t length,
                               const QDateTime& start) {
    base::TraceScope trace("SaveIncomingCall");
    writeHistoryRow(ServiceTalkInDB::InsertStatement(Extension(b), OtherNumber(a), dateText(start),
                                                     timeText(start), length));
}

void PbxLink::SaveOutgoingCall(const std::string& a, const std::string& b, std::uint32_t length,
                               const QDateTime& start) {
    base::TraceScope trace("SaveOutgoingCall");
    writeHistoryRow(ServiceTalkOutDB::InsertStatement(Extension(a),
                                                      OtherNumber(WithoutDialPrefix(b, host_.Settings())),
                                                      dateText(start), timeText(start), length));
}

void PbxLink::LoadIncomingHistory(const std::string& column, const std::string& value) {
    base::TraceScope trace("LoadIncomingHistory");
    ui::TListView& list = host_.HistoryList();
    list.clear();
    if (!MainDbHandleExists()) {
        host_.StartReconnectTimer();
        return;
    }
    if (column.empty() || value.empty())
        return;
    if (!isColumnName(column)) {
        base::WriteLog(2, "LoadIncomingHistory: niewłaściwa nazwa kolumny <%s>", column.c_str());
        return;
    }
    const db::ConnectionSettings c = db::MainConnection();
    SessionDB session(c.host, c.path, c.user, c.password, &MainDbHandle, false);
    HistoryRows rows(list);
    session.SetResultListView(&rows);
    session.ExecuteSQL(db::SqlFormat(
        "SELECT FIRST 30 SNUMBER, SDATE, STIME FROM historyIn WHERE %s = '%s' ORDER BY nID DESCENDING",
        column.c_str(), QuoteSql(value).c_str()));
}

} // namespace pbx
