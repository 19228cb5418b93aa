// SMS end to end with real parts: the window linked over TCP to the exchange
// simulator with GSM lines, a real embedded database, simulated clients
// logged in over TCP, and the polling timer's ticks driven by the test.
// Here: the GSM list, sending with its retries and failures, and a received
// message reaching its user.
#include "SmsRoadFixture.h"

namespace {

using namespace smsroadtest;

TEST_F(SmsRoad, TheGsmListReachesTheDesksAndASentMessageLeavesByteExactAndIsDelivered) {
    link();
    staff({"jnowak"});
    readGsmLines();
    EXPECT_EQ(smsNotices("jnowak"),
              Texts({"!GSM&CLR\r\n", "!GSM&ADD&" + LineNumber + "\r\n", "!GSM&FIN\r\n"}));
    pollStoredMessages();

    exchange->SetSmsSendScript({true, SmsSendScript::Outcome::Ack, -5, 0, 0});
    send("jnowak", "600123456", "Hello");
    ticksUntilSent(1, 1);
    sim::SentSms sent = exchange->SentMessages().at(0);
    EXPECT_EQ(sent.PduHex(), SubmitHello);
    EXPECT_EQ(sent.frames, Texts({"SMS SND 1 1 1 1 " + base64(octets(SubmitHello))}));
    // Announced in progress, then the acknowledgement and the delivery
    // report each change it.
    ASSERT_TRUE(serveUntil([&] {
        return smsRows() == Texts{"1 " + id("jnowak") + " 3 600123456 600100200"};
    })) << testing::PrintToString(smsRows());
    const std::string key = rows("SELECT NID FROM SMS").at(0).at("NID");
    EXPECT_EQ(smsNotices("jnowak"),
              Texts({"!SMS&ADD&" + key + "&1&" + stamp() + "&600123456&&4&" + base64("Hello") + "\r\n",
                     "!SMS&CHG\r\n", "!SMS&CHG\r\n"}));

    // A longer text goes in two parts, one a tick.
    exchange->SetSmsSendScript({false, SmsSendScript::Outcome::Ack, -5, -1, 0});
    send("jnowak", "+48600123456", MeetingText);
    ticksUntilSent(2, 2);
    sent = exchange->SentMessages().at(1);
    EXPECT_EQ(sent.PduHex(), SubmitMeeting);
    const std::string pdu = octets(SubmitMeeting);
    ASSERT_EQ(pdu.size(), 84u);
    EXPECT_EQ(sent.frames, Texts({"SMS SND 1 2 1 2 " + base64(pdu.substr(0, 42)),
                                  "SMS SND 1 2 2 2 " + base64(pdu.substr(42))}));
    ASSERT_TRUE(serveUntil([&] {
        return smsRows().size() == 2 && smsRows()[1].starts_with("1 " + id("jnowak") + " 1 ");
    })) << testing::PrintToString(smsRows());
    EXPECT_EQ(exchange->BadSmsFrames(), 0);
}

// A link started again (on new settings, say) counts as down until it has
// logged in again, even when its old run is reaped before that run's last
// state arrived: no tick asks the exchange meanwhile what the log-in would
// discard, and the GSM lines are read at once once it is up.
TEST_F(SmsRoad, ALinkStartedAgainIsAskedNothingBeforeItsLogIn) {
    ASSERT_NO_FATAL_FAILURE(link());
    ASSERT_NO_FATAL_FAILURE(readGsmLines());
    const int logins = exchange->LoginCount();
    form->Pbx().ConnectPbx();
    EXPECT_NE(form->Pbx().PbxLinkErrorCount.load(), 0);
    tick();
    ASSERT_EQ(form->Pbx().ServerChainLength(), 0u) << "asked before the log-in";
    ASSERT_TRUE(serveUntil([&] { return exchange->LoginCount() > logins; }));
    exchange->SendRecord("X");
    ASSERT_TRUE(serveUntil([&] { return form->Pbx().PbxLinkErrorCount.load() == 0; }));
    ASSERT_NO_FATAL_FAILURE(readGsmLines());
}

TEST_F(SmsRoad, AnUnacknowledgedMessageIsRetriedUpToTheTrialsThenFails) {
    sms().SmsSettings.OutTrials = 3;
    link();
    staff({"jnowak"});
    readGsmLines();
    pollStoredMessages();
    exchange->SetSmsSendScript({false, SmsSendScript::Outcome::Silent, -5, -1, 0});
    send("jnowak", "600123456", "Hello");
    smsNotices("jnowak");

    // Each silence costs the wait for the acknowledgement and the line's
    // pause; ticks are the only time that passes.
    // 2000 ticks hold three trials and more.
    for (int i = 0; i < 2000; ++i) {
        tick();
        if (i % 100 == 0) {
            ASSERT_TRUE(flushed());
        }
    }
    ASSERT_TRUE(flushed());
    ASSERT_TRUE(serveUntil([&] { return exchange->SentMessages().size() >= 3; }));
    EXPECT_EQ(exchange->SentMessages().size(), 3u) << "no fourth trial";
    for (const auto& sent : exchange->SentMessages())
        EXPECT_EQ(sent.PduHex(), SubmitHello);
    // Given to no line for good, the message keeps no line name.
    EXPECT_EQ(smsRows(), Texts({"1 " + id("jnowak") + " 2 600123456 "}));
    EXPECT_EQ(smsNotices("jnowak"), Texts({"!SMS&CHG\r\n"}));
    EXPECT_EQ(sms().SmsEngine.MainQueueSize(), 0);
}

TEST_F(SmsRoad, AMessageTheExchangeNeverAnswersFailsAfter150TicksWhileAnotherLineSendsAndReceives) {
    constexpr int OtherLine = 2;
    sms().SmsSettings.OutTrials = 1;
    link({{OtherLine, "600100300"}});
    staff({"jnowak"});
    readGsmLines();
    pollStoredMessages();
    smsNotices("jnowak");

    exchange->QueueSmsSendScript({false, SmsSendScript::Outcome::Silent, -5, -1, 0});
    exchange->SetSmsSendScript({true, SmsSendScript::Outcome::Ack, -5, -1, 0});
    send("jnowak", "600123456", "Hello");
    ticksUntilSent(1, 1);
    const std::string waiting = "1 " + id("jnowak") + " 4 600123456 ";
    EXPECT_EQ(smsRows(), Texts({waiting}));
    smsNotices("jnowak");

    // Meanwhile the other line sends a message, receives one it announces
    // and hands over one stored, fetched by a poll; every tick counts.
    int ticks = 0;
    const auto waitTicks = [&](int count) {
        for (int i = 0; i < count; ++i, ++ticks) {
            tick();
            ASSERT_TRUE(flushed());
            ASSERT_TRUE(serveUntil([&] { return !sms().SmsEngine.bSmsRequestSent; }));
            ASSERT_TRUE(testfb::AwaitRowRoad());
        }
    };
    waitTicks(10);
    send("jnowak", "600123456", "Hello");
    waitTicks(1);
    ASSERT_TRUE(serveUntil([&] { return exchange->SentMessages().size() == 2; }));
    exchange->AnnounceSms(OtherLine, sim::pdu::DeliverMeeting, {30, 30});
    ASSERT_TRUE(serveUntil([&] { return exchange->StoredSmsCount(OtherLine) == 0; }));
    exchange->StoreSms(OtherLine, sim::pdu::DeliverHello);
    form->miSmsSynchronizeClick();
    waitTicks(149 - ticks);
    EXPECT_EQ(exchange->StoredSmsCount(OtherLine), 0u) << "the poll took it";
    EXPECT_EQ(smsRows().at(0), waiting) << "still waiting on the 149th tick";
    waitTicks(1);
    ASSERT_TRUE(serveUntil([&] { return smsRows().at(0) == "1 " + id("jnowak") + " 2 600123456 "; }))
        << testing::PrintToString(smsRows());
    const auto notices = smsNotices("jnowak");
    EXPECT_NE(std::find(notices.begin(), notices.end(), "!SMS&CHG\r\n"), notices.end())
        << testing::PrintToString(notices);
    EXPECT_EQ(exchange->SentMessages().size(), 2u) << "no second trial";
}

TEST_F(SmsRoad, AReceivedMessageReachesTheUserOfItsRuleOrItsLastWriterAndIsAcknowledged) {
    link();
    staff({"jnowak", "alis"});
    ServiceSmsRoutingDB rule(c.host, c.path, c.user, c.password);
    rule.nPriority = "1";
    rule.sSender = "601_";
    rule.sLine = "_";
    rule.sRecipients = id("jnowak");
    ASSERT_EQ(rule.InsertDataWithId(), 0);
    sms().SmsRoutingLoaded = false;
    sms().LoadSmsRouting();
    readGsmLines();
    pollStoredMessages();
    smsNotices("jnowak");
    smsNotices("alis");

    exchange->StoreSms(Line, sim::pdu::DeliverHello);
    pollStoredMessages();
    ASSERT_TRUE(serveUntil([&] { return exchange->StoredSmsCount(Line) == 0; })) << "acknowledged";
    EXPECT_EQ(smsRows(), Texts({"0 " + id("jnowak") + " 0 601234567 600100200"}));
    const std::string first = rows("SELECT NID FROM SMS").at(0).at("NID");
    EXPECT_EQ(smsNotices("jnowak"), Texts({"!SMS&ADD&" + first + "&0&2026.03.07&09:05:03&601234567&" +
                                           LineNumber + "&0&" + base64("Hello") + "\r\n"}));

    // With dynamic routing the reply goes to whoever last wrote to that
    // number on that line, whatever the rules say.
    sms().SmsSettings.DynamicRoutingEnabled = true;
    sms().ApplySmsSettings();
    exchange->SetSmsSendScript({false, SmsSendScript::Outcome::Ack, -5, -1, 0});
    send("alis", "601234567", "Hello");
    ticksUntilSent(1, 1);
    ASSERT_TRUE(serveUntil(
        [&] { return smsRows().size() == 2 && smsRows()[1].starts_with("1 " + id("alis") + " 1 "); }));
    smsNotices("alis");
    exchange->StoreSms(Line, sim::pdu::DeliverMeeting, {30, 30});
    pollStoredMessages();
    ASSERT_TRUE(serveUntil([&] { return exchange->StoredSmsCount(Line) == 0; }));
    ASSERT_EQ(smsRows().size(), 3u);
    EXPECT_EQ(smsRows()[2], "0 " + id("alis") + " 0 601234567 600100200");
    const auto notices = smsNotices("alis");
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_TRUE(notices[0].ends_with("&601234567&" + LineNumber + "&0&" + base64(MeetingText) + "\r\n"))
        << notices[0];
    EXPECT_EQ(smsNotices("jnowak"), Texts{});
}

} // namespace
