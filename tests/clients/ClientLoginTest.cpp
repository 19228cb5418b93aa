// Log-in with the handlers called on the client service of the main window,
// a real embedded database holding the users, and clients on real sockets:
// its answers, its refusals, and the database's server started again.
#include "ClientLoginFixture.h"

namespace {

using namespace clientlogintest;

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

} // namespace
