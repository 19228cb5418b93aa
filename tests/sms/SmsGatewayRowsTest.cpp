// The gateway's rows in table Sms, its notices to clients and its
// acknowledgements, with a real database and clients on 127.0.0.1.
#include "clients/Bufor.h"
#include "pbx/PbxLink.h"
#include "sms/SmsGateway.h"
#include "support/ClientServiceTestBed.h"

#include <gtest/gtest.h>

namespace {

// An SMS-DELIVER from +48601234567, "hello".
const char DeliverHello[] = "AAQLkYQGIUNl9wAAYkAwIVQAAAXoMpv9Bg==";

class SmsGatewayRows : public testing_support::ClientServiceTestBed {
  protected:
    // Once the road wrote what was handed to it and its followers ran.
    std::vector<QueryRow> rows() {
        EXPECT_TRUE(testfb::AwaitRowRoad());
        SessionDB session(c.host, c.path, c.user, c.password, &MainDbHandle, false);
        std::vector<QueryRow> result;
        session.SetSqlText("SELECT NID, NDIR, NSTATE, NUSERID, SNUMBER, SLINE, SBODY FROM SMS ORDER BY NID");
        EXPECT_EQ(session.StartTransaction(true), 0);
        EXPECT_EQ(session.RunQueryToList(&result), 0);
        EXPECT_EQ(session.CommitTransaction(), 0);
        return result;
    }
    static std::string trimmed(const std::string& text) {
        return text.substr(0, text.find_last_not_of(' ') + 1);
    }
};

} // namespace

TEST_F(SmsGatewayRows, RequestsAndRecordsBecomeRowsNoticesAndAcknowledgements) {
    testing_support::TestUser anna{"Anna", "Nowak", "anna", "0cc175b9c0f1b6a831c399e269772661"};
    addUser(anna);
    loadUsersFromDatabase();
    auto& client = connectClient();
    int code = 0;
    ASSERT_NE(logIn(client, "2.04.00.00", "anna", anna.password, code), nullptr);
    sms::SmsGateway& gateway = form->Sms();
    std::vector<sms::S_GSMLINE> lines{{2, "500100200"}};
    gateway.SmsEngine.v_gsmlines = &lines;
    gateway.SmsEngine.SortedRoutingRules = {{1, 1, "_", "_", {anna.id}}};
    const std::string id = std::to_string(anna.id);

    // A client's message is stored in progress, announced, and its queued
    // copy carries the row's key once the row is written.
    gateway.HandleClientSmsRequest("!SMS&SEND&&601234567&YWInYw==\r\n", id);
    auto stored = rows();
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0]["NSTATE"], "4");
    EXPECT_EQ(stored[0]["NDIR"], "1");
    EXPECT_EQ(trimmed(stored[0]["SBODY"]), "ab'c") << "a quote is stored once";
    const std::string key = stored[0]["NID"];
    // Waiting in the main queue or already handed to the line.
    auto& lineQueue = gateway.SmsEngine.LineQueues["500100200"];
    const sms::SMSMSG queued =
        gateway.SmsEngine.MainQueue.empty() ? lineQueue.front() : gateway.SmsEngine.MainQueue.back();
    EXPECT_EQ(std::to_string(queued.nId), key);
    EXPECT_TRUE(waitFor(client, "!SMS&ADD&" + key + "&1&"));
    EXPECT_TRUE(waitFor(client, "&601234567&&4&YWInYw==\r\n"));

    // A refused one becomes a failed row of its sender.
    gateway.HandleClientSmsRequest("!SMS&SEND&&60x&YWJj\r\n", id);
    stored = rows();
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_EQ(stored[1]["NSTATE"], "2");
    EXPECT_TRUE(waitFor(client, "&2&YWJj\r\n"));
    // So does a text whose row cannot hold it ("ab\0cd": a NUL), and it is
    // never queued.
    const std::size_t queuedBefore = gateway.SmsEngine.MainQueue.size() + lineQueue.size();
    gateway.HandleClientSmsRequest("!SMS&SEND&&601234567&YWIAY2Q=\r\n", id);
    stored = rows();
    ASSERT_EQ(stored.size(), 3u);
    EXPECT_EQ(stored[2]["NSTATE"], "2");
    EXPECT_EQ(trimmed(stored[2]["SBODY"]), "abcd");
    EXPECT_TRUE(waitFor(client, "!SMS&ADD&" + stored[2]["NID"] + "&1&"));
    EXPECT_TRUE(waitFor(client, "&601234567&&2&YWJjZA==\r\n"));
    EXPECT_EQ(gateway.SmsEngine.MainQueue.size() + lineQueue.size(), queuedBefore);

    // A received message: one row for its recipient, announced, then
    // acknowledged to the exchange.
    gateway.HandleSmsRecord(std::string("SMS PUT 2 17 1 1 ") + DeliverHello);
    stored = rows();
    ASSERT_EQ(stored.size(), 4u);
    EXPECT_EQ(stored[3]["NSTATE"], "0");
    EXPECT_EQ(stored[3]["NUSERID"], id);
    EXPECT_EQ(trimmed(stored[3]["SNUMBER"]), "601234567");
    EXPECT_EQ(trimmed(stored[3]["SLINE"]), "500100200");
    EXPECT_EQ(trimmed(stored[3]["SBODY"]), "hello");
    EXPECT_TRUE(waitFor(client, "!SMS&ADD&" + stored[3]["NID"] +
                                    "&0&2026.04.03&12:45:00&601234567&500100200&0&aGVsbG8="));
    {
        auto chains = LockChains();
        ASSERT_NE(ServerKlient, nullptr);
        ASSERT_FALSE(ServerKlient->Komendy.empty());
        EXPECT_EQ(ServerKlient->Komendy.back().data, "SMS ACK 2 17\r");
    }

    // Acknowledged by the exchange, the sent message's row becomes sent.
    sms::SMSMSG head = queued;
    head.idWiad = 5;
    gateway.SmsEngine.MainQueue.clear();
    lineQueue.clear();
    lineQueue.push_back(head);
    gateway.SmsEngine.SmsQueueData["500100200"].iWaitingForAck = 100;
    gateway.HandleSmsRecord("SMS ACK 2 5");
    EXPECT_EQ(rows()[0]["NSTATE"], "1");
    EXPECT_TRUE(waitFor(client, "!SMS&CHG\r\n"));
}
