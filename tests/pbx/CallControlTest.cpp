// Call-control requests: the field checks with their codes, the number
// preparation, and requests of a client over TCP reaching the simulated
// exchange of either family as its commands.
#include "pbx/DialNumbers.h"
#include "pbx/PbxLink.h"
#include "support/ClientServiceTestBed.h"
#include "support/LinkTestSupport.h"

#include <gtest/gtest.h>

using sim::ExchangeSimulator;
using sim::Family;
using testing_support::TestClient;

namespace {

enum class Op { WN, ZP, TD, RE, HO, UH, SP };

pbx::PbxLink::RequestEnd run(pbx::PbxLink& link, Op op, std::string_view text, int& code) {
    switch (op) {
    case Op::WN:
        return link.WybierzNumer(text, code);
    case Op::ZP:
        return link.ZamowRozmowe(text, code);
    case Op::TD:
        return link.TransferDzwonka(text, code);
    case Op::RE:
        return link.Redial(text, code);
    case Op::HO:
        return link.Hold(text, code);
    case Op::UH:
        return link.Unhold(text, code);
    case Op::SP:
        return link.SpeakerPhone(text, code);
    }
    return std::nullopt;
}

class CallControlFields : public testing_support::MainFormFixture {};

// Without a link every request whose fields pass is refused with code 8, so
// each row shows which check stopped it.
TEST_F(CallControlFields, EachFailedCheckGivesItsCodeAndLogText) {
    struct Case {
        int pbxType;
        Op op;
        std::string text;
        int code;
        const char* log;
    };
    const std::string digits30(30, '1');
    const std::vector<Case> cases{
        {2, Op::WN, "201", 1, "brak znacznika numeru użytkownika"},
        {2, Op::WN, "12345678901234567&1\r", 2, "za długi numer abonenta"},
        {2, Op::WN, "1234567890123456&1\r", 8, "brak połączenia z centralą"},
        {2, Op::WN, "&123\r", 8, "brak połączenia z centralą"},
        {2, Op::WN, "201&123", 3, "brak końca linii"},
        {2, Op::WN, "201&" + digits30 + "\r", 4, "za długi numer wybierany"},
        {2, Op::WN, "201&12\n3\r", 4, "niedozwolony znak"},
        {2, Op::WN, "201\r!HO&202&\r", 1, "brak znacznika numeru użytkownika"},
        {2, Op::WN, "201&12 3\r", 8, "brak połączenia z centralą"},
        {5, Op::WN, "201&12 3\r", 4, "niedozwolony znak"},
        {5, Op::WN, "20 1&123\r", 2, "niedozwolony znak"},
        {2, Op::TD, "201", 1, "brak znacznika numeru źródła"},
        {2, Op::TD, "1234567890&202&\r", 2, "za długi numer źródła"},
        {2, Op::TD, "&202&\r", 3, "brak numeru źródła"},
        {2, Op::TD, "201&202", 4, "brak znacznika numeru celu"},
        {2, Op::TD, "201&1234567890&\r", 5, "za długi numer celu"},
        {2, Op::TD, "201&&\r", 6, "brak numeru celu"},
        {2, Op::TD, "201&202&", 7, "brak końca linii"},
        {2, Op::TD,
         "201&2\x7f"
         "2&\r",
         5, "niedozwolony znak"},
        {2, Op::RE, "201", 1, "brak znacznika numeru uzytkownika dla rediala"},
        {2, Op::RE, "1234567890&\r", 2, "za długi numer uzytkownika dla rediala"},
        {2, Op::RE, "&\r", 3, "brak numeru uzytkownika dla rediala"},
        {2, Op::RE, "201&", 4, "brak końca linii"},
        {2, Op::HO, "201", 1, "brak znacznika numeru uzytkownika dla HOLD"},
        {2, Op::HO, "1234567890&\r", 2, "za długi numer uzytkownika dla HOLD"},
        {2, Op::HO, "&\r", 2, "brak numeru uzytkownika dla HOLD"},
        {2, Op::HO, "201&", 3, "brak końca linii"},
        {2, Op::UH, "201", 1, "brak znacznika numeru uzytkownika dla UNHOLD"},
        {2, Op::UH, "1234567890&\r", 2, "za długi numer uzytkownika dla UNHOLD"},
        {2, Op::UH, "&\r", 3, "brak numeru uzytkownika dla UNHOLD"},
        {2, Op::UH, "201&", 4, "brak końca linii"},
        {2, Op::SP, "201", 1, "brak znacznika numeru uzytkownika dla SPEAKERPHONE"},
        {2, Op::SP, "1234567890&ON&\r", 2, "za długi numer uzytkownika dla SPEAKERPHONE"},
        {2, Op::SP, "&ON&\r", 3, "brak numeru uzytkownika dla SPEAKERPHONE"},
        {2, Op::SP, "201&ON", 4, "brak parametru ON/OFF"},
        {2, Op::SP, "201&ONNN&\r", 5, "Niewłaściwa długość parametru przy komendzie SPEAKERPHONE"},
        {2, Op::SP, "201&&\r", 6, "Zerowa długość parametru przy komendzie SPEAKERPHONE"},
        {2, Op::SP, "201&ON&", 7, "brak końca linii"},
        {2, Op::SP, "201&X\rY&\r", 4, "brak parametru ON/OFF"},
        {2, Op::ZP, "201", 1, "brak znacznika numeru użytkownika"},
        {2, Op::ZP, "1234567890&1\r", 2, "za długi numer abonenta"},
        {2, Op::ZP, "201&1", 3, "brak końca linii"},
        {2, Op::ZP, "201&" + digits30 + "\r", 4, "za długi numer wybierany"},
    };
    createForm();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        form->Settings.PbxType = c.pbxType;
        int code = 0;
        EXPECT_FALSE(run(form->Pbx(), c.op, c.text, code));
        EXPECT_EQ(code, c.code);
        const std::string log = mainLogText();
        EXPECT_NE(log.find(c.log), std::string::npos) << log;
        logSoFar.clear();
    }
}

