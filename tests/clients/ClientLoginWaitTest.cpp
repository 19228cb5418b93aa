// Log-ins that wait for the database: they hold no other client, leave the
// event loop free, and a flood of wrong passwords leaves a real log-in its
// read.
#include "ClientLoginFixture.h"

namespace {

using namespace clientlogintest;

// A desk on a connection of its own from a loopback address of its own, to
// the service's port; what it is sent is read without waiting.
class Desk {
  public:
    Desk(const std::string& address, int port) : fd_(sim::ConnectFrom(address, port)) {}
    ~Desk() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Desk(const Desk&) = delete;
    Desk& operator=(const Desk&) = delete;

    bool connected() const { return fd_ >= 0; }
    void send(const std::string& bytes) { (void)::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
    const std::string& received() {
        char buffer[4096];
        for (ssize_t got; (got = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;)
            received_.append(buffer, std::size_t(got));
        return received_;
    }

  private:
    int fd_;
    std::string received_;
};

// Desks that log in with a wrong password, each again as soon as it has
// been refused, each from an address of its own or all from 127.0.0.1,
// until destroyed.
class WrongPasswordFlood {
  public:
    struct Desk {
        std::string address;
        std::string login;
    };
    WrongPasswordFlood(std::vector<Desk> desks, int port) {
        for (Desk& desk : desks)
            threads_.emplace_back([this, desk, port] { loop(desk, port); });
    }
    ~WrongPasswordFlood() {
        stop_ = true;
        for (std::thread& thread : threads_)
            thread.join();
    }
    WrongPasswordFlood(const WrongPasswordFlood&) = delete;
    WrongPasswordFlood& operator=(const WrongPasswordFlood&) = delete;

    long refusals() const { return refusals_.load(); }

  private:
    void loop(const Desk& desk, int port) {
        const std::string request = platform::toWire("!KL&2.04.00.00&" + desk.login + "&wrong\r");
        while (!stop_) {
            const int fd = sim::ConnectFrom(desk.address, port);
            if (fd < 0)
                return;
            (void)::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
            std::string got;
            while (!stop_ && got.find("ERROR") == std::string::npos) {
                pollfd readable{fd, POLLIN, 0};
                if (::poll(&readable, 1, 50) != 1)
                    continue;
                char buffer[512];
                const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
                if (n <= 0)
                    break;
                got.append(buffer, std::size_t(n));
            }
            if (got.find("ERROR 5") != std::string::npos)
                ++refusals_;
            ::close(fd);
        }
    }

    std::atomic<bool> stop_{false};
    std::atomic<long> refusals_{0};
    std::vector<std::thread> threads_;
};

// The database stops answering (a relay passes nothing, without a reset)
// while two log-ins wait for it to confirm their passwords, the list's being
// older: another client is served meanwhile. Once the database answers, the
// wrong password is refused and the one changed in the database logs in.
TEST_F(ClientServiceHandlers, LogInsWaitingForTheDatabaseHoldNoOtherClient) {
    testfb::PrivateServer server;
    ASSERT_NO_FATAL_FAILURE(usersOnServer(server, "held.fdb"));
    ASSERT_NO_FATAL_FAILURE(changeEwasPasswordInTheDatabase());
    testing_support::SlowTcpProxy relay(std::stoi(c.host.substr(c.host.find('/') + 1)),
                                        std::chrono::milliseconds(0));
    ASSERT_NE(relay.port(), 0);
    testfb::DetachMain();
    form->Settings.IPFBaseText = "127.0.0.1/" + std::to_string(relay.port());
    { SessionDB attach(form->Settings.IPFBaseText, c.path, c.user, c.password, &MainDbHandle, false); }
    ASSERT_TRUE(MainDbHandleExists());
    form->chbLogKlienci->setChecked(true);
    form->UstawDiagnostyke();
    service().ReadPasswordsOffLoop(true);

    TestClient& wrong = connectClient();
    TestClient& renewed = connectClient();
    TestClient& other = connectClient();
    const auto waiting = [](const std::string& address, std::uint32_t connection) {
        const Klient* record = Klient::Find(address, connection, nullptr);
        return record && record->Zalogowany == 0;
    };
    const std::string address = wrong.record->IP;
    const std::uint32_t wrongConnection = wrong.record->Gniazdo, renewedConnection = renewed.record->Gniazdo;
    mainLogText();
    relay.hold(true);
    wrong.peer->write("!KL&2.04.00.00&ewa&wrong\r");
    renewed.peer->write(platform::toWire("!KL&2.04.00.00&ewa&" + changed + "\r").c_str());
    ASSERT_TRUE(clienttest::PumpUntil([this] {
        return clienttest::Occurrences(mainLogText(), "Rejestr. klienta o IP 127.0.0.1 2.04.00.00&ewa&***") ==
               2;
    })) << mainLogText();
    other.peer->write("!PING\r");
    EXPECT_TRUE(waitFor(other, "OK"));
    EXPECT_TRUE(waiting(address, wrongConnection)) << "answered before the database did";
    EXPECT_TRUE(waiting(address, renewedConnection)) << "answered before the database did";

    relay.hold(false);
    EXPECT_TRUE(waitFor(wrong, "ERROR 5\r"));
    EXPECT_TRUE(waitFor(renewed, "!LP&"));
    EXPECT_EQ(form->UserLV->topLevelItem(0)->text(clients::UserColumnPassword).toStdString(), changed);
    const std::string log = mainLogText();
    EXPECT_EQ(clienttest::Occurrences(log, "Rejestr. klienta o IP"), 2u) << log;
    EXPECT_NE(log.find("Błędne hasło użytkownika z adresu 127.0.0.1, login ewa"), std::string::npos) << log;
    EXPECT_EQ(log.find("Brak połączenia z bazą danych przy sprawdzaniu hasła"), std::string::npos) << log;

    // A read without an answer within the bound: refused for now, as when
    // the database is away.
    db::SetCallBound(std::chrono::milliseconds(1000));
    relay.hold(true);
    TestClient& late = connectClient();
    late.peer->write("!KL&2.04.00.00&ewa&late\r");
    EXPECT_TRUE(waitFor(late, "ERROR 5\r"));
    EXPECT_NE(
        mainLogText().find(
            "Brak połączenia z bazą danych przy sprawdzaniu hasła użytkownika z adresu 127.0.0.1, login ewa"),
        std::string::npos);
    db::SetCallBound(db::DefaultCallBound);
    relay.hold(false);
    testfb::DetachMain();
}

// The database's address takes connections and never answers (a network
// hole that resets nothing) while desks with wrong passwords take every
// read: the reads' attaches end by themselves, so that once the database is
// reachable again a log-in that needs a read gets it.
TEST_F(ClientServiceHandlers, PasswordReadsWhoseAttachGetsNoAnswerLeaveTheirPlaces) {
    testfb::PrivateServer server;
    auto relay = readsThroughRelay(server, "silent.fdb", std::chrono::milliseconds(0),
                                   clients::PasswordReadsAtOnce - 1);
    ASSERT_FALSE(HasFatalFailure());
    testing_support::SilentServer silent;
    ASSERT_NE(silent.port(), 0);
    const std::string reachable = form->Settings.IPFBaseText;
    form->Settings.IPFBaseText = "127.0.0.1/" + std::to_string(silent.port());
    db::SetCallBound(std::chrono::milliseconds(2000));

    std::vector<TestClient*> wrong;
    std::vector<std::string> logins{"ewa"};
    for (const TestUser& user : more_)
        logins.push_back(user.login);
    for (const std::string& login : logins) {
        wrong.push_back(&connectClient());
        wrong.back()->peer->write(request(login, "wrong").c_str());
    }
    for (TestClient* desk : wrong)
        EXPECT_TRUE(waitFor(*desk, "ERROR 5\r"));

    form->Settings.IPFBaseText = reachable;
    EXPECT_TRUE(clients::WaitForPasswordReads(std::chrono::steady_clock::now() + std::chrono::seconds(30)))
        << "a read is still in its attach";
    TestClient& renewed = connectClient();
    renewed.peer->write(request("ewa", changed).c_str());
    EXPECT_TRUE(waitFor(renewed, "!LP&"));
    db::SetCallBound(db::DefaultCallBound);
    testfb::DetachMain();
}

// Without the main connection, with the database held, a log-in whose
// password only the database knows: another desk is served while its read
// waits, and the read gets its answer once the database answers.
TEST_F(ClientServiceHandlers, ALogInWhoseReadMustAttachLeavesTheEventLoopFree) {
    testfb::PrivateServer server;
    auto relay = readsThroughRelay(server, "detached.fdb", std::chrono::milliseconds(0));
    ASSERT_FALSE(HasFatalFailure());
    testfb::DetachMain();
    TestClient& renewed = connectClient();
    TestClient& other = connectClient();
    const std::string address = renewed.record->IP;
    const std::uint32_t connection = renewed.record->Gniazdo;
    mainLogText();
    relay->hold(true);
    testing_support::ReleaseLater release(*relay);
    renewed.peer->write(request("ewa", changed).c_str());
    ASSERT_TRUE(clienttest::PumpUntil([this] {
        return mainLogText().find("Rejestr. klienta o IP 127.0.0.1 2.04.00.00&ewa&***") != std::string::npos;
    })) << mainLogText();
    other.peer->write("!PING\r");
    EXPECT_TRUE(waitFor(other, "OK"));
    const Klient* waiting = Klient::Find(address, connection, nullptr);
    EXPECT_TRUE(waiting && waiting->Zalogowany == 0) << "answered before the database did";

    relay->hold(false);
    EXPECT_TRUE(waitFor(renewed, "!LP&"));
}

// New connections keep coming while a log-in waits for its password read:
// the one closed to make room is never the desk logging in.
TEST_F(ClientServiceHandlers, ALogInWaitingForItsReadIsNotClosedForNewConnections) {
    testfb::PrivateServer server;
    auto relay = readsThroughRelay(server, "crowded.fdb", std::chrono::milliseconds(0));
    ASSERT_FALSE(HasFatalFailure());
    const int port = form->Settings.PortTCP;
    relay->hold(true);
    testing_support::ReleaseLater release(*relay);
    sim::ClientSimulator desk;
    ASSERT_TRUE(desk.Connect(port));
    ASSERT_TRUE(desk.LogIn("ewa", changed));
    ASSERT_TRUE(clienttest::PumpUntil([this] {
        return mainLogText().find("Rejestr. klienta o IP 127.0.0.1 2.04.00.00&ewa&***") != std::string::npos;
    })) << mainLogText();
    // The table full with the desk and the crowd, a few at a time, each
    // taken before the next (the listening queue is short); then one more.
    std::vector<int> crowd;
    const int room = clients::ClientService::UnloggedConnectionLimit - 1;
    while (int(crowd.size()) < room) {
        const int taken = IloscKlientow;
        const int count = std::min(16, room - int(crowd.size()));
        std::vector<int> more = sim::OpenConnections(port, count);
        crowd.insert(crowd.end(), more.begin(), more.end());
        ASSERT_TRUE(clienttest::PumpUntil([taken, count] { return IloscKlientow >= taken + count; }));
    }
    std::vector<int> last = sim::OpenConnections(port, 1);
    crowd.insert(crowd.end(), last.begin(), last.end());
    ASSERT_TRUE(clienttest::PumpUntil(
        [this] { return mainLogText().find("za dużo połączeń bez zalogowania") != std::string::npos; }));

    relay->hold(false);
    EXPECT_TRUE(clienttest::PumpUntil([&desk] {
        for (const std::string& message : desk.Messages())
            if (message.starts_with("!LP&"))
                return true;
        return false;
    })) << "connected: "
        << desk.IsConnected();
    sim::CloseConnections(crowd);
}

// The database a little away, and many desks logging in with wrong
// passwords in a loop: a desk whose password was changed in the database
// still gets its read, and its reply, in time. Once with the flood asking
// for one log-in from many addresses, once asking for many log-ins from one.
TEST_F(ClientServiceHandlers, WrongPasswordsInALoopLeaveARealLogInItsRead) {
    testfb::PrivateServer server;
    constexpr int Flooders = 40;
    auto relay = readsThroughRelay(server, "flood.fdb", std::chrono::milliseconds(100), Flooders);
    ASSERT_FALSE(HasFatalFailure());
    const int port = form->Settings.PortTCP;

    const auto realLogInAnswered = [&](std::vector<WrongPasswordFlood::Desk> flooders, int real) {
        WrongPasswordFlood flood(std::move(flooders), port);
        const std::size_t before = clienttest::Occurrences(mainLogText(), "Rejestr. klienta");
        // Every flooder's first log-in waits for a read.
        EXPECT_TRUE(clienttest::PumpUntil(
            [&] { return clienttest::Occurrences(mainLogText(), "Rejestr. klienta") >= before + Flooders; }));
        // The list holds Ewa's old password again.
        for (int i = 0; i < form->UserLV->topLevelItemCount(); ++i)
            if (form->UserLV->topLevelItem(i)->text(clients::UserColumnLogin).toStdString() == "ewa")
                form->UserLV->topLevelItem(i)->setText(clients::UserColumnPassword,
                                                       QString::fromStdString(ewa.password));
        Desk desk(sim::LoopbackAddress(real), port);
        EXPECT_TRUE(desk.connected());
        desk.send(request("ewa", changed));
        EXPECT_TRUE(clienttest::PumpUntil([&] {
            return desk.received().find("!LP&") != std::string::npos ||
                   desk.received().find("ERROR") != std::string::npos;
        }));
        // The flood is answered too.
        EXPECT_TRUE(clienttest::PumpUntil([&flood] { return flood.refusals() > 0; }));
        return desk.received().find("!LP&") != std::string::npos;
    };

    std::vector<WrongPasswordFlood::Desk> oneLogIn;
    for (int i = 0; i < Flooders; ++i)
        oneLogIn.push_back({sim::LoopbackAddress(i), "ewa"});
    EXPECT_TRUE(realLogInAnswered(oneLogIn, Flooders)) << "one log-in from many addresses";

    std::vector<WrongPasswordFlood::Desk> oneAddress;
    for (int i = 0; i < Flooders; ++i)
        oneAddress.push_back({"127.0.0.1", more_[std::size_t(i)].login});
    EXPECT_TRUE(realLogInAnswered(oneAddress, Flooders + 1)) << "many log-ins from one address";
    testfb::DetachMain();
}

} // namespace
