// Calls as the exchange reports them, through the real window's dispatcher:
// the notices that reach a logged-in client over TCP and every client by UDP,
// the call-history rows of each finished leg, the keyword scan, the sweep of
// ended calls and the phone-state list.
#include "pbx/PbxLink.h"
#include "platform/Clock.h"
#include "support/ClientServiceTestBed.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <gtest/gtest.h>

namespace {

using testing_support::TestClient;
using testing_support::TestUser;

struct Row {
    bool incoming;
    std::string a, b;
    std::uint32_t length;
    auto operator<=>(const Row&) const = default;
};

std::vector<Row> sorted(std::vector<Row> rows) {
    std::sort(rows.begin(), rows.end());
    return rows;
}

std::ostream& operator<<(std::ostream& out, const Row& r) {
    return out << (r.incoming ? "in(" : "out(") << r.a << "," << r.b << "," << r.length << ")";
}

class CallEvents : public testing_support::ClientServiceTestBed {
  protected:
    void SetUp() override {
        ClientServiceTestBed::SetUp();
        platform::setProcessClock(&clock);
    }
    void TearDown() override {
        ClientServiceTestBed::TearDown();
        platform::setProcessClock(nullptr);
    }

    // A client logged in as a user whose phone is `extension`; the log-in's
    // own notices are read and acknowledged.
    TestClient& deskAt(const std::string& extension) {
        TestUser user{"Jan", "Nowak", "u" + extension, "0cc175b9c0f1b6a831c399e269772661"};
        addUser(user);
        loadUsersFromDatabase();
        form->lvAllUserPhones->AddRow(
            {QString::number(user.id), "1", QString::fromStdString(extension), "tel"});
        TestClient& client = connectClient();
        int code = -1;
        EXPECT_NE(logIn(client, "2.04.00.00", user.login, user.password, code), nullptr);
        EXPECT_TRUE(waitFor(client, "!GSM&DIS\r\n"));
        QDeadlineTimer deadline(10000);
        while (client.record->HasOstatniaWyslana && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        client.received.clear();
        client.acknowledged = 0;
        return client;
    }

    void exchange(std::initializer_list<std::string> records) {
        for (const std::string& record : records)
            form->Pbx().Shared().AppendReceivedLine(record);
        form->Pbx().DrainReceivedLines();
    }
    void dial(const std::string& id, const std::string& extension, const std::string& digits) {
        for (char digit : digits)
            exchange({"C03 " + id + " " + extension + " " + digit});
    }

    std::vector<QueryRow> query(const std::string& text) {
        testfb::AwaitRowRoad();
        SessionDB session(c.host, c.path, c.user, c.password, &MainDbHandle, false);
        std::vector<QueryRow> result;
        session.SetSqlText(text);
        EXPECT_EQ(session.StartTransaction(false), 0);
        EXPECT_EQ(session.RunQueryToList(&result), 0);
        EXPECT_EQ(session.CommitTransaction(), 0);
        return result;
    }
    static std::string trimmed(const std::string& text) {
        return text.substr(0, text.find_last_not_of(' ') + 1);
    }
    static std::uint32_t length(const QueryRow& row) { return std::uint32_t(std::stoul(row.at("NLENGTH"))); }
    // The rows the database holds, in a fixed order.
    std::vector<Row> history() {
        std::vector<Row> rows;
        for (const auto& r : query("SELECT SNUMBER, SUSERPHONE, NLENGTH FROM TALKSINCOMING"))
            rows.push_back({true, trimmed(r.at("SNUMBER")), trimmed(r.at("SUSERPHONE")), length(r)});
        for (const auto& r : query("SELECT SUSERPHONE, SNUMBER, NLENGTH FROM TALKSOUTGOING"))
            rows.push_back({false, trimmed(r.at("SUSERPHONE")), trimmed(r.at("SNUMBER")), length(r)});
        return sorted(rows);
    }
    void forgetHistory() {
        SessionDB session(c.host, c.path, c.user, c.password, &MainDbHandle, false);
        EXPECT_EQ(session.ExecuteSQL("DELETE FROM TALKSINCOMING"), 0);
        EXPECT_EQ(session.ExecuteSQL("DELETE FROM TALKSOUTGOING"), 0);
    }
    pbx::ActiveCall& call(const std::string& id) {
        for (pbx::ActiveCall& c : form->Pbx().Calls.ActiveCalls)
            if (c.CallId == id)
                return c;
        static pbx::ActiveCall none;
        return none;
    }
    bool busy(const std::string& number) { return form->Pbx().Calls.FindPhoneState(number) != nullptr; }

    platform::ManualClock clock;
};

TEST_F(CallEvents, AnIncomingExternalCallRingsShowsTheCallerAndLeavesOneIncomingRow) {
    TestClient& desk = deskAt("201");
    exchange({"C11 05 3 600123456", "C10 05 201", "DM 3&600123456&201&"});

    EXPECT_TRUE(waitForDatagram("!DZ&201&\r\n"));
    EXPECT_TRUE(waitFor(desk, "!DM&3&600123456&201&\r\n"));
    exchange({"C01 05 201", "C15 05 201"});
    EXPECT_TRUE(waitForDatagram("!PT&201&\r\n"));
    EXPECT_TRUE(waitFor(desk, "!ST&201&\r\n"));
    clock.advance(10400);
    exchange({"C02 05 201", "C13 05 3"});
    EXPECT_TRUE(waitForDatagram("!OT&201&\r\n"));
    EXPECT_TRUE(waitForDatagram("!CO&3&3\r\n"));
    // The caller is no extension of ours: no outgoing row; the ended call
    // takes no second row from the line's release.
    EXPECT_EQ(history(), sorted(std::vector<Row>{{true, "600123456", "201", 11}}));
    EXPECT_FALSE(busy("201"));
    EXPECT_EQ(desk.received.find("!DW&"), std::string::npos)
        << "the caller goes by DM without the clip setting";
}

TEST_F(CallEvents, AnOutgoingCallReleasedByTheLineWritesOnlyTheRowsOfItsExtension) {
    exchange({"C01 30 201"});
    dial("30", "201", "600123456");
    EXPECT_EQ(call("30").NumberB, "600123456");
    exchange({"C14 30"});
    clock.advance(59500);
    exchange({"C13 30 7"});
    // B is an outside number: the incoming row it would take is no row of ours.
    EXPECT_EQ(history(), sorted(std::vector<Row>{{false, "201", "600123456", 60}}));
    EXPECT_FALSE(call("30").End.isNull());
}

TEST_F(CallEvents, ATransferWritesTheTransferringLegAndThenTheTransferredOne) {
    exchange({"C01 09 201"});
    dial("09", "201", "202");
    exchange({"C10 09 202", "C01 09 202", "C15 09 202"});
    clock.advance(5000);
    dial("09", "201", ",203");
    const pbx::ActiveCall& c = call("09");
    EXPECT_EQ(c.NumberTransfer, "201");
    EXPECT_EQ(c.NumberA, "202");
    EXPECT_EQ(c.NumberB, "203");
    exchange({"C10 09 203", "C02 09 201"});
    clock.advance(7000);
    exchange({"C01 09 203", "C15 09 203", "C02 09 202", "C02 09 203"});
    EXPECT_EQ(history(), sorted(std::vector<Row>{
                             {false, "201", "202", 6}, {false, "202", "203", 8}, {true, "202", "203", 8}}));
}

TEST_F(CallEvents, AnUnansweredRingGroupLeavesRowsPerMemberOnlyWhenAsked) {
    for (bool perMember : {false, true}) {
        forgetHistory();
        form->Settings.InsertIncomingFroRingGroup = perMember;
        const std::string id = perMember ? "12" : "11";
        exchange({"C11 " + id + " 1 600123456", "C10 " + id + " 201", "C10 " + id + " 202"});
        clock.advance(3000);
        exchange({"C02 " + id + " 201", "C02 " + id + " 202", "C13 " + id + " 1"});
        std::vector<Row> expected{{true, "600123456", "202", 0}};
        if (perMember)
            expected.insert(expected.begin(), {true, "600123456", "201", 0});
        EXPECT_EQ(history(), sorted(expected)) << perMember;
        EXPECT_FALSE(busy("201"));
        EXPECT_FALSE(busy("202"));
    }
}

TEST_F(CallEvents, TypeFiveShowsTheCallerOnRingingAndKeepsItsCallsThroughTheSweeps) {
    form->Settings.PbxType = 5;
    TestClient& desk = deskAt("201");
    exchange({"C11 07 1 600123456", "C10 07 201"});
    EXPECT_TRUE(waitFor(desk, "!DM&1&600123456&201&\r\n"));
    exchange({"C01 08 202", "C10 08 201"});
    EXPECT_TRUE(waitFor(desk, "!DW&202&201&\r\n"));
    // A call of this family is stamped when it is taken: the sweep of
    // forgotten calls leaves a live one alone.
    exchange({"C11 13 1 600999999"});
    EXPECT_EQ(call("13").Created, clock.dateTime());
    clock.advance(100000);
    form->Pbx().FixStaleCalls();
    EXPECT_TRUE(call("13").inUse());
}

TEST_F(CallEvents, TheKeywordScanTakesAnswersRecordsAndSkipsNoiseInItsOrder) {
    pbx::LinkShared& shared = form->Pbx().Shared();
    shared.CommandInFlight = 1;
    exchange({"OK C01 05 201"});
    EXPECT_EQ(shared.CommandInFlight.load(), 2);
    EXPECT_TRUE(busy("201"));

    shared.CommandInFlight = 1;
    exchange({"C01 06 202 OK"});
    EXPECT_EQ(shared.CommandInFlight.load(), 1) << "the answer was part of the off-hook record";

    exchange({"zz#C01 07 203", "VM 1 C01 08 204", "C12 01 C01 08 205"});
    EXPECT_TRUE(busy("203"));
    EXPECT_FALSE(busy("204")) << "a record ends the line even when its service is off";
    EXPECT_FALSE(busy("205"));

    form->Settings.UsePctiClip = true;
    exchange({"DW 201&202& C01 09 206"});
    EXPECT_FALSE(busy("206"));

    mainLogText();
    logSoFar.clear();
    exchange({"C15 10 " + std::string(30, '7')});
    EXPECT_NE(mainLogText().find("Nieprawidłowa dł. numeru telefonu przy komendzie C15 z centrali"),
              std::string::npos);
}

TEST_F(CallEvents, LinesAreHandledWithoutHoldingTheChainsAndModemWordsReachNoCrm) {
    std::vector<std::string> copied;
    bool chainsFree = true;
    form->Pbx().CrmCopy = [&](const std::string& line) {
        copied.push_back(line);
        base::EventLock lock(event_bufor.get());
        chainsFree = chainsFree && lock.owns();
    };
    exchange({"OK", "CONNECT 9600", "1", "C01 05 201"});
    EXPECT_TRUE(chainsFree);
    EXPECT_EQ(copied, (std::vector<std::string>{"C01 05 201\r\n"}));
}

TEST_F(CallEvents, EndedCallsAreSweptByDateAndTimeNineSecondsAfterTheirEnd) {
    clock.setDateTime(QDateTime(QDate(2026, 1, 5), QTime(23, 59, 50)));
    exchange({"C01 40 201"});
    dial("40", "201", "202");
    exchange({"C10 40 202"});
    clock.setDateTime(QDateTime(QDate(2026, 1, 5), QTime(23, 59, 58)));
    exchange({"C02 40 202"});
    ASSERT_FALSE(call("40").End.isNull());
    const int count = form->Pbx().Calls.ActiveCallCount;
    clock.setDateTime(QDateTime(QDate(2026, 1, 6), QTime(0, 0, 5)));
    form->Pbx().TimerUsunPolaczeniaTimer();
    EXPECT_TRUE(call("40").inUse()) << "kept for the exchange's late records";
    clock.setDateTime(QDateTime(QDate(2026, 1, 6), QTime(0, 0, 20)));
    form->Pbx().TimerUsunPolaczeniaTimer();
    EXPECT_FALSE(call("40").inUse());
    EXPECT_EQ(form->Pbx().Calls.ActiveCallCount, count - 1);
}

TEST_F(CallEvents, PhoneStatesFillTheListAndTheLogInRows) {
    TestClient& desk = deskAt("209");
    exchange({"C01 20 201", "C11 21 1 600123456", "C10 21 202"});
    form->Pbx().ShowPhoneStates();
    EXPECT_EQ(form->ListBox1->Items(), (QStringList{"0 Tel:201, stan: 1", "1 Tel:202, stan: 2"}));
    exchange({"C02 20 201"});
    form->Pbx().ShowPhoneStates();
    EXPECT_EQ(form->ListBox1->Items(), (QStringList{"0 Tel:202, stan: 2"}));
    service().WyslijZajetosci(desk.record->IP, desk.record->IDFB);
    EXPECT_TRUE(waitFor(desk, "!ZJ&202&2&&\r\n"));
}

} // namespace
