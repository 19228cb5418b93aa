// The real program, stopped with SIGTERM at the moments that used to hurt:
// right after a call's end with desks logged in, in the middle of a burst of
// call records, and at start-up against a database server made slow (while
// the database is created, right after the attach). Every run ends with exit
// code 0 and without a sanitizer report.
#include "support/ClientSimulator.h"
#include "support/ExchangeSimulator.h"
#include "support/FirebirdFixtures.h"
#include "support/HalvexProcess.h"
#include "support/ProgramWithDesks.h"
#include "support/SlowTcpProxy.h"

#include <QFileInfo>
#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <gtest/gtest.h>
#include <memory>

using testing_support::AwaitWhileRunning;
using testing_support::CallTo201;
using testing_support::HalvexProcess;
using testing_support::Sandbox;
using testing_support::StopAndExpectCleanEnd;

namespace {

// A database of the whole schema on the server, with a desk user and phone per
// extension, made once for the runs below.
class SigtermWithDesks : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        folder = std::make_unique<testfb::DatabaseFolder>();
        c = {"127.0.0.1", folder->file("RovaZAD.fdb"), "SYSDBA", testfb::ServerPassword()};
        if (!testfb::ServerReachable() || !testfb::CreateEmptyDatabase(c))
            return;
        testfb::AttachAndCreateSchema(c);
        testing_support::AddDeskUsers(c, {"201", "202", "203"});
        testfb::DetachMain();
        ready = true;
    }
    static void TearDownTestSuite() { folder.reset(); }

    void SetUp() override {
        HALVEX_SKIP_UNDER_THREAD_SANITIZER();
        HALVEX_REQUIRE_FB_SERVER();
        ASSERT_TRUE(ready) << "the test database could not be made";
    }

    // Starts the program on `database` linked to a new exchange, with the
    // three desks logged in (`desks`, on `clientPort`); `then` runs with
    // both, and the program is stopped after it; `afterStop` reads what it
    // left (and may start it again in the same sandbox).
    void runWithDesks(const std::function<void(HalvexProcess&, sim::ExchangeSimulator&)>& then,
                      const std::string& moment, const testfb::Connection& database = c,
                      const std::function<void(HalvexProcess&, const Sandbox&)>& afterStop = {}) {
        Sandbox sandbox;
        sim::ExchangeSimulator exchange(sim::Family::Vantrel, sim::Transport::Tcp);
        ASSERT_TRUE(exchange.Start());
        ASSERT_TRUE(testing_support::WriteProgramSettings(database, exchange.Port()));
        HalvexProcess halvex(sandbox);
        desks.clear();
        ASSERT_NO_FATAL_FAILURE(
            testing_support::StartWithDesks(halvex, exchange, {"u201", "u202", "u203"}, desks, clientPort));
        then(halvex, exchange);
        StopAndExpectCleanEnd(halvex, moment);
        if (afterStop)
            afterStop(halvex, sandbox);
    }

    int clientPort = 0;
    std::vector<std::unique_ptr<sim::ClientSimulator>> desks;
    static inline std::unique_ptr<testfb::DatabaseFolder> folder;
    static inline testfb::Connection c;
    static inline bool ready = false;
};

} // namespace

// A desk's message that no GSM line took yet when the program stops is
// named in the log, as rows not written are.
TEST_F(SigtermWithDesks, AMessageStillUnsentAtTheStopIsNamed) {
    runWithDesks(
        [&](HalvexProcess& halvex, sim::ExchangeSimulator&) {
            sim::ClientSimulator& desk = *desks.front();
            const std::size_t replies = desk.Replies().size();
            ASSERT_TRUE(desk.Send("!SMS&SEND&&600123456&SGVsbG8=\r\n"));
            ASSERT_TRUE(AwaitWhileRunning(halvex, [&] { return desk.Replies().size() > replies; }))
                << halvex.logText();
        },
        "with a message unsent", c,
        [](HalvexProcess& halvex, const Sandbox&) {
            const std::string log = halvex.logText();
            EXPECT_NE(log.find("Nie wysłano SMS użytkownika"), std::string::npos) << log;
            EXPECT_NE(log.find("do 600123456 z "), std::string::npos) << log;
            EXPECT_NE(log.find(": Hello"), std::string::npos) << log;
        });
}

