// Calls end to end with real parts, for both exchange families: the exchange
// simulator sends the call records over TCP to the window's own link, users
// and phones are in a real database and loaded by the console, simulated
// clients logged in over TCP receive the caller notices, a UDP socket
// receives the broadcasts, and the history rows are read back afterwards.
#include "admin/Console.h"
#include "db/MainDatabase.h"
#include "db/UserTables.h"
#include "pbx/PbxLink.h"
#include "platform/Clock.h"
#include "support/ClientServiceTestBed.h"
#include "support/ClientSimulator.h"
#include "support/ExchangeSimulator.h"
#include "support/LinkTestSupport.h"
#include "support/PrivateFirebirdServer.h"

#include <QCoreApplication>
#include <QNetworkDatagram>
#include <QTimer>
#include <chrono>
#include <gtest/gtest.h>
#include <thread>

namespace {

using sim::ClientSimulator;
using sim::ExchangeSimulator;
using sim::Family;

struct Row {
    bool incoming;
    std::string number, phone;
    std::uint32_t length;
    auto operator<=>(const Row&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Row& r) {
    return out << (r.incoming ? "in(" : "out(") << r.number << "," << r.phone << "," << r.length << ")";
}

bool startsWithAny(const std::string& text, std::initializer_list<const char*> prefixes) {
    for (const char* prefix : prefixes)
        if (text.starts_with(prefix))
            return true;
    return false;
}

class CallRoad : public testing_support::ClientServiceTestBed, public testing::WithParamInterface<Family> {
  protected:
    void SetUp() override {
        ClientServiceTestBed::SetUp();
        platform::setProcessClock(&clock);
        pbx::linkEnvironment().timings = pbx::LinkTimings::Scaled(50);
        // The link's own watchdogs keep a clock that does not move with the calls.
        pbx::linkEnvironment().clock = &linkClock;
    }
    void TearDown() override {
        desks.clear();
        ClientServiceTestBed::TearDown();
        exchange.reset();
        pbx::linkEnvironment() = pbx::LinkEnvironment();
        platform::setProcessClock(nullptr);
    }

    bool morva() const { return GetParam() == Family::Morva; }
    char separator() const { return morva() ? 'f' : ','; }

    // Runs the idle handler, the event loop and the broadcast socket until
    // `condition` holds.
    bool serveUntil(const std::function<bool()>& condition) {
        return linktest::WaitFor([&] {
            form->Pbx().ObslugaCentrali();
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            while (broadcasts.hasPendingDatagrams())
                datagrams.push_back(broadcasts.receiveDatagram().data().toStdString());
            return condition();
        });
    }

    // Every notice handed over and acknowledged, nothing queued.
    bool settled() {
        return serveUntil([&] {
            if (!noticesDelivered())
                return false;
            for (auto& [extension, desk] : desks)
                if (!desk->Quiet())
                    return false;
            return true;
        });
    }

    // The window linked to a simulated exchange of the family, passing data.
    void link() {
        exchange = std::make_unique<ExchangeSimulator>(GetParam(), sim::Transport::Tcp);
        ASSERT_TRUE(exchange->Start());
        linkTo(*exchange, morva() ? 5 : 2, [&] { serveUntil([] { return true; }); });
    }

    // A user per extension with that phone, in the database; the console
    // loads them; then each logs in from a simulated client.
    void staff(std::initializer_list<std::string> extensions) {
        for (const std::string& extension : extensions) {
            testing_support::TestUser user{"Jan", "Nowak", "u" + extension,
                                           "0cc175b9c0f1b6a831c399e269772661"};
            addUser(user);
            ServiceUserPhonesDB phones(c.host, c.path, c.user, c.password);
            phones.nUserID = user.id;
            phones.sUserPhone = extension;
            phones.sUserPhoneName = "biurko";
            ASSERT_EQ(phones.InsertData(), 0);
            logins[extension] = user;
        }
        form->lvAllUserPhones->SetTag(0);
        form->Admin().LoadUsers();
        for (const std::string& extension : extensions) {
            auto desk = std::make_unique<ClientSimulator>();
            ASSERT_TRUE(desk->Connect(form->Settings.PortTCP));
            const testing_support::TestUser& user = logins[extension];
            ASSERT_TRUE(desk->LogIn(user.login, user.password));
            ASSERT_TRUE(serveUntil([&] {
                Klient* record = Klient::ZnajdzPoIDFB(std::to_string(user.id));
                return record && record->Zalogowany && record->Stan != Klient::SEND &&
                       !record->HasOstatniaWyslana;
            }));
            desks[extension] = std::move(desk);
        }
        ASSERT_TRUE(settled());
        for (auto& [extension, desk] : desks)
            desk->ClearReceived();
    }

