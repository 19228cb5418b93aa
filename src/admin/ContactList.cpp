#include "admin/ContactList.h"

#include <algorithm>

namespace admin {

VirtualSortState VirtualSort;

namespace {

std::string groupName(const ContactRow& row, const std::map<int, std::string>& groups) {
    const auto found = groups.find(row.nGroupId);
    return found == groups.end() ? std::string() : found->second;
}

// The text column c of the contact list shows (0 the id, 1 the group name).
std::string contactField(const ContactRow& row, int column, const std::map<int, std::string>& groups) {
    switch (column) {
    case 0:
        return row.idContactPriv;
    case 1:
        return groupName(row, groups);
    case 2:
        return row.Company;
    case 3:
        return row.JobPosition;
    case 4:
        return row.Name;
    case 5:
        return row.FirstName;
    case 6:
        return row.Phone;
    case 7:
        return row.Home;
    case 8:
        return row.Mobile;
    case 9:
        return row.Mail;
    case 10:
        return row.www;
    case 11:
        return row.Address;
    case 12:
        return row.City;
    case 13:
        return row.PostCode;
    default:
        return {};
    }
}

bool textBefore(const std::string& a, const std::string& b, bool ascending) {
    const int result = QString::localeAwareCompare(QString::fromStdString(a), QString::fromStdString(b));
    return ascending ? result < 0 : result > 0;
}

} // namespace

const ContactRow& ContactAt(const std::vector<ContactRow>& rows, std::size_t index) {
    return rows.at(index);
}

QString ContactCell(const ContactRow& row, int column, const std::map<int, std::string>& groups) {
    return QString::fromStdString(contactField(row, column, groups));
}

QStringList ContactCells(const ContactRow& row, const std::map<int, std::string>& groups) {
    QStringList cells;
    for (int column = 0; column < 14; ++column)
        cells << ContactCell(row, column, groups);
    return cells;
}

bool CompareRowsByColumn(const ContactRow& a, const ContactRow& b, const std::map<int, std::string>& groups,
                         const VirtualSortState& state) {
    if (state.column == 0)
        return state.ascending ? a.idContactPriv < b.idContactPriv : a.idContactPriv > b.idContactPriv;
    if (state.column < 1 || state.column > 13)
        return false;
    return textBefore(contactField(a, state.column, groups), contactField(b, state.column, groups),
                      state.ascending);
}

bool CompareItemsByColumn(const ROUTING_RULE& a, const ROUTING_RULE& b, const VirtualSortState& state) {
    switch (state.column) {
    case 1:
        return textBefore(a.sSender, b.sSender, state.ascending);
    case 2:
        return textBefore(a.sLine, b.sLine, state.ascending);
    case 3:
        return state.ascending ? a.sRecipients.size() < b.sRecipients.size()
                               : a.sRecipients.size() > b.sRecipients.size();
    default:
        if (state.column > 3)
            return false;
        return state.ascending ? a.nPriority < b.nPriority : a.nPriority > b.nPriority;
    }
}

void SortContactRows(std::vector<ContactRow>& rows, const std::map<int, std::string>& groups,
                     const VirtualSortState& state) {
    std::stable_sort(rows.begin(), rows.end(), [&](const ContactRow& a, const ContactRow& b) {
        return CompareRowsByColumn(a, b, groups, state);
    });
}

void SortRoutingRules(std::vector<ROUTING_RULE>& rules, const VirtualSortState& state) {
    std::stable_sort(rules.begin(), rules.end(), [&](const ROUTING_RULE& a, const ROUTING_RULE& b) {
        return CompareItemsByColumn(a, b, state);
    });
}

} // namespace admin