// Each call's end writes its row; SIGTERM comes as the last record is sent.
TEST_F(SigtermWithDesks, RightAfterACallsEndTheProgramEndsCleanly) {
    for (int run = 0; run < 5; ++run)
        runWithDesks(
            [](HalvexProcess&, sim::ExchangeSimulator& exchange) {
                for (const std::string& record : CallTo201("05"))
                    exchange.SendRecord(record);
            },
            "run " + std::to_string(run));
}

// The GUI thread writes the log only between its steps, so the middle of the
// burst is reached by time: SIGTERM follows the burst a little later each run.
TEST_F(SigtermWithDesks, InTheMiddleOfABurstOfCallsTheProgramEndsCleanly) {
    std::string burst;
    for (int call = 0; call < 400; ++call)
        for (const std::string& record : CallTo201(std::to_string(10 + call % 90)))
            burst += record + "\r\n";
    for (int run = 0; run < 4; ++run)
        runWithDesks(
            [&](HalvexProcess& halvex, sim::ExchangeSimulator& exchange) {
                exchange.SendRaw(burst);
                halvex.process().waitForFinished(run * 100);
            },
            "run " + std::to_string(run));
}

// The database server answers 20 ms late each way. Starts are stopped right
// after the program's first log line, once the server has created the
// database file, and after the first exchanges with the server on an
// existing database (the attach and the first statements), each a little
// later than the one before. The log file is written by the GUI thread, which
// is busy with the database then: the relay and the file tell the moments.
TEST(SigtermAgainstASlowDatabase, EveryStopEndsWithExitCodeZero) {
    HALVEX_SKIP_UNDER_THREAD_SANITIZER();
    HALVEX_REQUIRE_FB_SERVER();
    testing_support::SlowTcpProxy proxy(3050, std::chrono::milliseconds(20));
    ASSERT_NE(proxy.port(), 0);
    testfb::DatabaseFolder folder;
    const std::string host = "127.0.0.1/" + std::to_string(proxy.port());
    const testfb::Connection existing{"127.0.0.1", folder.file("kept.fdb"), "SYSDBA",
                                      testfb::ServerPassword()};
    ASSERT_TRUE(testfb::CreateEmptyDatabase(existing));
    for (int cycle = 0; cycle < 21; ++cycle) {
        // A creation costs the whole schema on the slow server: every seventh cycle.
        const int kind = cycle % 7 == 1 ? 1 : cycle % 2 == 0 ? 0 : 2;
        testfb::Connection c = existing;
        c.host = host;
        if (kind == 1)
            c.path = folder.file("new" + std::to_string(cycle) + ".fdb");
        Sandbox sandbox;
        ASSERT_TRUE(testing_support::WriteProgramSettings(c));
        HalvexProcess halvex(sandbox);
        const std::size_t answersBefore = proxy.chunksToClients();
        halvex.start({"DEBUG", "FIREBIRD"});
        const std::string moment = kind == 0   ? "after the first log line"
                                   : kind == 1 ? "once the file was created"
                                               : "after the first exchanges";
        ASSERT_TRUE(AwaitWhileRunning(halvex,
                                      [&] {
                                          if (kind == 0)
                                              return halvex.logText().find("Sprawdzanie uprawnień") !=
                                                     std::string::npos;
                                          if (kind == 1)
                                              return QFileInfo::exists(QString::fromStdString(c.path));
                                          return proxy.chunksToClients() - answersBefore >=
                                                 std::size_t(3 + cycle / 2);
                                      }))
            << moment << "\n"
            << halvex.logText();
        halvex.process().waitForFinished(cycle * 10);
        ASSERT_NO_FATAL_FAILURE(
            StopAndExpectCleanEnd(halvex, "cycle " + std::to_string(cycle) + ": " + moment));
    }
}

