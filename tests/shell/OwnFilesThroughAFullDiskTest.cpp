// The program's own files across a full disk and a damaged journal. Calls
// are kept in the journal while the database is away, and the program stops
// cleanly. Then a start meets its folder (settings, log, journal) on a disk
// filled to the last byte: it reads its settings, leaves the file and the
// journal as they are, and once the disk is freed the next start writes
// every kept call, once. Or the journal is damaged between the runs (a page
// overwritten): the next start sets it aside, writes every row that can
// still be read, and names how many could not be.
#include "support/PrivateFirebirdServer.h"
#include "support/ProgramWithDesks.h"
#include "support/SmallDisk.h"

#include "shell/FileLocations.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <map>
#include <regex>
#include <sstream>

using testing_support::AwaitWhileRunning;
using testing_support::HalvexProcess;
using testing_support::JournalRowsWith;
using testing_support::SmallDisk;

namespace {

// The numbers of the stored calls, each as often as stored.
std::map<std::string, int> storedCalls(const testfb::Connection& c) {
    std::map<std::string, int> stored;
    std::istringstream rows(testfb::MainQuery(c, "SELECT TRIM(sNumber) FROM TalksIncoming"));
    for (std::string row; std::getline(rows, row);) {
        const std::size_t first = row.find_first_not_of(' ');
        if (first != std::string::npos)
            ++stored[row.substr(first, row.find_last_not_of(' ') + 1 - first)];
    }
    testfb::DetachMain();
    return stored;
}

// The journal as a clean end of its last user leaves it: without its -wal
// and -shm files, which a start then makes anew.
void leaveJournalAlone(const std::string& path) {
    {
        QSqlDatabase journal = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("last"));
        journal.setDatabaseName(QString::fromStdString(path));
        // Its close, the last, writes the -wal file into the journal.
        EXPECT_TRUE(journal.open() && QSqlQuery(journal).exec(QStringLiteral("SELECT COUNT(*) FROM rows")));
        journal.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("last"));
    EXPECT_FALSE(QFile::exists(QString::fromStdString(path + "-shm")));
}

class OwnFilesThroughAFullDisk : public testing::Test {
  protected:
    void SetUp() override {
        HALVEX_SKIP_UNDER_THREAD_SANITIZER();
        ASSERT_NO_FATAL_FAILURE(testing_support::StartDatabaseWithDesks(server, c, {"201"}));
        ASSERT_TRUE(exchange.Start());
        ASSERT_TRUE(testing_support::WriteProgramSettings(c, exchange.Port()));
    }
    void TearDown() override { testfb::DetachMain(); }

    // Calls from numbers of their own, shown at the desk of 201.
    void call(int calls) {
        for (int i = 0; i < calls; ++i) {
            callers.push_back(std::to_string(600900000 + callers.size()));
            for (const std::string& record :
                 testing_support::CallTo201(std::to_string(10 + callers.size() % 90), callers.back()))
                exchange.SendRecord(record);
        }
    }

    // Calls made while the database is away, every one kept in the journal,
    // then a clean stop.
    void keepCallsForAnAwayDatabase(HalvexProcess& halvex, int calls) {
        int clientPort = 0;
        ASSERT_NO_FATAL_FAILURE(
            testing_support::StartWithDesks(halvex, exchange, {"u201"}, desks, clientPort));
        server.kill();
        call(calls);
        const std::string journal = shell::RowJournalPathFor(halvex.logPath());
        // Rows are journaled in the order handed: the last call's row there
        // means every earlier one is.
        EXPECT_TRUE(AwaitWhileRunning(halvex, [&] { return JournalRowsWith(journal, callers.back()) > 0; }))
            << halvex.logText();
        ASSERT_NO_FATAL_FAILURE(testing_support::StopAndExpectCleanEnd(halvex, "with the database away"));
        kept = JournalRowsWith(journal, "");
        ASSERT_GE(kept, calls);
        desks.clear();
    }

