// The notification sender and its queue: stop-and-wait per client, the queue
// drained by the idle handler, and messages that go to the record they were
// meant for, never to another client of the same address.
#include "ClientServiceSupport.h"
#include "base/PasswordCodec.h"

#include <QTcpSocket>
#include <algorithm>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace clienttest {
namespace {

class Notifications : public ClientServiceFixture {
  protected:
    void TearDown() override {
        ClientServiceFixture::TearDown();
        if (!own.path.empty())
            testfb::DetachMain();
    }
    // An empty database of the whole schema in the embedded engine, named
    // in the window's settings.
    void useOwnDatabase() {
        ASSERT_NO_FATAL_FAILURE(testfb::CreateEmbeddedSchema(own, folder.file("clients.fdb")));
        nameDatabase(own);
    }
    clients::ClientService& service() { return form->Clients(); }
    Klient* recordOf(const std::string& idfb) { return Klient::ZnajdzPoIDFB(idfb); }
    void notify(int mode, const std::string& text, Klient* record) {
        service().Powiadom(mode, text, record->IDFB.c_str(), record->Gniazdo, record->IP);
    }
    // User 7 logged in on `client`, which stops acknowledging, and three
    // notices sent to it: the first goes out, the other two wait.
    Klient* busyWithThreeNotices(sim::ClientSimulator& client) {
        logIn(client, "7");
        client.SetAck(sim::ClientSimulator::Ack::None);
        Klient* record = recordOf("7");
        notify(clients::Notice, "!XX&1\r\n", record);
        notify(clients::Notice, "!XX&2\r\n", record);
        notify(clients::Notice, "!XX&3\r\n", record);
        return record;
    }
    // Users 7 and 8 logged in, both from 127.0.0.1.
    void logInSevenAndEight(sim::ClientSimulator& seven, sim::ClientSimulator& eight) {
        logIn(seven, "7");
        logIn(eight, "8");
        ASSERT_TRUE(recordOf("7") && recordOf("8"));
        ASSERT_EQ(recordOf("7")->IP, recordOf("8")->IP);
    }

