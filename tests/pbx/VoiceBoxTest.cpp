// Voice boxes and group log-in end to end: simulated clients send their
// requests over TCP through the real framing, the window's link carries the
// commands to a simulated exchange (type 2) and its answers back as notices.
#include "admin/Console.h"
#include "db/UserTables.h"
#include "pbx/PbxLink.h"
#include "platform/Clock.h"
#include "support/ClientServiceTestBed.h"
#include "support/ClientSimulator.h"
#include "support/ExchangeSimulator.h"
#include "support/LinkTestSupport.h"

#include <QCoreApplication>
#include <algorithm>
#include <gtest/gtest.h>
#include <random>

namespace {

using sim::ClientSimulator;
using Texts = std::vector<std::string>;

std::string last(const Texts& texts) {
    return texts.empty() ? std::string() : texts.back();
}

class VoiceBoxes : public testing_support::ClientServiceTestBed {
  protected:
    void SetUp() override {
        ClientServiceTestBed::SetUp();
        platform::setProcessClock(&clock);
        pbx::linkEnvironment().timings = pbx::LinkTimings::Scaled(50);
        pbx::linkEnvironment().clock = &linkClock;
        form->Settings.UseVoiceMailPcti = true;
        exchange.SetVoiceBox("201", "ON");
        exchange.SetVoiceBox("203", "OFF");
        ASSERT_TRUE(exchange.Start());
        form->Settings.PbxType = 2;
        form->Settings.PbxPort = 5;
        form->Settings.TCPCentr = "127.0.0.1";
        form->Settings.PortTCPCent = exchange.Port();
        form->Pbx().ConnectPbx();
        ASSERT_TRUE(serveUntil([&] { return exchange.LoggedIn(); }));
        exchange.SendRecord("X");
        ASSERT_TRUE(serveUntil([&] { return form->Pbx().PbxLinkErrorCount.load() == 0; }));
        // A and B at the current version, C before the voice-box notice.
        desk("201", "2.04.00.00");
        desk("202", "2.04.00.00");
        desk("203", "2.00.15.00");
        ASSERT_TRUE(settled());
        for (auto& [extension, d] : desks)
            d->ClearReceived();
    }
    void TearDown() override {
        desks.clear();
        ClientServiceTestBed::TearDown();
        exchange.Stop();
        pbx::linkEnvironment() = pbx::LinkEnvironment();
        platform::setProcessClock(nullptr);
    }

    // Every notice handed over and acknowledged, every command answered.
    bool settled() {
        return serveUntil([&] {
            if (form->Clients().ile_w_kolejce() != 0 || form->Pbx().Shared().CommandInFlight.load() == 1)
                return false;
            for (Klient* k = KlientList; k; k = k->Nastepny)
                if (k->Stan == Klient::SEND || k->HasOstatniaWyslana || !k->Komendy.empty())
                    return false;
            for (auto& [extension, d] : desks)
                if (!d->Quiet())
                    return false;
            return true;
        });
    }

    void desk(const std::string& extension, const std::string& version) {
        testing_support::TestUser user{"Jan", "Nowak", "u" + extension, "0cc175b9c0f1b6a831c399e269772661"};
        addUser(user);
        ServiceUserPhonesDB phones(c.host, c.path, c.user, c.password);
        phones.nUserID = user.id;
        phones.sUserPhone = extension;
        phones.sUserPhoneName = "biurko";
        ASSERT_EQ(phones.InsertData(), 0);
        form->lvAllUserPhones->SetTag(0);
        form->Admin().LoadUsers();
        auto d = std::make_unique<ClientSimulator>();
        ASSERT_TRUE(d->Connect(form->Settings.PortTCP));
        ASSERT_TRUE(d->LogIn(user.login, user.password, false, version));
        ASSERT_TRUE(serveUntil([&] {
            Klient* record = Klient::ZnajdzPoIDFB(std::to_string(user.id));
            return record && record->Zalogowany && !record->HasOstatniaWyslana;
        }));
        desks[extension] = std::move(d);
    }

