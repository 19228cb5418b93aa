// A report-style list whose rows are held elsewhere (a vector of the
// owner's): the list keeps only the number of rows and asks its row source
// for each cell when it draws it, so a change of one row redraws that row
// and a reload costs nothing more than a new count.
#pragma once

#include "ui/Components.h"

#include <QAbstractTableModel>
#include <QTreeView>
#include <functional>
#include <vector>

namespace ui {

// The rows of a virtual list: an item count and a row source.
class VirtualRows : public QAbstractTableModel {
    Q_OBJECT
  public:
    // The text of one cell; asked only for rows below the item count.
    using RowSource = std::function<QString(int row, int column)>;

    VirtualRows(TListColumns& columns, QObject* parent);
    void SetRowSource(RowSource source) { source_ = std::move(source); }
    int ItemCount() const { return count_; }
    // Rows are added or dropped at the end; every row is drawn again.
    void SetItemCount(int count);
    void Invalidate();
    // One row changed, was inserted (the rows behind it move down) or was
    // removed (the rows behind it move up) in the owner's vector.
    void RowChanged(int row);
    void RowInserted(int row);
    void RowRemoved(int row);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

  private:
    void columnsChanged();

    TListColumns& columns_;
    RowSource source_;
    int count_ = 0;
    int columnCount_ = 0;
};

// The list view of a virtual list. Its columns are a collection as those of
// TListView, so the translation and the sort arrows treat both alike.
class TVirtualListView : public QTreeView {
    Q_OBJECT
    HALVEX_CONTROL_PROPERTIES
    HALVEX_LIST_COLUMNS
  public:
    TVirtualListView(const QString& name, QWidget* parent);
    VirtualRows& Rows() { return *rows_; }
    const VirtualRows& Rows() const { return *rows_; }
    int ItemCount() const { return rows_->ItemCount(); }
    // The text the list shows in a cell.
    QString CellText(int row, int column) const;
    // The selected rows, in ascending order.
    std::vector<int> SelectedRows() const;

  signals:
    // A double click anywhere in the list, on a row or below the last one.
    void DblClick();

  protected:
    void mouseDoubleClickEvent(QMouseEvent* event) override;

  private:
    void refreshHeader();
    VirtualRows* rows_;
};

} // namespace ui
