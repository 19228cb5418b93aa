#include "admin/ListViewRows.h"

#include "ui/Components.h"

namespace admin {

void ListViewRows::columns(const std::vector<db::ResultColumn>& columns) {
    if (view_->Tag() >= 1)
        return;
    view_->clear();
    view_->Columns().Clear();
    for (const db::ResultColumn& column : columns)
        view_->AddColumn(QString::fromStdString(column.name), column.length * 3 + 20);
}

void ListViewRows::row(const db::ResultRow& row) {
    QStringList cells;
    for (int i = 0; i < row.size(); ++i)
        cells << QString::fromStdString(row.trimmed(i));
    view_->AddRow(cells);
}

} // namespace admin
