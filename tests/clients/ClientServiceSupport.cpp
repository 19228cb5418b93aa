#include "ClientServiceSupport.h"
#include "support/Ports.h"

#include "pbx/PbxLink.h"

#include <QEventLoop>
#include <QTcpSocket>
#include <QTimer>
#include <chrono>
#include <linux/sockios.h>
#include <sys/ioctl.h>

namespace clienttest {

bool PumpUntil(const std::function<bool()>& condition, int ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return condition();
        // Blocking briefly lets the idle handler run, as it does in the program.
        QEventLoop loop;
        QTimer::singleShot(2, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

// One well-formed request per keyword of the table, in the table's order.
const std::vector<std::string>& WellFormedRequests() {
    static const std::vector<std::string> requests{
        "!WI&7&8&2024-05-01 10:00&hello\xff",
        "!KL&2.04.00.00&7&secret\r\n",
        "!BT&201&1234\r",
        "!BN&201&1234\r",
        "!WN&201&123456789\r",
        "!ZP&201&123456789\r",
        "!PING\r\n",
        "!OP&x&w biurze\r",
        "!TD&201&202&\r",
        "!RE&201&\r",
        "!HO&201&\r",
        "!UH&201&\r",
        "!SP&201&ON&\r",
        "!DB_ADD&12&0&Nowak&&Jan&&&&&&&&&\r\n",
        "!DB_UPD&12&0&Nowak&&Jan&&&&&&&&&\r\n",
        "!DB_DEL&12\r\n",
        "!VM&LIST&201\r\n",
        "!DBG_ADD&3&Dostawcy\r\n",
        "!DBG_DEL&3\r\n",
        "!SMS&SEND&&600100200&aGVsbG8=\r\n",
        "!VB&STATE&201\r\n",
        "!GWW&LOGIN&201\r\n",
        "!KLA&2.04.00.00&7&secret\r\n",
    };
    return requests;
}

std::size_t Occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

void ClientServiceFixture::SetUp() {
    MainFormFixture::SetUp();
    createForm();
    // Users 1 to 12, each with its number as login and "secret" as password,
    // in the user list the log-in checks first (marked loaded, so no database).
    form->UserLV->clear();
    for (int id = 1; id <= 12; ++id) {
        const QString number = QString::number(id);
        form->UserLV->AddRow(
            QStringList{number, "Nazwisko" + number, "Imie" + number, number, "secret", "", "", "", "", ""});
    }
    form->UserLV->SetTag(2);
    ASSERT_NO_FATAL_FAILURE(testing_support::OpenClientServiceOnChosenPort(*form));
    port = form->Settings.PortTCP;
}

void ClientServiceFixture::TearDown() {
    if (form)
        form->Clients().WylaczSerwer();
    MainFormFixture::TearDown();
    pbx::linkEnvironment() = pbx::LinkEnvironment();
}

void ClientServiceFixture::linkExchange() {
    exchange = std::make_unique<sim::ExchangeSimulator>(sim::Family::Vantrel, sim::Transport::Tcp);
    ASSERT_TRUE(exchange->Start());
    // Shortened, but with room for a loaded machine: a log-in read that
    // times out starts the dialogue again.
    pbx::linkEnvironment().timings = pbx::LinkTimings::Scaled(10);
    form->Settings.PbxType = 2;
    form->Settings.PbxPort = 5;
    form->Settings.TCPCentr = "127.0.0.1";
    form->Settings.PortTCPCent = exchange->Port();
    form->Pbx().ConnectPbx();
    ASSERT_TRUE(PumpUntil([&] { return exchange->LoggedIn(); }));
    // A record received after the log-in clears the link's error count.
    exchange->SendRecord("X");
    ASSERT_TRUE(PumpUntil([&] { return form->Pbx().PbxLinkErrorCount.load() == 0; }));
}

Klient* ClientServiceFixture::newestRecord() {
    return KlientList != ServerKlient ? KlientList : nullptr;
}

void ClientServiceFixture::connect(sim::ClientSimulator& client) {
    const int before = IloscKlientow;
    ASSERT_TRUE(client.Connect(port));
    ASSERT_TRUE(PumpUntil([&] { return IloscKlientow > before; }));
}

void ClientServiceFixture::logIn(sim::ClientSimulator& client, const std::string& login) {
    connect(client);
    ASSERT_TRUE(client.LogIn(login, "secret"));
    // The reply, then the request's "OK".
    ASSERT_TRUE(PumpUntil([&] {
        const auto messages = client.Messages();
        bool replied = false;
        for (const std::string& m : messages) {
            if (m.starts_with("!LP&"))
                replied = true;
            else if (replied && m == "OK")
                return true;
        }
        return false;
    }));
    // What the log-in queued behind its reply has come and been acknowledged.
    ASSERT_TRUE(PumpUntil([&] {
        Klient* record = Klient::ZnajdzPoIDFB(login);
        return record && record->Stan != Klient::SEND && !record->HasOstatniaWyslana &&
               form->Clients().ile_w_kolejce() == 0;
    }));
    ASSERT_TRUE(settled(client));
    client.ClearReceived();
}

namespace {

int unsentBytes(int fd) {
    int n = 0;
    return fd >= 0 && ::ioctl(fd, SIOCOUTQ, &n) == 0 ? n : 0;
}

int unreadBytes(int fd) {
    int n = 0;
    return fd >= 0 && ::ioctl(fd, FIONREAD, &n) == 0 ? n : 0;
}

} // namespace

bool ClientServiceFixture::settled(const sim::ClientSimulator& client) {
    return PumpUntil([&] {
        if (client.IsConnected() && unsentBytes(client.Descriptor()) > 0)
            return false;
        for (Klient* k = KlientList; k; k = k->Nastepny) {
            if (QTcpSocket* socket = k->Socket) {
                const int fd = int(socket->socketDescriptor());
                if (socket->bytesAvailable() > 0 || unreadBytes(fd) > 0 || socket->bytesToWrite() > 0 ||
                    unsentBytes(fd) > 0)
                    return false;
            }
        }
        // What the server sent has been taken apart by the client.
        return client.Quiet();
    });
}

std::vector<std::string> ClientServiceFixture::waitReplies(const sim::ClientSimulator& client,
                                                           std::size_t count) {
    PumpUntil([&] { return client.Replies().size() >= count; });
    settled(client);
    return client.Replies();
}

} // namespace clienttest