    // The program's folder and its settings on `disk`: the settings file is
    // named.
    std::string settingsOnTheDisk(const SmallDisk& disk, HalvexProcess& halvex) {
        const std::string registry = disk.file("registry");
        EXPECT_TRUE(QDir().mkpath(QString::fromStdString(registry)));
        EXPECT_TRUE(QFile::copy(QString::fromStdString(sandbox.machineRegistryFile()),
                                QString::fromStdString(registry + "/machine.reg")));
        halvex.setEnv(QStringLiteral("HALVEX_REGISTRY_DIR"), QString::fromStdString(registry));
        return registry + "/machine.reg";
    }

    // Every call's row is in the database once.
    void expectEveryCallOnce(HalvexProcess& halvex) {
        std::string wrong;
        std::map<std::string, int> stored = storedCalls(c);
        for (const std::string& caller : callers)
            if (stored[caller] != 1)
                wrong += caller + ": " + std::to_string(stored[caller]) + " rows\n";
        EXPECT_EQ(wrong, "") << halvex.standardError();
    }

    // A start with the database back, until `done`; then a clean stop.
    void startUntil(HalvexProcess& halvex, const std::function<bool()>& done) {
        halvex.start({"DEBUG", "CTI"});
        EXPECT_TRUE(AwaitWhileRunning(halvex, done)) << halvex.standardError() << halvex.logText();
        ASSERT_NO_FATAL_FAILURE(testing_support::StopAndExpectCleanEnd(halvex, "after the start"));
    }

    testfb::PrivateServer server;
    testfb::Connection c;
    testing_support::Sandbox sandbox;
    sim::ExchangeSimulator exchange{sim::Family::Vantrel, sim::Transport::Tcp};
    std::vector<std::unique_ptr<sim::ClientSimulator>> desks;
    std::vector<std::string> callers;
    int kept = 0;
};

} // namespace

namespace {

// Room for the program file, its log and its journal.
std::string smallDiskSize() {
    const qint64 program = QFileInfo(QString::fromStdString(HalvexProcess::builtProgram())).size();
    return std::to_string(program / (1 << 20) + 16) + "m";
}

} // namespace

TEST_F(OwnFilesThroughAFullDisk, TheSettingsAndEveryKeptRowOutlastAStartOnAFullDisk) {
    SmallDisk disk(smallDiskSize());
    if (!disk.mounted())
        GTEST_SKIP() << "no small filesystem of the test's own could be mounted: " << disk.error();
    HalvexProcess halvex(sandbox, disk.file("halvex"));
    const std::string settingsFile = settingsOnTheDisk(disk, halvex);
    ASSERT_NO_FATAL_FAILURE(keepCallsForAnAwayDatabase(halvex, 40));
    const std::string settings = testing_support::readFile(settingsFile);

    ASSERT_TRUE(server.start()) << server.error();
    leaveJournalAlone(shell::RowJournalPathFor(halvex.logPath()));
    disk.fill();
    const int logins = exchange.LoginCount();
    // The exchange is reached only by the address its settings name.
    startUntil(halvex, [&] { return exchange.LoginCount() > logins; });
    const std::string fullStart = halvex.standardError();
    EXPECT_NE(fullStart.find("cannot be written"), std::string::npos) << fullStart;
    EXPECT_EQ(fullStart.find("set-aside"), std::string::npos) << fullStart;
    EXPECT_EQ(fullStart.find("kept as"), std::string::npos) << fullStart;
    EXPECT_EQ(testing_support::readFile(settingsFile), settings);
    disk.free();

    startUntil(halvex, [&] { return storedCalls(c).size() == callers.size(); });
    expectEveryCallOnce(halvex);
    EXPECT_EQ(testing_support::readFile(settingsFile), settings);
}

