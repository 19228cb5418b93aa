// The main window in-process with a real embedded database holding users,
// and clients connected over real sockets on 127.0.0.1, for calling the
// client service's handlers directly.
#pragma once

#include "support/FirebirdFixtures.h"
#include "support/MainFormFixture.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QUdpSocket>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace sim {
class ExchangeSimulator;
}
namespace testfb {
class PrivateServer;
}

namespace testing_support {

struct TestUser {
    std::string firstName, lastName, login, password;
    int id = 0; // filled by the database
};

// One connected client: our end and the record the server keeps for it.
struct TestClient {
    std::unique_ptr<QTcpSocket> peer;
    QTcpSocket* serverSide = nullptr;
    Klient* record = nullptr;
    std::string received;         // bytes read so far (wire code page)
    std::size_t acknowledged = 0; // how far `received` has been acknowledged
    bool acknowledges = true;     // false: a client that stays silent
};

class ClientServiceTestBed : public MainFormFixture {
  protected:
    void SetUp() override;
    void TearDown() override;

    // The program stops (its clients gone, its connection detached) and starts
    // again on the same database, attaching it and loading its lists as its
    // start-up timer does.
    void restartForm();
    // Stores the user in the database; returns its id.
    int addUser(TestUser& user);
    // Fills the console's user list and the presence table from the database
    // the way the user loader does.
    void loadUsersFromDatabase();
    // Connects a new client and gives it a record (and a console row).
    TestClient& connectClient();
    // Reads until `needle` arrived (or a generous deadline passed),
    // acknowledging each whole notice with "OK" as a real client does.
    bool waitFor(TestClient& client, const std::string& needle);
    void acknowledge(TestClient& client);
    // No notice queued, none on its way and none waiting for its
    // acknowledgement; no broadcast waiting for the sender.
    bool noticesDelivered() const;
    // Datagrams received so far, and waiting until one holds `needle` (every
    // broadcast given before the wait has been written by then).
    bool waitForDatagram(const std::string& needle);
    // Logs the client in with KL (or KLA) through the log-in handler.
    const char* logIn(TestClient& client, const std::string& version, const std::string& login,
                      const std::string& password, int& errorCode, bool kla = false);
    clients::ClientService& service() { return form->Clients(); }
    // Links the window to the started simulator as PBX type `pbxType` over
    // TCP, until records pass with no link error; `serve` runs the window
    // once.
    void linkTo(sim::ExchangeSimulator& exchange, int pbxType, const std::function<void()>& serve);
    // Runs the exchange records and the event loop until the condition holds;
    // false when it did not before the deadline.
    bool serveUntil(const std::function<bool()>& condition);
    // The handlers as the request table calls them, with where the request
    // ended given back as a position in `text` (null: the scan ends).
    const char* registerClient(const char* text, const std::string& address, bool kla, int& errorCode,
                               std::uint32_t connection) {
        return at(text, service().RejestracjaKlienta(text, address, kla, errorCode, connection));
    }
    const char* textMessage(const char* text, const std::string& address, int& errorCode) {
        return at(text, service().WiadomoscTxtOdKlienta(text, address, errorCode));
    }
    const char* description(const char* text, int& errorCode) {
        return at(text, service().AktualizujOpisUzytkownika(text, errorCode));
    }
    const char* lock(bool on, const char* text, int& errorCode) {
        return at(text, service().Blokada(on, text, errorCode));
    }
    void startForm();
    void stopForm();
    // Starts the test's own Firebird server (one it may kill); `c` is a new
    // database `file` there with its tables, the main connection on it.
    void databaseOnOwnServer(testfb::PrivateServer& server, const std::string& file);
    static const char* at(const char* text, clients::RequestEnd end) { return end ? text + *end : nullptr; }

    testfb::DatabaseFolder folder;
    testfb::Connection c;
    QTcpServer listener;
    QUdpSocket broadcasts;
    std::vector<std::string> datagrams;
    std::vector<std::unique_ptr<TestClient>> clientsConnected;
    std::uint32_t nextHandle = 100;
};

} // namespace testing_support