TEST(DialNumbers, PrefixesFollowTheLengthOfTheNumber) {
    pbx::CallSettings s;
    s.miedzy = "0";
    s.prefiksMiedzynarodowy = "000";
    s.countryNumberLength = 9;
    s.pbxType = 2;
    // Dialling: leading zeros go first.
    EXPECT_EQ(pbx::PrepareDialNumber("0012345678901", s), "00012345678901");
    EXPECT_EQ(pbx::PrepareDialNumber("221234567", s), "0221234567");
    EXPECT_EQ(pbx::PrepareDialNumber("2212345678", s), "02212345678");
    EXPECT_EQ(pbx::PrepareDialNumber("22123456", s), "22123456");
    // Call orders: the prefix put in front comes off again for types 0-4.
    EXPECT_EQ(pbx::PrepareOrderNumber("221234567", s), "221234567");
    EXPECT_EQ(pbx::PrepareOrderNumber("0221234567", s), "221234567");
    EXPECT_EQ(pbx::PrepareOrderNumber("00049301234567", s), "0049301234567");
    s.pbxType = 5;
    EXPECT_EQ(pbx::PrepareOrderNumber("221234567", s), "0221234567");
    EXPECT_EQ(pbx::PrepareOrderNumber("0221234567", s), "0221234567");
    // History: the prefix the number was dialled with comes off.
    EXPECT_EQ(pbx::WithoutDialPrefix("00049301234567", s), "49301234567");
    EXPECT_EQ(pbx::WithoutDialPrefix("0221234567", s), "221234567");
    EXPECT_EQ(pbx::WithoutDialPrefix("012345", s), "012345");
    EXPECT_EQ(pbx::WithoutDialPrefix("012345678901234", s), "012345678901234");
    s.miedzy.clear();
    EXPECT_EQ(pbx::WithoutDialPrefix("0221234567", s), "0221234567");
}

