#include "sms/GsmLineTable.h"
#include "sms/Sms.h"

#include <gtest/gtest.h>
#include <random>
#include <set>

namespace {

class GsmLineTable : public ::testing::Test {
  protected:
    struct Log : cCallbackLog {
        void operator()(const std::string& text) override { lines.push_back(text); }
        std::vector<std::string> lines;
    } log;

    void SetUp() override {
        table.SetLogCallback(&log);
        table.SetEngine(&engine);
    }
    // Answers every line up to `line` (exclusive) with "-1".
    void answerUpTo(int line) {
        for (int i = 0; i < line; ++i) {
            ASSERT_EQ(table.GetGsmRequest(), "GSM GET " + std::to_string(i) + "\r");
            int code = -1;
            ASSERT_EQ(table.ParseGsmReply("GSM PUT " + std::to_string(i) + " -1", code), 1);
        }
    }

    SMS engine;
    sms::PABX table;
};

TEST_F(GsmLineTable, AnUnansweredQuestionIsRepeatedEvery20TicksForEver) {
    std::vector<int> asked;
    for (int tick = 0; tick <= 200; ++tick)
        if (table.GetGsmRequest() == "GSM GET 0\r")
            asked.push_back(tick);
    EXPECT_EQ(asked, (std::vector<int>{0, 20, 40, 60, 80, 100, 120, 140, 160, 180, 200}));
}

TEST_F(GsmLineTable, LinesAreReadOneByOneAndOnlyThoseWithAnOwnNumberKept) {
    int code = -1;
    answerUpTo(3);
    EXPECT_EQ(table.GetGsmRequest(), "GSM GET 3\r");
    EXPECT_EQ(table.ParseGsmReply("GSM PUT 3 0", code), 1);
    EXPECT_EQ(log.lines,
              (std::vector<std::string>{
                  "Linia GSM 4 nie posiada numeru własnego!",
                  "Zaprogramuj numer własny linii w centrali aby umożliwić wysyłanie/odbiór SMS z CTI "
                  "przez linię."}));
    EXPECT_EQ(table.GetGsmRequest(), "GSM GET 4\r");
    EXPECT_EQ(table.ParseGsmReply("GSM PUT 4 600100200", code), 1);
    EXPECT_EQ(table.GetGsmRequest(), "GSM GET 5\r");
    EXPECT_EQ(table.ParseGsmReply("GSM PUT 5 60a", code), 1);
    EXPECT_EQ(log.lines.back(), "Nieprawidłowy numer własny linii GSM 5.");
    ASSERT_EQ(table.lines.size(), 1u);
    EXPECT_EQ(table.lines[0].iLoc, 4);
    EXPECT_EQ(table.lines[0].number, "600100200");
    EXPECT_EQ(engine.SmsQueueData.count("600100200"), 1u) << "the engine keeps a send state for it";

    // A bad answer leaves the question due at the next tick.
    EXPECT_EQ(table.GetGsmRequest(), "GSM GET 6\r");
    EXPECT_EQ(table.ParseGsmReply("GSM PUT 6", code), 3);
    EXPECT_EQ(table.ParseGsmReply("GSM PUT 16 1", code), 4);
    EXPECT_EQ(table.ParseGsmReply("GSM PUT x 1", code), 4);
    EXPECT_EQ(code, sms::PABX_ACTION_NONE) << "no reset for a line beyond the table";
    EXPECT_EQ(table.GetGsmRequest(), "GSM GET 6\r");
    EXPECT_EQ(table.ParseGsmReply("GSM PUT 6 -1", code), 1);
    EXPECT_EQ(table.lines.size(), 1u);
    EXPECT_EQ(table.ParseGsmReply("GSM", code), 3);
    EXPECT_EQ(table.ParseGsmReply("SMS PUT", code), 2);
    EXPECT_EQ(table.ParseGsmReply("GSM GET 1", code), 4);
    EXPECT_EQ(table.ParseGsmReply("GSM CLR 1", code), 3);
    EXPECT_EQ(table.Complete(), 0);
    EXPECT_EQ(table.GetGsmRequest(), "GSM GET 7\r");

    // An answer for another line than the one asked empties the table.
    EXPECT_EQ(table.ParseGsmReply("GSM PUT 2 600100200", code), 4);
    EXPECT_EQ(code, sms::PABX_ACTION_RESET);
    EXPECT_TRUE(table.lines.empty());
    EXPECT_EQ(table.GetGsmRequest(), "GSM GET 0\r");
}

TEST_F(GsmLineTable, TheTableIsCompleteAfterLine15EvenEmptyAndAddOrClrStartsAgain) {
    answerUpTo(15);
    EXPECT_EQ(table.GetGsmRequest(), "GSM GET 15\r");
    int code = -1;
    EXPECT_EQ(table.ParseGsmReply("GSM PUT 15 -1", code), 1);
    EXPECT_EQ(code, sms::PABX_ACTION_FINISH);
    EXPECT_EQ(table.Complete(), 1);
    EXPECT_TRUE(table.lines.empty());
    EXPECT_TRUE(log.lines.empty()) << "a line that does not exist is skipped silently";

    EXPECT_EQ(table.ParseGsmReply("GSM ADD whatever comes", code), 1);
    EXPECT_EQ(code, sms::PABX_ACTION_RESET);
    EXPECT_EQ(table.Complete(), 0);
    EXPECT_EQ(table.GetGsmRequest(), "GSM GET 0\r");
    answerUpTo(0);
    EXPECT_EQ(table.ParseGsmReply("GSM PUT 0 600100200", code), 1);
    EXPECT_EQ(table.ParseGsmReply("GSM CLR", code), 1);
    EXPECT_EQ(code, sms::PABX_ACTION_NONE);
    EXPECT_TRUE(table.lines.empty());
    EXPECT_EQ(table.GetGsmRequest(), "GSM GET 0\r");
}

} // namespace

namespace {

// Whatever an exchange answers, the table holds at most 16 lines, each index
// once, and keeps asking.
TEST_F(GsmLineTable, LyingAnswersNeverGrowTheTableBeyondItsLines) {
    std::mt19937 random(12);
    const std::vector<std::string> words = {"GSM", "PUT", "ADD",       "CLR", "0",          "-1",
                                            "15",  "16",  "600100200", "x",   "",           "\\",
                                            "3",   "1",   "2",         "7",   "99999999999"};
    auto pick = [&] { return words[random() % words.size()]; };
    int completed = 0;
    for (int i = 0; i < 100000; ++i) {
        std::string record = random() % 8 ? "GSM PUT" : pick();
        const int extra = int(random() % 4);
        for (int t = 0; t < extra; ++t)
            record +=
                (random() % 16 ? " " : "") + (random() % 3 ? std::to_string(table.currentLine) : pick());
        table.GetGsmRequest();
        int code = -1;
        table.ParseGsmReply(record, code);
        completed += code == sms::PABX_ACTION_FINISH;
        ASSERT_LE(table.lines.size(), 16u);
        ASSERT_LE(table.currentLine, 16);
        std::set<std::int32_t> seen;
        for (const auto& line : table.lines)
            ASSERT_TRUE(line.iLoc >= 0 && line.iLoc < 16 && seen.insert(line.iLoc).second);
    }
    EXPECT_GT(completed, 0);
    table.Reset();
    EXPECT_EQ(table.GetGsmRequest(), "GSM GET 0\r");
}

} // namespace