    testfb::DatabaseFolder folder;
    testfb::Connection own;
};

TEST_F(Notifications, TwoClientsOfOneAddressGetOnlyWhatIsMeantForThem) {
    sim::ClientSimulator seven, eight;
    ASSERT_NO_FATAL_FAILURE(logInSevenAndEight(seven, eight));
    Klient* first = recordOf("7");
    // By identifier and address: the newest record at the address is 8's.
    service().Powiadom(clients::Notice, "!XX&for7\r\n", "7", 0, first->IP);
    // By record.
    service().Powiadom(clients::Notice, "!XX&for7again\r\n", "7", first->Gniazdo, first->IP);
    // A record that is not the identifier's gets nothing.
    service().Powiadom(clients::Notice, "!XX&not8\r\n", "8", first->Gniazdo, first->IP);
    ASSERT_TRUE(PumpUntil([&] { return seven.Notices().size() == 2; }));
    ASSERT_TRUE(settled(seven) && settled(eight));
    EXPECT_EQ(seven.Notices(), (std::vector<std::string>{"!XX&for7\r\n", "!XX&for7again\r\n"}));
    EXPECT_TRUE(eight.Notices().empty());
}

TEST_F(Notifications, AClientsConnectionSendsEachNoticeAtOnce) {
    sim::ClientSimulator client;
    logIn(client, "7");
    Klient* record = recordOf("7");
    ASSERT_TRUE(record && record->Socket);
    int noDelay = 0;
    socklen_t size = sizeof noDelay;
    ASSERT_EQ(
        ::getsockopt(int(record->Socket->socketDescriptor()), IPPROTO_TCP, TCP_NODELAY, &noDelay, &size), 0);
    EXPECT_NE(noDelay, 0);
}

// The console row of a connection, found by its "SockNum" cell.
const QTreeWidgetItem* consoleRow(const ui::TListView& list, std::uint32_t connection) {
    for (int i = 0; i < list.topLevelItemCount(); ++i) {
        if (list.topLevelItem(i)->text(22) == QString::number(connection))
            return list.topLevelItem(i);
    }
    return nullptr;
}

TEST_F(Notifications, LookUpsFollowTheRecordsThroughLogInsRemovalsAndQueuedNotices) {
    sim::ClientSimulator seven, eight;
    ASSERT_NO_FATAL_FAILURE(logInSevenAndEight(seven, eight));
    Klient* first = recordOf("7");
    Klient* second = recordOf("8");
    const std::string address = first->IP;
    EXPECT_EQ(Klient::Znajdz(address, first->Gniazdo, nullptr), first);
    EXPECT_EQ(Klient::Znajdz(address, 0, "7"), first);
    EXPECT_EQ(Klient::Znajdz(address, 0, nullptr), second); // the newest at the address
    EXPECT_EQ(Klient::ZnajdzID("8"), second);
    EXPECT_EQ(Klient::DajIPy("8"), std::vector<std::string>{address});

    // By extension, through the phone list as its rows change.
    ui::TListView& phones = *form->lvAllUserPhones;
    QTreeWidgetItem* phone = phones.AddRow({"8", "1", "208", "tel"});
    EXPECT_EQ(Klient::ZnajdzPoWew("208", phones), second);
    phone->setText(0, "7");
    EXPECT_EQ(Klient::ZnajdzPoWew("208", phones), first);
    delete phone;
    EXPECT_EQ(Klient::ZnajdzPoWew("208", phones), nullptr);

    // A log-in again on the same connection: found by the new identifier only,
    // and the console shows it.
    ASSERT_TRUE(seven.LogIn("9", "secret"));
    ASSERT_TRUE(PumpUntil([&] { return recordOf("9") == first; }));
    EXPECT_EQ(recordOf("7"), nullptr);
    EXPECT_EQ(Klient::Znajdz(address, 0, "9"), first);
    ASSERT_TRUE(PumpUntil([&] {
        const QTreeWidgetItem* row = consoleRow(*form->lvKlienci, first->Gniazdo);
        return row && row->text(2) == "9";
    }));

    // 8 goes while a notice for it waits: nothing finds its record any more,
    // and what waited reaches 8 back on a new connection, nobody else.
    eight.SetAck(sim::ClientSimulator::Ack::None);
    notify(clients::Notice, "!XX&a\r\n", second);
    notify(clients::Notice, "!XX&b\r\n", second);
    EXPECT_EQ(service().ile_w_kolejce(), 1u);
    const std::uint32_t gone = second->Gniazdo;
    eight.Disconnect();
    ASSERT_TRUE(PumpUntil([&] { return recordOf("8") == nullptr; }));
    EXPECT_EQ(Klient::Znajdz(address, gone, nullptr), nullptr);
    EXPECT_EQ(Klient::Znajdz(address, 0, nullptr), first);
    EXPECT_EQ(Klient::ZnajdzID("8"), nullptr);
    EXPECT_EQ(consoleRow(*form->lvKlienci, gone), nullptr);
    sim::ClientSimulator back;
    connect(back);
    ASSERT_TRUE(back.LogIn("8", "secret"));
    ASSERT_TRUE(PumpUntil([&] {
        const auto notices = back.Notices();
        return std::find(notices.begin(), notices.end(), "!XX&b\r\n") != notices.end();
    }));
    Klient* third = recordOf("8");
    ASSERT_NE(third, nullptr);
    EXPECT_NE(third->Gniazdo, gone);
    EXPECT_EQ(Klient::Znajdz(address, third->Gniazdo, nullptr), third);
    ASSERT_TRUE(settled(seven));
    for (const std::string& notice : seven.Notices())
        EXPECT_FALSE(notice.starts_with("!XX&")) << notice;
}

TEST_F(Notifications, ABusyClientsMessagesWaitInOrderWithRepliesFirst) {
    sim::ClientSimulator client;
    Klient* record = busyWithThreeNotices(client);
    notify(clients::Priority, "OK", record);
    // Phone-state rows are not kept for a busy client.
    notify(clients::Priority, "!ZJ&201&1&&\r\n", record);
    EXPECT_EQ(service().ile_w_kolejce(), 3u);
    EXPECT_EQ(record->WKolejce, 3);
    ASSERT_TRUE(PumpUntil([&] { return client.Messages().size() == 1; }));

    client.SetAck(sim::ClientSimulator::Ack::Ok);
    ASSERT_TRUE(client.Send("OK"));
    ASSERT_TRUE(PumpUntil([&] { return client.Messages().size() == 4 && service().ile_w_kolejce() == 0; }));
    EXPECT_EQ(client.Messages(), (std::vector<std::string>{"!XX&1\r\n", "OK", "!XX&2\r\n", "!XX&3\r\n"}));
    EXPECT_EQ(record->WKolejce, 0);
}

// With the client trace on, a sent notice and a queued one each leave
// their steps in the log, in order.
TEST_F(Notifications, TheSenderTracesItsStepsWhenClientTracingIsOn) {
    sim::ClientSimulator client;
    logIn(client, "7");
    client.SetAck(sim::ClientSimulator::Ack::None);
    Klient* record = recordOf("7");
    form->chbLogKlienci->setChecked(true);
    form->UstawDiagnostyke();
    const std::size_t before = mainLogText().size();
    notify(clients::Notice, "!XX&1\r\n", record);
    notify(clients::Notice, "!XX&2\r\n", record);
    const std::string log = mainLogText().substr(before);
    std::size_t at = 0;
    for (const char* step :
         {"Powiadom: IDFB=7 IP=127.0.0.1 linia=!XX&1\\r\\n", "Powiadom: znajdz klienta\n",
          "Powiadom: mam klienta\n", "Powiadom: wysylaj=0\n", "Powiadom: socket\n", "Wysłanie danych\n",
          "Wysłane dane cnt=7 !XX&1\\r\\n", "Koniec Powiadom\n", "Powiadom: IDFB=7 IP=127.0.0.1 linia=!XX&2",
          "Powiadom: znajdz klienta\n", "Powiadom: mam klienta\n", "Powiadom: wysylaj=0\n",
          "klient ma stan SEND\n", "Powiadom: DoKolejki !XX&2", "Koniec Powiadom \n"}) {
        at = log.find(step, at);
        ASSERT_NE(at, std::string::npos) << step << " in\n" << log;
    }
}

// The look-up of a client's address leaves both its trace lines; the queue's
// drain writes its own to the second pane while the queue switch is on.
TEST_F(Notifications, LookUpAndQueueDrainTraceWhereTheirSwitchesSay) {
    sim::ClientSimulator client;
    logIn(client, "7");
    Klient* record = recordOf("7");
    form->chbLogKlienci->setChecked(true);
    form->chbKolejka->click();
    const std::size_t before = mainLogText().size();
    EXPECT_EQ(Klient::DajIP("7"), record->IP);
    std::string log = mainLogText().substr(before);
    const std::size_t looking = log.find("Szukam IP klienta wew=7\n");
    ASSERT_NE(looking, std::string::npos) << log;
    EXPECT_NE(log.find("Znalazłem IP klienta " + record->IP + "\n", looking), std::string::npos) << log;

    base::DiagnosticLog::instance().LogQueueSecond.TakeAll();
    client.SetAck(sim::ClientSimulator::Ack::None);
    notify(clients::Notice, "!XX&1\r\n", record);
    notify(clients::Notice, "!XX&2\r\n", record);
    client.SetAck(sim::ClientSimulator::Ack::Ok);
    ASSERT_TRUE(client.Send("OK"));
    ASSERT_TRUE(PumpUntil([&] { return client.Notices().size() == 2 && service().ile_w_kolejce() == 0; }));
    std::string second;
    for (const std::string& line : base::DiagnosticLog::instance().LogQueueSecond.TakeAll())
        second += line + "\n";
    std::size_t at = 0;
    for (const std::string& step : std::vector<std::string>{
             "obsluga_kolejki[1]\n", "Obsługuję kolejkę[1]: IDFB=7 IP=" + record->IP + " linia=!XX&2",
             "koniec obslugi_kolejki\n"}) {
        at = second.find(step, at);
        ASSERT_NE(at, std::string::npos) << step << " in\n" << second;
    }
    log = mainLogText().substr(before);
    EXPECT_EQ(log.find("obsluga_kolejki"), std::string::npos) << log;
}

TEST_F(Notifications, AFreeClientWithQueuedMessagesGetsNewNoticesBehindThem) {
    sim::ClientSimulator client;
    logIn(client, "7");
    Klient* record = recordOf("7");
    record->WKolejce = 0;
    client.SetAck(sim::ClientSimulator::Ack::None);
    notify(clients::Notice, "!XX&1\r\n", record);
    notify(clients::Notice, "!XX&2\r\n", record);
    // Freed by hand: the queued one still goes first.
    record->Stan = Klient::OK;
    notify(clients::Notice, "!XX&3\r\n", record);
    EXPECT_EQ(service().ile_w_kolejce(), 2u);
    client.SetAck(sim::ClientSimulator::Ack::Ok);
    ASSERT_TRUE(PumpUntil([&] { return client.Notices().size() == 3; }));
    EXPECT_EQ(client.Notices(), (std::vector<std::string>{"!XX&1\r\n", "!XX&2\r\n", "!XX&3\r\n"}));
}

TEST_F(Notifications, AtMost250QueuedPerClient) {
    sim::ClientSimulator client;
    logIn(client, "7");
    client.SetAck(sim::ClientSimulator::Ack::None);
    Klient* record = recordOf("7");
    notify(clients::Notice, "!XX&first\r\n", record);
    for (int i = 0; i < 260; ++i)
        notify(clients::Notice, "!XX&" + std::to_string(i) + "\r\n", record);
    EXPECT_EQ(service().ile_w_kolejce(), 250u);
    EXPECT_EQ(record->WKolejce, 250);
}

TEST_F(Notifications, ReconnectingAsAnotherUserGetsNothingOfThePreviousOne) {
    sim::ClientSimulator client;
    logIn(client, "7");
    client.SetAck(sim::ClientSimulator::Ack::None);
    Klient* record = recordOf("7");
    notify(clients::Notice, "!XX&for7-1\r\n", record);
    notify(clients::Notice, "!XX&for7-2\r\n", record);
    EXPECT_EQ(service().ile_w_kolejce(), 1u);
    client.Disconnect();
    ASSERT_TRUE(PumpUntil([&] { return recordOf("7") == nullptr; }));

    sim::ClientSimulator other;
    logIn(other, "9");
    ASSERT_TRUE(PumpUntil([&] { return service().ile_w_kolejce() == 0; }));
    ASSERT_TRUE(settled(other));
    for (const std::string& notice : other.Notices())
        EXPECT_EQ(notice.find("for7"), std::string::npos) << notice;
    EXPECT_NE(mainLogText().find("bez odbiorcy, pomijam !XX&for7-2"), std::string::npos);
}

TEST_F(Notifications, ReconnectingAsTheSameUserGetsWhatWasQueuedForIt) {
    sim::ClientSimulator client;
    logIn(client, "7");
    client.SetAck(sim::ClientSimulator::Ack::None);
    Klient* record = recordOf("7");
    notify(clients::Notice, "!XX&for7-1\r\n", record);
    notify(clients::Notice, "!XX&for7-2\r\n", record);
    client.Disconnect();
    ASSERT_TRUE(PumpUntil([&] { return recordOf("7") == nullptr; }));
    EXPECT_EQ(service().ile_w_kolejce(), 1u);

    sim::ClientSimulator again;
    connect(again);
    ASSERT_TRUE(again.LogIn("7", "secret"));
    ASSERT_TRUE(PumpUntil([&] {
        const auto notices = again.Notices();
        return std::find(notices.begin(), notices.end(), "!XX&for7-2\r\n") != notices.end();
    }));
    EXPECT_TRUE(again.Notices().front().starts_with("!LP&"));
}

TEST_F(Notifications, ASilentClientLosesItsQueuedMessagesOnePerPass) {
    sim::ClientSimulator client;
    Klient* record = busyWithThreeNotices(client);
    record->CzasWyslania -= 40;
    service().ObslugaKolejki();
    EXPECT_EQ(service().ile_w_kolejce(), 1u);
    EXPECT_EQ(record->Pominiete, 1u);
    service().ObslugaKolejki();
    EXPECT_EQ(service().ile_w_kolejce(), 0u);
    EXPECT_EQ(record->WKolejce, 0);
}

// A log-in request's password (a digest as good as the password itself) and
// the reply's database password (which a key every copy of the program has
// deciphers) never reach the log, wherever the request and the reply are
// written there.
TEST_F(Notifications, NoPasswordOfALogInReachesTheLog) {
    // The wrong passwords below are read from a database of the test's own,
    // which knows no user 7: each is refused as wrong.
    ASSERT_NO_FATAL_FAILURE(useOwnDatabase());
    form->chbLogKlienci->setChecked(true);
    form->UstawDiagnostyke();
    sim::ClientSimulator client;
    logIn(client, "7");
    const std::string user = AesEncryptToHexWire(form->Settings.UserFB, FixedKeyText);
    const std::string databasePassword = AesEncryptToHexWire(form->Settings.PasswordFB, FixedKeyText);

    const std::string log = mainLogText();
    EXPECT_EQ(log.find("secret"), std::string::npos) << log;
    EXPECT_EQ(log.find(databasePassword), std::string::npos) << log;
    EXPECT_NE(log.find("!KL&2.04.00.00&7&***\\r"), std::string::npos) << log;
    EXPECT_NE(log.find(" 2.04.00.00&7&***\\r"), std::string::npos) << "the log-in's own line\n" << log;
    EXPECT_NE(log.find("!LP&" + user + "&***&"), std::string::npos) << log;

    // Two log-ins read at once: the first one's own line shows the second too.
    sim::ClientSimulator other;
    connect(other);
    ASSERT_TRUE(other.Send("!KL&2.04.00.00&7&pierwszeHaslo\r!KL&2.04.00.00&7&drugieHaslo\r"));
    ASSERT_TRUE(PumpUntil([&] { return mainLogText().find("Błędne hasło") != std::string::npos; }));
    const std::string both = mainLogText();
    EXPECT_NE(both.find(" 2.04.00.00&7&***\\r!KL&2.04.00.00&7&***\\r"), std::string::npos) << both;
    EXPECT_EQ(both.find("pierwszeHaslo"), std::string::npos) << both;
    EXPECT_EQ(both.find("drugieHaslo"), std::string::npos) << both;
}

} // namespace
} // namespace clienttest
