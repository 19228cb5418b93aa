// The rows of the two large lists (the shared contacts and the SMS routing
// rules) are held in vectors and sorted there, not in the list control.
// Holds: ContactAt, CompareRowsByColumn, CompareItemsByColumn, lvKontaktyData.
#pragma once

#include "db/QueryRows.h"

#include <QStringList>
#include <map>
#include <vector>

namespace admin {

// The sort of the vector-backed lists: the last request for either.
struct VirtualSortState {
    int column = 0;
    bool ascending = true;
};
extern VirtualSortState VirtualSort;

const ContactRow& ContactAt(const std::vector<ContactRow>& rows, std::size_t index);
// The text the contact list shows in column c of a row, and all of them.
QString ContactCell(const ContactRow& row, int column, const std::map<int, std::string>& groups);
QStringList ContactCells(const ContactRow& row, const std::map<int, std::string>& groups);
// True when A goes before B by the sort state.
bool CompareRowsByColumn(const ContactRow& a, const ContactRow& b, const std::map<int, std::string>& groups,
                         const VirtualSortState& state);
bool CompareItemsByColumn(const ROUTING_RULE& a, const ROUTING_RULE& b, const VirtualSortState& state);
// Stable sorts, so rows that compare equal keep their order.
void SortContactRows(std::vector<ContactRow>& rows, const std::map<int, std::string>& groups,
                     const VirtualSortState& state);
void SortRoutingRules(std::vector<ROUTING_RULE>& rules, const VirtualSortState& state);

} // namespace admin
