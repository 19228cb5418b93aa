// Sorting a list by a column: the three comparison kinds, the click that
// flips the direction, and the sort kept across a reload.
#include "ui/ListSort.h"
#include "ui/Components.h"

#include <QHeaderView>
#include <gtest/gtest.h>

namespace {

QStringList column(const ui::TListView& list, int c) {
    QStringList texts;
    for (int i = 0; i < list.topLevelItemCount(); ++i)
        texts << list.topLevelItem(i)->text(c);
    return texts;
}

struct Lists : ::testing::Test {
    ui::TListView list{QStringLiteral("lvKlienci"), nullptr};
    void SetUp() override {
        for (const char* caption : {"Adres IP", "Port", "Czas"})
            list.AddColumn(QString::fromUtf8(caption));
        list.Columns()[0]->SetTag(ui::SortAddress);
        list.Columns()[1]->SetTag(ui::SortNumber);
        list.Columns()[2]->SetTag(ui::SortTime);
    }
    void rows(std::initializer_list<QStringList> cells) {
        list.clear();
        for (const QStringList& row : cells)
            list.AddRow(row);
    }
    std::vector<int> images() {
        std::vector<int> result;
        for (int i = 0; i < list.Columns().Count(); ++i)
            result.push_back(list.Columns()[i]->ImageIndex());
        return result;
    }
};

TEST_F(Lists, ClicksOnAColumnSortAscendingThenFlipAndTheArrowFollows) {
    rows({{"a", "10"}, {"b", " 9"}, {"c", "abc"}});
    ui::ListColumnClick(list, 1);
    EXPECT_EQ(column(list, 1), (QStringList{"abc", " 9", "10"}));
    EXPECT_EQ(images(), (std::vector<int>{-1, 1, -1}));
    ui::ListColumnClick(list, 1);
    EXPECT_EQ(column(list, 1), (QStringList{"10", " 9", "abc"}));
    EXPECT_EQ(images(), (std::vector<int>{-1, 0, -1}));
    ui::ListColumnClick(list, 1);
    EXPECT_EQ(images(), (std::vector<int>{-1, 1, -1}));
    EXPECT_TRUE(list.header()->isSortIndicatorShown());
    EXPECT_EQ(list.header()->sortIndicatorSection(), 1);
}

TEST_F(Lists, NumbersCompareWithoutOverflowAndTimesWithOneLeadingZero) {
    rows({{"", "99999999999999999999999"}, {"", "-2147483648"}, {"", "2147483647"}, {"", "1"}});
    ui::ListColumnClick(list, 1);
    EXPECT_EQ(column(list, 1), (QStringList{"-2147483648", "1", "2147483647", "99999999999999999999999"}));
    rows({{"", "", "10:00:00"}, {"", "", "9:05:03"}});
    ui::ListColumnClick(list, 2);
    EXPECT_EQ(column(list, 2), (QStringList{"9:05:03", "10:00:00"}));
}

TEST_F(Lists, AddressesSortByTheirValueFirstOctetMostSignificantAndOthersAreZero) {
    EXPECT_EQ(ui::IpTextToInt("192.168.1.5"), 0xC0A80105u);
    EXPECT_EQ(ui::IpTextToInt("192.168.100.100:1"), 0u);
    EXPECT_EQ(ui::IpTextToInt("10.0.0"), 0u);
    EXPECT_EQ(ui::IpTextToInt("10.0.0.256"), 0u);
    EXPECT_EQ(ui::IpTextToInt("serwer"), 0u);
    rows({{"192.168.1.200"}, {"10.0.0.2"}, {"9.255.255.255"}, {"10.0.0.1"}, {"0.0.0.0:1"}});
    ui::ListColumnClick(list, 0);
    EXPECT_EQ(column(list, 0),
              (QStringList{"0.0.0.0:1", "9.255.255.255", "10.0.0.1", "10.0.0.2", "192.168.1.200"}));
    ui::ListColumnClick(list, 0);
    EXPECT_EQ(column(list, 0).front(), "192.168.1.200");
}

TEST_F(Lists, AReloadedListIsSortedAgainByTheMarkedColumnEvenWhenColumnsWereMoved) {
    rows({{"1.1.1.1", "2"}, {"1.1.1.2", "1"}});
    // The user dragged the header: the click still names the logical column.
    list.header()->moveSection(1, 0);
    ui::ListColumnClick(list, 1);
    ui::ListColumnClick(list, 1);
    rows({{"1.1.1.1", "5"}, {"1.1.1.2", "7"}, {"1.1.1.3", "6"}});
    ui::SortListView(list);
    EXPECT_EQ(column(list, 1), (QStringList{"7", "6", "5"}));
}

} // namespace
