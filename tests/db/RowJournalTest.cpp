// The journal of the rows on their way, on a small disk of its own that
// fills up: a batch it could not take leaves no row with a place in it. Its
// identity and the numbers of its commits.
#include "db/RowJournal.h"
#include "support/SmallDisk.h"

#include <QTemporaryDir>

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

// The journal's identity is made with the file and kept in it; a commit's
// number, once given out, stays the highest given out after its rows left
// (a key is never given twice); only the rows still marked as gone out hold
// their commits' keys.
TEST(RowJournal, ItsIdentityAndItsCommitNumbersOutliveTheRowsThatCarriedThem) {
    QTemporaryDir dir;
    const std::string path = dir.filePath("rows.sqlite").toStdString();
    std::string identity;
    {
        db::RowJournal journal;
        ASSERT_TRUE(journal.Open(path)) << journal.LastError();
        identity = journal.Identity();
        EXPECT_EQ(identity.size(), 32u);
        std::vector<db::RowJournal::Entry> rows = entries(3, 0);
        ASSERT_TRUE(append(journal, rows));
        ASSERT_TRUE(journal.MarkAttempted({rows[0].seq}, 4));
        ASSERT_TRUE(journal.MarkAttempted({rows[1].seq, rows[2].seq}, 9));
        ASSERT_TRUE(journal.MarkAttempted({rows[2].seq}, 0));
        std::int64_t oldest = 0;
        ASSERT_TRUE(journal.OldestCommitOut(oldest));
        EXPECT_EQ(oldest, 4);
        ASSERT_TRUE(journal.Remove({rows[0].seq, rows[1].seq}));
        ASSERT_TRUE(journal.OldestCommitOut(oldest));
        EXPECT_EQ(oldest, 0);
    }
    db::RowJournal reopened;
    ASSERT_TRUE(reopened.Open(path)) << reopened.LastError();
    EXPECT_EQ(reopened.Identity(), identity);
    std::int64_t last = 0;
    ASSERT_TRUE(reopened.LastCommit(last));
    EXPECT_EQ(last, 9);
    std::vector<db::RowJournal::Entry> left;
    ASSERT_TRUE(reopened.Load(left));
    ASSERT_EQ(left.size(), 1u);
    EXPECT_FALSE(left[0].attempted);
    EXPECT_EQ(left[0].commitNumber, 0);
    QTemporaryDir other;
    db::RowJournal another;
    ASSERT_TRUE(another.Open(other.filePath("rows.sqlite").toStdString()));
    EXPECT_NE(another.Identity(), identity);
}
