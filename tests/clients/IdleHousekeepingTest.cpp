// The idle handler's share of the client service, with the window's own event
// loop running it: the client check every 30 s of wall-clock time, the
// exchange-link notice on every 100th timer tick, and the service panels.
#include "ClientServiceSupport.h"
#include "pbx/LinkShared.h"
#include "pbx/PbxLink.h"
#include "platform/Clock.h"
#include "support/DescriptorLimit.h"
#include "support/Ports.h"

#include <QTcpSocket>
#include <algorithm>
#include <atomic>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>

namespace clienttest {
namespace {

class IdleHousekeeping : public ClientServiceFixture {
  protected:
    void SetUp() override {
        platform::setProcessClock(&clock);
        ClientServiceFixture::SetUp();
        if (HasFatalFailure())
            return;
        ASSERT_NE(udp.Port(), 0);
        udpPort = udp.Port();
        form->Clients().CreateUdpSender(form.get(), udpPort, "127.255.255.255");
        form->Clients().FillUserSlots({{"1", ""}, {"2", ""}});
    }
    void TearDown() override {
        ClientServiceFixture::TearDown();
        platform::setProcessClock(nullptr);
    }
    static std::size_t count(const sim::ClientSimulator& client, const std::string& datagram) {
        const auto all = client.Datagrams();
        return std::size_t(std::count(all.begin(), all.end(), datagram));
    }
    static bool heard(const sim::ClientSimulator& client, const std::string& datagram) {
        return PumpUntil([&] { return count(client, datagram) > 0; });
    }
    bool idleCallsReach(std::uint32_t calls) {
        return PumpUntil([&] { return form->Pbx().IdleCalls >= calls; });
    }

