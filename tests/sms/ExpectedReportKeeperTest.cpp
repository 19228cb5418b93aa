// The file of expected delivery reports between runs: damaged, deleted, or
// on a full disk, it loses no report unnamed, and a failure that passes is
// tried again.
#include "platform/Clock.h"
#include "sms/SmsGateway.h"
#include "sms/SmsTestHost.h"
#include "support/MainFormFixture.h"
#include "support/SmallDisk.h"

#include <QDir>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTest>

namespace {

const std::string LineName = "500100200";
constexpr int Line = 2;

// A gateway that keeps its reports at `path`, with one line whose queue's
// head is the message the reports name.
class KeepingGateway {
  public:
    explicit KeepingGateway(const std::string& path) {
        gateway.SmsEngine.v_gsmlines = &lines;
        sms::SMSMSG head;
        head.nId = 9;
        head.sNumber = "600123456";
        gateway.SmsEngine.LineQueues[LineName].push_back(head);
        gateway.KeepExpectedReports(path);
    }
    void expect(int reference) {
        gateway.HandleSmsRecord("SMS RAPORT_ID " + std::to_string(Line) + " 100 " +
                                std::to_string(reference));
    }
    std::size_t expected() { return gateway.SmsEngine.ExpectedReports[Line].size(); }

    SmsTestHost host;
    sms::SmsGateway gateway{host};
    const std::vector<sms::S_GSMLINE> lines{{Line, LineName}};
};

// How many reports the file holds, read as the next start reads it.
std::size_t reportsIn(const std::string& path) {
    sms::ExpectedReportStore store;
    sms::ExpectedReportStore::Reports kept;
    if (!store.Open(path) || !store.Load(kept))
        return 0;
    return kept[Line].size();
}

class ExpectedReportsBetweenRuns : public testing_support::MainFormFixture {
  protected:
    void SetUp() override {
        MainFormFixture::SetUp();
        createForm("DEBUG");
        path = sandbox.file("halvex-reports.sqlite");
    }
    std::string path;
};

} // namespace

// A page of the file overwritten between runs: the start sets it aside, says
// how many reports it could not read, and a new file holds every one it
// could; a later change is kept there.
TEST_F(ExpectedReportsBetweenRuns, ADamagedFileIsSetAsideAndSaysWhatItLost) {
    {
        sms::ExpectedReportStore store;
        ASSERT_TRUE(store.Open(path)) << store.LastError();
        std::list<sms::SMS_RAPORT> reports(400);
        int reference = 0;
        for (sms::SMS_RAPORT& report : reports) {
            report.nId = 1000 + reference;
            report.iIdR = reference++;
            report.sNumber = "6000" + std::to_string(10000 + reference);
            report.tCreated = platform::processEpochSeconds();
        }
        ASSERT_TRUE(store.Keep(Line, reports)) << store.LastError();
    }
    // A page of rows in the middle, never the first.
    QFile file(QString::fromStdString(path));
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    const QByteArray bytes = file.readAll();
    const qint64 at = bytes.indexOf("600010200") / 4096 * 4096;
    ASSERT_GT(at, 4096);
    file.seek(at);
    file.write(QByteArray(4096, '\xff'));
    file.close();

    testing::internal::CaptureStderr();
    KeepingGateway second(path);
    const std::string said = testing::internal::GetCapturedStderr();
    const std::size_t read = second.expected();
    ASSERT_GT(read, 0u);
    ASSERT_LT(read, 400u);
    EXPECT_NE(said.find("is damaged"), std::string::npos) << said;
    EXPECT_NE(said.find(std::to_string(read) + " reports read, " + std::to_string(400 - read) +
                        " could not be read"),
              std::string::npos)
        << said;
    EXPECT_NE(mainLogText().find("Plik oczekiwanych raportów SMS " + path + " jest uszkodzony"),
              std::string::npos)
        << logSoFar;
    const QStringList aside = QDir(QString::fromStdString(sandbox.path()))
                                  .entryList({QStringLiteral("halvex-reports.sqlite.unreadable-*")});
    EXPECT_FALSE(aside.isEmpty()) << "the damaged file is kept aside";
    EXPECT_EQ(reportsIn(path), read) << "the new file holds every report read";

    second.expect(500);
    EXPECT_EQ(reportsIn(path), read + 1) << "later changes are kept in the new file";
}

