#include "ui/VirtualListView.h"

#include <QHeaderView>
#include <QMouseEvent>
#include <algorithm>

namespace ui {

VirtualRows::VirtualRows(TListColumns& columns, QObject* parent)
    : QAbstractTableModel(parent), columns_(columns) {
    columnCount_ = columns_.Count();
    connect(&columns_, &TCollection::changed, this, &VirtualRows::columnsChanged);
}

void VirtualRows::columnsChanged() {
    if (columns_.Count() == columnCount_) {
        if (columnCount_ > 0)
            emit headerDataChanged(Qt::Horizontal, 0, columnCount_ - 1);
        return;
    }
    beginResetModel();
    columnCount_ = columns_.Count();
    endResetModel();
}

void VirtualRows::SetItemCount(int count) {
    count = std::max(count, 0);
    if (count > count_) {
        beginInsertRows({}, count_, count - 1);
        count_ = count;
        endInsertRows();
    } else if (count < count_) {
        beginRemoveRows({}, count, count_ - 1);
        count_ = count;
        endRemoveRows();
    }
    Invalidate();
}

void VirtualRows::Invalidate() {
    if (count_ > 0 && columnCount_ > 0)
        emit dataChanged(index(0, 0), index(count_ - 1, columnCount_ - 1), {Qt::DisplayRole});
}

void VirtualRows::RowChanged(int row) {
    if (row >= 0 && row < count_ && columnCount_ > 0)
        emit dataChanged(index(row, 0), index(row, columnCount_ - 1), {Qt::DisplayRole});
}

void VirtualRows::RowInserted(int row) {
    row = std::clamp(row, 0, count_);
    beginInsertRows({}, row, row);
    ++count_;
    endInsertRows();
}

void VirtualRows::RowRemoved(int row) {
    if (row < 0 || row >= count_)
        return;
    beginRemoveRows({}, row, row);
    --count_;
    endRemoveRows();
}

int VirtualRows::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : count_;
}

int VirtualRows::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : columnCount_;
}

QVariant VirtualRows::data(const QModelIndex& index, int role) const {
    if (role != Qt::DisplayRole || !source_ || !index.isValid() || index.row() >= count_)
        return {};
    return source_(index.row(), index.column());
}

QVariant VirtualRows::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
        section >= columns_.Count())
        return {};
    return columns_[section]->Caption();
}

void TVirtualListView::mouseDoubleClickEvent(QMouseEvent* event) {
    QTreeView::mouseDoubleClickEvent(event);
    if (event->button() == Qt::LeftButton)
        emit DblClick();
}

TVirtualListView::TVirtualListView(const QString& name, QWidget* parent)
    : QTreeView(parent), columns_(new TListColumns(this)), rows_(new VirtualRows(*columns_, this)) {
    setObjectName(name);
    columns_->setObjectName(QStringLiteral("Columns"));
    setModel(rows_);
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setUniformRowHeights(true);
    setAllColumnsShowFocus(true);
    setSortingEnabled(false);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    connect(columns_, &TCollection::changed, this, &TVirtualListView::refreshHeader);
}

void TVirtualListView::refreshHeader() {
    ShowColumns(*this, *columns_);
}

QString TVirtualListView::CellText(int row, int column) const {
    return rows_->data(rows_->index(row, column), Qt::DisplayRole).toString();
}

std::vector<int> TVirtualListView::SelectedRows() const {
    std::vector<int> rows;
    for (const QModelIndex& index : selectionModel()->selectedRows())
        rows.push_back(index.row());
    std::sort(rows.begin(), rows.end());
    return rows;
}

} // namespace ui