    platform::ManualClock clock;
    testing_support::HeldUdpPort udp;
    int udpPort = 0;
};

TEST_F(IdleHousekeeping, ASilentClientIsClosedAfter65SecondsAndPresenceReachesTheOthers) {
    sim::ClientSimulator talking, silent;
    ASSERT_TRUE(talking.ListenUdp(udpPort));
    logIn(talking, "1");
    logIn(silent, "2");
    silent.SetAck(sim::ClientSimulator::Ack::None);

    // Half a minute on: the idle handler's check broadcasts both users.
    clock.advance(31'000);
    EXPECT_TRUE(heard(talking, "!UP&1&127.0.0.1&1\r\n"));
    EXPECT_TRUE(heard(talking, "!UP&2&127.0.0.1&1\r\n"));
    ASSERT_TRUE(talking.SendRequest("PING"));
    EXPECT_EQ(waitReplies(talking, 1), std::vector<std::string>{"OK"});

    // 66 s without a word from the silent one, 35 s from the other.
    clock.advance(35'000);
    EXPECT_TRUE(PumpUntil([&] { return !silent.IsConnected(); }));
    EXPECT_TRUE(PumpUntil([&] { return Klient::ZnajdzPoIDFB("2") == nullptr; }));
    EXPECT_TRUE(heard(talking, "!UR&2\r\n"));
    EXPECT_TRUE(talking.IsConnected());
    EXPECT_NE(Klient::ZnajdzPoIDFB("1"), nullptr);
    EXPECT_EQ(form->StatusBar->Panels()[0]->Text().toStdString(), form->Text("IDS_241"));
    EXPECT_EQ(form->StatusBar->Panels()[7]->Text().toStdString(), form->Text("IDS_171")); // no database
}

// The GUI thread was held past the check's limit while the client's ping
// waited unread in its socket: the client is not taken for silent.
TEST_F(IdleHousekeeping, AClientWhosePingWaitsUnreadIsKept) {
    sim::ClientSimulator client;
    logIn(client, "1");
    client.ClearReceived();
    const Klient* record = Klient::ZnajdzPoIDFB("1");
    ASSERT_NE(record, nullptr);
    ASSERT_TRUE(client.SendRequest("PING"));
    pollfd waiting{int(record->Socket->socketDescriptor()), POLLIN, 0};
    ASSERT_EQ(::poll(&waiting, 1, 30000), 1);

    clock.advance(66'000);
    form->Clients().InfoOKlientach();
    EXPECT_EQ(waitReplies(client, 1), std::vector<std::string>{"OK"});
    EXPECT_TRUE(client.IsConnected());
    EXPECT_NE(Klient::ZnajdzPoIDFB("1"), nullptr);
    EXPECT_EQ(mainLogText().find("Brak pingów od klienta"), std::string::npos);
}

// A peer that sends requests without a log-in and never reads its errors:
// the others are answered meanwhile, what it is owed stays bounded, and it is
// closed once it has not read for the limit.
TEST_F(IdleHousekeeping, APeerThatNeverReadsHoldsNobodyAndIsClosed) {
    sim::ClientSimulator client;
    logIn(client, "1");
    client.ClearReceived();
    const Klient* logged = Klient::ZnajdzPoIDFB("1");
    ASSERT_NE(logged, nullptr);
    sim::FloodingPeer flooder("!WN&201\r");
    ASSERT_TRUE(flooder.Start(port));
    auto flooderRecord = [] {
        for (Klient* k = KlientList; k; k = k->Nastepny)
            if (!k->Zalogowany && k->Socket && k->Stan != Klient::DISCONNECT)
                return k;
        return static_cast<Klient*>(nullptr);
    };
    qint64 mostOwed = 0;
    auto owed = [&] {
        const Klient* k = flooderRecord();
        const qint64 now = k ? k->Socket->bytesToWrite() : 0;
        mostOwed = std::max(mostOwed, now);
        return now;
    };
    // Its errors pile up unsent, and the rest of what it sent waits unread.
    ASSERT_TRUE(PumpUntil([&] {
        const Klient* k = flooderRecord();
        return owed() >= 0 && k && k->HeldRead;
    }));

    // Not `waitReplies`: it waits for every connection to settle.
    ASSERT_TRUE(client.SendRequest("PING"));
    EXPECT_TRUE(PumpUntil([&] { return client.Replies() == std::vector<std::string>{"OK"}; }));
    form->Clients().Powiadom(clients::Notice, "!ST&201&\r\n", "1", logged->Gniazdo, logged->IP);
    EXPECT_TRUE(PumpUntil([&] { return client.Notices().size() == 1 && owed() >= 0; }));
    EXPECT_FALSE(flooder.Closed());
    EXPECT_LE(mostOwed, clients::ClientService::UnsentLimit);

    mainLogText();
    clock.advance((clients::ClientService::StalledOutputSeconds + 1) * 1000);
    EXPECT_TRUE(PumpUntil([&] { return flooder.Closed(); }));
    EXPECT_LE(mostOwed, clients::ClientService::UnsentLimit);
    EXPECT_NE(mainLogText().find("nie odbiera danych"), std::string::npos);
    EXPECT_TRUE(client.IsConnected());
}

TEST_F(IdleHousekeeping, ConnectionsWithoutALogInAreBoundedAndClosedAfter45SilentSeconds) {
    // Both ends of a thousand connections live in this process: an ordinary
    // user's session starts with a soft limit of 1024 descriptors.
    const auto limit = testing_support::DescriptorLimit::AtLeast(4096);
    if (!limit.ok())
        GTEST_SKIP() << "needs 4096 descriptors";
    sim::ClientSimulator talking;
    logIn(talking, "1");
    auto withoutLogIn = [] {
        int count = 0;
        for (Klient* k = KlientList; k; k = k->Nastepny)
            count += k->Socket && !k->Zalogowany && k->Stan != Klient::DISCONNECT;
        return count;
    };
    auto anyUnread = [] {
        for (Klient* k = KlientList; k; k = k->Nastepny)
            if (k->Stan == Klient::INIT)
                return true;
        return false;
    };
    std::vector<int> idle;
    std::atomic<bool> opened{false};
    std::thread opener([&] {
        idle = sim::OpenConnections(port, 1000, "!PING\r");
        opened = true;
    });
    const bool allOpened = PumpUntil([&] { return opened.load(); }, 300'000);
    opener.join();
    ASSERT_TRUE(allOpened);
    EXPECT_EQ(idle.size(), 1000u);
    ASSERT_TRUE(PumpUntil([&] { return withoutLogIn() > 0 && !anyUnread(); }));
    EXPECT_LE(withoutLogIn(), clients::ClientService::UnloggedConnectionLimit);
    EXPECT_EQ(Occurrences(mainLogText(), "za dużo połączeń bez zalogowania"), 1u);
    ASSERT_TRUE(talking.SendRequest("PING"));
    EXPECT_EQ(waitReplies(talking, 1), std::vector<std::string>{"OK"});

    // 46 s on: every connection without a log-in is closed, the client stays.
    clock.advance(46'000);
    EXPECT_TRUE(PumpUntil([&] { return withoutLogIn() == 0; }));
    talking.ClearReceived();
    ASSERT_TRUE(talking.SendRequest("PING"));
    EXPECT_EQ(waitReplies(talking, 1), std::vector<std::string>{"OK"});
    sim::CloseConnections(idle);
}

// Slow peers from addresses of their own, as many machines would be: each
// sends half a log-in and then pings. A real client still gets in, the
// oldest of them making room, and none lasts 45 s from its accept.
TEST_F(IdleHousekeeping, SlowConnectionsWithoutALogInGiveWayToARealClientAndEndAfter45Seconds) {
    const int slowCount = clients::ClientService::UnloggedConnectionLimit + 44;
    std::vector<int> slow;
    for (int i = 0; i < slowCount; ++i) {
        const std::string address = sim::LoopbackAddress(i);
        const int fd = sim::ConnectFrom(address, port);
        ASSERT_GE(fd, 0) << address;
        slow.push_back(fd);
        ASSERT_EQ(::send(fd, "!KL&2.04.00.00&", 15, MSG_NOSIGNAL), 15);
        // Taken in, or turned away.
        ASSERT_TRUE(PumpUntil([&] { return Klient::Find(address, 0, nullptr) || sim::ClosedByPeer(fd); }));
    }
    auto closed = [&](int from, int to) {
        for (int i = from; i < to; ++i)
            if (!sim::ClosedByPeer(slow[std::size_t(i)]))
                return false;
        return true;
    };
    auto pingAll = [&] {
        for (int fd : slow)
            (void)::send(fd, "!PING\r", 6, MSG_NOSIGNAL);
    };
    pingAll();

    sim::ClientSimulator client;
    ASSERT_TRUE(client.Connect(port));
    ASSERT_TRUE(client.LogIn("1", "secret"));
    ASSERT_TRUE(PumpUntil([&] {
        const auto notices = client.Notices();
        return std::any_of(notices.begin(), notices.end(), [](auto& m) { return m.starts_with("!LP&"); });
    }));
    // The oldest made room, the newest are still there.
    const int made = slowCount - clients::ClientService::UnloggedConnectionLimit + 1;
    EXPECT_TRUE(PumpUntil([&] { return closed(0, made); }));
    EXPECT_FALSE(std::any_of(slow.begin() + made, slow.end(), [](int fd) { return sim::ClosedByPeer(fd); }));
    EXPECT_NE(mainLogText().find("za dużo połączeń bez zalogowania, zamknięto najstarsze"),
              std::string::npos);

    // Pinging does not keep them: 45 s from their accept they are closed.
    clock.advance(30'000);
    pingAll();
    ASSERT_TRUE(PumpUntil([&] {
        for (Klient* k = KlientList; k; k = k->Nastepny)
            if (!k->Zalogowany && k->Socket && k->Stan != Klient::DISCONNECT &&
                k->CzasOdbioru < clock.dateTime().toSecsSinceEpoch())
                return false;
        return true;
    }));
    clock.advance(16'000);
    EXPECT_TRUE(PumpUntil([&] { return closed(made, slowCount); }));
    EXPECT_NE(mainLogText().find("nie zalogował się w ciągu 45 s od połączenia"), std::string::npos);
    EXPECT_TRUE(client.IsConnected());
    EXPECT_NE(Klient::ZnajdzPoIDFB("1"), nullptr);
    sim::CloseConnections(slow);
}

TEST_F(IdleHousekeeping, AClientThatClosesItsEndIsLoggedAsAClose) {
    form->chbLogKlienci->setChecked(true);
    form->UstawDiagnostyke();
    sim::ClientSimulator client;
    logIn(client, "1");
    const std::uint32_t connection = Klient::ZnajdzPoIDFB("1")->Gniazdo;
    mainLogText();
    client.Disconnect();
    const std::string closed = "klient 127.0.0.1 rozłączył się, socket=" + std::to_string(connection);
    EXPECT_TRUE(PumpUntil([&] { return mainLogText().find(closed) != std::string::npos; }));
    EXPECT_EQ(logSoFar.find("Socket Error"), std::string::npos) << logSoFar;
}

// Nothing of the clients' waits for a timer: with the window's idle timers
// stopped, a notice queued behind an unanswered one goes as soon as the
// client answers, and the record of a client that closed its end goes.
TEST_F(IdleHousekeeping, QueuedNoticesAndClosedClientsAreServedWithoutTheIdleTimers) {
    for (ui::TTimer* timer : {form->TimerUpdateInfo, form->TimerUpdateKolejka, form->tmrZamowienia})
        timer->SetEnabled(false);
    sim::ClientSimulator client;
    logIn(client, "1");
    client.ClearReceived();
    client.AckNextWith(sim::ClientSimulator::Ack::None);
    const Klient* record = Klient::ZnajdzPoIDFB("1");
    ASSERT_NE(record, nullptr);
    form->Clients().Powiadom(clients::Notice, "!ST&201&\r\n", "1", record->Gniazdo, record->IP);
    form->Clients().Powiadom(clients::Notice, "!ST&202&\r\n", "1", record->Gniazdo, record->IP);
    ASSERT_TRUE(PumpUntil([&] { return client.Notices().size() == 1; }));
    EXPECT_EQ(form->Clients().ile_w_kolejce(), 1u);
    ASSERT_TRUE(client.Send("OK"));
    EXPECT_TRUE(PumpUntil([&] { return client.Notices().size() == 2; }));
    EXPECT_EQ(client.Notices().back(), "!ST&202&\r\n");

    client.Disconnect();
    EXPECT_TRUE(PumpUntil([&] { return Klient::ZnajdzPoIDFB("1") == nullptr; }));
}

TEST_F(IdleHousekeeping, EveryHundredthTickTellsTheClientsWhetherTheExchangeCanBeReached) {
    sim::ClientSimulator client;
    ASSERT_TRUE(client.ListenUdp(udpPort));
    form->tmrZamowienia->setInterval(1);
    form->tmrZamowienia->SetEnabled(true);

    // No link, and the setting says to tell: "1".
    form->Pbx().PbxLinkErrorCount = 999;
    form->Settings.PowiadORozlacz = true;
    ASSERT_TRUE(idleCallsReach(100));
    EXPECT_TRUE(heard(client, "!SR&1\r\n"));
    // No link, and the setting says not to: "0".
    form->Settings.PowiadORozlacz = false;
    ASSERT_TRUE(idleCallsReach(200));
    EXPECT_TRUE(heard(client, "!SR&0\r\n"));
    // The link up: "0" whatever the setting.
    form->Pbx().PbxLinkErrorCount = 0;
    form->Settings.PowiadORozlacz = true;
    ASSERT_TRUE(idleCallsReach(300));
    EXPECT_TRUE(PumpUntil([&] { return count(client, "!SR&0\r\n") == 2; }));
    EXPECT_EQ(count(client, "!SR&1\r\n"), 1u);
}

} // namespace
} // namespace clienttest
