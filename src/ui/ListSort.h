// Sorting a report-style list by one column: the header click sorts and
// flips the direction, the column's image index keeps the arrow, and a list
// reloaded later is sorted again by the column that carries it.
#pragma once

#include <QString>
#include <cstdint>

class QTreeWidgetItem;

namespace ui {

class TListView;
class TListColumns;

// How a column's texts compare: its Tag.
enum ListSortKind { SortText = 0, SortNumber = 1, SortTime = 2, SortAddress = 3 };

// One sort request.
struct ListSortInfo {
    int column = 0; // 0 the caption, n sub-item n - 1
    bool ascending = true;
    int kind = SortText;
};

// Negative when item 1 goes before item 2 under the request, positive when
// after, 0 when they are equal.
int ListViewCompareItems(const QTreeWidgetItem* item1, const QTreeWidgetItem* item2,
                         const ListSortInfo& info);
// Negative, 0 or positive as the two texts compare under the column's kind,
// in ascending order.
int CompareColumnTexts(const QString& text1, const QString& text2, int kind);
// The value of a dotted IPv4 address, first octet most significant; any
// other text is 0.
std::uint32_t IpTextToInt(const QString& text);
// The number at the start of the text as atoi reads it, without overflow
// (held at the 64-bit bounds).
std::int64_t LeadingNumber(const QString& text);

// Sorts the rows (stable: equal rows keep their order).
void SortListItems(TListView& list, const ListSortInfo& info);
// The header click: sorts by the column (ascending unless it is sorted
// ascending now) and moves the arrow to it.
void ListColumnClick(TListView& list, int column);
// The column carrying the arrow and its direction; false when none does.
bool SortedColumn(const TListColumns& columns, int& column, bool& ascending);
// Sorts the list again by the column that carries the arrow.
void SortListView(TListView& list);
// Marks the column sorted (1 ascending, 0 descending) and every other not.
// Returns whether the column is now ascending.
bool FlipSortArrow(TListColumns& columns, int column);

} // namespace ui