// A logged-in client's requests over TCP, the exchange simulator on the link.
class CallControlRoad : public testing_support::ClientServiceTestBed {
  protected:
    void SetUp() override {
        ClientServiceTestBed::SetUp();
        // Shortened, but with room for a loaded machine: a log-in read that
        // times out starts the dialogue again.
        pbx::linkEnvironment().timings = pbx::LinkTimings::Scaled(10);
        pbx::linkEnvironment().clock = &clock_;
    }
    void TearDown() override {
        ClientServiceTestBed::TearDown();
        pbx::linkEnvironment() = pbx::LinkEnvironment();
    }

    TestClient& linkedClient(ExchangeSimulator& exchange, int pbxType) {
        EXPECT_TRUE(exchange.Start());
        form->Settings.PbxType = pbxType;
        form->Settings.PbxPort = 5;
        form->Settings.TCPCentr = "127.0.0.1";
        form->Settings.PortTCPCent = exchange.Port();
        form->Pbx().ConnectPbx();
        // Logged in and passing data (a record came): the link's error count
        // is back at 0 and commands queued from now on are kept.
        EXPECT_TRUE(serveUntil([&] { return exchange.LoggedIn(); }));
        exchange.SendRecord("X");
        EXPECT_TRUE(serveUntil([&] { return form->Pbx().PbxLinkErrorCount.load() == 0; }));
        TestClient& client = connectClient();
        client.record->Zalogowany = 1;
        client.record->SetIDFB("7");
        client.record->Stan = Klient::OK; // as after its log-in reply was acknowledged
        return client;
    }

    // Runs the idle handler and reads the client's replies meanwhile.
    bool serveUntil(const std::function<bool()>& condition) {
        return linktest::WaitFor([&] {
            form->Pbx().ObslugaCentrali();
            for (auto& client : clientsConnected)
                client->received += client->peer->readAll().toStdString();
            return condition();
        });
    }

    bool commandsAre(ExchangeSimulator& exchange, const std::vector<std::string>& wanted) {
        return serveUntil([&] { return exchange.Commands().size() >= wanted.size(); }) &&
               exchange.Commands() == wanted;
    }

    void send(TestClient& client, const std::string& requests) {
        client.peer->write(requests.data(), qint64(requests.size()));
        client.peer->flush();
    }

    platform::ManualClock clock_;
};

TEST_F(CallControlRoad, TypesZeroToFourSendEveryCommandOfTheFamily) {
    ExchangeSimulator exchange(Family::Vantrel, sim::Transport::Tcp);
    TestClient& client = linkedClient(exchange, 2);
    send(client, "!WN&201&00221234567\r\n!ZP&201&221234567\r!TD&201&202&\r!RE&201&\r!HO&201&\r!UH&201&\r"
                 "!SP&201&ON&\r");
    EXPECT_TRUE(commandsAre(exchange, {"WN 201&0221234567&", "ZP 201&221234567", "TD 201&202&", "WN 201&*90&",
                                       "WN 201&,201&", "WN 201&201&", "SP 201&ON&"}));
    EXPECT_TRUE(serveUntil([&] { return client.received == "OKOKOKOKOKOKOK"; })) << client.received;

    // A link that is down takes no command: the client hears "ERROR".
    exchange.Stop();
    ASSERT_TRUE(serveUntil([&] { return !form->Pbx().Watek || form->Pbx().PbxLinkErrorCount.load() >= 5; }));
    client.received.clear();
    send(client, "!RE&201&\r");
    EXPECT_TRUE(serveUntil([&] { return client.received == "ERROR"; })) << client.received;
}

