// The journal of the rows on their way, on a small disk of its own that
// fills up: a batch it could not take leaves no row with a place in it.
#include "db/RowJournal.h"
#include "support/SmallDisk.h"

#include <gtest/gtest.h>

using testing_support::SmallDisk;

namespace {

std::vector<db::RowJournal::Entry> entries(std::size_t count, std::size_t textSize) {
    std::vector<db::RowJournal::Entry> rows(count);
    for (std::size_t i = 0; i < count; ++i)
        rows[i].statement = "INSERT INTO TalksIncoming (sNumber) VALUES ('" + std::to_string(i) + "') -- " +
                            std::string(textSize, 'x');
    return rows;
}

bool append(db::RowJournal& journal, std::vector<db::RowJournal::Entry>& rows) {
    std::vector<db::RowJournal::Entry*> pointers;
    for (auto& row : rows)
        pointers.push_back(&row);
    return journal.Append(pointers);
}

} // namespace

// The disk fills in the middle of a batch (its rows outgrow SQLite's cache,
// so a later insert is the one that fails): none of the batch keeps a place,
// which the next batch gets, so no later change meant for it reaches another
// row.
TEST(RowJournal, ABatchThatMeetsAFullDiskMidwayLeavesNoRowWithAPlace) {
    SmallDisk disk("8m");
    if (!disk.mounted())
        GTEST_SKIP() << "no small filesystem of the test's own could be mounted: " << disk.error();
    db::RowJournal journal;
    ASSERT_TRUE(journal.Open(disk.file("halvex-rows.sqlite"))) << journal.LastError();
    disk.fill();
    auto refused = entries(20, 512 * 1024);
    ASSERT_FALSE(append(journal, refused));
    for (const auto& row : refused)
        EXPECT_EQ(row.seq, 0) << row.statement.substr(0, 60);

    disk.free();
    auto taken = entries(2, 10);
    ASSERT_TRUE(append(journal, taken)) << journal.LastError();
    for (auto& row : refused)
        EXPECT_FALSE(row.seq != 0 && journal.Remove({row.seq}));
    std::vector<db::RowJournal::Entry> left;
    EXPECT_TRUE(journal.Load(left));
    EXPECT_EQ(left.size(), 2u);
}
