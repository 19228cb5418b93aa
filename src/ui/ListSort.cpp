#include "ui/ListSort.h"

#include "ui/Components.h"

#include <algorithm>
#include <limits>
#include <vector>

namespace ui {
namespace {

int sign(std::int64_t value) {
    return value < 0 ? -1 : value > 0 ? 1 : 0;
}

QString cellText(const QTreeWidgetItem* item, int column) {
    return column < item->columnCount() ? item->text(column) : QString();
}

} // namespace

std::int64_t LeadingNumber(const QString& text) {
    int i = 0;
    const int n = int(text.size());
    while (i < n && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r')))
        ++i;
    bool negative = false;
    if (i < n && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    constexpr std::int64_t limit = std::numeric_limits<std::int64_t>::max() / 10 - 1;
    std::int64_t value = 0;
    for (; i < n && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (value > limit) {
            value = std::numeric_limits<std::int64_t>::max();
            break;
        }
        value = value * 10 + (text[i].unicode() - '0');
    }
    return negative ? -value : value;
}

std::uint32_t IpTextToInt(const QString& text) {
    if (text.size() > 15)
        return 0;
    const QStringList fields = text.split(QLatin1Char('.'));
    if (fields.size() != 4)
        return 0;
    std::uint32_t value = 0;
    for (const QString& field : fields) {
        if (field.isEmpty() || field.size() > 3)
            return 0;
        for (QChar c : field) {
            if (c < '0' || c > '9')
                return 0;
        }
        const unsigned octet = field.toUInt();
        if (octet > 255)
            return 0;
        value = (value << 8) | octet;
    }
    return value;
}

int CompareColumnTexts(const QString& text1, const QString& text2, int kind) {
    switch (kind) {
    case SortNumber: {
        const std::int64_t a = LeadingNumber(text1), b = LeadingNumber(text2);
        return a < b ? -1 : a > b ? 1 : 0;
    }
    case SortAddress: {
        const std::uint32_t a = IpTextToInt(text1), b = IpTextToInt(text2);
        return a < b ? -1 : a > b ? 1 : 0;
    }
    case SortTime: {
        // 9:05:03 against 10:05:03: one leading zero evens the hours.
        QString a = text1, b = text2;
        if (a.size() < b.size())
            a.prepend(QLatin1Char('0'));
        if (a.size() > b.size())
            b.prepend(QLatin1Char('0'));
        return sign(QString::localeAwareCompare(a, b));
    }
    default:
        return sign(QString::localeAwareCompare(text1, text2));
    }
}

int ListViewCompareItems(const QTreeWidgetItem* item1, const QTreeWidgetItem* item2,
                         const ListSortInfo& info) {
    const int result =
        CompareColumnTexts(cellText(item1, info.column), cellText(item2, info.column), info.kind);
    return info.ascending ? result : -result;
}

void SortListItems(TListView& list, const ListSortInfo& info) {
    std::vector<QTreeWidgetItem*> items;
    items.reserve(std::size_t(list.topLevelItemCount()));
    QTreeWidgetItem* current = list.currentItem();
    const QList<QTreeWidgetItem*> selected = list.selectedItems();
    while (list.topLevelItemCount() > 0)
        items.push_back(list.takeTopLevelItem(0));
    std::stable_sort(items.begin(), items.end(), [&info](const QTreeWidgetItem* a, const QTreeWidgetItem* b) {
        return ListViewCompareItems(a, b, info) < 0;
    });
    for (QTreeWidgetItem* item : items)
        list.addTopLevelItem(item);
    if (current)
        list.setCurrentItem(current, 0, QItemSelectionModel::NoUpdate);
    for (QTreeWidgetItem* item : selected)
        item->setSelected(true);
}

bool FlipSortArrow(TListColumns& columns, int column) {
    const bool ascending = columns[column]->ImageIndex() < 1;
    for (int i = 0; i < columns.Count(); ++i) {
        if (i != column)
            columns[i]->SetImageIndex(-1);
    }
    columns[column]->SetImageIndex(ascending ? 1 : 0);
    return ascending;
}

void ListColumnClick(TListView& list, int column) {
    if (column < 0 || column >= list.Columns().Count())
        return;
    ListSortInfo info;
    info.column = column;
    info.kind = list.Columns()[column]->Tag();
    info.ascending = list.Columns()[column]->ImageIndex() < 1;
    SortListItems(list, info);
    FlipSortArrow(list.Columns(), column);
}

bool SortedColumn(const TListColumns& columns, int& column, bool& ascending) {
    for (int i = 0; i < columns.Count(); ++i) {
        const int image = columns[i]->ImageIndex();
        if (image == 0 || image == 1) {
            column = i;
            ascending = image == 1;
            return true;
        }
    }
    return false;
}

void SortListView(TListView& list) {
    ListSortInfo info;
    if (!SortedColumn(list.Columns(), info.column, info.ascending))
        return;
    info.kind = list.Columns()[info.column]->Tag();
    SortListItems(list, info);
}

} // namespace ui
