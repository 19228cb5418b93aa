// The real program keeps taking calls and desks' messages while its database
// server is down; then it is stopped (SIGTERM) or killed (SIGKILL), the
// server comes back, and the program starts again beside the journal it
// left. Every call's row and every message's row is in the database once,
// the message in the state the exchange gave it, and a desk hears of a
// message's row only with the key the database gave it. With the program's
// folder (its log's and its journal's) on a small disk, the disk fills
// during the outage, the server comes back while it is full, and the disk is
// freed before the end: the stop right after it keeps the rows that waited
// in memory, and the journal holds no row that is already written.
#include "platform/RegistryStore.h"
#include "shell/FileLocations.h"
#include "support/PrivateFirebirdServer.h"
#include "support/ProgramWithDesks.h"
#include "support/SmallDisk.h"

#include <QByteArray>
#include <QFileInfo>
#include <QStringList>
#include <algorithm>
#include <csignal>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>

using testing_support::AwaitWhileRunning;
using testing_support::HalvexProcess;
using testing_support::JournalRowsWith;
using testing_support::SmallDisk;

namespace {

const std::vector<std::string> Logins{"u201", "u202", "u203"};
const std::string Recipient = "600123456";
const std::string LineNumber = "600100200";

// Rows of one column, as a select on the main handle gives them.
std::vector<std::string> column(const testfb::Connection& c, const std::string& select) {
    std::vector<std::string> values;
    std::istringstream rows(testfb::MainQuery(c, select));
    for (std::string row; std::getline(rows, row);) {
        const std::size_t first = row.find_first_not_of(' ');
        if (first != std::string::npos)
            values.push_back(row.substr(first, row.find_last_not_of(' ') + 1 - first));
    }
    return values;
}

// The lines of `text` that hold `part`.
std::string linesWith(const std::string& text, const std::string& part) {
    std::string lines;
    std::istringstream all(text);
    for (std::string line; std::getline(all, line);)
        if (line.find(part) != std::string::npos)
            lines += line + "\n";
    return lines;
}

// How the first run ends, and whether its folder is on a small disk that
// fills during the outage and is freed after it.
struct Ending {
    int signal;
    bool smallDisk;
};

class RowsAcrossAStop : public testing::TestWithParam<Ending> {
  protected:
    void SetUp() override {
        HALVEX_SKIP_UNDER_THREAD_SANITIZER();
        ASSERT_NO_FATAL_FAILURE(testing_support::StartDatabaseWithDesks(server, c, {"201", "202", "203"}));
        exchange.SetGsmLine(1, LineNumber);
        // Every message is acknowledged and reported delivered (TP-ST 0).
        exchange.SetSmsSendScript({true, sim::SmsSendScript::Outcome::Ack, -5, 0, 0});
        ASSERT_TRUE(exchange.Start());
        ASSERT_TRUE(testing_support::WriteProgramSettings(c, exchange.Port()));
        platform::RegistryKey sms(platform::RegistryBranch::Machine);
        ASSERT_TRUE(sms.OpenKey("\\software\\Vorlin\\Halvex\\SMS", true));
        sms.WriteBool("UseSms", true);
    }
    void TearDown() override { testfb::DetachMain(); }

    // A call from a number of its own, shown at the desk of 201 and answered there.
    void call() {
        callers.push_back(std::to_string(600900000 + callers.size()));
        auto records = testing_support::CallTo201(std::to_string(10 + callers.size() % 90), callers.back());
        records.insert(records.begin() + 2, "DM 3&" + callers.back() + "&201&");
        for (const std::string& record : records)
            exchange.SendRecord(record);
    }

    // A message with a text of its own from the next desk, answered.
    void sendSms(HalvexProcess& halvex) {
        const std::size_t desk = texts.size() % desks.size();
        texts.push_back("Wiadomosc " + std::to_string(texts.size()) + " z biurka " + Logins[desk]);
        senders[texts.back()] = desk;
        const std::size_t replies = desks[desk]->Replies().size();
        ASSERT_TRUE(desks[desk]->Send("!SMS&SEND&&" + Recipient + "&" +
                                      QByteArray::fromStdString(texts.back()).toBase64().toStdString() +
                                      "\r\n"));
        ASSERT_TRUE(AwaitWhileRunning(halvex, [&] { return desks[desk]->Replies().size() > replies; }))
            << halvex.logText();
    }

    // Half a second: a call, and with `message` a desk's message.
    void step(HalvexProcess& halvex, bool message) {
        call();
        if (message) {
            ASSERT_NO_FATAL_FAILURE(sendSms(halvex));
        }
        ASSERT_FALSE(halvex.process().waitForFinished(500)) << halvex.logText();
    }