// The journal that a full disk kept closed at the start is tried again: once
// the disk has room it opens, with the rows of the last run, and takes the
// rows that waited in memory meanwhile.
TEST_F(OwnFilesThroughAFullDisk, AJournalAFullDiskKeptClosedOpensWhenTheDiskHasRoom) {
    SmallDisk disk(smallDiskSize());
    if (!disk.mounted())
        GTEST_SKIP() << "no small filesystem of the test's own could be mounted: " << disk.error();
    HalvexProcess halvex(sandbox, disk.file("halvex"));
    settingsOnTheDisk(disk, halvex);
    ASSERT_NO_FATAL_FAILURE(keepCallsForAnAwayDatabase(halvex, 20));
    const std::string journal = shell::RowJournalPathFor(halvex.logPath());

    leaveJournalAlone(journal);
    disk.fill();
    const int logins = exchange.LoginCount();
    halvex.start({"DEBUG", "CTI"});
    EXPECT_TRUE(halvex.waitForStderr("cannot open the row journal")) << halvex.standardError();
    EXPECT_TRUE(AwaitWhileRunning(halvex, [&] { return exchange.LoginCount() > logins; }));
    call(20);
    disk.free();
    EXPECT_TRUE(halvex.waitForStderr("Halvex: the row journal " + journal + " is open"))
        << halvex.standardError();
    EXPECT_TRUE(AwaitWhileRunning(halvex, [&] { return JournalRowsWith(journal, callers.back()) > 0; }))
        << halvex.standardError();
    EXPECT_EQ(JournalRowsWith(journal, callers.front()), 1);
    ASSERT_NO_FATAL_FAILURE(testing_support::StopAndExpectCleanEnd(halvex, "with the journal open again"));

    ASSERT_TRUE(server.start()) << server.error();
    startUntil(halvex, [&] { return storedCalls(c).size() == callers.size(); });
    expectEveryCallOnce(halvex);
}

TEST_F(OwnFilesThroughAFullDisk, TheReadableRowsOfADamagedJournalAreWrittenAndTheRestCounted) {
    HalvexProcess halvex(sandbox);
    ASSERT_NO_FATAL_FAILURE(keepCallsForAnAwayDatabase(halvex, 120));
    // The page that holds a call in the middle is overwritten.
    const std::string journal = shell::RowJournalPathFor(halvex.logPath());
    // Rows may still be in its -wal file (SQLite folds it in at the last
    // close only when nothing else holds the file then): folded in first.
    leaveJournalAlone(journal);
    QFile file(QString::fromStdString(journal));
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    const QByteArray bytes = file.readAll();
    const qsizetype at = bytes.indexOf(QByteArray::fromStdString(callers[callers.size() / 2]));
    ASSERT_GT(at, 0) << "the journal's rows are in its file after a clean stop";
    constexpr qsizetype PageSize = 4096;
    ASSERT_TRUE(file.seek(at / PageSize * PageSize));
    ASSERT_EQ(file.write(QByteArray(PageSize, '\x5a')), PageSize);
    file.close();

    ASSERT_TRUE(server.start()) << server.error();
    const std::regex taken("Halvex: ([0-9]+) rows read from the set-aside row journal");
    const std::regex lost("not read \\([^)]*\\): ([0-9]+) rows");
    std::smatch said;
    startUntil(halvex, [&] {
        const std::string errors = halvex.standardError();
        return std::regex_search(errors, said, taken) && storedCalls(c).size() >= 1 &&
               halvex.logText().find("Zapisy z poprzedniej pracy zapisane w bazie danych") !=
                   std::string::npos;
    });
    const std::string errors = halvex.standardError();
    ASSERT_TRUE(std::regex_search(errors, said, taken)) << errors;
    const int read = std::stoi(said[1]);
    ASSERT_TRUE(std::regex_search(errors, said, lost)) << errors;
    const int unread = std::stoi(said[1]);
    EXPECT_GT(read, 0);
    EXPECT_GT(unread, 0);
    EXPECT_EQ(read + unread, kept) << errors;
    const std::map<std::string, int> stored = storedCalls(c);
    std::string wrong;
    for (const auto& [number, rows] : stored)
        if (rows != 1)
            wrong += number + ": " + std::to_string(rows) + " rows\n";
    EXPECT_EQ(wrong, "");
    EXPECT_GE(stored.size(), callers.size() - std::size_t(unread)) << errors;
    EXPECT_FALSE(stored.contains(callers[callers.size() / 2])) << "its page was overwritten";
}
