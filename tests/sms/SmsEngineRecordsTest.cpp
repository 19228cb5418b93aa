// The engine's side of the exchange's SMS records and of the clients' SMS
// requests, driven record by record.
#include "platform/Clock.h"
#include "sms/Sms.h"

#include <gtest/gtest.h>

#include <random>

namespace {

// An SMS-DELIVER from +48601234567, stamped 2026.04.03 12:45:00, "hello".
const char DeliverHello[] = "AAQLkYQGIUNl9wAAYkAwIVQAAAXoMpv9Bg==";
const char DeliverHelloPart1[] = "AAQLkYQGIUNl9w==";
const char DeliverHelloPart2[] = "AABiQDAhVAAABegym/0G";
// The same from the alphanumeric sender "Test" (address type 0xD0).
const char DeliverHelloFromName[] = "AAQH0NTynA4AAGJAMCFUAAAABegym/0G";
// Status reports for TP-MR 42 with TP-ST 0, 0x30 and 0x45.
const char ReportDelivered[] = "AAYqC5GEBiFDZfdiQDAhVAAAYkAwIVUAAAA=";
const char ReportTemporary[] = "AAYqC5GEBiFDZfdiQDAhVAAAYkAwIVUAADA=";
const char ReportPermanent[] = "AAYqC5GEBiFDZfdiQDAhVAAAYkAwIVUAAEU=";

struct Log : cCallbackLog {
    void operator()(const std::string& text) override { lines.push_back(text); }
    bool has(const std::string& text) const {
        return std::find(lines.begin(), lines.end(), text) != lines.end();
    }
    std::vector<std::string> lines;
};

class SmsEngineRecords : public testing::Test {
  protected:
    void SetUp() override {
        platform::setProcessClock(&clock);
        engine.SetLogCallback(&log);
        engine.SetErrorLogging(1);
        lines = {{2, "500100200"}, {5, "500100500"}};
        engine.v_gsmlines = &lines;
    }
    void TearDown() override { platform::setProcessClock(nullptr); }

    struct Outcome {
        int result = 0;
        std::int32_t action = -1, rowId = 0, ackLine = 0, ackId = 0;
        sms::SMSMSG msg;
        std::vector<std::int32_t> recipients;
    };
    Outcome parse(const std::string& record) {
        Outcome o;
        o.result = engine.ParseSMS(record, o.action, o.msg, o.recipients, o.rowId, o.ackLine, o.ackId);
        return o;
    }
    // A message of user `user` being sent on line 2 under identifier `id`,
    // its row `rowId`, its acknowledgement awaited.
    void sending(std::int32_t id, std::int32_t rowId, std::int32_t user) {
        sms::SMSMSG head;
        head.nId = rowId;
        head.nUserId = user;
        head.idWiad = id;
        head.sNumber = "601234567";
        head.nState = sms::SMS_STATE_IN_PROGRESS;
        engine.LineQueues["500100200"].push_back(head);
        engine.SmsQueueData["500100200"].iWaitingForAck = 100;
    }
    void rules(std::vector<sms::ROUTING_RULE> sorted) { engine.SortedRoutingRules = std::move(sorted); }

    platform::ManualClock clock{1'000'000, QDateTime(QDate(2026, 3, 7), QTime(9, 5, 3))};
    Log log;
    SMS engine;
    std::vector<sms::S_GSMLINE> lines;
};

} // namespace

