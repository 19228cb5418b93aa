// Call history rows in a real database, and the console's history list.
#include "db/MainDatabase.h"
#include "db/UserTables.h"
#include "pbx/PbxLink.h"
#include "support/ClientServiceTestBed.h"
#include "support/FirebirdFixtures.h"

#include <gtest/gtest.h>

namespace {

class CallHistory : public testing_support::ClientServiceTestBed {
  protected:
    std::vector<QueryRow> rows(const std::string& query) {
        testfb::AwaitRowRoad();
        SessionDB session(c.host, c.path, c.user, c.password, &MainDbHandle, false);
        std::vector<QueryRow> result;
        session.SetSqlText(query);
        EXPECT_EQ(session.StartTransaction(true), 0);
        EXPECT_EQ(session.RunQueryToList(&result), 0);
        EXPECT_EQ(session.CommitTransaction(), 0);
        return result;
    }
    std::string trimmed(const std::string& text) { return text.substr(0, text.find_last_not_of(' ') + 1); }

    const QDateTime start{QDate(2024, 3, 9), QTime(23, 59, 58)};
};

TEST_F(CallHistory, RowsCarryTheNumbersLengthAndStartAsStored) {
    form->Settings.Miedzy = "0";
    form->Settings.PrefiksMiedzynarodowy = "000";
    pbx::PbxLink& link = form->Pbx();
    link.SaveIncomingCall("0221234567", "201", 65, start);
    link.SaveIncomingCall("12'34" + std::string(40, '5'), "201", 1, start);
    link.SaveOutgoingCall("201", "00049301234567", 30, start);
    link.SaveOutgoingCall("201", "0221234567", 31, start);
    link.SaveOutgoingCall("201", "012345", 32, start);
    link.SaveOutgoingCall("201", "012345678901234", 33, start);

    const auto in =
        rows("SELECT SUSERPHONE, SNUMBER, SLINIA, NLENGTH, SDATE, STIME FROM TALKSINCOMING ORDER BY NID");
    ASSERT_EQ(in.size(), 2u);
    auto first = in[0];
    EXPECT_EQ(trimmed(first["SUSERPHONE"]), "201");
    EXPECT_EQ(trimmed(first["SNUMBER"]), "0221234567");
    EXPECT_EQ(trimmed(first["SLINIA"]), "1");
    EXPECT_EQ(first["NLENGTH"], "65");
    EXPECT_EQ(first["SDATE"], "2024-03-09");
    EXPECT_EQ(first["STIME"].substr(0, 8), "23:59:58");
    auto second = in[1];
    EXPECT_EQ(trimmed(second["SNUMBER"]), ("12'34" + std::string(40, '5')).substr(0, 32));

    const auto out = rows("SELECT SUSERPHONE, SNUMBER, NLENGTH FROM TALKSOUTGOING ORDER BY NID");
    ASSERT_EQ(out.size(), 4u);
    std::vector<std::string> numbers;
    for (auto row : out)
        numbers.push_back(trimmed(row["SNUMBER"]));
    EXPECT_EQ(numbers, (std::vector<std::string>{"49301234567", "221234567", "012345", "012345678901234"}));
    EXPECT_EQ(trimmed(out[0].at("SUSERPHONE")), "201");
    EXPECT_EQ(out[0].at("NLENGTH"), "30");
}

// The rows of one slice of records are written together when it ends; a row
// that fails does not take its neighbours with it.
TEST_F(CallHistory, TheRowsOfABatchLandTogetherInOrderAndABadOneAlone) {
    pbx::PbxLink& link = form->Pbx();
    auto stored = [this] { return rows("SELECT SNUMBER FROM TALKSINCOMING ORDER BY NID").size(); };
    {
        const db::MainRowBatch batch;
        link.SaveIncomingCall("600", "201", 1, start);
        link.SaveIncomingCall("601", "201", 2, start);
        EXPECT_EQ(stored(), 0u);
    }
    EXPECT_EQ(stored(), 2u);
    {
        const db::MainRowBatch batch;
        link.SaveIncomingCall("602", "201", 3, start);
        db::WriteMainRow("INSERT INTO NoSuchTable (nId) VALUES (1)");
        link.SaveIncomingCall("603", "201", 4, start);
    }
    std::vector<std::string> numbers;
    for (auto row : rows("SELECT SNUMBER FROM TALKSINCOMING ORDER BY NID"))
        numbers.push_back(trimmed(row["SNUMBER"]));
    EXPECT_EQ(numbers, (std::vector<std::string>{"600", "601", "602", "603"}));
}

TEST_F(CallHistory, ListShowsTheLastIncomingCallsOfAPhoneNewestFirst) {
    testing_support::TestUser user{"Jan", "Kos", "jan", "x"};
    addUser(user);
    ServiceUserPhonesDB phones(c.host, c.path, c.user, c.password);
    phones.nUserID = user.id;
    phones.sUserPhone = "201";
    phones.sUserPhoneName = "biurko";
    ASSERT_EQ(phones.InsertData(), 0);
    for (int i = 0; i < 32; ++i)
        form->Pbx().SaveIncomingCall("50" + std::to_string(i), "201", 5, start);
    form->Pbx().SaveIncomingCall("999", "202", 5, start);
    // The list reads what the road has written.
    ASSERT_TRUE(testfb::AwaitRowRoad());

    form->LoadIncomingHistory("SUSERPHONE", "201");
    ASSERT_EQ(form->HistLV->topLevelItemCount(), 30);
    EXPECT_EQ(form->HistLV->topLevelItem(0)->text(0), "5031");
    EXPECT_EQ(form->HistLV->topLevelItem(0)->text(1), "2024-03-09");
    EXPECT_EQ(form->HistLV->columnCount(), 3);
    form->LoadIncomingHistory("NUSERID", std::to_string(user.id));
    EXPECT_EQ(form->HistLV->topLevelItemCount(), 30);
    // A quote in the value stays inside its literal.
    form->LoadIncomingHistory("SUSERPHONE", "201' OR '1'='1");
    EXPECT_EQ(form->HistLV->topLevelItemCount(), 0);
    form->LoadIncomingHistory("SUSERPHONE", "");
    EXPECT_EQ(form->HistLV->topLevelItemCount(), 0);
}

TEST_F(CallHistory, ARowWrittenWhileDetachedWaitsForTheNextAttachAndStartsTheReconnect) {
    testfb::DetachMain();
    form->trmReconnect->SetEnabled(false);
    form->Pbx().SaveOutgoingCall("201", "0221234567", 30, start);
    EXPECT_TRUE(form->trmReconnect->Enabled());
    EXPECT_NE(mainLogText().find("zapis czeka na połączenie: INSERT INTO TalksOutgoing"), std::string::npos);
    form->trmReconnect->SetEnabled(false);
    form->LoadIncomingHistory("SUSERPHONE", "201");
    EXPECT_TRUE(form->trmReconnect->Enabled());
    // The next attach (the test's own here) sets the row on its way.
    testfb::MainQuery(c, "SELECT 1 FROM RDB$DATABASE");
    const auto out = rows("SELECT SNUMBER FROM TALKSOUTGOING");
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(trimmed(out[0].at("SNUMBER")), "221234567");
}

} // namespace
