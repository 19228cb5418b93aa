#include "platform/Clock.h"
#include "sms/Sms.h"

#include <QByteArray>
#include <gtest/gtest.h>
#include <set>

namespace {

using sms::S_GSMLINE;
using sms::SMSMSG;
using sms::SMSQUEUEDATA;

struct Row {
    std::string kind; // "chg" or "error"
    std::int32_t nId;
    std::int32_t state;
};

class SendQueues : public ::testing::Test {
  protected:
    struct Log : cCallbackLog {
        void operator()(const std::string& text) override { lines.push_back(text); }
        int count(const std::string& text) const { return int(std::count(lines.begin(), lines.end(), text)); }
        std::vector<std::string> lines;
    } log;
    struct Rows : sms::cCallbackSmsStatus {
        void ChgSmsStatus(SMSMSG& message, std::int32_t state) override {
            message.nState = state;
            rows.push_back({"chg", message.nId, state});
        }
        void HandleSmsSendError(SMSMSG message) override { rows.push_back({"error", message.nId, 2}); }
        std::vector<Row> rows;
    } rows;

    void SetUp() override {
        platform::setProcessClock(&clock);
        engine.SetLogCallback(&log);
        engine.SetErrorLogging(1);
        engine.SetStatusCallback(&rows);
    }
    void TearDown() override { platform::setProcessClock(nullptr); }

    // Lines as the GSM-line table reports them.
    void reportLines(int count) {
        for (int i = 0; i < count; ++i)
            lines.push_back({i + 2, "60000000" + std::to_string(i)});
        engine.ResetSmsPoll(&lines);
        for (const auto& line : lines)
            engine.InitSmsQueueData(line.number);
        engine.SyncLineQueues(lines);
    }

    SMSMSG clientMessage(std::size_t pduOctets, std::int32_t nId = 10, std::string line = {}) {
        SMSMSG m;
        m.nId = nId;
        m.nDir = 1;
        m.nUserId = 7;
        m.sNumber = "501502503";
        m.sLine = std::move(line);
        m.nState = sms::SMS_STATE_IN_PROGRESS;
        for (std::size_t i = 0; i < pduOctets; ++i)
            m.sPdu += char(i % 251);
        m.tCreated = std::int32_t(clock.dateTime().toSecsSinceEpoch());
        return m;
    }

    void queue(const SMSMSG& m) {
        engine.MainQueue.push_back(m);
        engine.DistributeMainQueue();
    }

    // One send step of every line, with the caller's work of the polling timer.
    std::vector<std::string> tick() {
        std::vector<std::string> frames;
        for (const auto& line : lines) {
            SMSQUEUEDATA data = engine.SmsQueueData[line.number];
            SMSMSG message;
            std::int32_t action = -1;
            const std::string frame = engine.SendStep(line.number, data, message, action);
            engine.SmsQueueData[line.number] = data;
            actions.push_back(action);
            if (action == sms::SMS_ACTION_SND_PENDING)
                engine.ReplaceLineQueueHead(line.number, message);
            if (action == sms::SMS_ACTION_SND_FAILED)
                rows.ChgSmsStatus(message, sms::SMS_STATE_FAILED);
            if (action == sms::SMS_ACTION_SND_RETRY || action == sms::SMS_ACTION_SND_FAILED)
                engine.DistributeMainQueue();
            if (!frame.empty())
                frames.push_back(frame);
        }
        if (engine.MainQueueSize() > 0)
            engine.DistributeMainQueue();
        return frames;
    }

    static std::string frame(int line, int id, int part, int parts, const std::string& octets) {
        return "SMS SND " + std::to_string(line) + " " + std::to_string(id) + " " + std::to_string(part) +
               " " + std::to_string(parts) + " " +
               QByteArray::fromStdString(octets).toBase64().toStdString() + "\r";
    }