    // The exchange sends the records; waits until the dispatcher took them.
    void play(std::initializer_list<std::string> records) {
        std::uint32_t expected = form->Pbx().Shared().HandledBytes.load();
        for (const std::string& record : records) {
            exchange->SendRecord(record);
            expected += std::uint32_t(record.size());
        }
        ASSERT_TRUE(serveUntil([&] { return form->Pbx().Shared().HandledBytes.load() >= expected; }));
    }
    void dial(const std::string& id, const std::string& extension, const std::string& digits) {
        for (char digit : digits)
            play({"C03 " + id + " " + extension + " " + digit});
    }
    // Talk time passes once every notice so far has been acknowledged.
    void talk(int ms) {
        ASSERT_TRUE(settled());
        clock.advance(ms);
    }

    // The call notices a desk received (the link-state and presence notices
    // left out), once everything sent has arrived.
    std::vector<std::string> callNotices(const std::string& extension) {
        EXPECT_TRUE(settled());
        std::vector<std::string> notices;
        for (const std::string& n : desks.at(extension)->Notices())
            if (startsWithAny(n, {"!DM&", "!DW&", "!ST&"}))
                notices.push_back(n);
        return notices;
    }
    std::vector<std::string> callBroadcasts() {
        EXPECT_TRUE(settled());
        while (broadcasts.hasPendingDatagrams())
            datagrams.push_back(broadcasts.receiveDatagram().data().toStdString());
        std::vector<std::string> seen;
        for (const std::string& d : datagrams)
            if (startsWithAny(d, {"!DZ&", "!PT&", "!OT&", "!CO&"}))
                seen.push_back(d);
        return seen;
    }

    std::vector<QueryRow> query(const std::string& text) {
        testfb::AwaitRowRoad();
        SessionDB session(c.host, c.path, c.user, c.password, &MainDbHandle, false);
        std::vector<QueryRow> result;
        session.SetSqlText(text);
        EXPECT_EQ(session.StartTransaction(true), 0);
        EXPECT_EQ(session.RunQueryToList(&result), 0);
        EXPECT_EQ(session.CommitTransaction(), 0);
        return result;
    }
    // Waits until the link thread has received `bytes` in all, with no
    // events meanwhile: they would hand the lines to the dispatcher.
    bool receivedWithoutDispatch(std::uint32_t bytes) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (form->Pbx().Shared().ReceivedBytes.load() < bytes &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return form->Pbx().Shared().ReceivedBytes.load() >= bytes;
    }
    static std::string trimmed(const std::string& text) {
        return text.substr(0, text.find_last_not_of(' ') + 1);
    }
    std::vector<Row> history() {
        std::vector<Row> rows;
        for (auto& r : query("SELECT SNUMBER, SUSERPHONE, NLENGTH FROM TALKSINCOMING"))
            rows.push_back({true, trimmed(r["SNUMBER"]), trimmed(r["SUSERPHONE"]),
                            std::uint32_t(std::stoul(r["NLENGTH"]))});
        for (auto& r : query("SELECT SNUMBER, SUSERPHONE, NLENGTH FROM TALKSOUTGOING"))
            rows.push_back({false, trimmed(r["SNUMBER"]), trimmed(r["SUSERPHONE"]),
                            std::uint32_t(std::stoul(r["NLENGTH"]))});
        std::sort(rows.begin(), rows.end());
        return rows;
    }
    static std::vector<Row> sorted(std::vector<Row> rows) {
        std::sort(rows.begin(), rows.end());
        return rows;
    }
    static std::vector<std::string> texts(std::vector<std::string> wanted) { return wanted; }

