// Voice mail with real parts: the simulated exchange holds the boxes and
// talks to the window's own link over TCP, users and phones are in a real
// database, simulated clients logged in over TCP receive the lists and
// changes, and the test drives the polling timer's ticks itself.
#include "admin/Console.h"
#include "clients/Bufor.h"
#include "db/UserTables.h"
#include "pbx/PbxLink.h"
#include "platform/Clock.h"
#include "sms/SmsGateway.h"
#include "support/ClientServiceTestBed.h"
#include "support/ClientSimulator.h"
#include "support/ExchangeSimulator.h"
#include "support/LinkTestSupport.h"

#include <QCoreApplication>
#include <QTest>
#include <gtest/gtest.h>
#include <random>
#include <regex>

namespace {

using sim::ClientSimulator;
using sim::ExchangeSimulator;
using Lines = std::vector<std::string>;
using Message = ExchangeSimulator::VoiceMessage;

const Message M11{11, "2024-05-01", "10:15", "600100201", 0, 5};
const Message M21{21, "2024-05-01", "11:00", "600100202", 1, 7};
const Message M22{22, "2024-05-01", "12:30", "600100203", 0, 9};
const Message M31{31, "2024-05-02", "09:00", "600100204", 0, 2};

std::string add(const Message& m, const std::string& box, int atr) {
    return "!VM&ADD&" + std::to_string(m.iId) + "&" + m.date + "&" + m.time + "&" + box + "&" + m.number +
           "&" + std::to_string(atr) + "&" + std::to_string(m.recording) + "\r\n";
}

// The mirror alone: records out of step, bad numbers, the retry count.
TEST(VoiceMailMirror, OutOfStepReportsQueueTheBoxAgainAndBadNumbersAreRefused) {
    pbx::VoiceMail mirror;
    int action = 0;
    std::string box;
    pbx::VMmessage m;
    auto parse = [&](const std::string& record) {
        action = 0;
        box.clear();
        return mirror.ParsePbxLine(record, action, box, m);
    };
    ASSERT_TRUE(mirror.EnqueueBox("202"));
    EXPECT_FALSE(mirror.EnqueueBox("20 2")) << "a blank would add a token to the command";
    EXPECT_EQ(mirror.GetRequest(), "VM GET 202 0\r");
    EXPECT_EQ(parse("VM PUT 202 3 7 d t n 0 0"), 1);
    EXPECT_TRUE(mirror.waiting) << "an entry for another index is ignored";
    EXPECT_EQ(parse("VM PUT 202 0 4294967296 d t n 0 0"), 4);
    EXPECT_EQ(parse("VM PUT 202 0 7 d t n 0"), 3);
    EXPECT_EQ(parse("XM PUT 202 0"), 2);
    EXPECT_EQ(parse("VM GET 202 0"), 4);
    EXPECT_EQ(parse("VM PUT 202 0 7 d t n 0 0"), 1);
    EXPECT_EQ(parse("VM PUT 202 1 -1 0 0 0 0 0"), 1);
    EXPECT_EQ(action, pbx::VoiceMail::ListComplete);
    EXPECT_TRUE(mirror.Idle());

    EXPECT_EQ(parse("VM ADD 202 7 d t n 1 0"), 1);
    EXPECT_EQ(action, pbx::VoiceMail::OutOfStep) << "a message already there";
    EXPECT_EQ(mirror.fetchQueue.size(), 1u);
    mirror.boxes["202"] = {{7, "d", "t", "n", 0, 0}};
    EXPECT_EQ(parse("VM DEL 202 0 8"), 1);
    EXPECT_EQ(action, pbx::VoiceMail::OutOfStep) << "another message at that place";
    EXPECT_TRUE(mirror.boxes["202"].empty());
    EXPECT_EQ(parse("VM DEL 202 -1 8"), 4);
    EXPECT_EQ(parse("VM UPD 7 2147483648"), 4);
}

class VoiceMailRoad : public testing_support::ClientServiceTestBed {
  protected:
    void SetUp() override {
        ClientServiceTestBed::SetUp();
        platform::setProcessClock(&clock);
        pbx::linkEnvironment().timings = pbx::LinkTimings::Scaled(50);
        // A link clock that stands still: no link check comes between the ticks.
        pbx::linkEnvironment().clock = &linkClock;
        form->Settings.UseVoiceMailPcti = true;
        form->tmrPabxSynchronize->stop();
        exchange = std::make_unique<ExchangeSimulator>(sim::Family::Vantrel, sim::Transport::Tcp);
        exchange->SetVoiceMailBox("201", {M11});
        exchange->SetVoiceMailBox("202", {M21, M22});
        exchange->SetVoiceMailBox("203", {M31});
        ASSERT_TRUE(exchange->Start());
        form->Settings.PbxType = 2;
        form->Settings.PbxPort = 5;
        form->Settings.TCPCentr = "127.0.0.1";
        form->Settings.PortTCPCent = exchange->Port();
        form->Pbx().ConnectPbx();
        ASSERT_TRUE(serveUntil([&] { return exchange->LoggedIn(); }));
        exchange->SendRecord("X");
        ASSERT_TRUE(serveUntil([&] { return form->Pbx().PbxLinkErrorCount.load() == 0; }));
    }
    void TearDown() override {
        desks.clear();
        ClientServiceTestBed::TearDown();
        exchange.reset();
        pbx::linkEnvironment() = pbx::LinkEnvironment();
        platform::setProcessClock(nullptr);
    }