    // A call each step, a message every third.
    void callsAndMessages(HalvexProcess& halvex, int steps) {
        for (int i = 0; i < steps; ++i)
            ASSERT_NO_FATAL_FAILURE(step(halvex, i % 3 == 0));
    }

    // The desk of 201 was told `text`.
    bool told(const std::string& text) const {
        const auto notices = desks.front()->Notices();
        return std::any_of(notices.begin(), notices.end(),
                           [&](const std::string& notice) { return notice.find(text) != std::string::npos; });
    }

    // Every call's row and every message's row in its last state are in
    // the database.
    bool allStored() const {
        return column(c, "SELECT (SELECT COUNT(*) FROM TalksIncoming) || '|' || (SELECT COUNT(*) FROM Sms "
                         "WHERE nDir = 1 AND nState = 3) FROM RDB$DATABASE") ==
               std::vector<std::string>{std::to_string(callers.size()) + "|" + std::to_string(texts.size())};
    }

    // The server comes back while the journal's disk is full: the rows are
    // written though the journal cannot let them go, or held back by the
    // journal that cannot mark them or take the rows waiting in memory.
    // Then the disk is freed, and (`awaitStored`) every row is written.
    void serverBackOnAFullDisk(HalvexProcess& halvex, SmallDisk& disk, bool awaitStored) {
        const std::size_t before = halvex.standardError().size();
        ASSERT_TRUE(server.start()) << server.error();
        const auto heldBack = [&] {
            const std::string said = halvex.standardError();
            return said.find("is attached again", before) != std::string::npos &&
                   (said.find("(klucz)") != std::string::npos ||
                    said.find("(wysyłka)") != std::string::npos ||
                    said.find("(wiersze z pamięci)") != std::string::npos);
        };
        EXPECT_TRUE(AwaitWhileRunning(halvex, [&] { return heldBack() || allStored(); }))
            << halvex.standardError();
        disk.free();
        if (awaitStored) {
            EXPECT_TRUE(AwaitWhileRunning(halvex, [&] { return allStored(); })) << halvex.logText();
        }
        testfb::DetachMain();
    }

    std::string countCalls(const std::string& log) const {
        std::map<std::string, int> stored;
        const std::vector<std::string> rows = column(c, "SELECT TRIM(sNumber) FROM TalksIncoming");
        for (const std::string& number : rows)
            ++stored[number];
        EXPECT_EQ(stored.size(), callers.size()) << log;
        std::string wrong;
        for (const std::string& caller : callers)
            if (stored[caller] != 1)
                wrong += "the call from " + caller + ": " + std::to_string(stored[caller]) + " rows\n";
        EXPECT_EQ(wrong, "") << log;
        return "calls made " + std::to_string(callers.size()) + " (" +
               std::to_string(callers.size() - callsBefore) + " during the outage), stored " +
               std::to_string(rows.size());
    }

    // Each message's row, by its text: once, delivered (the exchange
    // acknowledged every one and reported it delivered), naming the line it
    // left by.
    std::string countMessages(const std::string& log) {
        std::map<std::string, int> states;
        std::size_t read = 0;
        for (const std::string& row :
             column(c, "SELECT nId || '|' || nState || '|' || TRIM(COALESCE(sLine, '')) "
                       "|| '|' || sBody FROM Sms WHERE nDir = 1")) {
            const QStringList fields = QString::fromStdString(row).split(QLatin1Char('|'));
            if (fields.size() < 4)
                continue;
            stored[fields.mid(3).join(QLatin1Char('|')).toStdString()].push_back(
                {fields[0].toStdString(), fields[1].toStdString(), fields[2].toStdString()});
            ++states[fields[1].toStdString()];
            ++read;
        }
        // Each text once, before the look-ups below add the missing ones.
        EXPECT_EQ(stored.size(), texts.size());
        EXPECT_EQ(exchange.SentMessages().size(), texts.size());
        std::string wrong;
        for (std::size_t i = 0; i < texts.size(); ++i) {
            const auto& rows = stored[texts[i]];
            const std::string which =
                texts[i] + (i < messagesBefore ? " (before" : " (during") + " the outage): ";
            if (rows.size() != 1)
                wrong += which + std::to_string(rows.size()) + " rows\n";
            else if (rows[0].state != "3" || rows[0].line != LineNumber)
                wrong += which + "state " + rows[0].state + ", line '" + rows[0].line + "'\n";
        }
        EXPECT_EQ(wrong, "") << log;
        std::string said = "messages made " + std::to_string(texts.size()) + " (" +
                           std::to_string(texts.size() - messagesBefore) + " during the outage), stored " +
                           std::to_string(read) + ", states";
        for (const auto& [state, count] : states)
            said += " " + state + ":" + std::to_string(count);
        return said;
    }