    // An external call rings at 201, is answered and talked 10.4 s: its
    // caller reaches the desk and it leaves one incoming row.
    void incomingCallReachesTheDesk() {
        play({"C11 05 3 600123456", "C10 05 201", "DM 3&600123456&201&", "C01 05 201", "C15 05 201"});
        talk(10400);
        play({"C02 05 201", "C13 05 3"});
        std::vector<std::string> notices{"!DM&3&600123456&201&\r\n", "!ST&201&\r\n"};
        // The type-5 family shows the caller already at the ringing.
        if (morva())
            notices.insert(notices.begin(), "!DM&1&600123456&201&\r\n");
        EXPECT_EQ(callNotices("201"), notices);
        EXPECT_EQ(history(), sorted({{true, "600123456", "201", 11}}));
    }

    platform::ManualClock clock;
    platform::ManualClock linkClock;
    std::unique_ptr<ExchangeSimulator> exchange;
    std::map<std::string, testing_support::TestUser> logins;
    std::map<std::string, std::unique_ptr<ClientSimulator>> desks;
};

TEST_P(CallRoad, AnIncomingExternalCallReachesTheDeskAndLeavesItsRow) {
    link();
    staff({"201"});
    incomingCallReachesTheDesk();
    EXPECT_EQ(callBroadcasts(), texts({"!DZ&201&\r\n", "!PT&201&\r\n", "!OT&201&\r\n", "!CO&3&3\r\n"}));
    EXPECT_EQ(query("SELECT SDATE FROM TALKSINCOMING").at(0).at("SDATE"),
              clock.dateTime().date().toString("yyyy-MM-dd").toStdString());
}

// Calls rung at extensions of no desk that the exchange never ends, under
// ids that are no two digits, fill the table twice over.
TEST_P(CallRoad, CallsThatNeverEndDoNotShutOutTheNextCall) {
    link();
    staff({"201"});
    for (char letter = 'a'; letter <= 'z'; ++letter) {
        for (char digit = '0'; digit <= '9'; ++digit) {
            const std::string id{letter, digit};
            const std::string extension = "3" + std::to_string(letter - 'a') + digit;
            play({"C11 " + id + " 2 6009" + extension, "C10 " + id + " " + extension});
        }
    }
    incomingCallReachesTheDesk();
    EXPECT_NE(mainLogText().find("Tabela połączeń pełna: usunięto połączenie a0 (6009300 - 300)"),
              std::string::npos);
    const pbx::CallTable& calls = form->Pbx().Calls;
    EXPECT_EQ(calls.ActiveCallCount, std::count_if(std::begin(calls.ActiveCalls), std::end(calls.ActiveCalls),
                                                   [](const pbx::ActiveCall& call) { return call.inUse(); }));
}

TEST_P(CallRoad, AnOutgoingDialFromTheDeskReachesTheExchangeAndLeavesItsRow) {
    link();
    staff({"201"});
    play({"C01 30 201"});
    desks.at("201")->SendRequest("WN&201&600123456");
    // A national number gets the trunk prefix; type 5 names the call.
    ASSERT_TRUE(serveUntil([&] { return !exchange->Commands().empty(); }));
    EXPECT_EQ(exchange->Commands().back(), morva() ? "C03 30 201 0600123456" : "WN 201&0600123456&");
    ASSERT_TRUE(serveUntil([&] { return !desks.at("201")->Replies().empty(); }));
    EXPECT_EQ(desks.at("201")->Replies(), texts({"OK"}));

    dial("30", "201", "0600123456");
    play({"C14 30"});
    talk(59500);
    play({"C02 30 201", "C13 30 7"});

    EXPECT_EQ(callNotices("201"), texts({"!DW&201&0600123456&\r\n"}));
    EXPECT_EQ(callBroadcasts(), texts({"!PT&201&\r\n", "!OT&201&\r\n", "!CO&7&3\r\n"}));
    // The trunk prefix the number was dialled with is not stored.
    EXPECT_EQ(history(), sorted({{false, "600123456", "201", 60}}));
}

TEST_P(CallRoad, ATransferWritesEachLegOnceWhicheverPartyHangsUpFirst) {
    link();
    staff({"201", "203"});
    play({"C01 09 201"});
    dial("09", "201", "202");
    play({"C10 09 202", "C01 09 202", "C15 09 202"});
    talk(5000);
    dial("09", "201", std::string(1, separator()) + "203");
    play({"C10 09 203", "C02 09 201"});
    talk(7000);
    // The transferred party hangs up before the one it talked to.
    play({"C01 09 203", "C15 09 203", "C02 09 203", "C02 09 202"});

    EXPECT_EQ(history(),
              sorted({{false, "202", "201", 6}, {false, "203", "202", 8}, {true, "202", "203", 8}}));
    std::vector<std::string> transferred{"!ST&203&\r\n"};
    if (morva()) {
        EXPECT_EQ(callNotices("201"), texts({"!DW&201&202&\r\n"}));
        // The transferred caller comes with the number that transferred it.
        transferred.insert(transferred.begin(), "!DW&202&203&201\r\n");
    } else {
        EXPECT_EQ(callNotices("201"), texts({}));
    }
    EXPECT_EQ(callNotices("203"), transferred);
    EXPECT_EQ(callBroadcasts(), texts({"!PT&201&\r\n", "!DZ&202&\r\n", "!PT&202&\r\n", "!DZ&203&\r\n",
                                       "!OT&201&\r\n", "!PT&203&\r\n", "!OT&203&\r\n", "!OT&202&\r\n"}));
    EXPECT_FALSE(form->Pbx().Calls.FindCallByNumber("202") &&
                 form->Pbx().Calls.FindCallByNumber("202")->End.isNull());
}

TEST_P(CallRoad, AnUnansweredRingGroupLeavesARowPerMember) {
    form->Settings.InsertIncomingFroRingGroup = true;
    link();
    staff({"201", "202"});
    play({"C11 11 1 600123456", "C10 11 201", "C10 11 202", "DM 3&600123456&201&", "DM 3&600123456&202&"});
    talk(3000);
    play({"C02 11 201", "C02 11 202", "C13 11 1"});

    for (const std::string extension : {"201", "202"}) {
        std::vector<std::string> notices{"!DM&3&600123456&" + extension + "&\r\n"};
        if (morva())
            notices.insert(notices.begin(), "!DM&1&600123456&" + extension + "&\r\n");
        EXPECT_EQ(callNotices(extension), notices);
    }
    EXPECT_EQ(callBroadcasts(),
              texts({"!DZ&201&\r\n", "!DZ&202&\r\n", "!OT&201&\r\n", "!OT&202&\r\n", "!CO&1&3\r\n"}));
    EXPECT_EQ(history(), sorted({{true, "600123456", "201", 0}, {true, "600123456", "202", 0}}));
}

// A presence round broadcasts one notice per slot, more at once than a
// client's receive buffer holds: a ringing handled right after it must not
// wait behind the round, nor be lost behind it at a client that reads slower
// than the round is written.
TEST_P(CallRoad, ARingingRightAfterAPresenceRoundIsBroadcastAheadOfTheRound) {
    link();
    staff({"201"});
    std::vector<clients::UserSlotUser> users;
    for (std::size_t i = 1; i <= clients::UserSlotCount; ++i)
        users.push_back({std::to_string(i), ""});
    form->Clients().FillUserSlots(users);
    play({"C11 05 3 600123456"});
    // The ringing waits in the received chain while the round runs.
    const std::uint32_t received = form->Pbx().Shared().ReceivedBytes.load() + 10;
    exchange->SendRecord("C10 05 201");
    ASSERT_TRUE(receivedWithoutDispatch(received));
    datagrams.clear();
    {
        // Both are queued before the sender writes any, whatever the load.
        TNMUDP::HeldBatch together(form->Clients().UdpSocket);
        form->Clients().InfoOKlientach();
        form->Pbx().DrainReceivedLines();
    }
    ASSERT_TRUE(serveUntil(
        [&] { return std::find(datagrams.begin(), datagrams.end(), "!DZ&201&\r\n") != datagrams.end(); }));
    const auto ringing = std::find(datagrams.begin(), datagrams.end(), "!DZ&201&\r\n");
    const auto presenceBefore =
        std::count_if(datagrams.begin(), ringing, [](const std::string& d) { return d.starts_with("!UP&"); });
    EXPECT_EQ(presenceBefore, 0);
}

// The exchange sends a backlog of records, a call, and then a stream with no
// end in sight; the backlog is all received before the dispatcher starts.
// The event loop gets its turns while the backlog is worked through, the
// call reaches its desk and another desk's ping is answered while the stream
// runs, and every record is handled in the order it was sent.
TEST_P(CallRoad, AStreamOfRecordsLeavesTheEventLoopItsTurnsAndKeepsItsOrder) {
    link();
    staff({"201", "202"});
    exchange->SetLineEnd("\r");
    constexpr std::size_t CycleLines = 100;
    auto record = [](int part, std::size_t n) {
        return "C12 0" + std::to_string(part) + " " + std::to_string(n);
    };
    auto cycle = [&](int part) {
        std::string bytes;
        for (std::size_t n = 0; n < CycleLines; ++n)
            bytes += record(part, n) + "\r";
        return bytes;
    };
    constexpr std::size_t BacklogCycles = 20;
    static_assert(BacklogCycles * CycleLines > 4 * DispatchSlice::Lines * DispatchSlice::Batches);
    const std::vector<std::string> probe{"C11 05 3 600123456", "C10 05 201", "DM 3&600123456&201&"};
    std::vector<std::string> sent;
    for (std::size_t n = 0; n < BacklogCycles * CycleLines; ++n)
        sent.push_back(record(0, n % CycleLines));
    sent.insert(sent.end(), probe.begin(), probe.end());
    // Every line as handled, checked against what was sent.
    std::size_t handled = 0;
    std::size_t misplaced = 0;
    form->Pbx().CrmCopy = [&](const std::string& line) {
        if (!line.starts_with("C1") && !line.starts_with("DM"))
            return;
        const std::string text = line.substr(0, line.size() - 2);
        const std::size_t n = handled++;
        misplaced += text != (n < sent.size() ? sent[n] : record(1, (n - sent.size()) % CycleLines));
    };

    std::uint32_t received = form->Pbx().Shared().ReceivedBytes.load();
    exchange->SendStream(cycle(0), BacklogCycles);
    received += std::uint32_t(cycle(0).size() * BacklogCycles);
    for (const std::string& r : probe) {
        exchange->SendRecord(r);
        received += std::uint32_t(r.size() + 1);
    }
    exchange->SendStream(cycle(1), 10000);
    ASSERT_TRUE(receivedWithoutDispatch(received));

    bool turnWhileBacklogWaited = false;
    QTimer turn;
    QObject::connect(&turn, &QTimer::timeout,
                     [&] { turnWhileBacklogWaited |= handled > 0 && handled < BacklogCycles * CycleLines; });
    turn.start(0);
    desks.at("202")->SendRequest("PING");
    const std::string ringing = "!DM&3&600123456&201&\r\n";
    bool streamRan = false;
    ASSERT_TRUE(serveUntil([&] {
        const auto notices = desks.at("201")->Notices();
        if (std::find(notices.begin(), notices.end(), ringing) == notices.end() ||
            desks.at("202")->Replies().empty())
            return false;
        streamRan = !exchange->StreamDone();
        return true;
    }));
    turn.stop();
    EXPECT_TRUE(turnWhileBacklogWaited);
    EXPECT_TRUE(streamRan);
    EXPECT_EQ(desks.at("202")->Replies(), texts({"OK"}));

    exchange->EndStreams();
    exchange->SendRecord("C12 09 end");
    bool ended = false;
    form->Pbx().CrmCopy = [&, order = form->Pbx().CrmCopy](const std::string& line) {
        ended |= line == "C12 09 end\r\n";
        if (!ended)
            order(line);
    };
    ASSERT_TRUE(serveUntil([&] { return ended; }));
    EXPECT_EQ(misplaced, 0u);
    EXPECT_GE(handled, sent.size());
    EXPECT_EQ((handled - sent.size()) % CycleLines, 0u);
    form->Pbx().CrmCopy = nullptr;
}

// The database on a Firebird server of the test's own, which it may kill.
class CallRoadThroughAnOutage : public CallRoad {
  protected:
    // Lets the event loop run for `ms`.
    bool serveFor(int ms) {
        bool due = false;
        QTimer::singleShot(ms, [&due] { due = true; });
        return serveUntil([&due] { return due; });
    }
    std::vector<std::string> storedCallers() {
        std::vector<std::string> callers;
        for (auto& r : query("SELECT SNUMBER FROM TALKSINCOMING ORDER BY NID"))
            callers.push_back(trimmed(r["SNUMBER"]));
        return callers;
    }

