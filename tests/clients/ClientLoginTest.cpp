// Log-in, text messages, descriptions, the lock request and presence, with
// the handlers called on the client service of the main window, a real
// embedded database holding the users, and clients on real sockets.
#include "ClientServiceSupport.h"
#include "admin/Console.h"
#include "base/PasswordCodec.h"
#include "clients/PasswordReads.h"
#include "db/CallWatchdog.h"
#include "pbx/PbxLink.h"
#include "platform/Clock.h"
#include "platform/WireCodePage.h"
#include "support/ClientServiceTestBed.h"
#include "support/PrivateFirebirdServer.h"
#include "support/SlowTcpProxy.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <atomic>
#include <chrono>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using testing_support::ClientServiceTestBed;
using testing_support::TestClient;
using testing_support::TestUser;

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

class ClientServiceHandlers : public ClientServiceTestBed {
  protected:
    void SetUp() override {
        ClientServiceTestBed::SetUp();
        if (HasFatalFailure())
            return;
        addUser(anna);
        addUser(jan);
        loadUsersFromDatabase();
    }

    // A client logged in as the user; the log-in reply has arrived.
    TestClient& loggedIn(const TestUser& user) {
        TestClient& client = connectClient();
        int code = -1;
        EXPECT_NE(logIn(client, "2.04.00.00", user.login, user.password, code), nullptr);
        EXPECT_EQ(code, 0);
        EXPECT_TRUE(waitFor(client, "!LP&"));
        // Without the SMS service, the notice that comes behind the reply.
        EXPECT_TRUE(waitFor(client, "!GSM&DIS\r\n"));
        // Its acknowledgement has been read by the service.
        QDeadlineTimer deadline(10000);
        while (client.record->HasOstatniaWyslana && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        EXPECT_FALSE(client.record->HasOstatniaWyslana);
        client.received.clear();
        client.acknowledged = 0;
        return client;
    }

    // The users' database on a server of the test's own, with the user ewa
    // loaded, for the tests that stop that server.
    void usersOnServer(testfb::PrivateServer& server, const std::string& file) {
        ASSERT_NO_FATAL_FAILURE(databaseOnOwnServer(server, file));
        form->Settings.IPFBaseText = c.host;
        form->Settings.NameFBText = c.path;
        form->Settings.PasswordFB = c.password;
        addUser(ewa);
        form->Admin().LoadUsers();
        ASSERT_EQ(form->UserLV->Tag(), 2);
    }

    // Ewa's password changed in the database only, the log-ins' reads going
    // through a relay to it (the main connection stays where it is), held
    // off the event loop, and the log-ins written to the log.
    // With `more` users besides, "user0" and on, listed with the password
    // "listed".
    std::unique_ptr<testing_support::SlowTcpProxy> readsThroughRelay(testfb::PrivateServer& server,
                                                                     const std::string& file,
                                                                     std::chrono::milliseconds delay,
                                                                     int more = 0) {
        usersOnServer(server, file);
        for (int i = 0; i < more; ++i) {
            more_.push_back({"Jan", "Nowak" + std::to_string(i), "user" + std::to_string(i), "listed"});
            addUser(more_.back());
        }
        form->Admin().LoadUsers();
        changeEwasPasswordInTheDatabase();
        auto relay = std::make_unique<testing_support::SlowTcpProxy>(
            std::stoi(c.host.substr(c.host.find('/') + 1)), delay);
        EXPECT_NE(relay->port(), 0);
        form->Settings.IPFBaseText = "127.0.0.1/" + std::to_string(relay->port());
        form->chbLogKlienci->setChecked(true);
        form->UstawDiagnostyke();
        service().ReadPasswordsOffLoop(true);
        return relay;
    }

    std::string request(const std::string& login, const std::string& password) {
        return platform::toWire("!KL&2.04.00.00&" + login + "&" + password + "\r");
    }

    // Behind the list's back.
    void changeEwasPasswordInTheDatabase() {
        bool updated = false;
        testfb::Isql(
            c, "UPDATE CTIUSERS SET SUSERPASSWORD = '" + changed + "' WHERE SUSERLOGIN = 'ewa';\nCOMMIT;\n",
            &updated);
        ASSERT_TRUE(updated);
    }

    const std::string changed = "a87ff679a2f3e71d9181a67b7542122c";
    TestUser ewa{"Ewa", "Lis", "ewa", "eccbc87e4b5ce2fe28308fd9f2a7baf3"};
    std::vector<TestUser> more_;
    TestUser anna{"Anna", "Nowak", "anna", "0cc175b9c0f1b6a831c399e269772661"};
    TestUser jan{"Jan", "Kowalski", "jan", "92eb5ffee6ae2fec3ad71c777531578f"};
};

TEST_F(ClientServiceHandlers, LogInRepliesWithTheEncipheredConnectionData) {
    TestClient& kl = connectClient();
    int code = -1;
    const char* request = nullptr;
    {
        static std::string text;
        text = "2.04.00.00&anna&" + anna.password + "\r\n!PING\r\n";
        CurrentKlient = kl.record;
        request = text.c_str();
        const char* next = registerClient(request, kl.record->IP, false, code, kl.record->Gniazdo);
        ASSERT_NE(next, nullptr);
        EXPECT_EQ(code, 0);
        EXPECT_STREQ(next, "!PING\r\n"); // past the CR and its LF
    }
    const std::string id = std::to_string(anna.id);
    const std::string port = std::to_string(form->Settings.PortUDP);
    const std::string tail = "&" + c.path + "&&" + id + "&127.0.0.1&" + port + "&1&0&0&\r\n";
    ASSERT_TRUE(waitFor(kl, tail));
    const std::string user64 = AesEncryptToHexWire("SYSDBA", FixedKeyText);
    const std::string password64 = AesEncryptToHexWire("masterkey", FixedKeyText);
    EXPECT_EQ(kl.received.substr(0, kl.received.find(tail) + tail.size()),
              "!LP&" + user64 + "&" + password64 + tail);
    EXPECT_EQ(AesDecryptFromHexWire(user64, FixedKeyText), "SYSDBA");
    EXPECT_EQ(kl.record->IDFB, id);
    EXPECT_EQ(kl.record->Nazwa, "Nowak Anna");
    EXPECT_EQ(kl.record->Zalogowany, 1);
    EXPECT_EQ(kl.record->Wersja[1], 4u);
    EXPECT_EQ(service().PendingLogins, 1);
    // Without the SMS service the client hides its GSM lines.
    EXPECT_TRUE(waitFor(kl, "!GSM&DIS\r\n"));
    // The arrival broadcast carries no connected bit, only the attendance
    // of the user's slot (none yet).
    EXPECT_TRUE(waitForDatagram("!UP&" + id + "&127.0.0.1&0\r\n"));

    // A KLA client: the 16-byte cipher, 64 characters, otherwise the same.
    TestClient& kla = connectClient();
    ASSERT_NE(logIn(kla, "2.04.00.00", "jan", jan.password, code, true), nullptr);
    const std::string janTail =
        "&" + c.path + "&&" + std::to_string(jan.id) + "&127.0.0.1&" + port + "&1&0&0&\r\n";
    ASSERT_TRUE(waitFor(kla, janTail));
    const std::string user16 = AesEncryptToHex16Wire("SYSDBA", FixedKeyText);
    EXPECT_EQ(user16.size(), 64u);
    EXPECT_EQ(kla.received.substr(0, kla.received.find(janTail) + janTail.size()),
              "!LP&" + user16 + "&" + AesEncryptToHex16Wire("masterkey", FixedKeyText) + janTail);
    // The first client's acknowledgement of its reply counted its log-in off.
    EXPECT_EQ(service().PendingLogins, 1);
}

TEST_F(ClientServiceHandlers, RefusedLogInsGetTheirCodes) {
    TestClient& client = connectClient();
    struct Case {
        std::string version, login, password;
        int code;
    };
    const std::string pw = anna.password;
    const std::vector<Case> cases = {
        {"2.00.01", "anna", pw, 2},
        {"3.0.0.0", "anna", pw, 2},
        {"2.0.22.0", "anna", pw, 2},
        {"2.00.02.000", "anna", pw, 1}, // 11 characters
        {"2.04.00.00", std::string(33, 'a'), pw, 1},
        {"2.04.00.00", std::string(32, 'a'), pw, 4},
        {"2.04.00.00", "anna", std::string(65, 'x'), 1},
        {"2.04.00.00", "anna", std::string(64, 'x'), 5},
        {"2.04.00.00", "anna", "wrong", 5},
        // Another user's password does not make an unknown log-in known.
        {"2.04.00.00", "nobody", jan.password, 4},
    };
    for (const Case& c : cases) {
        int code = -1;
        EXPECT_EQ(logIn(client, c.version, c.login, c.password, code), nullptr)
            << c.version << " " << c.login;
        EXPECT_EQ(code, c.code) << c.version << " " << c.login << " " << c.password;
        EXPECT_EQ(client.record->Zalogowany, 0);
    }
    EXPECT_EQ(client.record->IDFB, form->Text("IDS_145"));
    EXPECT_EQ(client.record->Nazwa, "L: nobody");

    int code = -1;
    EXPECT_EQ(
        registerClient("2.04.00.00&anna&no line end", client.record->IP, false, code, client.record->Gniazdo),
        nullptr);
    EXPECT_EQ(code, 1);
    EXPECT_NE(logIn(client, "2.00.02", "anna", pw, code), nullptr);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(service().PendingLogins, 1);
}

TEST_F(ClientServiceHandlers, PasswordChangedInTheDatabaseOnlyIsAcceptedAndRefreshesTheList) {
    const std::string changed = "c4ca4238a0b923820dcc509a6f75849b";
    SessionDB session(c.host, c.path, c.user, c.password, &MainDbHandle, false);
    ASSERT_EQ(
        session.ExecuteSQL("UPDATE CTIUSERS SET SUSERPASSWORD = '" + changed + "' WHERE SUSERLOGIN = 'anna'"),
        0);
    TestClient& client = connectClient();
    int code = -1;
    ASSERT_NE(logIn(client, "2.04.00.00", "anna", changed, code), nullptr);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(form->UserLV->topLevelItem(0)->text(4).toStdString(), changed);
    // The old password is no longer the database's.
    TestClient& second = connectClient();
    EXPECT_EQ(logIn(second, "2.04.00.00", "jan", "stale", code), nullptr);
    EXPECT_EQ(code, 5);
}

TEST_F(ClientServiceHandlers, TheLogInReachesTheDatabaseOnlyQuoted) {
    // A list row whose log-in carries a quote: pasted unquoted, the fallback
    // query would find Jan's row and accept his password.
    const std::string sly = "x' OR SUSERLOGIN = 'jan";
    form->UserLV->AddRow({"77", "Sly", "Sam", QString::fromStdString(sly), "other", "", "", "", ""});
    TestClient& client = connectClient();
    int code = -1;
    EXPECT_EQ(logIn(client, "2.04.00.00", sly, jan.password, code), nullptr);
    EXPECT_EQ(code, 5);
    EXPECT_EQ(client.record->Zalogowany, 0);
}

TEST_F(ClientServiceHandlers, UnreachableDatabaseRefusesWithCode5) {
    testfb::DetachMain();
    form->Settings.NameFBText = folder.file("missing.fdb");
    TestClient& client = connectClient();
    int code = -1;
    EXPECT_EQ(logIn(client, "2.04.00.00", "anna", "not the listed one", code), nullptr);
    EXPECT_EQ(code, 5);
    EXPECT_EQ(client.record->Zalogowany, 0);
    client.peer->waitForReadyRead(50);
    EXPECT_EQ(client.peer->readAll().toStdString().find("!LP"), std::string::npos);
}

// The users' database on a server of the test's own that goes away while a
// user list load meets its dead connection, and comes back.
TEST_F(ClientServiceHandlers, AfterTheDatabaseServerRestartsAChangedPasswordLogsInAtTheFirstAttempt) {
    testfb::PrivateServer server;
    ASSERT_NO_FATAL_FAILURE(usersOnServer(server, "users.fdb"));

    platform::ManualClock clock;
    platform::setProcessClock(&clock);
    server.kill();
    form->Admin().LoadUsers();
    int code = -1;
    // Away: not an unknown log-in, the database cannot tell.
    EXPECT_EQ(logIn(connectClient(), "2.04.00.00", "ewa", changed, code), nullptr);
    EXPECT_EQ(code, 5);
    // The next log-in within a few seconds is refused without an attach.
    const std::size_t logBefore = mainLogText().size();
    EXPECT_EQ(logIn(connectClient(), "2.04.00.00", "ewa", changed, code), nullptr);
    EXPECT_EQ(code, 5);
    const std::string log = mainLogText();
    EXPECT_EQ(log.find("Failed to establish a connection", logBefore), std::string::npos)
        << log.substr(logBefore);

    ASSERT_TRUE(server.start()) << server.error();
    // Log-ins attach by themselves only every few seconds while it is away.
    clock.advance(60000);
    ASSERT_NO_FATAL_FAILURE(changeEwasPasswordInTheDatabase());
    TestClient& client = connectClient();
    EXPECT_NE(logIn(client, "2.04.00.00", "ewa", changed, code), nullptr);
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(waitFor(client, "!LP&"));
    platform::setProcessClock(nullptr);
    testfb::DetachMain();
}

// The server restarts with nothing read in between: the log-in's password
// check meets the dead connection, attaches once at once and reads again.
TEST_F(ClientServiceHandlers, TheFirstLogInAfterAServerRestartReadsThePasswordAtOnce) {
    testfb::PrivateServer server;
    ASSERT_NO_FATAL_FAILURE(usersOnServer(server, "restart.fdb"));
    ASSERT_TRUE(MainDbHandleExists());

    server.kill();
    ASSERT_TRUE(server.start()) << server.error();
    ASSERT_NO_FATAL_FAILURE(changeEwasPasswordInTheDatabase());
    int code = -1;
    TestClient& client = connectClient();
    EXPECT_NE(logIn(client, "2.04.00.00", "ewa", changed, code), nullptr);
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(waitFor(client, "!LP&"));
    testfb::DetachMain();
}

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