    // A desk hears of its own message's row only with the row's key, once.
    std::string countAnnouncements() {
        std::size_t announced = 0;
        for (std::size_t desk = 0; desk < desks.size(); ++desk) {
            std::map<std::string, int> heard;
            for (const std::string& notice : desks[desk]->Notices()) {
                if (!notice.starts_with("!SMS&ADD&"))
                    continue;
                ++announced;
                const std::string key = notice.substr(9, notice.find('&', 9) - 9);
                std::string body = notice.substr(notice.rfind('&') + 1);
                body.erase(body.find_last_not_of("\r\n") + 1);
                const std::string text =
                    QByteArray::fromBase64(QByteArray::fromStdString(body)).toStdString();
                EXPECT_EQ(senders.contains(text) ? senders[text] : desks.size(), desk) << notice;
                EXPECT_EQ(stored[text].size(), 1u) << notice;
                if (stored[text].size() == 1) {
                    EXPECT_EQ(stored[text][0].key, key) << notice;
                }
                EXPECT_EQ(++heard[text], 1) << notice;
            }
        }
        return "announced to the desks " + std::to_string(announced);
    }

    testfb::PrivateServer server;
    testfb::Connection c;
    testing_support::Sandbox sandbox;
    sim::ExchangeSimulator exchange{sim::Family::Vantrel, sim::Transport::Tcp};
    std::vector<std::unique_ptr<sim::ClientSimulator>> desks;
    std::vector<std::string> callers;
    std::vector<std::string> texts;
    std::map<std::string, std::size_t> senders;
    std::size_t callsBefore = 0;
    std::size_t messagesBefore = 0;
    struct SmsRow {
        std::string key, state, line;
    };
    std::map<std::string, std::vector<SmsRow>> stored;
};

} // namespace