    bool settled() {
        return serveUntil([&] {
            if (!noticesDelivered() || !linkIdle())
                return false;
            for (auto& [extension, desk] : desks)
                if (!desk->Quiet())
                    return false;
            return true;
        });
    }
    // Every queued command sent and answered.
    bool linkIdle() {
        auto lock = LockChains();
        return ServerKlient->Komendy.empty() && form->Pbx().Shared().CommandInFlight.load() != 1 &&
               form->Pbx().Shared().LinkState.load() == 1;
    }
    // One tick of the polling timer, once what the last one sent is answered.
    // The timer itself stays off, so that the test alone decides how many
    // ticks pass, however slow the machine.
    void tick() {
        ASSERT_TRUE(serveUntil([&] { return linkIdle(); }));
        const std::uint32_t queued = form->Pbx().Shared().QueuedBytes.load();
        const std::size_t heard = exchange->Commands().size();
        form->tmrPabxSynchronizeTimer();
        form->tmrPabxSynchronize->stop();
        // A command leaves the queue a moment before it is in flight: one
        // that the tick queued is awaited at the exchange.
        if (form->Pbx().Shared().QueuedBytes.load() != queued) {
            ASSERT_TRUE(serveUntil([&] { return exchange->Commands().size() > heard; }));
        }
        ASSERT_TRUE(serveUntil([&] { return linkIdle(); }));
    }