    // Sends the request (with the CR LF its kind ends with) and waits for its reply.
    void request(const std::string& extension, const std::string& text) {
        ClientSimulator& d = *desks.at(extension);
        const std::size_t replies = d.Replies().size();
        ASSERT_TRUE(d.Send("!" + text + "\r\n"));
        ASSERT_TRUE(serveUntil([&] { return d.Replies().size() > replies; }));
        EXPECT_EQ(d.Replies().back(), "OK") << text;
    }
    // The exchange answers "OK" before its records, and a command is briefly
    // in neither the queue nor flight while it is written: what is awaited
    // is waited for by count (`atLeast`) before all is settled.
    Texts voiceNotices(const std::string& extension, std::size_t atLeast = 0) {
        EXPECT_TRUE(serveUntil([&] { return noticesSeen(extension).size() >= atLeast; }));
        EXPECT_TRUE(settled());
        return noticesSeen(extension);
    }
    Texts noticesSeen(const std::string& extension) {
        Texts seen;
        for (const std::string& n : desks.at(extension)->Notices())
            if (n.starts_with("!VB&") || n.starts_with("!GWW&"))
                seen.push_back(n);
        return seen;
    }
    Texts voiceCommands(std::size_t atLeast = 0) {
        EXPECT_TRUE(serveUntil([&] { return commandsSeen().size() >= atLeast; }));
        EXPECT_TRUE(settled());
        return commandsSeen();
    }
    Texts commandsSeen() {
        Texts seen;
        for (const std::string& command : exchange.Commands())
            if (command.starts_with("VB ") || command.starts_with("GWW "))
                seen.push_back(command);
        return seen;
    }