TEST_F(SmsEngineRecords, PartsAreJoinedInOrderAndTheListEndMovesThePoll) {
    rules({{1, 1, "_", "_", {7}}});
    EXPECT_EQ(parse(std::string("SMS PUT 2 17 2 2 ") + DeliverHelloPart2).result, sms::ERR_BAD_ARGS_VALUE)
        << "a second part without its first";
    EXPECT_TRUE(log.has("kelta_error: wiadomość o identyfikatorze różnym od spodziewanego iPart=2"));

    auto first = parse(std::string("SMS PUT 2 17 1 2 ") + DeliverHelloPart1);
    EXPECT_EQ(first.result, sms::SMS_RESULT_OK);
    EXPECT_EQ(first.action, sms::SMS_ACTION_NONE);
    auto whole = parse(std::string("SMS PUT 2 17 2 2 ") + DeliverHelloPart2);
    ASSERT_EQ(whole.action, sms::SMS_ACTION_RCV);
    EXPECT_EQ(whole.msg.sBody, "hello");
    EXPECT_EQ(whole.msg.sNumber, "601234567");
    EXPECT_EQ(whole.msg.sLine, "500100200");
    EXPECT_EQ(whole.msg.sDate, "2026.04.03");
    EXPECT_EQ(whole.msg.sTime, "12:45:00");
    EXPECT_EQ(whole.msg.idWiad, 17);
    EXPECT_EQ(whole.msg.iNrLinii, 2);
    EXPECT_EQ(whole.recipients, std::vector<std::int32_t>{7});
    EXPECT_EQ(engine.SmsBufPut.id, -1);

    // A part count that changes midway frees the slot.
    parse(std::string("SMS PUT 2 18 1 2 ") + DeliverHelloPart1);
    EXPECT_EQ(parse(std::string("SMS PUT 2 18 2 3 ") + DeliverHelloPart2).result, sms::ERR_BAD_ARGS_VALUE);
    EXPECT_EQ(engine.SmsBufPut.id, -1);

    // The polled line's own announcement is ignored while its poll is out;
    // another line's is collected in its own slot.
    engine.bSmsRequestSent = 1;
    auto ignored = parse(std::string("SMS ADD 2 30 1 1 ") + DeliverHello);
    EXPECT_EQ(ignored.result, sms::SMS_RESULT_OK);
    EXPECT_EQ(ignored.action, sms::SMS_ACTION_NONE);
    EXPECT_EQ(parse(std::string("SMS ADD 5 31 1 1 ") + DeliverHello).action, sms::SMS_ACTION_RCV);
    EXPECT_EQ(parse("SMS ADD 5 -1 x x x").action, sms::SMS_ACTION_NONE);
    EXPECT_EQ(engine.iSmsRequestIdx, 0) << "another line's end of list leaves the poll";

    EXPECT_EQ(parse("SMS PUT 2 -1 x x x").action, sms::SMS_ACTION_NONE);
    EXPECT_EQ(engine.iSmsRequestIdx, 1);
    EXPECT_EQ(engine.bSmsRequestSent, 0);
    EXPECT_EQ(parse("SMS PUT 2 -1 x x x").result, sms::ERR_BAD_ARGS_VALUE) << "line 5 is polled now";
    EXPECT_EQ(parse("SMS PUT 5 -1 x x x").action, sms::SMS_ACTION_LIST_COMPLETE);
    EXPECT_EQ(engine.NeedsResynchronization(), 1);
    EXPECT_EQ(parse(std::string("SMS PUT 5 3 1 1 ") + DeliverHello).result, sms::ERR_BAD_ARGS_VALUE)
        << "no answer is taken once the cycle is over";
}

TEST_F(SmsEngineRecords, RecordsOfWrongShapeOrValueAreRefused) {
    sending(0, 9, 12);
    EXPECT_EQ(parse("GSM ACK 2 0").result, sms::SMS_RESULT_NOT_MINE);
    EXPECT_EQ(parse("SMS ACK 2").result, sms::SMS_RESULT_TOKENS);
    EXPECT_EQ(parse("SMS FOO 2 0").result, sms::ERR_BAD_ARGS_VALUE);
    EXPECT_EQ(parse("SMS ACK 2 240").result, sms::ERR_BAD_ARGS_VALUE);
    EXPECT_EQ(parse("SMS ACK 2 x1").result, sms::ERR_BAD_ARGS_VALUE);
    EXPECT_EQ(parse("SMS PUT 2 17 1 1 AAAA").result, sms::ERR_BAD_ARGS_VALUE) << "an undecodable message";
    EXPECT_EQ(engine.iSmsRequestIdx, 1) << "the poll goes on past the line whose message cannot be read";
    EXPECT_EQ(parse("SMS ACK 2 0").result, sms::SMS_RESULT_OK) << "identifier 0 written as 0";
    // Long floods stay within a slot of 512 octets.
    engine.iSmsRequestIdx = 0;
    const std::string chunk(400, 'A');
    EXPECT_EQ(parse("SMS PUT 2 20 1 3 " + chunk).result, sms::SMS_RESULT_OK);
    EXPECT_EQ(parse("SMS PUT 2 20 2 3 " + chunk).result, sms::ERR_BAD_ARGS_VALUE);
    EXPECT_EQ(engine.SmsBufPut.id, -1);
}