TEST_P(RowsAcrossAStop, NoCallOrMessageIsLostOrDoubled) {
    const auto [stop, onSmallDisk] = GetParam();
    std::optional<SmallDisk> disk;
    if (onSmallDisk) {
        // Room for the program file, its log and its journal.
        const qint64 program = QFileInfo(QString::fromStdString(HalvexProcess::builtProgram())).size();
        disk.emplace(std::to_string(program / (1 << 20) + 16) + "m");
        if (!disk->mounted())
            GTEST_SKIP() << "no small filesystem of the test's own could be mounted: " << disk->error();
    }
    HalvexProcess halvex(sandbox, disk ? disk->file("halvex") : "halvex");
    const std::string journal = shell::RowJournalPathFor(halvex.logPath());
    int clientPort = 0;
    ASSERT_NO_FATAL_FAILURE(testing_support::StartWithDesks(halvex, exchange, Logins, desks, clientPort));
    // The first message waits while the GSM lines are read (once the
    // exchange has spoken); calls go on meanwhile.
    ASSERT_NO_FATAL_FAILURE(step(halvex, true));
    while (exchange.SentMessages().empty() && callers.size() < 120)
        ASSERT_NO_FATAL_FAILURE(step(halvex, false));
    ASSERT_FALSE(exchange.SentMessages().empty()) << halvex.logText();
    ASSERT_NO_FATAL_FAILURE(callsAndMessages(halvex, 8));
    // The messages so far are at the exchange, their answers on their way
    // back, as the server dies.
    ASSERT_TRUE(exchange.WaitForSentMessages(texts.size())) << halvex.logText();
    callsBefore = callers.size();
    messagesBefore = texts.size();
    server.kill();

    // 30 s without the database, two calls a second. On the small disk the
    // second half meets it full: the journal takes their rows no more, they
    // wait in memory.
    ASSERT_NO_FATAL_FAILURE(callsAndMessages(halvex, 30));
    if (disk) {
        EXPECT_TRUE(AwaitWhileRunning(halvex, [&] { return JournalRowsWith(journal, callers.back()) > 0; }));
        disk->fill();
    }
    ASSERT_NO_FATAL_FAILURE(callsAndMessages(halvex, 30));
    if (disk) {
        EXPECT_TRUE(halvex.waitForStderr("cannot write the row journal")) << halvex.standardError();
    }
    // Sent without the database, and answered; the last call comes behind
    // the answers.
    ASSERT_TRUE(exchange.WaitForSentMessages(texts.size())) << halvex.logText();
    call();
    EXPECT_TRUE(AwaitWhileRunning(halvex, [&] { return told(callers.back()); }))
        << "the desks were not served without the database\n"
        << halvex.logText();
    for (std::size_t i = callsBefore; i < callers.size(); ++i)
        EXPECT_TRUE(told(callers[i])) << callers[i];
    if (disk) {
        // A stop comes as soon as the disk is freed; a kill once every row
        // is written.
        ASSERT_NO_FATAL_FAILURE(serverBackOnAFullDisk(halvex, *disk, stop == SIGKILL));
    }
    if (stop == SIGKILL) {
        // Rows are journaled in the order handed: the last call's row in
        // the file means every earlier one is there. On the freed disk, the
        // rows written leave the journal while the program runs.
        if (disk) {
            EXPECT_TRUE(AwaitWhileRunning(halvex, [&] { return JournalRowsWith(journal, "") == 0; }))
                << "the journal still holds " << JournalRowsWith(journal, "") << " rows\n"
                << halvex.logText();
        } else {
            EXPECT_TRUE(AwaitWhileRunning(halvex, [&] {
                return JournalRowsWith(journal, callers.back()) > 0;
            })) << halvex.logText();
        }
        halvex.signal(SIGKILL);
        ASSERT_TRUE(halvex.waitForExit());
    } else {
        ASSERT_NO_FATAL_FAILURE(testing_support::StopAndExpectCleanEnd(
            halvex, disk ? "as the disk is freed" : "with the database down"));
        EXPECT_EQ(halvex.standardError().find("rows are lost"), std::string::npos) << halvex.standardError();
    }
    const std::string firstRun = halvex.logText();
    const std::string firstStderr = halvex.standardError();

    if (!disk) {
        ASSERT_TRUE(server.start()) << server.error();
    }
    halvex.start({"DEBUG", "CTI"});
    ASSERT_TRUE(halvex.waitForLogTimes("Port klientów ustawiony na 0", 2)) << halvex.logText();
    // On the small disk the run killed left nothing to write.
    const bool rowsLeft = halvex.logText().find("zapisów z poprzedniej pracy czeka na bazę danych",
                                                firstRun.size()) != std::string::npos;
    EXPECT_FALSE(disk && stop == SIGKILL && rowsLeft) << halvex.logText().substr(firstRun.size());
    if (rowsLeft) {
        ASSERT_TRUE(
            halvex.waitForLog("Zapisy z poprzedniej pracy zapisane w bazie danych", std::chrono::seconds(90)))
            << halvex.logText();
    }
    // The clean-up of messages left in progress comes right behind them.
    EXPECT_TRUE(AwaitWhileRunning(halvex, [&] {
        return column(c, "SELECT COUNT(*) FROM Sms WHERE nState = 4") == std::vector<std::string>{"0"};
    })) << halvex.logText();
    testfb::DetachMain();
    ASSERT_NO_FATAL_FAILURE(testing_support::StopAndExpectCleanEnd(halvex, "after the journal's rows"));

    const std::string log = halvex.logText();
    const std::string secondRun = log.substr(std::min(firstRun.size(), log.size()));
    for (const char* wrong : {"Nie można", "Nie zastosowano", "porzucono"})
        EXPECT_EQ(linesWith(secondRun, wrong), "");
    EXPECT_EQ(linesWith(halvex.standardError().substr(firstStderr.size()), "row journal"), "");
    // In this order: the announcements are checked against the rows read.
    std::string counts = std::string(stop == SIGKILL ? "SIGKILL" : "SIGTERM") +
                         (disk ? " on a small disk" : "") + ": " + countCalls(log);
    counts += "; " + countMessages(log);
    counts += "; " + countAnnouncements();
    std::cout << counts << std::endl;
    RecordProperty("counts", counts);
    const std::size_t kept = firstRun.find("Zapisy czekające na bazę danych: ");
    if (kept != std::string::npos)
        std::cout << firstRun.substr(kept, firstRun.find('\n', kept) - kept) << std::endl;
    std::cout << linesWith(firstStderr, "row journal");
}

INSTANTIATE_TEST_SUITE_P(Signals, RowsAcrossAStop,
                         testing::Values(Ending{SIGTERM, false}, Ending{SIGKILL, false},
                                         Ending{SIGTERM, true}, Ending{SIGKILL, true}),
                         [](const testing::TestParamInfo<Ending>& info) {
                             return std::string(info.param.signal == SIGKILL ? "Sigkill" : "Sigterm") +
                                    (info.param.smallDisk ? "OnASmallDiskThatFills" : "");
                         });