// The file deleted between runs: the start names the reports the last run
// left in it.
TEST_F(ExpectedReportsBetweenRuns, ADeletedFileIsNamedWithItsReports) {
    {
        KeepingGateway first(path);
        first.expect(41);
        first.expect(42);
        first.expect(43);
    }
    {
        testing::internal::CaptureStderr();
        KeepingGateway second(path);
        const std::string said = testing::internal::GetCapturedStderr();
        EXPECT_EQ(second.expected(), 3u);
        EXPECT_EQ(said.find("expected SMS delivery reports"), std::string::npos) << said;
    }
    for (const char* end : {"", "-wal", "-shm"})
        QFile::remove(QString::fromStdString(path + end));

    testing::internal::CaptureStderr();
    KeepingGateway third(path);
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("the file of expected SMS delivery reports " + path +
                        " is missing, but the last run left 3 reports in it"),
              std::string::npos)
        << said;
    EXPECT_NE(mainLogText().find("Brak pliku oczekiwanych raportów SMS " + path), std::string::npos)
        << logSoFar;
}

// Started on a full disk: the file's reports are taken, and the new one
// written, once the disk has room again, without another change.
TEST_F(ExpectedReportsBetweenRuns, AFullDiskAtTheStartIsTriedAgain) {
    testing_support::SmallDisk disk;
    if (!disk.mounted())
        GTEST_SKIP() << "no small filesystem of the test's own could be mounted: " << disk.error();
    path = disk.file("halvex-reports.sqlite");
    {
        KeepingGateway first(path);
        first.expect(41);
        first.expect(42);
    }
    disk.fill();
    testing::internal::CaptureStderr();
    KeepingGateway second(path);
    second.expect(43);
    const std::string said = testing::internal::GetCapturedStderr();
    disk.free();
    EXPECT_TRUE(QTest::qWaitFor([&] { return second.expected() == 3 && reportsIn(path) == 3; }, 30000))
        << second.expected() << " expected, " << reportsIn(path) << " in the file; " << said << logSoFar;
}

// An earlier version's file, whose reports name no database, is taken over
// as it is: its reports are expected, and later ones are kept beside them.
TEST_F(ExpectedReportsBetweenRuns, AnEarlierVersionsFileIsTakenOver) {
    {
        QSqlDatabase earlier =
            QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("earlier"));
        earlier.setDatabaseName(QString::fromStdString(path));
        ASSERT_TRUE(earlier.open());
        QSqlQuery query(earlier);
        ASSERT_TRUE(
            query.exec(QStringLiteral("CREATE TABLE reports (line INTEGER NOT NULL, place INTEGER NOT NULL, "
                                      "rowkey INTEGER NOT NULL, idpc "
                                      "INTEGER NOT NULL, idr INTEGER NOT NULL, sender INTEGER NOT NULL, "
                                      "created INTEGER NOT NULL, number "
                                      "TEXT NOT NULL, token TEXT NOT NULL, PRIMARY KEY (line, place))")));
        ASSERT_TRUE(query.exec(QStringLiteral("INSERT INTO reports VALUES (2, 0, 9, 100, 41, -1, %1, "
                                              "'600123456', '')")
                                   .arg(platform::processEpochSeconds())));
        earlier.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("earlier"));
    KeepingGateway next(path);
    ASSERT_EQ(next.expected(), 1u);
    EXPECT_EQ(next.gateway.SmsEngine.ExpectedReports[Line].front().iIdR, 41);
    EXPECT_EQ(next.gateway.SmsEngine.ExpectedReports[Line].front().database, "");
    next.expect(42);
    EXPECT_EQ(reportsIn(path), 2u);
}
