// The journal of the rows on their way is damaged between two runs of the
// real program (cut in half, its head overwritten, cut to nothing): the
// next start says so, with how many rows the last run left in it, keeps the
// damaged file aside under a dated name, and starts a new journal with the
// rows of the damaged one that can still be read.
#include "db/RowJournal.h"
#include "support/HalvexProcess.h"

#include <QDir>
#include <QFile>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>

using testing_support::HalvexProcess;
using testing_support::Sandbox;

namespace {

enum class Damage { CutInHalf, HeadOverwritten, CutToNothing };

class UnreadableJournal : public testing::TestWithParam<Damage> {
  protected:
    // A journal of 20 rows, which a run of the program (its database away)
    // leaves as it found it, saying how many it left.
    void journalLeftByARun() {
        {
            db::RowJournal journal;
            ASSERT_TRUE(journal.Open(journalPath)) << journal.LastError();
            std::vector<db::RowJournal::Entry> rows(20);
            std::vector<db::RowJournal::Entry*> pointers;
            for (std::size_t i = 0; i < rows.size(); ++i) {
                rows[i].statement = "INSERT INTO TalksIncoming (sNumber) VALUES ('6001000" +
                                    std::to_string(i) + "') -- " + std::string(2000, 'x');
                pointers.push_back(&rows[i]);
            }
            ASSERT_TRUE(journal.Append(pointers)) << journal.LastError();
        }
        HalvexProcess halvex(sandbox);
        halvex.start({"DEBUG"});
        ASSERT_TRUE(halvex.waitForLog("20 zapisów z poprzedniej pracy czeka na bazę danych"))
            << halvex.logText();
        halvex.signal(SIGTERM);
        ASSERT_TRUE(halvex.waitForExit());
        ASSERT_NE(halvex.standardError().find("20 rows waiting for the database are kept"),
                  std::string::npos);
    }

    void damage(Damage how) {
        QFile file(QString::fromStdString(journalPath));
        const qint64 size = file.size();
        ASSERT_GT(size, 16384);
        if (how == Damage::HeadOverwritten) {
            ASSERT_TRUE(file.open(QIODevice::ReadWrite));
            file.write(QByteArray(512, '\x5A'));
            file.close();
        } else {
            ASSERT_TRUE(file.resize(how == Damage::CutInHalf ? size / 2 : 0));
        }
    }

    Sandbox sandbox;
    const std::string journalPath = sandbox.file("halvex-rows.sqlite");
};

} // namespace

TEST_P(UnreadableJournal, IsKeptAsideAndSaidWithTheRowsItHeld) {
    HALVEX_SKIP_UNDER_THREAD_SANITIZER();
    ASSERT_NO_FATAL_FAILURE(journalLeftByARun());
    ASSERT_NO_FATAL_FAILURE(damage(GetParam()));
    const auto damagedSize = std::filesystem::file_size(journalPath);

    HalvexProcess halvex(sandbox);
    halvex.start({"DEBUG"});
    const bool empty = GetParam() == Damage::CutToNothing;
    EXPECT_TRUE(halvex.waitForStderr(empty ? "holds no rows" : "the set-aside row journal"))
        << halvex.standardError();
    ASSERT_TRUE(halvex.waitForLog(empty ? "nie ma zapisów" : "Nie można odczytać dziennika zapisów"));
    const std::string said = halvex.standardError();
    const std::string log = halvex.logText();
    if (empty) {
        EXPECT_NE(said.find("holds no rows, but the last run left 20 in it"), std::string::npos) << said;
        EXPECT_NE(log.find("nie ma zapisów, a poprzednia praca zostawiła w nim 20"), std::string::npos)
            << log;
    } else {
        // The file kept aside (with its -wal file beside it, if it had one).
        QStringList aside = QDir(QString::fromStdString(sandbox.path()))
                                .entryList({QStringLiteral("halvex-rows.sqlite.unreadable-*")}, QDir::Files);
        aside.removeIf([](const QString& name) { return name.endsWith(QStringLiteral("-wal")); });
        ASSERT_EQ(aside.size(), 1) << said;
        const std::string kept = sandbox.file(aside.front().toStdString());
        EXPECT_EQ(std::filesystem::file_size(kept), damagedSize);
        EXPECT_NE(said.find("cannot be read"), std::string::npos) << said;
        EXPECT_NE(said.find("kept as " + kept), std::string::npos) << said;
        EXPECT_NE(said.find("the last run left 20 rows in it"), std::string::npos) << said;
        EXPECT_NE(log.find(kept), std::string::npos) << log;
    }
    // A new journal in its place, readable, with the rows of the damaged one
    // that could still be read, in their order; those that could not are
    // counted.
    db::RowJournal journal;
    std::vector<db::RowJournal::Entry> rows;
    ASSERT_TRUE(journal.Open(journalPath)) << journal.LastError();
    EXPECT_TRUE(journal.Load(rows)) << journal.LastError();
    if (empty) {
        EXPECT_TRUE(rows.empty());
    } else {
        // Behind them, the rows of this run.
        std::size_t next = 0, taken = 0;
        for (const db::RowJournal::Entry& row : rows) {
            const std::size_t at = row.statement.find("VALUES ('6001000");
            if (at == std::string::npos)
                continue;
            const std::size_t number = std::stoul(row.statement.substr(at + 16));
            EXPECT_GE(number, next) << row.statement.substr(0, 80);
            EXPECT_EQ(row.seq, std::int64_t(++taken));
            next = number + 1;
        }
        EXPECT_NE(said.find(std::to_string(taken) + " rows read from the set-aside row journal"),
                  std::string::npos)
            << said;
        if (taken < 20) {
            EXPECT_NE(said.find(std::to_string(20 - taken) + " rows; at places"), std::string::npos) << said;
        }
    }
    halvex.signal(SIGTERM);
    ASSERT_TRUE(halvex.waitForExit());
    EXPECT_EQ(halvex.exitCode(), 0);
}

INSTANTIATE_TEST_SUITE_P(Damages, UnreadableJournal,
                         testing::Values(Damage::CutInHalf, Damage::HeadOverwritten, Damage::CutToNothing),
                         [](const testing::TestParamInfo<Damage>& info) {
                             switch (info.param) {
                             case Damage::CutInHalf:
                                 return std::string("CutInHalf");
                             case Damage::HeadOverwritten:
                                 return std::string("HeadOverwritten");
                             default:
                                 return std::string("CutToNothing");
                             }
                         });
