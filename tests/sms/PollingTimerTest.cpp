// The polling timer of the real window: the GSM-line list asked line by line
// from the exchange's records, the list reaching a client, then the poll of
// stored messages and the send step, frozen while the link has errors.
#include "admin/Console.h"
#include "clients/Bufor.h"
#include "pbx/PbxLink.h"
#include "sms/SmsGateway.h"
#include "support/ClientServiceTestBed.h"

#include <QByteArray>
#include <gtest/gtest.h>

namespace {

using testing_support::TestClient;

class PollingTimer : public testing_support::ClientServiceTestBed {
  protected:
    // The server's own commands queued for the exchange since the last call.
    std::vector<std::string> sent() {
        auto lock = LockChains();
        std::vector<std::string> lines;
        for (const auto& command : ServerKlient->Komendy)
            lines.push_back(command.data);
        ServerKlient->Komendy.clear();
        return lines;
    }
    void exchange(const std::string& record) {
        form->Pbx().Shared().AppendReceivedLine(record);
        form->Pbx().DrainReceivedLines();
    }
    using Lines = std::vector<std::string>;
    // A desk of a version that handles SMS, logged in as a new user.
    TestClient& logInDesk(testing_support::TestUser user) {
        addUser(user);
        loadUsersFromDatabase();
        TestClient& client = connectClient();
        int code = -1;
        EXPECT_NE(logIn(client, "2.04.00.00", user.login, user.password, code), nullptr);
        return client;
    }
};

TEST_F(PollingTimer, AsksTheGsmLinesThenPollsAndSendsAndFreezesWhileTheLinkFails) {
    ASSERT_EQ(form->tmrPabxSynchronize->interval(), 4000);
    ASSERT_TRUE(form->tmrPabxSynchronize->isActive());
    auto& sms = form->Sms();
    sent();
    form->tmrPabxSynchronizeTimer();
    EXPECT_EQ(sent(), Lines{}) << "without SMS a tick only sets the interval";
    EXPECT_EQ(form->tmrPabxSynchronize->interval(), 800);

    sms.SmsSettings.UseSms = true;
    form->tmrPabxSynchronize->setInterval(4000);
    form->Pbx().PbxLinkErrorCount = 1; // also while the client below logs in
    form->tmrPabxSynchronizeTimer();
    EXPECT_EQ(sent(), Lines{});
    EXPECT_EQ(form->tmrPabxSynchronize->interval(), 4000);

    // A desk logged in while the table is still empty gets no list yet.
    TestClient& client = logInDesk({"Jan", "Nowak", "jnowak", "0cc175b9c0f1b6a831c399e269772661"});
    ASSERT_TRUE(waitFor(client, "&\r\n"));
    form->Pbx().PbxLinkErrorCount = 0;

    for (int line = 0; line < 16; ++line) {
        form->tmrPabxSynchronizeTimer();
        ASSERT_EQ(sent(), Lines{"GSM GET " + std::to_string(line) + "\r"});
        form->tmrPabxSynchronizeTimer();
        EXPECT_EQ(sent(), Lines{}) << "one question at a time";
        exchange("GSM PUT " + std::to_string(line) + (line == 3 ? " 600100200" : " -1"));
    }
    EXPECT_TRUE(form->tmrPabxSynchronize->isActive());
    EXPECT_NE(mainLogText().find("PABX_ACTION_FINISH"), std::string::npos);
    form->Pbx().PbxLinkErrorCount = 1; // the timer's own ticks do nothing while clients read
    EXPECT_TRUE(waitFor(client, "!GSM&CLR\r\n!GSM&ADD&600100200\r\n!GSM&FIN\r\n")) << client.received;
    EXPECT_EQ(client.received.find("!GSM&DIS"), std::string::npos);
    // A desk logging in now finds the list among its log-in notices.
    TestClient& lateClient = logInDesk({"Anna", "Lis", "alis", "0cc175b9c0f1b6a831c399e269772661"});
    EXPECT_TRUE(waitFor(lateClient, "!GSM&CLR\r\n!GSM&ADD&600100200\r\n!GSM&FIN\r\n")) << lateClient.received;
    form->Pbx().PbxLinkErrorCount = 0;
    sent();
    EXPECT_EQ(sms.SmsEngine.LineQueueCount(), 1);

    form->tmrPabxSynchronizeTimer();
    EXPECT_EQ(sent(), Lines{"SMS GET 3\r"}) << "the stored messages come next";

    sms.SmsEngine.bSmsListComplete = 1;
    sms::SMSMSG message;
    message.nId = 1;
    message.nState = sms::SMS_STATE_IN_PROGRESS;
    message.sPdu = std::string("\x01\x00\x0b\x91", 4);
    message.tCreated = std::int32_t(QDateTime::currentSecsSinceEpoch());
    sms.SmsEngine.MainQueue.push_back(message);
    sms.SmsEngine.DistributeMainQueue();
    form->tmrPabxSynchronizeTimer();
    EXPECT_EQ(sent(), Lines{"SMS SND 3 1 1 1 AQALkQ==\r"});

    // A record for another line than the one asked empties the table: the
    // questions begin again at line 0 and nothing is polled or sent.
    exchange("GSM ADD 1 600100200");
    form->tmrPabxSynchronizeTimer();
    EXPECT_EQ(sent(), Lines{"GSM GET 0\r"});
}

TEST_F(PollingTimer, SwitchingSmsOnAgainEmptiesTheGsmTableAndTellsTheDesksToDropTheirLists) {
    auto& sms = form->Sms();
    sms.SmsSettings.UseSms = true;
    form->Pbx().PbxLinkErrorCount = 1; // the timer's own ticks do nothing meanwhile
    sms.GsmLines.lines = {{3, "600100200"}};
    sms.GsmLines.currentLine = 16;
    sms.GsmLines.complete = 1;
    TestClient& client = logInDesk({"Jan", "Nowak", "jnowak", "0cc175b9c0f1b6a831c399e269772661"});
    ASSERT_TRUE(waitFor(client, "!GSM&FIN\r\n"));
    client.received.clear();
    client.acknowledged = 0;

    form->Admin().Host().WyslijListeGSMWszystkim();
    EXPECT_TRUE(waitFor(client, "!GSM&CLR\r\n"));
    EXPECT_EQ(client.received.find("!GSM&ADD"), std::string::npos) << client.received;
    EXPECT_TRUE(sms.GsmLines.lines.empty());
    EXPECT_EQ(sms.GsmLines.complete, 0);
    form->Pbx().PbxLinkErrorCount = 0;
    sent();
    form->tmrPabxSynchronizeTimer();
    EXPECT_EQ(sent(), Lines{"GSM GET 0\r"}) << "the lines are read anew";
}

} // namespace
