// A list view as the target of a query run: the database layer hands rows
// to a sink and knows no widgets, so the list view's own rules live here.
#pragma once

#include "db/QueryRows.h"

namespace ui {
class TListView;
}

namespace admin {

// A list view whose Tag is below 1 takes the result's columns (its columns
// and items are replaced, also for a result without rows); one with Tag 1
// or more keeps its designed columns and gets the rows appended. Each row
// becomes one item: the trimmed texts of its columns.
class ListViewRows : public db::RowSink {
  public:
    explicit ListViewRows(ui::TListView* view) : view_(view) {}
    void columns(const std::vector<db::ResultColumn>& columns) override;
    void row(const db::ResultRow& row) override;

  private:
    ui::TListView* view_;
};

} // namespace admin
