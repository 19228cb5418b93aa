#include "support/ClientServiceTestBed.h"

#include "db/InterfaceDB.h"
#include "db/UserTables.h"
#include "pbx/PbxLink.h"
#include "platform/WireCodePage.h"
#include "support/ExchangeSimulator.h"
#include "support/LinkTestSupport.h"
#include "support/Ports.h"
#include "support/PrivateFirebirdServer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QNetworkDatagram>
#include <algorithm>
#include <linux/sockios.h>
#include <sys/ioctl.h>

namespace testing_support {

namespace {
constexpr int GenerousMs = 10000;

// What the server has written to a client and the client has not taken yet:
// Qt's buffer and the system's send queue. Sent is not yet arrived.
bool stillOnItsWay(const Klient& k) {
    if (!k.Socket)
        return false;
    int queued = 0;
    return k.Socket->bytesToWrite() > 0 ||
           (::ioctl(int(k.Socket->socketDescriptor()), SIOCOUTQ, &queued) == 0 && queued > 0);
}
} // namespace

void ClientServiceTestBed::SetUp() {
    MainFormFixture::SetUp();
    ASSERT_NO_FATAL_FAILURE(testfb::CreateEmbeddedSchema(c, folder.file("clients.fdb")));
    ASSERT_TRUE(broadcasts.bind(QHostAddress::LocalHost, 0));
    ASSERT_TRUE(listener.listen(QHostAddress::LocalHost, 0));
    ASSERT_NO_FATAL_FAILURE(startForm());
}

void ClientServiceTestBed::startForm() {
    createForm();
    nameDatabase(c);
    form->Settings.BroadcastAddress = "127.0.0.1";
    form->Settings.PortUDP = broadcasts.localPort();
    service().UdpSocket->SetRemoteHost("127.0.0.1");
    service().UdpSocket->SetRemotePort(form->Settings.PortUDP);
    // The service switched on (on a port of its own), so its queue drains.
    ASSERT_NO_FATAL_FAILURE(testing_support::OpenClientServiceOnChosenPort(*form));
}

void ClientServiceTestBed::stopForm() {
    for (auto& client : clientsConnected)
        client->peer->abort();
    clientsConnected.clear();
    if (form)
        service().WylaczSerwer();
    form.reset();
    testfb::DetachMain();
}

void ClientServiceTestBed::restartForm() {
    stopForm();
    ASSERT_NO_FATAL_FAILURE(startForm());
    form->tmrStartupTimer();
}

void ClientServiceTestBed::TearDown() {
    stopForm();
    MainFormFixture::TearDown();
}

int ClientServiceTestBed::addUser(TestUser& user) {
    ServiceUseresDB table(c.host, c.path, c.user, c.password);
    table.sUserName = user.firstName;
    table.sUserLastName = user.lastName;
    table.sUserLogin = user.login;
    table.sUserPassword = user.password;
    EXPECT_EQ(table.InsertData(), 0);
    SessionDB session(c.host, c.path, c.user, c.password, &MainDbHandle, false);
    std::vector<QueryRow> rows;
    session.SetSqlText("SELECT NUSERID FROM CTIUSERS WHERE SUSERLOGIN = '" + user.login + "'");
    EXPECT_EQ(session.StartTransaction(true), 0);
    EXPECT_EQ(session.RunQueryToList(&rows), 0);
    EXPECT_EQ(session.CommitTransaction(), 0);
    EXPECT_EQ(rows.size(), 1u);
    user.id = rows.empty() ? 0 : std::stoi(rows[0]["NUSERID"]);
    return user.id;
}

void ClientServiceTestBed::loadUsersFromDatabase() {
    SessionDB session(c.host, c.path, c.user, c.password, &MainDbHandle, false);
    std::vector<QueryRow> rows;
    session.SetSqlText(
        "SELECT NUSERID, SUSERNAME, SUSERLASTNAME, SUSERLOGIN, SUSERPASSWORD FROM USERANDGROUP "
        "ORDER BY NUSERID");
    ASSERT_EQ(session.StartTransaction(true), 0);
    ASSERT_EQ(session.RunQueryToList(&rows), 0);
    ASSERT_EQ(session.CommitTransaction(), 0);
    form->UserLV->clear();
    std::vector<clients::UserSlotUser> presence;
    for (auto& row : rows) {
        QStringList cells;
        for (const char* column : {"NUSERID", "SUSERLASTNAME", "SUSERNAME", "SUSERLOGIN", "SUSERPASSWORD"})
            cells << QString::fromStdString(row[column]);
        cells << ""
              << ""
              << ""
              << "";
        form->UserLV->AddRow(cells);
        presence.push_back({row["NUSERID"], ""});
    }
    form->UserLV->SetTag(2);
    service().FillUserSlots(presence);
}

TestClient& ClientServiceTestBed::connectClient() {
    auto client = std::make_unique<TestClient>();
    client->peer = std::make_unique<QTcpSocket>();
    client->peer->connectToHost(QHostAddress::LocalHost, listener.serverPort());
    EXPECT_TRUE(client->peer->waitForConnected(GenerousMs));
    EXPECT_TRUE(listener.waitForNewConnection(GenerousMs));
    client->serverSide = listener.nextPendingConnection();
    const std::string address = client->serverSide->peerAddress().toString().toStdString();
    client->record =
        new Klient(address, address, client->serverSide, client->serverSide->peerPort(), nextHandle++);
    CurrentKlient = client->record;
    service().DodajKlienta();
    // What the client sends (its acknowledgements) is read as the service reads it.
    const std::uint32_t connection = client->record->Gniazdo;
    QObject::connect(client->serverSide, &QTcpSocket::readyRead, client->serverSide,
                     [this, connection, address] { service().serwerClientRead(connection, address); });
    clientsConnected.push_back(std::move(client));
    return *clientsConnected.back();
}

bool ClientServiceTestBed::waitFor(TestClient& client, const std::string& needle) {
    QElapsedTimer timer;
    timer.start();
    while (client.received.find(needle) == std::string::npos) {
        if (timer.elapsed() > GenerousMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        client.peer->waitForReadyRead(10);
        client.received += client.peer->readAll().toStdString();
        if (client.acknowledges)
            acknowledge(client);
        // The queue drains in the idle handler, which this loop never reaches.
        service().ObslugaKolejki();
    }
    return true;
}

void ClientServiceTestBed::acknowledge(TestClient& client) {
    for (;;) {
        const std::size_t start = client.received.find('!', client.acknowledged);
        if (start == std::string::npos)
            return;
        // A notice ends with CR LF, a text message with the character 255.
        const std::size_t crlf = client.received.find("\r\n", start);
        const std::size_t ff = client.received.find('\xff', start);
        const std::size_t end =
            std::min(crlf == std::string::npos ? crlf : crlf + 2, ff == std::string::npos ? ff : ff + 1);
        if (end == std::string::npos)
            return;
        client.acknowledged = end;
        client.peer->write("OK");
        client.peer->flush();
    }
}

bool ClientServiceTestBed::waitForDatagram(const std::string& needle) {
    // What was broadcast so far is written by the sender's thread first.
    if (service().UdpSocket)
        service().UdpSocket->Flush();
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        while (broadcasts.hasPendingDatagrams())
            datagrams.push_back(broadcasts.receiveDatagram().data().toStdString());
        for (const std::string& d : datagrams) {
            if (d.find(needle) != std::string::npos)
                return true;
        }
        if (timer.elapsed() > GenerousMs)
            return false;
        broadcasts.waitForReadyRead(10);
    }
}

const char* ClientServiceTestBed::logIn(TestClient& client, const std::string& version,
                                        const std::string& login, const std::string& password, int& errorCode,
                                        bool kla) {
    static std::string request;
    request = platform::toWire(version + "&" + login + "&" + password + "\r\n");
    CurrentKlient = client.record;
    return registerClient(request.c_str(), client.record->IP, kla, errorCode, client.record->Gniazdo);
}

void ClientServiceTestBed::linkTo(sim::ExchangeSimulator& exchange, int pbxType,
                                  const std::function<void()>& serve) {
    const auto serveWithUntil = [&](const std::function<bool()>& condition) {
        return linktest::WaitFor([&] {
            serve();
            return condition();
        });
    };
    form->Settings.PbxType = pbxType;
    form->Settings.PbxPort = 5;
    form->Settings.TCPCentr = "127.0.0.1";
    form->Settings.PortTCPCent = exchange.Port();
    form->Pbx().ConnectPbx();
    ASSERT_TRUE(serveWithUntil([&] { return exchange.LoggedIn(); }));
    // A record after the log-in clears the link's error count.
    exchange.SendRecord("X");
    ASSERT_TRUE(serveWithUntil([&] { return form->Pbx().PbxLinkErrorCount.load() == 0; }));
}

bool ClientServiceTestBed::serveUntil(const std::function<bool()>& condition) {
    return linktest::WaitFor([&] {
        form->Pbx().ObslugaCentrali();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        return condition();
    });
}

bool ClientServiceTestBed::noticesDelivered() const {
    if (form->Clients().ile_w_kolejce() != 0)
        return false;
    // The broadcasts are written by the sender's own thread.
    if (form->Clients().UdpSocket && !form->Clients().UdpSocket->Flush(0))
        return false;
    for (const Klient* k = KlientList; k; k = k->Nastepny)
        if (k->Stan == Klient::SEND || k->HasOstatniaWyslana || stillOnItsWay(*k))
            return false;
    return true;
}

void ClientServiceTestBed::databaseOnOwnServer(testfb::PrivateServer& server, const std::string& file) {
    ASSERT_TRUE(server.prepared()) << server.error();
    ASSERT_TRUE(server.start()) << server.error();
    testfb::DetachMain();
    c = server.connection(file);
    ASSERT_TRUE(testfb::CreateEmptyDatabase(c));
    ASSERT_NO_FATAL_FAILURE(testfb::AttachAndCreateSchema(c));
}

} // namespace testing_support