    testfb::PrivateServer server;
};

// The server is killed and started again while the exchange ends a call
// several times in each interval of the reconnect timer (a real one, its
// interval shortened). The calls' rows leave the timer's countdown alone,
// so it attaches within an interval of the server's return: the rows that
// waited on the road meanwhile are written while the calls go on, each once
// and in order.
TEST_P(CallRoadThroughAnOutage, KeptCallRowsAreWrittenSoonAfterTheServersReturnWhileCallsGoOn) {
    ASSERT_NO_FATAL_FAILURE(databaseOnOwnServer(server, "calls.fdb"));
    nameDatabase(c);
    link();
    constexpr int ReconnectMs = 2000;
    constexpr int CallEveryMs = ReconnectMs / 5;
    constexpr std::size_t CallsAfterTheReturn = 50;
    form->trmReconnect->setInterval(ReconnectMs);
    std::vector<std::string> callers;
    const auto endCall = [&] {
        ASSERT_TRUE(serveFor(CallEveryMs));
        const std::string id = std::to_string(10 + callers.size() % 90);
        callers.push_back("600" + std::to_string(100000 + callers.size()));
        play({"C11 " + id + " 1 " + callers.back(), "C10 " + id + " 201", "C02 " + id + " 201"});
    };
    ASSERT_NO_FATAL_FAILURE(endCall());
    ASSERT_TRUE(serveUntil([&] { return storedCallers().size() == 1; }));

    server.kill();
    while (form->Database().Road().Waiting() == 0 && callers.size() < 100)
        ASSERT_NO_FATAL_FAILURE(endCall());
    ASSERT_GT(form->Database().Road().Waiting(), 0u) << "no row met the lost connection";
    for (int i = 0; i < 5; ++i)
        ASSERT_NO_FATAL_FAILURE(endCall());
    ASSERT_TRUE(form->trmReconnect->Enabled());

    ASSERT_TRUE(server.start()) << server.error();
    const std::size_t endedBeforeTheReturn = callers.size();
    // The rows handed on before the return are in (the road is awaited, the
    // call just ended may still be on it).
    const auto written = [&] {
        const std::string query =
            "SELECT 'WRITTEN=' || IIF(COUNT(*) >= " + std::to_string(endedBeforeTheReturn) +
            ", 1, 0) FROM TalksIncoming;";
        return MainDbHandleExists() && testfb::Isql(c, query).find("WRITTEN=1") != std::string::npos;
    };
    bool writtenWhileCalling = false;
    for (std::size_t i = 0; i < CallsAfterTheReturn && !writtenWhileCalling; ++i) {
        ASSERT_NO_FATAL_FAILURE(endCall());
        writtenWhileCalling = written();
    }
    EXPECT_TRUE(writtenWhileCalling) << "the rows kept through the outage were still waiting after "
                                     << CallsAfterTheReturn << " more calls";

    ASSERT_TRUE(serveUntil([&] { return form->Database().Road().Waiting() == 0 && MainDbHandleExists(); }));
    ASSERT_TRUE(serveUntil([&] { return storedCallers().size() >= callers.size(); }));
    EXPECT_EQ(storedCallers(), callers);
    testfb::DetachMain();
}

INSTANTIATE_TEST_SUITE_P(TypesZeroToFour, CallRoadThroughAnOutage, testing::Values(Family::Vantrel));

INSTANTIATE_TEST_SUITE_P(Families, CallRoad, testing::Values(Family::Vantrel, Family::Morva),
                         [](const testing::TestParamInfo<Family>& info) {
                             return info.param == Family::Morva ? std::string("TypeFive")
                                                                : std::string("TypesZeroToFour");
                         });

} // namespace