TEST_F(SmsEngineRecords, ReceivedMessagesGoByDynamicRouteElseByTheFirstMatchingRule) {
    rules({{1, 1, "601_", "_", {5, 6}}, {2, 2, "_", "_", {7}}});
    EXPECT_EQ(parse(std::string("SMS ADD 5 1 1 1 ") + DeliverHello).recipients,
              (std::vector<std::int32_t>{5, 6}));
    rules({{1, 1, "602_", "_", {5, 6}}, {2, 2, "_", "5001002??", {7}}});
    EXPECT_TRUE(parse(std::string("SMS ADD 5 2 1 1 ") + DeliverHello).recipients.empty())
        << "no rule matches";

    // User 12 wrote to 601234567 on line 2: its reply goes to user 12.
    engine.bDynamicRouting = 1;
    sending(3, 9, 12);
    auto ack = parse("SMS ACK 2 3");
    ASSERT_EQ(ack.action, sms::SMS_ACTION_SND);
    EXPECT_EQ(parse(std::string("SMS ADD 2 4 1 1 ") + DeliverHello).recipients,
              std::vector<std::int32_t>{12});
    EXPECT_EQ(parse(std::string("SMS ADD 5 4 1 1 ") + DeliverHello).recipients, std::vector<std::int32_t>{})
        << "the route holds for its line only";
    clock.advance(3601'000);
    EXPECT_EQ(parse(std::string("SMS ADD 2 5 1 1 ") + DeliverHello).recipients, std::vector<std::int32_t>{7})
        << "an expired route gives way to the rules";

    // A sender with no national form keeps the codec's text: it is stored
    // and matched as it came, not as an empty number.
    rules({{1, 1, "4D2_", "_", {8}}});
    const auto named = parse(std::string("SMS ADD 5 6 1 1 ") + DeliverHelloFromName);
    EXPECT_EQ(named.msg.sNumber, "4D2FC9E");
    EXPECT_EQ(named.recipients, std::vector<std::int32_t>{8});
}

TEST_F(SmsEngineRecords, AcknowledgementsErrorsAndDeliveryReportsFollowTheLineHead) {
    sending(3, 9, 12);
    EXPECT_EQ(parse("SMS RAPORT_ID 2 100 42 x").result, sms::SMS_RESULT_OK);
    auto ack = parse("SMS ACK 2 3");
    ASSERT_EQ(ack.action, sms::SMS_ACTION_SND);
    EXPECT_EQ(ack.msg.nId, 9);
    EXPECT_EQ(ack.msg.nState, sms::SMS_STATE_IN_PROGRESS);
    EXPECT_EQ(ack.msg.sLine, "500100200") << "an unnamed message takes its line's name";
    EXPECT_EQ(ack.msg.sDate, "2026.03.07");
    EXPECT_EQ(ack.msg.sTime, "09:05:03");
    EXPECT_EQ(ack.ackLine, 2);
    EXPECT_EQ(ack.ackId, 3);
    EXPECT_TRUE(engine.LineQueues["500100200"].empty());
    EXPECT_EQ(engine.ExpectedReports[2].back().iSrcId, 12);
    EXPECT_EQ(parse("SMS ACK 2 3").result, sms::ERR_BAD_ARGS_VALUE) << "nothing awaits it any more";

    auto temporary = parse(std::string("SMS RAPORT 2 ") + ReportTemporary);
    EXPECT_EQ(temporary.action, sms::SMS_ACTION_NONE);
    EXPECT_EQ(engine.ExpectedReports[2].size(), 1u);
    auto delivered = parse(std::string("SMS RAPORT 2 ") + ReportDelivered);
    ASSERT_EQ(delivered.action, sms::SMS_ACTION_RAPORT);
    EXPECT_EQ(delivered.msg.nState, sms::SMS_STATE_DELIVERED);
    EXPECT_EQ(delivered.rowId, 9);
    EXPECT_EQ(delivered.msg.nUserId, 12);
    EXPECT_TRUE(engine.ExpectedReports[2].empty());

    // A newer message on the line takes TP-MR 42 over from the older one.
    sending(4, 10, 12);
    parse("SMS RAPORT_ID 2 101 42 x");
    engine.LineQueues["500100200"].front().nId = 11;
    parse("SMS RAPORT_ID 2 102 42 x");
    ASSERT_EQ(engine.ExpectedReports[2].size(), 1u);
    auto permanent = parse(std::string("SMS RAPORT 2 ") + ReportPermanent);
    EXPECT_EQ(permanent.msg.nState, sms::SMS_STATE_SENT);
    EXPECT_EQ(permanent.rowId, 11);
    EXPECT_TRUE(log.has("SMS: Raport SMS - permanent error 69"));

    // A send error takes the head off its line; one for a line never
    // reported is dropped.
    auto error = parse("SMS ERR 2 4 -5");
    EXPECT_EQ(error.action, sms::SMS_ACTION_SND_ERR);
    EXPECT_EQ(error.msg.nId, 11);
    EXPECT_TRUE(log.has("Błąd przy wysyłaniu wiadomości, kod -5"));
    EXPECT_TRUE(engine.LineQueues["500100200"].empty());
    auto dropped = parse("SMS ERR 9 4 -5");
    EXPECT_EQ(dropped.result, sms::SMS_RESULT_OK);
    EXPECT_EQ(dropped.action, sms::SMS_ACTION_NONE);
    EXPECT_EQ(SMS::BuildSmsAck(17, 2), "SMS ACK 2 17\r");
}

TEST_F(SmsEngineRecords, SetSrcIdKeepsOneEntryPerRowAtTheEnd) {
    engine.ExpectedReports[2] = {{9, 1, 40, -1}, {8, 2, 41, -1}, {9, 3, 42, -1}};
    engine.SetSrcId(2, 9, 12);
    ASSERT_EQ(engine.ExpectedReports[2].size(), 2u);
    EXPECT_EQ(engine.ExpectedReports[2].back().iIdR, 40);
    EXPECT_EQ(engine.ExpectedReports[2].back().iSrcId, 12);
    EXPECT_TRUE(log.has("SetSrcId() nieoczekiwany nId=9"));
    engine.SetSrcId(3, 7, 12);
    EXPECT_TRUE(log.has("SetSrcId() nie znaleziono nId=7"));
    EXPECT_TRUE(engine.ExpectedReports[3].empty());
}

TEST_F(SmsEngineRecords, ClientSendAndForwardRequestsKeepTheirFieldRules) {
    auto request = [&](const std::string& text, std::uint8_t& result, sms::SMSMSG& msg) {
        std::int32_t action = -1;
        engine.HandleClientSms(text, "12", result, action, msg);
        return action;
    };
    std::uint8_t result = 0;
    sms::SMSMSG msg;
    EXPECT_EQ(request("!SMS&SEND&&123456789&YWJj&extra\r\n", result, msg), sms::SMS_ACTION_SND_QUEUED);
    EXPECT_EQ(msg.nState, sms::SMS_STATE_IN_PROGRESS);
    EXPECT_EQ(msg.nUserId, 12);
    EXPECT_EQ(msg.sNumber, "123456789");
    EXPECT_EQ(msg.sBody, "abc");
    const std::string pdu("\x00\x31\x00\x0B\x91\x84\x21\x43\x65\x87\xF9\x00\x00\xAA\x03\x61\xF1\x18", 18);
    EXPECT_EQ(msg.sPdu, pdu);
    ASSERT_EQ(engine.MainQueue.size(), 1u);

    const std::string text160(160, 'x'), text161(161, 'x');
    auto b64 = [](const std::string& s) { return QByteArray::fromStdString(s).toBase64().toStdString(); };
    sms::SMSMSG longest;
    EXPECT_EQ(request("!SMS&SEND&&123456789012345&" + b64(text160) + "\r\n", result, longest),
              sms::SMS_ACTION_SND_QUEUED);
    const std::vector<std::string> badSends = {"!SMS&SEND&&1234567890123456&YWJj\r\n", "!SMS&SEND&&&YWJj\r\n",
                                               "!SMS&SEND&&12a4&YWJj\r\n", "!SMS&SEND&&123456789&\r\n",
                                               "!SMS&SEND&&123456789&" + b64(text161) + "\r\n"};
    for (const std::string& bad : badSends) {
        sms::SMSMSG refused;
        EXPECT_EQ(request(bad, result, refused), sms::SMS_ACTION_NONE) << bad;
        EXPECT_EQ(result, sms::ERR_BAD_ARGS_VALUE) << bad;
        EXPECT_EQ(refused.nState, sms::SMS_STATE_FAILED) << "refused for its number or text: " << bad;
    }
    EXPECT_EQ(engine.MainQueue.size(), 2u);
    sms::SMSMSG other;
    request("!SMS&SEND&&YWJj\r\n", result, other);
    EXPECT_EQ(result, sms::SMS_RESULT_TOKENS);
    request("!SMX&SEND&&1&YWJj\r\n", result, other);
    EXPECT_EQ(result, sms::SMS_RESULT_NOT_MINE);
    request("!SMS&SEND&&1&YWJj", result, other);
    EXPECT_EQ(result, sms::SMS_RESULT_TOKENS) << "no line end, no fields";

    sms::SMSMSG forward;
    EXPECT_EQ(request("!SMS&FWD&0&34&2026.03.07&09:05:03&500100200&601234567&YWJj\r\n", result, forward),
              sms::SMS_ACTION_FWD);
    EXPECT_EQ(forward.nForwardTo, 34);
    EXPECT_EQ(forward.sPdu, "abc");
    forward.nForwardFrom = 12;
    const auto fields = SMS::BuildSmsForward(forward);
    EXPECT_EQ(fields, "!SMS&FWD&0&12&2026.03.07&09:05:03&500100200&601234567&YWJj\r\n");
    const std::vector<std::string> badForwards = {
        "!SMS&FWD&-1&34&d&t&l&n&YWJj\r\n", "!SMS&FWD&a1&34&d&t&l&n&YWJj\r\n",
        "!SMS&FWD&1&34&d&123456789&l&n&YWJj\r\n",
        "!SMS&FWD&1&34&d&t&l&n&" + b64(std::string(501, 'y')) + "\r\n"};
    for (const std::string& bad : badForwards) {
        sms::SMSMSG refused;
        request(bad, result, refused);
        EXPECT_EQ(result, sms::ERR_BAD_ARGS_VALUE) << bad;
    }
    request("!SMS&FWD&1&34&d&t&l&n&" + b64(std::string(500, 'y')) + "\r\n", result, other);
    EXPECT_EQ(result, sms::SMS_RESULT_OK);
    request("!SMS&FWD&1&34&d&t&l&n\r\n", result, other);
    EXPECT_EQ(result, sms::SMS_RESULT_TOKENS);
}

// Mangled records and requests never crash the engine nor keep it from
// taking a sound one afterwards.
TEST_F(SmsEngineRecords, MangledRecordsAndRequestsLeaveTheEngineWorking) {
    rules({{1, 1, "_", "_", {7}}});
    const std::vector<std::string> seeds = {std::string("SMS PUT 2 17 1 2 ") + DeliverHelloPart1,
                                            std::string("SMS ADD 5 17 1 1 ") + DeliverHello,
                                            std::string("SMS RAPORT 2 ") + ReportDelivered,
                                            "SMS RAPORT_ID 2 100 42 x",
                                            "SMS ACK 2 3",
                                            "SMS ERR 2 3 -5",
                                            "!SMS&SEND&&123456789&YWJj\r\n",
                                            "!SMS&FWD&0&34&d&t&l&n&YWJj\r\n"};
    std::mt19937 random(20260307);
    for (int i = 0; i < 100000; ++i) {
        std::string text = seeds[random() % seeds.size()];
        for (int edits = 1 + static_cast<int>(random() % 4); edits > 0 && !text.empty(); --edits) {
            const std::size_t at = random() % text.size();
            switch (random() % 4) {
            case 0:
                text[at] = static_cast<char>(random());
                break;
            case 1:
                text.erase(at, random() % 8);
                break;
            case 2:
                text.insert(at, std::string(random() % 300, static_cast<char>(random())));
                break;
            default:
                text = text.substr(0, at);
                break;
            }
        }
        if (engine.LineQueues["500100200"].empty())
            sending(3, 9, 12);
        engine.bSmsListComplete = 0;
        engine.iSmsRequestIdx = static_cast<std::int32_t>(random() % 3);
        sms::SMSMSG msg;
        if (text.starts_with("!")) {
            std::uint8_t result = 0;
            std::int32_t action = 0;
            engine.HandleClientSms(text, "12", result, action, msg);
        } else {
            parse(text);
        }
        ASSERT_LE(engine.SmsBufPut.data.size(), 512u);
        ASSERT_LE(engine.SmsBufAdd.data.size(), 512u);
    }
    engine.iSmsRequestIdx = 0;
    engine.bSmsListComplete = 0;
    EXPECT_EQ(parse(std::string("SMS PUT 2 60 1 1 ") + DeliverHello).msg.sBody, "hello");
}
