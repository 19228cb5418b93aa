// The fixture of the client service's handlers' tests: the handlers called
// on the client service of the main window, a real embedded database holding
// the users, and clients on real sockets.
#pragma once

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

namespace clientlogintest {

using testing_support::ClientServiceTestBed;
using testing_support::TestClient;
using testing_support::TestUser;

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

} // namespace clientlogintest