// A desk that dials as fast as it can: what waits for the exchange stays
// within the bound and the rest is answered "ERROR"; dials left waiting
// while the exchange does not answer are dropped unsent, not rung later.
TEST_F(CallControlRoad, AFloodingClientIsRefusedPastItsBoundAndStaleDialsAreDropped) {
    ExchangeSimulator exchange(Family::Vantrel, sim::Transport::Tcp);
    TestClient& client = linkedClient(exchange, 2);
    exchange.SetAnswerRule({sim::AnswerRule::Kind::Silent});
    send(client, "!WN&202&1\r");
    ASSERT_TRUE(commandsAre(exchange, {"WN 202&1&"}));
    ASSERT_TRUE(serveUntil([&] { return client.received == "OK"; }));

    const std::size_t floodCount = 2000;
    std::string flood;
    for (std::size_t i = 0; i < floodCount; ++i)
        flood += "!WN&202&" + std::to_string(100 + i) + "\r";
    send(client, flood);
    auto count = [&](const std::string& word) {
        std::size_t n = 0;
        for (std::size_t at = client.received.find(word); at != std::string::npos;
             at = client.received.find(word, at + 1))
            ++n;
        return n;
    };
    ASSERT_TRUE(serveUntil([&] { return count("OK") + count("ERROR") == 1 + floodCount; }))
        << client.received;
    const std::size_t limit = pbx::PbxLink::ClientCommandLimit;
    EXPECT_EQ(count("OK"), 1 + limit);
    EXPECT_EQ(count("ERROR"), floodCount - limit);
    {
        auto lock = LockChains();
        EXPECT_EQ(client.record->Komendy.size(), limit);
    }
    // Logged once, not for each refusal.
    const std::string refused = "komend czeka na centralę, następne odrzucane";
    EXPECT_NE(mainLogText().find(refused), std::string::npos);
    EXPECT_EQ(mainLogText().find(refused), logSoFar.rfind(refused));

    // Still no answer half a minute on: the waiting dials are stale.
    clock_.advance(31'000);
    EXPECT_TRUE(serveUntil([&] {
        auto lock = LockChains();
        return client.record->Komendy.empty();
    }));
    send(client, "!WN&202&99\r");
    EXPECT_TRUE(commandsAre(exchange, {"WN 202&1&", "WN 202&99&"}));
    const std::string log = mainLogText();
    EXPECT_NE(log.find("Komenda do centrali pominięta: przeterminowana"), std::string::npos);
    EXPECT_NE(log.find("odrzucono " + std::to_string(floodCount - limit) + " komend ponad kolejkę"),
              std::string::npos);
}

TEST_F(CallControlRoad, TypeFiveNamesTheCallOfTheExtension) {
    ExchangeSimulator exchange(Family::Morva, sim::Transport::Tcp);
    TestClient& client = linkedClient(exchange, 5);
    form->Settings.PbxType = 5;
    form->Settings.PabxMacros.Hold = "*6";
    form->Settings.PabxMacros.Redial = "*880";
    pbx::ActiveCall& call = form->Pbx().Calls.ActiveCalls[3];
    call.CallId = "12";
    call.NumberA = "0221234567";
    call.NumberB = "201";
    call.End = QDateTime::currentDateTime();
    form->Pbx().Calls.ActiveCallCount = 1;

    // 203 has no call: answered, nothing sent.
    send(client, "!HO&203&\r!WN&201&22,1234567\r!HO&201&\r!UH&201&\r!RE&201&\r!ZP&201&221234567\r"
                 "!SP&201&ON&\r!TD&201&202&\r");
    EXPECT_TRUE(
        commandsAre(exchange, {"C03 12 201 022f1234567", "C03 12 201 f*6", "C03 12 201 *6", "C03 12 201 *880",
                               "C03 12 201 0221234567", "SP 201&", "TD 201&202&"}));
    EXPECT_TRUE(serveUntil([&] { return client.received == "OKOKOKOKOKOKOKOK"; })) << client.received;
    EXPECT_TRUE(call.End.isNull());
}

} // namespace
