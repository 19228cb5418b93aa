#include "ui/ListIndex.h"

#include <QAbstractItemModel>
#include <QTreeWidget>

namespace ui {

ColumnIndex::ColumnIndex(const QTreeWidget& view, int column) : view_(view), column_(column) {
    const QAbstractItemModel* model = view.model();
    auto stale = [this] { stale_ = true; };
    connect(model, &QAbstractItemModel::rowsInserted, this, stale);
    connect(model, &QAbstractItemModel::rowsRemoved, this, stale);
    connect(model, &QAbstractItemModel::rowsMoved, this, stale);
    connect(model, &QAbstractItemModel::dataChanged, this, stale);
    connect(model, &QAbstractItemModel::layoutChanged, this, stale);
    connect(model, &QAbstractItemModel::modelReset, this, stale);
}

ColumnIndex& ColumnIndex::Of(const QTreeWidget& view, int column) {
    const QString name = QStringLiteral("columnIndex%1").arg(column);
    auto& owner = const_cast<QTreeWidget&>(view);
    if (QObject* index = owner.findChild<QObject*>(name, Qt::FindDirectChildrenOnly))
        return static_cast<ColumnIndex&>(*index);
    auto* index = new ColumnIndex(view, column);
    index->setObjectName(name);
    index->setParent(&owner);
    return *index;
}

QTreeWidgetItem* ColumnIndex::First(const QString& text) {
    if (stale_)
        rebuild();
    return first_.value(text, nullptr);
}

void ColumnIndex::rebuild() {
    first_.clear();
    // From the last row up, so that an earlier row with the same text wins.
    for (int i = view_.topLevelItemCount() - 1; i >= 0; --i) {
        QTreeWidgetItem* row = view_.topLevelItem(i);
        first_.insert(row->text(column_), row);
    }
    stale_ = false;
}

} // namespace ui
