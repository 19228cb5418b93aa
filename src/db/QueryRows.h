// The rows of a query as the session hands them on: each result's columns,
// then every fetched row, to a sink; and the typed rows some loaders fill
// from them (the shared contact list and the SMS routing rules).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

// One shared contact as the contact list holds it.
struct ContactRow {
    std::string idContactPriv;
    int32_t nGroupId = 0;
    std::string Name;
    std::string JobPosition;
    std::string FirstName;
    std::string Phone;
    std::string Home;
    std::string Mobile;
    std::string Mail;
    std::string www;
    std::string Company;
    std::string Address;
    std::string City;
    std::string PostCode;
};

// One rule that routes received SMS to users.
struct ROUTING_RULE {
    int32_t nId = 0;
    int32_t nPriority = 0;
    std::string sSender;
    std::string sLine;
    std::vector<int32_t> sRecipients;
};

// A query's rows as column name to value.
using QueryRow = std::map<std::string, std::string>;

// One column of a fetched row as the formatting sees it.
struct ColumnData {
    int type = 0; // SQL type with the null flag masked off
    int scale = 0;
    int length = 0; // bytes
    const char* data = nullptr;
    bool isNull = false;
};

namespace db {

// One column of a result as the server describes it.
struct ResultColumn {
    std::string name; // the column's own name, not an alias
    int length = 0;   // bytes
};

// One fetched row: each column's typed value and its text. Columns beyond
// the last are empty.
class ResultRow {
  public:
    explicit ResultRow(std::vector<ColumnData> columns) : columns_(std::move(columns)) {}
    int size() const { return int(columns_.size()); }
    ColumnData column(int i) const;
    // As SessionDB::ColumnToText gives it: text values blank-padded.
    std::string text(int i) const;
    // The text without blanks and control characters at both ends.
    std::string trimmed(int i) const;

  private:
    std::vector<ColumnData> columns_;
};

// Where a query run delivers its result: first the columns (also for a
// result without rows), then each row. The layer that owns a widget fills it
// through a sink of its own, so the session needs no widgets.
class RowSink {
  public:
    virtual ~RowSink() = default;
    virtual void columns(const std::vector<ResultColumn>& columns) = 0;
    virtual void row(const ResultRow& row) = 0;
};

} // namespace db