    platform::ManualClock clock{1'000'000, QDateTime(QDate(2026, 3, 7), QTime(9, 5, 3))};
    SMS engine;
    std::vector<S_GSMLINE> lines;
    std::vector<std::int32_t> actions;
};

TEST_F(SendQueues, APduIsCutIntoOnePartPerTickOfAtMost68Base64Characters) {
    reportLines(1);
    const std::vector<std::vector<std::size_t>> cuts = {{51}, {26, 26}, {34, 34, 35}};
    int id = 0;
    for (const auto& cut : cuts) {
        std::size_t length = 0;
        for (const auto part : cut)
            length += part;
        queue(clientMessage(length));
        const std::string pdu = engine.LineQueues["600000000"].front().sPdu;
        ++id;
        std::size_t at = 0;
        for (std::size_t part = 0; part < cut.size(); ++part) {
            const auto frames = tick();
            ASSERT_EQ(frames.size(), 1u) << length << " octets, part " << part + 1;
            EXPECT_EQ(frames[0], frame(2, id, int(part + 1), int(cut.size()), pdu.substr(at, cut[part])));
            at += cut[part];
        }
        EXPECT_EQ(engine.SmsQueueData["600000000"].iWaitingForAck, 150);
        EXPECT_TRUE(tick().empty()) << "the line waits for the acknowledgement";
        // As the exchange's acknowledgement does.
        engine.SmsQueueData["600000000"] = {};
        engine.LineQueues["600000000"].pop_front();
    }

    // A message whose parts were cut short by the exchange's error leaves
    // its offset behind; the next message still starts at its first octet.
    queue(clientMessage(52));
    engine.SmsQueueData["600000000"].iLastPduByte = 20;
    const std::string pdu = engine.LineQueues["600000000"].front().sPdu;
    EXPECT_EQ(tick(), std::vector<std::string>{frame(2, 4, 1, 2, pdu.substr(0, 26))});
    EXPECT_EQ(tick(), std::vector<std::string>{frame(2, 4, 2, 2, pdu.substr(26))});
}

TEST_F(SendQueues, SilenceRequeuesAtTheFrontPausesTheLineAndFailsAfterTheTrials) {
    reportLines(2);
    engine.OutTrials = 2;
    queue(clientMessage(10, 10));
    queue(clientMessage(10, 11));
    queue(clientMessage(10, 12));
    ASSERT_EQ(tick().size(), 2u);
    for (int i = 0; i < 13; ++i)
        EXPECT_TRUE(tick().empty());
    EXPECT_TRUE(tick().empty());
    EXPECT_EQ(actions.back(), sms::SMS_ACTION_NONE)
        << "a state-4 message has nothing to record on the 14th tick";
    for (int i = 0; i < 135; ++i)
        tick();
    EXPECT_EQ(engine.MainQueueSize(), 1);
    tick(); // the 150th tick of silence
    EXPECT_EQ(actions[actions.size() - 2], sms::SMS_ACTION_SND_RETRY);
    ASSERT_EQ(engine.MainQueueSize(), 3);
    EXPECT_EQ(engine.MainQueue[0].nId, 11) << "each timed-out message goes back to the front";
    EXPECT_EQ(engine.MainQueue[1].nId, 10);
    EXPECT_EQ(engine.MainQueue[1].nTrials, 1);
    EXPECT_EQ(engine.MainQueue[2].nId, 12);
    EXPECT_EQ(engine.SmsQueueData["600000000"].iTempNotUsed, 300);
    EXPECT_EQ(log.count("SMS: Brak odpowiedzi centrali przy wysyłaniu wiadomości 600000000"), 1);

    // Both lines rest 300 ticks; then the retried messages go first.
    for (int i = 0; i < 300; ++i)
        EXPECT_TRUE(tick().empty());
    EXPECT_EQ(log.count("iTempNotUsed dla 600000000 - koniec"), 1);
    ASSERT_EQ(tick().size(), 2u);
    const std::set<std::int32_t> sending = {engine.LineQueues["600000000"].front().nId,
                                            engine.LineQueues["600000001"].front().nId};
    EXPECT_EQ(sending, (std::set<std::int32_t>{10, 11}));

    for (int i = 0; i < 150; ++i)
        tick();
    EXPECT_EQ(actions[actions.size() - 2], sms::SMS_ACTION_SND_FAILED) << "the second trial is the last";
    ASSERT_EQ(rows.rows.size(), 2u);
    EXPECT_EQ(std::set<std::int32_t>({rows.rows[0].nId, rows.rows[1].nId}), sending);
    EXPECT_EQ(rows.rows[0].state, sms::SMS_STATE_FAILED);
    EXPECT_EQ(log.count("Wyczerpany limit prób wysłania wiadomości sms"), 2);
    ASSERT_EQ(engine.MainQueueSize(), 1) << "only the untried message waits";
    EXPECT_EQ(engine.MainQueue.front().nId, 12);
}

// A head not yet "in progress" is recorded so once, on the 14th tick of
// the wait; its time-out then only puts it back, so that the caller's head
// replacement cannot overwrite the line's next message.
TEST_F(SendQueues, AHeadNotYetInProgressIsRecordedOnceAndItsTimeOutOnlyRetries) {
    reportLines(1);
    SMSMSG sent = clientMessage(10, 10);
    sent.nState = sms::SMS_STATE_SENT;
    queue(sent);
    queue(clientMessage(10, 11, "600000000"));
    for (int i = 0; i < 14; ++i)
        tick();
    EXPECT_EQ(std::count(actions.begin(), actions.end(), sms::SMS_ACTION_SND_PENDING), 0);
    tick();
    EXPECT_EQ(actions.back(), sms::SMS_ACTION_SND_PENDING);
    EXPECT_EQ(engine.LineQueues["600000000"].front().nState, sms::SMS_STATE_IN_PROGRESS);
    EXPECT_EQ(engine.LineQueues["600000000"].front().sTime, "09:05:03");
    tick();
    EXPECT_EQ(actions.back(), sms::SMS_ACTION_NONE);
    for (int i = 0; i < 135; ++i)
        tick();
    EXPECT_EQ(actions.back(), sms::SMS_ACTION_SND_RETRY);
    EXPECT_EQ(std::count(actions.begin(), actions.end(), sms::SMS_ACTION_SND_PENDING), 1);
    ASSERT_EQ(engine.MainQueueSize(), 1);
    EXPECT_EQ(engine.MainQueue.front().nId, 10);
    EXPECT_EQ(engine.LineQueues["600000000"].front().nId, 11) << "the next message keeps its place";
}

TEST_F(SendQueues, WithoutTheLimitAMessageIsRetriedUntilItExpiresAfterFourDays) {
    reportLines(1);
    engine.OutTrials = 1;
    engine.OutTrialsNoLimit = true;
    queue(clientMessage(10, 10));
    for (int i = 0; i < 151 + 300; ++i)
        tick();
    ASSERT_TRUE(rows.rows.empty());
    EXPECT_EQ(engine.LineQueues["600000000"].front().nTrials, 1) << "given to the line again";
    clock.setDateTime(clock.dateTime().addSecs(345600));
    for (int i = 0; i < 151; ++i)
        tick();
    EXPECT_TRUE(rows.rows.empty()) << "exactly four days is not yet too old";
    ASSERT_EQ(engine.MainQueueSize(), 1);
    clock.setDateTime(clock.dateTime().addSecs(1));
    engine.DistributeMainQueue();
    EXPECT_EQ(engine.MainQueueSize(), 0);
    ASSERT_EQ(rows.rows.size(), 1u);
    EXPECT_EQ(rows.rows[0].kind, "chg");
    EXPECT_EQ(rows.rows[0].state, sms::SMS_STATE_FAILED);
    EXPECT_EQ(log.count("SMS SMS_VALIDITY_PERIOD Error\n"), 1);
}

TEST_F(SendQueues, IdentifiersHeldByAnyLineHeadAreSkippedAndRunOutAfter240) {
    for (int i = 0; i <= sms::MAX_MSG_ID; ++i) {
        SMSMSG head;
        head.idWiad = i;
        engine.LineQueues["L" + std::to_string(i)].push_back(head);
    }
    EXPECT_EQ(engine.Generate_nId("L0"), -1);
    EXPECT_EQ(log.count("Generate_nId error"), 1);
    engine.LineQueues["L5"].front().idWiad = 300;
    engine.LineQueues["L9"].front().idWiad = 301;
    engine.iLastMsgId = 238;
    EXPECT_EQ(engine.Generate_nId("L1"), 5) << "239 and 0 to 4 are held; the counter wraps";
    EXPECT_EQ(engine.Generate_nId("L1"), 9);
}

TEST_F(SendQueues, DistributionFillsFreeLinesInTurnAndFailsMessagesOfUnknownLines) {
    reportLines(2);
    queue(clientMessage(10, 1));
    queue(clientMessage(10, 2));
    queue(clientMessage(10, 3));
    EXPECT_EQ(engine.LineQueues["600000000"].front().nId, 1);
    EXPECT_EQ(engine.LineQueues["600000000"].front().iNrLinii, 2);
    EXPECT_EQ(engine.LineQueues["600000001"].front().nId, 2);
    EXPECT_EQ(engine.LineQueues["600000001"].front().iNrLinii, 3);
    ASSERT_EQ(engine.MainQueueSize(), 1);
    EXPECT_EQ(engine.MainQueue.front().nId, 3);

    // A message naming a line joins that line's queue, busy or not.
    engine.MainQueue.clear();
    queue(clientMessage(10, 4, "600000001"));
    EXPECT_EQ(engine.LineQueues["600000001"].size(), 2u);
    // One naming a line the exchange does not report fails at once: its row,
    // or a failed row when it has none.
    queue(clientMessage(10, 5, "699999999"));
    queue(clientMessage(10, -1, "699999999"));
    ASSERT_EQ(rows.rows.size(), 2u);
    EXPECT_EQ(rows.rows[0].kind, "chg");
    EXPECT_EQ(rows.rows[0].nId, 5);
    EXPECT_EQ(rows.rows[1].kind, "error");
    EXPECT_EQ(log.count("status ERROR dla wiadomości z kolejki 699999999 (bo nie ma takiej LM GSM)"), 2);
    EXPECT_EQ(engine.LineQueues.count("699999999"), 0u);
}

TEST_F(SendQueues, TheStoredMessagePollRepeatsThenMovesOnAndEnds) {
    std::string text;
    std::int32_t action = -1;
    engine.ResetSmsPoll(&lines);
    engine.GetSmsRequest(text, action);
    EXPECT_EQ(text, "");
    EXPECT_EQ(action, sms::SMS_ACTION_LIST_COMPLETE) << "no line at all";
    EXPECT_EQ(engine.NeedsResynchronization(), 1);

    lines = {{4, "600000000"}, {9, "600000001"}};
    engine.ResetSmsPoll(&lines);
    std::vector<std::pair<int, std::string>> sent;
    for (int t = 0; t <= 161; ++t) {
        engine.GetSmsRequest(text, action);
        if (!text.empty())
            sent.emplace_back(t, text);
        if (action == sms::SMS_ACTION_LIST_COMPLETE)
            break;
    }
    const std::vector<std::pair<int, std::string>> expected = {
        {0, "SMS GET 4\r"},  {20, "SMS GET 4\r"},  {40, "SMS GET 4\r"},  {60, "SMS GET 4\r"},
        {80, "SMS GET 9\r"}, {100, "SMS GET 9\r"}, {120, "SMS GET 9\r"}, {140, "SMS GET 9\r"}};
    EXPECT_EQ(sent, expected);
    EXPECT_EQ(action, sms::SMS_ACTION_LIST_COMPLETE);
    EXPECT_EQ(engine.NeedsResynchronization(), 1);
    EXPECT_EQ(log.count("SMS: Brak odpowiedzi centrali przy pobieraniu wiadomości z linii 600000001"), 1);
}

TEST_F(SendQueues, StampsReplaceTheDateAndTime) {
    SMSMSG m;
    SMS::StampSmsDateTime(m);
    SMS::StampSmsDateTime(m);
    EXPECT_EQ(m.sDate, "2026.03.07");
    EXPECT_EQ(m.sTime, "09:05:03");
}

TEST_F(SendQueues, AVanishedLineFailsItsMessagesAndClearingDropsQueuesWithoutRows) {
    reportLines(2);
    queue(clientMessage(10, 1));
    queue(clientMessage(10, 2));
    queue(clientMessage(10, -1, "600000000"));
    tick();
    lines.erase(lines.begin());
    lines.push_back({7, "600000009"});
    engine.SyncLineQueues(lines);
    ASSERT_EQ(rows.rows.size(), 2u);
    EXPECT_EQ(rows.rows[0].kind, "chg");
    EXPECT_EQ(rows.rows[0].nId, 1);
    EXPECT_EQ(rows.rows[1].kind, "error");
    EXPECT_EQ(engine.LineQueues.count("600000000"), 0u);
    EXPECT_EQ(engine.SmsQueueData.count("600000000"), 0u) << "no send state is left to resume with";
    EXPECT_EQ(engine.LineQueues.count("600000009"), 1u);
    EXPECT_EQ(log.count("status ERROR dla wiadomości z kolejki 600000000"), 2);

    engine.SmsQueueData["600000001"].iWaitingForAck = 40;
    queue(clientMessage(10, 3));
    engine.ClearQueues();
    EXPECT_EQ(rows.rows.size(), 2u) << "clearing writes no row";
    EXPECT_EQ(engine.MainQueueSize(), 0);
    EXPECT_EQ(engine.LineQueueCount(), 0);
    EXPECT_EQ(engine.SmsQueueData["600000001"].iWaitingForAck, 0);
    queue(clientMessage(10, 4, "600000001"));
    ASSERT_EQ(rows.rows.size(), 3u) << "until the next line list, a named message finds no queue";
}

TEST_F(SendQueues, TheQueueDumpWritesWhateverTheSwitchSays) {
    reportLines(1);
    queue(clientMessage(10, 1));
    engine.ExpectedReports[2].push_back({1, 5, 77, 7});
    engine.SetErrorLogging(0);
    log.lines.clear();
    engine.DumpSendQueues();
    EXPECT_FALSE(engine.IsLogEnabled());
    const std::vector<std::string> expected = {
        "Kolejka główna (wejściowa) dla wysyłanych SMS: wiadomości 0",
        "SmsQueueData: size 1",
        "GSM:600000000 ",
        "       iWaitingForAck:0 ",
        "       iSentPart:0 ",
        "       iLastPduByte:0 ",
        "       iTempNotUsed:0",
        "Zawartość 1 kolejek (wyjściowych) wysyłanych wiadomości SMS do centrali.",
        "Kolejka wysyłki dla linii 600000000:",
        "    ID nadawcy: 7, data: , czas: , cel: 501502503, linia: ",
        "Oczekiwane raporty (1 LM GSM):",
        "LM 2 iIdR:",
        "           77",
    };
    EXPECT_EQ(log.lines, expected);

    log.lines.clear();
    engine.DumpDynamicRoutes();
    const std::string stars(52, '*');
    EXPECT_EQ(log.lines,
              (std::vector<std::string>{stars, "Aktywne dynamiczne trasy zwrotne dla wiadomości SMS.",
                                        "Lista jest pusta.", stars}));
    EXPECT_FALSE(engine.IsLogEnabled());
}

} // namespace
