// The contact rows behind the contact list, sorted in place.
#include "admin/ContactList.h"

#include <gtest/gtest.h>

namespace {

ContactRow contact(const std::string& id, int group, const std::string& surname,
                   const std::string& city = {}) {
    ContactRow row;
    row.idContactPriv = id;
    row.nGroupId = group;
    row.Name = surname;
    row.City = city;
    return row;
}

std::vector<std::string> ids(const std::vector<ContactRow>& rows) {
    std::vector<std::string> result;
    for (const auto& row : rows)
        result.push_back(row.idContactPriv);
    return result;
}

TEST(ContactList, IdsSortAsTextEqualSurnamesKeepTheirOrderAndUnknownGroupsAreEmpty) {
    const std::map<int, std::string> groups{{1, "Klienci"}};
    std::vector<ContactRow> rows{contact("9", 1, "Nowak"), contact("10", 7, "Adamski"),
                                 contact("2", 1, "Nowak")};
    admin::SortContactRows(rows, groups, {0, true});
    EXPECT_EQ(ids(rows), (std::vector<std::string>{"10", "2", "9"}));
    admin::SortContactRows(rows, groups, {4, true});
    EXPECT_EQ(ids(rows), (std::vector<std::string>{"10", "2", "9"})) << "stable among the two Nowaks";
    admin::SortContactRows(rows, groups, {1, true});
    EXPECT_EQ(rows.front().idContactPriv, "10") << "no group name sorts as the empty text";
    const QStringList cells = admin::ContactCells(rows.front(), groups);
    EXPECT_EQ(cells[1], "");
    EXPECT_EQ(cells[4], "Adamski");
    ROUTING_RULE few, many;
    many.sRecipients = {1, 2};
    EXPECT_TRUE(admin::CompareItemsByColumn(few, many, {3, true}));
    EXPECT_FALSE(admin::CompareItemsByColumn(few, many, {4, true}));
}

} // namespace