// The database server stops answering without closing anything (a relay
// that holds every byte: a partition, a hung server) while a call ends and
// its row is written. The next call's notice still reaches the desk, a
// log-in with a wrong password still gets its answer, and SIGTERM ends the
// program with exit code 0 while the relay still holds.
TEST_F(SigtermWithDesks, AHeldDatabaseHoldsNeitherTheDesksNorTheStop) {
    testing_support::SlowTcpProxy relay(3050, std::chrono::milliseconds(0));
    ASSERT_NE(relay.port(), 0);
    testfb::Connection held = c;
    held.host = "127.0.0.1/" + std::to_string(relay.port());
    runWithDesks(
        [&](HalvexProcess& halvex, sim::ExchangeSimulator& exchange) {
            relay.hold(true);
            for (const std::string& record : CallTo201("05"))
                exchange.SendRecord(record);
            for (const char* record : {"C11 06 3 600777888", "C10 06 201", "DM 3&600777888&201&"})
                exchange.SendRecord(record);
            EXPECT_TRUE(AwaitWhileRunning(
                halvex,
                [&] {
                    const auto notices = desks.front()->Notices();
                    return std::any_of(notices.begin(), notices.end(), [](const std::string& notice) {
                        return notice.find("600777888") != std::string::npos;
                    });
                }))
                << "no notice of the next call\n"
                << halvex.logText();

            sim::ClientSimulator wrong;
            ASSERT_TRUE(wrong.Connect(clientPort));
            ASSERT_TRUE(wrong.LogIn("u202", "not the password"));
            EXPECT_TRUE(AwaitWhileRunning(halvex, [&] { return !wrong.Replies().empty(); }))
                << "no answer to the log-in\n"
                << halvex.logText();
            // Said from the thread whose call was given up, and written to
            // the file a moment later.
            EXPECT_TRUE(AwaitWhileRunning(halvex, [&] {
                return halvex.logText().find("nie odpowiedziała w ciągu") != std::string::npos;
            })) << halvex.logText();
        },
        "while the database holds", held);
}

// The database stops answering while calls end, one a second, and SIGTERM
// comes while the row writer still waits for its first call's answer: its
// bound falls within the stop, which ends the call. The rows stay in the
// journal beside the log, and the next start, with the database answering
// again, writes them: each is then stored once, or named in the log.
TEST_F(SigtermWithDesks, RowsGivenBackDuringTheStopAreStoredOrNamed) {
    testing_support::SlowTcpProxy relay(3050, std::chrono::milliseconds(0));
    ASSERT_NE(relay.port(), 0);
    testfb::Connection held = c;
    held.host = "127.0.0.1/" + std::to_string(relay.port());
    std::vector<std::string> callers;
    std::string log;
    runWithDesks(
        [&](HalvexProcess& halvex, sim::ExchangeSimulator& exchange) {
            relay.hold(true);
            // Some 8 s into the hold: past the call bound less the stop's
            // own, short of the call bound.
            for (int call = 0; call < 8; ++call) {
                callers.push_back("6007000" + std::to_string(10 + call));
                for (const std::string& record : CallTo201(std::to_string(20 + call), callers.back()))
                    exchange.SendRecord(record);
                halvex.process().waitForFinished(1000);
            }
        },
        "while the database holds the rows", held,
        [&](HalvexProcess& stopped, const Sandbox& sandbox) {
            log = stopped.logText();
            EXPECT_NE(log.find("zostają w dzienniku " + sandbox.file("halvex-rows.sqlite")),
                      std::string::npos)
                << log;
            relay.hold(false);
            HalvexProcess next(sandbox);
            next.start({"DEBUG"});
            EXPECT_TRUE(next.waitForLog("Zapisy z poprzedniej pracy zapisane w bazie danych",
                                        std::chrono::seconds(90)))
                << next.logText();
            testing_support::StopAndExpectCleanEnd(next, "after the rows of the stopped run");
            log += next.logText();
        });
    relay.hold(false);
    for (const std::string& caller : callers) {
        const bool stored =
            testfb::Isql(c, "SELECT 'COUNT=' || COUNT(*) FROM TalksIncoming WHERE sNumber LIKE '" + caller +
                                "%';")
                .find("COUNT=1") != std::string::npos;
        bool named = false;
        const std::string said = "Nie zapisano w bazie danych: ";
        for (std::size_t at = log.find(said); at != std::string::npos && !named; at = log.find(said, at + 1))
            named = log.substr(at, log.find('\n', at) - at).find(caller) != std::string::npos;
        EXPECT_TRUE(stored || named) << caller << " neither stored nor named\n" << log;
    }
}
