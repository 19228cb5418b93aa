// Text messages, descriptions, the lock request and presence between
// clients logged in to the client service of the main window.
#include "ClientLoginFixture.h"

namespace {

using namespace clientlogintest;

TEST_F(ClientServiceHandlers, TwoUsersExchangeATextMessage) {
    TestClient& a = loggedIn(anna);
    TestClient& b = loggedIn(jan);
    const std::string from = std::to_string(anna.id), to = std::to_string(jan.id);
    const std::string request =
        platform::toWire(from + "&" + to + "&2026-01-05 09:00&Dzień dobry") + "\xFF\n!PING";
    CurrentKlient = a.record;
    int code = -1;
    const char* next = textMessage(request.c_str(), a.record->IP, code);
    EXPECT_EQ(code, 0);
    ASSERT_NE(next, nullptr);
    EXPECT_STREQ(next, "!PING");
    const std::string expected =
        platform::toWire("!WI&" + from + "&" + to + "&2026-01-05 09:00&Dzień dobry") + "\xFF";
    EXPECT_TRUE(waitFor(b, expected));
    // And back.
    const std::string answer = platform::toWire(to + "&" + from + "&2026-01-05 09:01&Cześć") + "\xFF";
    CurrentKlient = b.record;
    EXPECT_NE(textMessage(answer.c_str(), b.record->IP, code), nullptr);
    EXPECT_TRUE(waitFor(a, "!WI&" + answer));
}

TEST_F(ClientServiceHandlers, TextMessagesAreRefusedWithTheirFieldCodes) {
    TestClient& a = loggedIn(anna);
    TestClient& b = loggedIn(jan);
    const std::string from = std::to_string(anna.id), to = std::to_string(jan.id);
    struct Case {
        std::string text;
        int code;
    };
    const std::vector<Case> cases = {
        {to + "&" + to + "&2026-01-05&forged\xFF", 1}, // not the sender's own identifier
        {"0&" + to + "&2026-01-05&forged\xFF", 1},     // nor the server's
        {"no marks at all\xFF", 1},
        {from + "&1234567890&2026-01-05&x\xFF", 2},
        {from + "&" + to + "&2026-01-05 09:00:00.1&x\xFF", 4},
        {from + "&" + to + "&2026-01-05&no end", 3},
        {from + "&" + to, 2},
    };
    for (const Case& c : cases) {
        CurrentKlient = a.record;
        int code = -1;
        EXPECT_EQ(textMessage(c.text.c_str(), a.record->IP, code), nullptr) << c.text;
        EXPECT_EQ(code, c.code) << c.text;
    }
    // The server's own message to everybody reaches every logged-in client;
    // nothing refused above went anywhere.
    CurrentKlient = nullptr;
    int code = -1;
    const std::string all = "0&987654321&2026-01-05 10:00&Przerwa\xFF";
    EXPECT_NE(textMessage(all.c_str(), "127.0.0.1", code), nullptr);
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(waitFor(a, "!WI&" + all));
    EXPECT_TRUE(waitFor(b, "!WI&" + all));
    EXPECT_EQ(b.received.find("forged"), std::string::npos);
    EXPECT_EQ(b.received, "!WI&" + all);
}

TEST_F(ClientServiceHandlers, MessageToEverybodyReachesAllButTheSender) {
    TestClient& a = loggedIn(anna);
    TestClient& b = loggedIn(jan);
    TestClient& waiting = connectClient(); // not logged in
    const std::string from = std::to_string(anna.id);
    const std::string text = from + "&987654321&2026-01-05&Hej\xFF";
    CurrentKlient = a.record;
    int code = -1;
    EXPECT_NE(textMessage(text.c_str(), a.record->IP, code), nullptr);
    EXPECT_TRUE(waitFor(b, "!WI&" + text));
    // A ping to our own end shows that nothing else was queued meanwhile.
    a.serverSide->write("mark");
    waiting.serverSide->write("mark");
    EXPECT_TRUE(waitFor(a, "mark"));
    EXPECT_TRUE(waitFor(waiting, "mark"));
    EXPECT_EQ(a.received, "mark");
    EXPECT_EQ(waiting.received, "mark");
}

TEST_F(ClientServiceHandlers, DescriptionReachesTheUserListAndTheBroadcast) {
    TestClient& a = loggedIn(anna);
    const std::string id = std::to_string(anna.id);
    CurrentKlient = a.record;
    int code = -1;
    const std::string op = platform::toWire("x&Na urlopie do środy") + "\r\n!PING\r\n";
    const char* next = description(op.c_str(), code);
    EXPECT_EQ(code, 0);
    ASSERT_NE(next, nullptr);
    EXPECT_STREQ(next, "!PING\r\n"); // the scan goes on after the description
    EXPECT_EQ(form->UserLV->topLevelItem(0)->text(clients::UserColumnStatus).toStdString(),
              "Na urlopie do środy");
    EXPECT_TRUE(waitForDatagram(platform::toWire("!OI&" + id + "&Na urlopie do środy&\r\n")));

    struct Case {
        std::string text;
        int code;
    };
    const std::vector<Case> cases = {
        {"x&" + std::string(255, 'd') + "\r", 0},
        {"x&" + std::string(256, 'd') + "\r", 3},
        {std::string(63, 'f') + "&d\r", 0},
        {std::string(64, 'f') + "&d\r", 2},
        {"x&no end", 3},
        {"no mark\r&", 2},
    };
    for (const Case& c : cases) {
        CurrentKlient = a.record;
        EXPECT_EQ(description(c.text.c_str(), code) == nullptr, c.code != 0) << c.text;
        EXPECT_EQ(code, c.code) << c.text.size();
    }
    // Nothing was cut: the refused descriptions never reached the list.
    EXPECT_EQ(form->UserLV->topLevelItem(0)->text(clients::UserColumnStatus).toStdString(), "d");
}

TEST_F(ClientServiceHandlers, LockRequestChecksItsFields) {
    struct Case {
        std::string text;
        int code;
    };
    const std::vector<Case> cases = {
        {"201&1234\r\n!PING", 0}, {"123456789&" + std::string(29, 'k') + "\r", 0},
        {"1234567890&1234\r", 2}, {"201&" + std::string(30, 'k') + "\r", 4},
        {"201&1234", 3},          {"2011234\r", 1},
    };
    for (const Case& c : cases) {
        int code = -1;
        const char* next = lock(true, c.text.c_str(), code);
        EXPECT_EQ(code, c.code) << c.text;
        EXPECT_EQ(next == nullptr, c.code != 0) << c.text;
    }
    int code = -1;
    EXPECT_STREQ(lock(false, "201&1234\r\n!PING", code), "!PING");
}

TEST_F(ClientServiceHandlers, ClientCheckClosesSilentConnectionsAndBroadcastsPresence) {
    platform::ManualClock clock;
    platform::setProcessClock(&clock);
    // The check runs by hand here: the idle handler's own stays out of the way.
    form->Pbx().LastClientCheck = std::numeric_limits<std::int64_t>::max() / 2;
    TestClient& a = loggedIn(anna);
    TestClient& fresh = connectClient();
    service().UserSlots[1].AttendanceState = 2;              // Jan is in
    service().UserSlots[2].UserId = std::to_string(anna.id); // a user with two slots
    datagrams.clear();

    clock.advance(45'000);
    service().InfoOKlientach();
    const std::string id = std::to_string(anna.id);
    EXPECT_TRUE(waitForDatagram("!UP&" + std::to_string(jan.id) + "&&4\r\n"));
    EXPECT_EQ(std::count(datagrams.begin(), datagrams.end(), "!UP&" + id + "&127.0.0.1&1\r\n"), 2);
    EXPECT_TRUE(service().UserSlots[0].Connected);
    EXPECT_TRUE(service().UserSlots[2].Connected);
    EXPECT_EQ(fresh.peer->state(), QAbstractSocket::ConnectedState);

    // 46 s without a word before log-in: closed; the logged-in client may
    // be silent for 65 s.
    clock.advance(1'000);
    service().InfoOKlientach();
    EXPECT_TRUE(fresh.peer->state() == QAbstractSocket::UnconnectedState ||
                fresh.peer->waitForDisconnected(10000));
    clock.advance(19'000);
    service().InfoOKlientach();
    a.acknowledges = false; // silent from here on
    a.serverSide->write("still here");
    EXPECT_TRUE(waitFor(a, "still here"));
    clock.advance(1'000);
    service().InfoOKlientach();
    EXPECT_TRUE(a.peer->state() == QAbstractSocket::UnconnectedState || a.peer->waitForDisconnected(10000));
    platform::setProcessClock(nullptr);

    // Departure clears the first slot of the user only; arrival takes the
    // attendance of the user's last slot.
    service().UserSlots[2].AttendanceState = 3;
    datagrams.clear();
    service().PowiadomKlientowUzytkownikRozlaczony(id);
    EXPECT_TRUE(waitForDatagram("!UR&" + id + "\r\n"));
    EXPECT_FALSE(service().UserSlots[0].Connected);
    EXPECT_TRUE(service().UserSlots[2].Connected);
    service().PowiadomKlientowPodlaczenieUzytkownika(id, "10.0.0.7");
    EXPECT_TRUE(waitForDatagram("!UP&" + id + "&10.0.0.7&6\r\n"));
}

TEST_F(ClientServiceHandlers, UserSlotsHoldTheFirst512Users) {
    std::vector<clients::UserSlotUser> users;
    for (int i = 1; i <= 600; ++i)
        users.push_back({std::to_string(i), "card" + std::to_string(i)});
    service().UserSlots[3].Connected = 1;
    service().FillUserSlots(users);
    EXPECT_EQ(service().UserSlots[0].UserId, "1");
    EXPECT_EQ(service().UserSlots[511].UserId, "512");
    EXPECT_EQ(service().UserSlots[511].CardKey, "card512");
    EXPECT_EQ(service().UserSlots[3].Connected, 0u);
    service().FillUserSlots({{"9", ""}});
    EXPECT_EQ(service().UserSlots[0].UserId, "9");
    EXPECT_TRUE(service().UserSlots[1].UserId.empty());
    datagrams.clear();
    service().InfoOKlientach();
    service().PowiadomKlientowPolaczenieCentrali("1");
    EXPECT_TRUE(waitForDatagram("!SR&1\r\n"));
    EXPECT_EQ(std::count_if(datagrams.begin(), datagrams.end(),
                            [](const std::string& d) { return d.rfind("!UP&", 0) == 0; }),
              1);
}

} // namespace
