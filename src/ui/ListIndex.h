// The first row of a list view that shows a given text in one column, found
// without reading the rows: the index is built again, at the next look-up,
// after rows are added, changed, removed or sorted.
#pragma once

#include <QHash>
#include <QObject>
#include <QString>

class QTreeWidget;
class QTreeWidgetItem;

namespace ui {

class ColumnIndex : public QObject {
  public:
    ColumnIndex(const QTreeWidget& view, int column);
    // The index of a view's column, made at first use and kept with the view.
    static ColumnIndex& Of(const QTreeWidget& view, int column);
    // The first row, in the view's order, whose cell reads `text`; null when
    // none does.
    QTreeWidgetItem* First(const QString& text);

  private:
    void rebuild();

    const QTreeWidget& view_;
    int column_;
    bool stale_ = true;
    QHash<QString, QTreeWidgetItem*> first_;
};

} // namespace ui