    platform::ManualClock clock;
    platform::ManualClock linkClock;
    sim::ExchangeSimulator exchange{sim::Family::Vantrel, sim::Transport::Tcp};
    std::map<std::string, std::unique_ptr<ClientSimulator>> desks;
};

TEST_F(VoiceBoxes, AStateIsUnknownAtOnceThenRealAndReachesOnlyCurrentClients) {
    request("201", "VB&STATE_GET&201");
    EXPECT_EQ(voiceNotices("201", 2), Texts({"!VB&STATE_IS&201&UNKNOWN\r\n", "!VB&STATE_IS&201&ON\r\n"}));
    request("201", "VB&STATE_SET&201&OFF");
    EXPECT_EQ(last(voiceNotices("201", 3)), "!VB&STATE_IS&201&OFF\r\n");
    EXPECT_EQ(exchange.VoiceBoxState("201"), "OFF");
    // A client before the notice's version asks its own box: the command
    // goes, no notice comes.
    request("203", "VB&STATE_SET&203&ON");
    EXPECT_EQ(voiceCommands(3), Texts({"VB STATE_GET 201", "VB STATE_SET 201 OFF", "VB STATE_SET 203 ON"}));
    EXPECT_EQ(voiceNotices("203"), Texts());
    EXPECT_EQ(voiceNotices("202"), Texts());
    // The exchange's report for a number goes to that number's client only.
    exchange.SendRecord("VB STATE_IS 202 ON");
    EXPECT_TRUE(serveUntil([&] { return !voiceNotices("202").empty(); }));
    EXPECT_EQ(voiceNotices("202"), Texts({"!VB&STATE_IS&202&ON\r\n"}));
    EXPECT_EQ(voiceNotices("201").size(), 3u);
}

TEST_F(VoiceBoxes, AfterOneDisabledReportTheExchangeIsNoLongerAsked) {
    exchange.SetVoiceBoxesDisabled(true);
    request("201", "VB&STATE_GET&201");
    EXPECT_TRUE(
        serveUntil([&] { return form->Pbx().VoiceBoxUnit.availability() == pbx::VoiceBox::Disabled; }));
    EXPECT_EQ(voiceNotices("201"), Texts({"!VB&STATE_IS&201&UNKNOWN\r\n"}));
    request("201", "VB&STATE_GET&201");
    EXPECT_EQ(last(voiceNotices("201")), "!VB&STATE_IS&201&DISABLED\r\n");
    EXPECT_EQ(voiceCommands(), Texts({"VB STATE_GET 201"}));
}

TEST_F(VoiceBoxes, GroupRequestsSendTheirExactCommandsAndAnswersReachNoClient) {
    exchange.SetGroupState("201", "7", "NLO");
    request("201", "GWW&ABS&201");
    request("201", "GWW&ABS&201&7");
    request("201", "GWW&ABS&201&7&LOG");
    EXPECT_EQ(voiceCommands(3), Texts({"GWW ABS 201", "GWW ABS 201 7", "GWW ABS 201 7 LOG"}));
    EXPECT_TRUE(serveUntil([&] { return exchange.GroupState("201", "7") == "LOG"; }));
    for (const char* extension : {"201", "202", "203"})
        EXPECT_EQ(voiceNotices(extension), Texts()) << extension;
    // Records the translators refuse are logged by the dispatcher.
    exchange.SendRecord("GWW ABS 201 7 XYZ");
    exchange.SendRecord("VB STATE_IS 201 MAYBE");
    EXPECT_TRUE(serveUntil([&] {
        return mainLogText().find("Błąd przy obsłudze komendy VB z centrali: Zła wartość argumentu") !=
               std::string::npos;
    }));
    EXPECT_NE(mainLogText().find("Błąd przy obsłudze komendy GWW z centrali: Zła wartość argumentu"),
              std::string::npos);
}

TEST_F(VoiceBoxes, ForeignNumbersAndUnsafeFieldsSendNothing) {
    for (const char* text :
         {"VB&STATE_GET&202", "VB&STATE_SET&202&ON", "GWW&ABS&202", "GWW&ABS&202&7&LOG", "VB&STATE_GET&20 1",
          "VB&STATE_SET&201&MAYBE", "GWW&ABS&201&7 8", "GWW&ABS&201&7\nLOG", "GWW&ABS&201&\x7f",
          "GWW&ABS&201&", "VB&STATE_GET&201&x", "VB&STATE_GET", "VB&PEEK&201", "GWW&ABS&201&7&NIG"})
        request("201", text);
    EXPECT_EQ(voiceCommands(), Texts());
    EXPECT_EQ(voiceNotices("201"), Texts());
    EXPECT_EQ(voiceNotices("202"), Texts());
    // The refusal names the number and who asked for it.
    const std::string asker = Klient::ZnajdzPoWew("201", *form->lvAllUserPhones)->IDFB;
    EXPECT_NE(mainLogText().find("próba odczytu nie swojej skrzynki: nrTel:202 przez " + asker),
              std::string::npos);
    EXPECT_NE(mainLogText().find("próba zmiany GWW dla nie swojego nrTel:202 przez " + asker),
              std::string::npos);
}

// Mutated records and requests from a seeded generator: nothing breaks, and
// well-formed ones after them are still handled.
TEST_F(VoiceBoxes, MutatedRecordsAndRequestsLeaveTheTranslatorsWorking) {
    const Texts records{"VB STATE_IS 201 ON", "VB STATE_IS DISABLED", "VB STATE_IS 209 OFF",
                        "GWW ABS 201 7 LOG",  "GWW ABS 202 9 NIG",    "VB STATE_IS 20\\ 1 ON"};
    const Texts requests{"STATE_GET&201\r\n", "STATE_SET&201&ON\r\n", "ABS&201&7&LOG\r\n", "ABS&201\r\n"};
    std::mt19937 random(20240613);
    auto mutate = [&](std::string text) {
        for (int n = int(random() % 4); n >= 0; --n) {
            const std::size_t at = text.empty() ? 0 : random() % text.size();
            switch (random() % 4) {
            case 0:
                text.insert(at, 1, char(random() % 256));
                break;
            case 1:
                if (!text.empty())
                    text.erase(at, 1);
                break;
            case 2:
                if (!text.empty())
                    text[at] = char(random() % 256);
                break;
            default:
                text.insert(at, text.substr(at, random() % 8));
            }
        }
        return text;
    };
    pbx::PbxLink& link = form->Pbx();
    Klient* own = Klient::ZnajdzPoWew("201", *form->lvAllUserPhones);
    ASSERT_NE(own, nullptr);
    // The notices the mutations would earn are not what is tried here.
    own->Wersja24b = 0;
    CurrentKlient = own;
    for (int i = 0; i < 50000; ++i) {
        link.Shared().AppendReceivedLine(mutate(records[random() % records.size()]));
        if (i % 64 == 0)
            link.DrainReceivedLines();
        const std::string text = mutate(requests[random() % requests.size()]);
        int code = 0;
        const auto end = random() % 2 ? link.VoiceBoxRequest(text, code) : link.GroupLoginRequest(text, code);
        ASSERT_TRUE(end ? *end <= text.size() : code == 7);
        auto chain = LockChains();
        ServerKlient->Komendy.clear();
    }
    link.DrainReceivedLines();
    own->Wersja24b = 1;
    // Whatever the mutations reported, a well-formed exchange still answers.
    exchange.SetVoiceBoxesDisabled(false);
    desks.at("201")->ClearReceived();
    // (The exchange may still be answering what the flood asked of it.)
    exchange.SendRecord("VB STATE_IS 201 OFF");
    EXPECT_TRUE(serveUntil([&] {
        const auto notices = voiceNotices("201");
        return std::find(notices.begin(), notices.end(), "!VB&STATE_IS&201&OFF\r\n") != notices.end();
    }));
    request("201", "GWW&ABS&201&7");
    EXPECT_TRUE(serveUntil([&] { return last(commandsSeen()) == "GWW ABS 201 7"; }));
}

} // namespace
