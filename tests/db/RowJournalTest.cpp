// The journal of the rows on their way, on a small disk of its own that
// fills up: a batch it could not take leaves no row with a place in it. Its
// identity and the numbers of its commits.
#include "db/RowJournal.h"
#include "db/SetAsideJournal.h"
#include "support/SmallDisk.h"

#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>
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

// The page of `path` that holds `text` overwritten; false when not found.
bool damagePageWith(const std::string& path, const std::string& text) {
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadWrite))
        return false;
    const qsizetype at = file.readAll().indexOf(QByteArray::fromStdString(text));
    constexpr qsizetype PageSize = 4096;
    return at > 0 && file.seek(at / PageSize * PageSize) &&
           file.write(QByteArray(PageSize, '\x5a')) == PageSize;
}

// A journal as an earlier version made it: without the columns added since,
// 200 rows and the key of one of them.
void earlierVersionsJournal(const std::string& path) {
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("earlier"));
        db.setDatabaseName(QString::fromStdString(path));
        ASSERT_TRUE(db.open());
        QSqlQuery query(db);
        ASSERT_TRUE(query.exec("CREATE TABLE rows (seq INTEGER PRIMARY KEY AUTOINCREMENT, statement TEXT NOT "
                               "NULL, generator TEXT NOT NULL DEFAULT '', rowkey TEXT NOT NULL DEFAULT '', "
                               "attempted INTEGER NOT NULL DEFAULT 0, token TEXT NOT NULL DEFAULT '')"));
        ASSERT_TRUE(query.exec("CREATE TABLE rowkeys (token TEXT PRIMARY KEY, rowkey TEXT NOT NULL)"));
        ASSERT_TRUE(query.exec("INSERT INTO rowkeys VALUES ('t1', '41')"));
        ASSERT_TRUE(query.prepare("INSERT INTO rows (statement) VALUES (?)"));
        for (const auto& row : entries(200, 200)) {
            query.bindValue(0, QString::fromStdString(row.statement));
            ASSERT_TRUE(query.exec());
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("earlier"));
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

// A damaged journal of an earlier version, without the columns added since:
// its readable rows are taken, with the defaults of those columns, and so
// are the keys its rows refer to; what could not be read is named.
TEST(SetAsideJournal, AnEarlierVersionsDamagedFileGivesUpItsReadableRowsAndKeys) {
    QTemporaryDir dir;
    const std::string aside = dir.filePath("aside.sqlite").toStdString();
    ASSERT_NO_FATAL_FAILURE(earlierVersionsJournal(aside));
    ASSERT_TRUE(damagePageWith(aside, "VALUES ('100')"));
    db::RowJournal journal;
    ASSERT_TRUE(journal.Open(dir.filePath("rows.sqlite").toStdString())) << journal.LastError();
    const db::SetAsideRows taken = db::TakeSetAsideRows(aside, journal);
    EXPECT_TRUE(taken.read) << taken.error;
    EXPECT_GT(taken.taken, 150u) << taken.error;
    EXPECT_LT(taken.taken, 200u);
    EXPECT_FALSE(taken.unreadable.empty());
    std::vector<db::RowJournal::Entry> rows;
    ASSERT_TRUE(journal.Load(rows));
    ASSERT_EQ(rows.size(), taken.taken);
    ASSERT_FALSE(rows.empty());
    EXPECT_EQ(rows.front().statement.substr(0, 50), entries(1, 0).front().statement.substr(0, 50));
    EXPECT_EQ(rows.front().home, "");
    EXPECT_EQ(rows.front().commitNumber, 0);
    const std::vector<db::RowJournal::Key> keys = journal.Keys();
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_EQ(keys.front().key, "41");
}

// A damaged journal's highest drawn keys go into the new one: a restore of
// their database still moves its generators past them.
TEST(SetAsideJournal, TheKeysDrawnInEachDatabaseOutliveTheDamage) {
    QTemporaryDir dir;
    const std::string aside = dir.filePath("aside.sqlite").toStdString();
    {
        db::RowJournal damaged;
        ASSERT_TRUE(damaged.Open(aside)) << damaged.LastError();
        std::vector<db::RowJournal::Entry> rows = entries(200, 200);
        rows.front().key = "77";
        rows.front().home = "the database";
        rows.front().keyGenerator = "SELECT GEN_ID(ID_SMS, 1) AS NEW_VALUE FROM RDB$DATABASE";
        ASSERT_TRUE(append(damaged, rows)) << damaged.LastError();
        ASSERT_TRUE(damaged.SetKeys({&rows.front()}, true)) << damaged.LastError();
    }
    ASSERT_TRUE(damagePageWith(aside, "VALUES ('100')"));
    db::RowJournal journal;
    ASSERT_TRUE(journal.Open(dir.filePath("rows.sqlite").toStdString())) << journal.LastError();
    EXPECT_TRUE(db::TakeSetAsideRows(aside, journal).read);
    db::RowJournal::DrawnKeys drawn;
    ASSERT_TRUE(journal.KeysDrawn(drawn)) << journal.LastError();
    EXPECT_EQ(drawn["the database"]["ID_SMS"], 77);
}