    // Users of the extensions (versions as given) in the database, loaded by
    // the console, each logged in from a simulated client.
    void staff(std::initializer_list<std::pair<std::string, std::string>> extensions) {
        for (const auto& [extension, version] : extensions) {
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
        for (const auto& [extension, version] : extensions) {
            auto desk = std::make_unique<ClientSimulator>();
            ASSERT_TRUE(desk->Connect(form->Settings.PortTCP));
            const testing_support::TestUser& user = logins[extension];
            ASSERT_TRUE(desk->LogIn(user.login, user.password, false, version));
            ASSERT_TRUE(serveUntil([&] {
                Klient* record = Klient::ZnajdzPoIDFB(std::to_string(user.id));
                return record && record->Zalogowany && record->Stan != Klient::SEND &&
                       !record->HasOstatniaWyslana;
            }));
            desks[extension] = std::move(desk);
        }
        ASSERT_TRUE(settled());
    }
    void forget() {
        for (auto& [extension, desk] : desks)
            desk->ClearReceived();
    }
    Lines voiceMailNotices(const std::string& extension) {
        EXPECT_TRUE(settled());
        return received(extension);
    }
    Lines received(const std::string& extension) {
        Lines notices;
        for (const std::string& n : desks.at(extension)->Notices())
            if (n.starts_with("!VM&"))
                notices.push_back(n);
        return notices;
    }
    Lines voiceMailCommands() {
        Lines commands;
        for (const std::string& command : exchange->Commands())
            if (command.starts_with("VM "))
                commands.push_back(command);
        return commands;
    }
    // Ticks until the mirror has nothing left to fetch.
    void download() {
        pbx::VoiceMail& mirror = form->Pbx().VoiceMailBoxes;
        for (int i = 0; i < 100 && !mirror.Idle(); ++i) {
            tick();
            ASSERT_TRUE(serveUntil([&] { return !mirror.waiting; }));
        }
        ASSERT_TRUE(mirror.Idle());
    }
    std::size_t mirrored(const std::string& box) { return form->Pbx().VoiceMailBoxes.boxes[box].size(); }

    platform::ManualClock clock;
    platform::ManualClock linkClock;
    std::unique_ptr<ExchangeSimulator> exchange;
    std::map<std::string, testing_support::TestUser> logins;
    std::map<std::string, std::unique_ptr<ClientSimulator>> desks;
};

TEST_F(VoiceMailRoad, BoxesDownloadOneAtATimeAndEachClientHearsOnlyOfItsOwnBoxes) {
    staff({{"201", "2.04.00.00"}, {"202", "2.04.00.00"}, {"203", "2.00.15.00"}});
    EXPECT_EQ(voiceMailNotices("201"), Lines{"!VM&CLR\r\n"}) << "the list at log-in";
    EXPECT_EQ(voiceMailNotices("203"), Lines{}) << "an older client has no voice mail";
    forget();
    download();
    EXPECT_EQ(voiceMailCommands(), (Lines{"VM GET 201 0", "VM GET 201 1", "VM GET 202 0", "VM GET 202 1",
                                          "VM GET 202 2", "VM GET 203 0", "VM GET 203 1"}));
    EXPECT_EQ(voiceMailNotices("201"), (Lines{"!VM&CLR\r\n", add(M11, "201", 0)}));
    EXPECT_EQ(voiceMailNotices("202"), (Lines{"!VM&CLR\r\n", add(M21, "202", 1), add(M22, "202", 0)}));
    EXPECT_EQ(voiceMailNotices("203"), Lines{});

    // The exchange's own changes reach the box's client only.
    forget();
    const Message m23{23, "2024-05-03", "08:00", "600100299", 0, 3};
    exchange->SendVoiceMailAdd("202", m23);
    exchange->SendVoiceMailUpdate(21, 0);
    exchange->SendVoiceMailDelete("202", 1);
    ASSERT_TRUE(serveUntil([&] { return received("202").size() == 3; }));
    EXPECT_EQ(voiceMailNotices("202"), (Lines{add(m23, "202", 1), "!VM&UPD&21&0\r\n", "!VM&DEL&202&21\r\n"}));
    EXPECT_EQ(voiceMailNotices("201"), Lines{});
    EXPECT_EQ(voiceMailNotices("203"), Lines{});

    // Another user's message is not touched: the requester gets its own list.
    forget();
    desks["201"]->Send("!VM&DEL&202&22\r\n");
    ASSERT_TRUE(serveUntil([&] { return received("201").size() == 2; }));
    EXPECT_EQ(voiceMailNotices("201"), (Lines{"!VM&CLR\r\n", add(M11, "201", 0)}));
    EXPECT_EQ(desks["201"]->Replies(), Lines{"OK"});
    // Commands go out in order: had A's been queued, it would come first.
    desks["202"]->Send("!VM&LIS&202&22\r\n");
    ASSERT_TRUE(serveUntil(
        [&] { return !voiceMailCommands().empty() && voiceMailCommands().back().starts_with("VM LIS"); }));
    EXPECT_EQ(voiceMailCommands().size(), 8u);
    EXPECT_EQ(voiceMailCommands().back(), "VM LIS 202 1");

    // The owner's delete goes to the exchange; the mirror follows its report.
    exchange->SetVoiceMailBox("202", {});
    desks["202"]->Send("!VM&DEL&202&22\r\n");
    ASSERT_TRUE(serveUntil([&] { return voiceMailCommands().back() == "VM DEL 202 1 22"; }));
    ASSERT_TRUE(settled());
    EXPECT_EQ(mirrored("202"), 2u);
    exchange->SendRecord("VM DEL 202 1 22");
    ASSERT_TRUE(serveUntil([&] { return mirrored("202") == 1; }));
    EXPECT_EQ(voiceMailNotices("202").back(), "!VM&DEL&202&22\r\n");
}

// The administrator's test line, typed on the diagnostics page, goes the way
// of the exchange's own lines: logged as one, dispatched, and heard by the
// box's client; with no link thread it goes nowhere.
TEST_F(VoiceMailRoad, TheTestLineIsTakenAsALineFromTheExchange) {
    staff({{"201", "2.04.00.00"}});
    download();
    ASSERT_TRUE(settled());
    forget();
    form->chbInfoPCTI->setChecked(true);
    form->UstawDiagnostyke();
    mainLogText();
    logSoFar.clear();
    const std::string record = "VM ADD 201 12 2024-05-04 07:45 600100212 1 4";
    const auto colour = [&] { return form->Linia->palette().color(QPalette::Text); };
    QTest::keyClicks(form->Linia, QString::fromStdString(record));
    EXPECT_EQ(colour(), QColor(Qt::red));
    QTest::keyClick(form->Linia, Qt::Key_Return);
    EXPECT_EQ(colour(), form->palette().color(QPalette::WindowText));
    EXPECT_EQ(form->Linia->text(), QString::fromStdString(record));
    ASSERT_TRUE(serveUntil([&] { return received("201").size() == 1; }));
    EXPECT_EQ(voiceMailNotices("201"), Lines{add({12, "2024-05-04", "07:45", "600100212", 1, 4}, "201", 1)});
    EXPECT_NE(mainLogText().find("CEN->PC <" + record + ">"), std::string::npos) << logSoFar;
    form->chbInfoPCTI->setChecked(false);
    form->UstawDiagnostyke();

    form->Pbx().RozlaczCentrale();
    ASSERT_TRUE(serveUntil([&] { return !form->Pbx().Watek; }));
    forget();
    const std::uint32_t receivedBytes = form->Pbx().Shared().ReceivedBytes.load();
    QTest::keyClick(form->Linia, Qt::Key_Enter);
    EXPECT_EQ(form->Pbx().Shared().ReceivedBytes.load(), receivedBytes);
}

// Each time the link thread ends, the capable clients' voice-mail and
// GSM-line lists start again, and the boxes are fetched anew; a connection
// that the thread opens again by itself is no end.
TEST_F(VoiceMailRoad, TheLinksEndStartsTheClientsListsAgain) {
    staff({{"201", "2.04.00.00"}, {"203", "2.00.15.00"}});
    download();
    ASSERT_TRUE(settled());
    forget();
    const auto clears = [&](const std::string& extension) {
        Lines found;
        for (const std::string& n : desks.at(extension)->Notices())
            if (n == "!VM&CLR\r\n" || n == "!GSM&CLR\r\n")
                found.push_back(n);
        return found;
    };
    exchange->DropConnection();
    ASSERT_TRUE(serveUntil([&] { return exchange->LoginCount() == 2; }));
    ASSERT_TRUE(settled());
    EXPECT_EQ(clears("201"), Lines{});
    EXPECT_TRUE(form->Pbx().VoiceMailBoxes.Idle());

    exchange->Stop(); // closes the connection, then refuses the next
    ASSERT_TRUE(serveUntil([&] { return !form->Pbx().Watek && noticesDelivered(); }));
    ASSERT_TRUE(serveUntil([&] { return desks.at("201")->Quiet() && desks.at("203")->Quiet(); }));
    EXPECT_EQ(clears("201"), (Lines{"!VM&CLR\r\n", "!GSM&CLR\r\n"}));
    EXPECT_EQ(clears("203"), Lines{}) << "an older client has neither list";
    EXPECT_FALSE(form->Pbx().VoiceMailBoxes.Idle());
}

TEST_F(VoiceMailRoad, AnUnansweredBoxIsAskedAgainThenGivenUpAndTheSmsSendStepFollows) {
    staff({{"201", "2.04.00.00"}, {"202", "2.04.00.00"}});
    sms::SmsGateway& sms = form->Sms();
    sms.SmsSettings.UseSms = true;
    exchange->SetGsmLine(3, "600100200");
    while (!sms.GsmLines.Complete())
        ASSERT_NO_FATAL_FAILURE(tick());
    sms.SmsEngine.bSmsListComplete = 1;
    sms::SMSMSG message;
    message.nId = 1;
    message.nState = sms::SMS_STATE_IN_PROGRESS;
    message.sPdu = std::string("\x01\x00\x0b\x91", 4);
    message.tCreated = std::int32_t(QDateTime::currentSecsSinceEpoch());
    sms.SmsEngine.MainQueue.push_back(message);
    sms.SmsEngine.DistributeMainQueue();
    exchange->SetVoiceMailSilent(true);

    auto smsSent = [&] {
        for (const std::string& command : exchange->Commands())
            if (command.starts_with("SMS SND"))
                return true;
        return false;
    };
    tick();
    Lines expected{"VM GET 201 0"};
    ASSERT_EQ(voiceMailCommands(), expected);
    for (const char* next : {"VM GET 201 0", "VM GET 202 0", "VM GET 202 0"}) {
        for (int i = 1; i < 20; ++i)
            ASSERT_NO_FATAL_FAILURE(tick());
        EXPECT_EQ(voiceMailCommands(), expected);
        tick();
        expected.push_back(next);
        EXPECT_EQ(voiceMailCommands(), expected);
    }
    for (int i = 1; i < 20; ++i)
        ASSERT_NO_FATAL_FAILURE(tick());
    EXPECT_FALSE(smsSent()) << "the send step waits while a box is fetched";
    tick(); // 202 is given up: nothing is left
    EXPECT_EQ(voiceMailCommands(), expected);
    EXPECT_TRUE(form->Pbx().VoiceMailBoxes.Idle());
    tick();
    EXPECT_TRUE(smsSent());

    // A late answer matches nothing.
    exchange->SendRecord("VM PUT 202 0 21 2024-05-01 11:00 600100202 1 7");
    ASSERT_TRUE(settled());
    EXPECT_EQ(mirrored("202"), 0u);
}

TEST_F(VoiceMailRoad, TheMenuResynchronisesOnYesAndTheDumpLogsEveryMessage) {
    staff({{"201", "2.04.00.00"}});
    download();
    ASSERT_TRUE(settled());
    forget();
    form->Settings.UseVoiceMailPcti = false;
    form->Pbx().miSynchronizeVboxexClick();
    form->Pbx().miVoiceMailDumpClick();
    ASSERT_EQ(dialogs->Calls().size(), 2u);
    EXPECT_EQ(dialogs->Calls()[1].text, form->Text("IDS_860"));
    form->Settings.UseVoiceMailPcti = true;
    dialogs->QueueAnswer(ui::IDNO);
    form->Pbx().miSynchronizeVboxexClick();
    EXPECT_EQ(dialogs->Calls().back().text, form->Text("IDS_870") + form->Text("IDS_871"));
    EXPECT_TRUE(form->Pbx().VoiceMailBoxes.Idle());
    form->Pbx().miVoiceMailDumpClick();
    EXPECT_NE(mainLogText().find("Skrzynka numeru 201:\n"), std::string::npos);
    EXPECT_NE(mainLogText().find("   wiadomosc: iId 11, data: 2024-05-01, 10:15, numer: 600100201, atr: 0, "
                                 "nagranie: 5"),
              std::string::npos);
    dialogs->QueueAnswer(ui::IDYES);
    form->Pbx().miSynchronizeVboxexClick();
    EXPECT_EQ(voiceMailNotices("201"), Lines{"!VM&CLR\r\n"});
    EXPECT_EQ(form->Pbx().VoiceMailBoxes.fetchQueue, std::deque<std::string>{"201"});
}

// Seeded mutations of exchange records and client requests through the
// dispatcher and the request handler: nothing breaks, nothing but whole
// well-formed commands reaches the exchange, and proper input still works.
TEST_F(VoiceMailRoad, MutatedRecordsAndRequestsBreakNothing) {
    staff({{"201", "2.04.00.00"}});
    download();
    const std::vector<std::string> records{"VM PUT 201 1 12 2024-05-01 10:15 600 0 1",
                                           "VM ADD 201 12 2024-05-01 10:15 600 1 4", "VM DEL 201 0 11",
                                           "VM UPD 11 3", "VM ADD 201 13 d t n 0 4"};
    const std::vector<std::string> requests{"CLR\r\n", "DEL&201&11\r\n", "LIS&201&11\r\n", "DEL&201\r\n"};
    const std::string bytes = std::string(" \\&\r\n\x7f"
                                          "\xff"
                                          "0-9") +
                              "4294967296";
    std::mt19937 random(20240513);
    auto mutate = [&](std::string text) {
        for (int n = int(random() % 4); n >= 0; --n) {
            const std::size_t at = text.empty() ? 0 : random() % text.size();
            switch (random() % 4) {
            case 0:
                text.insert(at, 1, bytes[random() % bytes.size()]);
                break;
            case 1:
                if (!text.empty())
                    text.erase(at, 1 + random() % 3);
                break;
            case 2:
                if (!text.empty())
                    text[at] = bytes[random() % bytes.size()];
                break;
            default:
                text.insert(at, "4294967296");
            }
        }
        return text;
    };
    pbx::PbxLink& link = form->Pbx();
    Klient* requester = Klient::ZnajdzPoIDFB(std::to_string(logins["201"].id));
    ASSERT_NE(requester, nullptr);
    // The notices themselves are another test's matter; here they would only pile up.
    requester->ObslugaPocztyGlosowej = 0;
    for (int i = 0; i < 100000; ++i) {
        if (i % 2) {
            link.Shared().AppendReceivedLine(mutate(records[random() % records.size()]));
            link.DrainReceivedLines();
        } else {
            CurrentKlient = requester;
            int code = 0;
            const std::string request = mutate(requests[random() % requests.size()]);
            const auto end = link.VoiceMail(request, code);
            ASSERT_TRUE(end ? *end <= request.size() : code == 7);
        }
    }
    CurrentKlient = nullptr;
    requester->ObslugaPocztyGlosowej = 1;
    ASSERT_TRUE(settled());
    const std::regex whole("VM (GET 201 \\d+|DEL 201 \\d+ \\d+|LIS 201 \\d+)");
    for (const std::string& command : exchange->Commands())
        ASSERT_TRUE(!command.starts_with("VM") || std::regex_match(command, whole)) << command;
    ASSERT_TRUE(settled());
    link.WyslijSkrzynkiVMWszystkim();
    exchange->SetVoiceMailBox("201", {M11});
    download();
    EXPECT_EQ(form->Pbx().VoiceMailBoxes.boxes["201"].size(), 1u);
}

} // namespace
