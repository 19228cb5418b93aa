// The client socket and the framing of requests, against the real window's
// service on 127.0.0.1: every request of the table is answered, acknowledgement
// words, split and over-long requests, line ends, unknown and short requests,
// and what a connection may do before it logs in.
#include "ClientServiceSupport.h"
#include "support/DescriptorLimit.h"

#include <QEventLoop>
#include <QMenu>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <thread>

namespace clienttest {
namespace {

using Replies = std::vector<std::string>;

class ClientFraming : public ClientServiceFixture {};

TEST_F(ClientFraming, EveryRequestOfTheTableIsAnsweredOkOneByOneAndAllInOneRead) {
    linkExchange();
    sim::ClientSimulator client;
    logIn(client, "7");
    for (const std::string& request : WellFormedRequests()) {
        client.ClearReceived();
        ASSERT_TRUE(client.Send(request));
        const Replies replies = waitReplies(client, 1);
        EXPECT_EQ(replies, Replies{"OK"}) << request;
    }
    // All in one read: none of them (OP, BT and BN included) ends the scan.
    std::string all;
    for (const std::string& request : WellFormedRequests())
        all += request;
    client.ClearReceived();
    ASSERT_TRUE(client.Send(all));
    EXPECT_EQ(waitReplies(client, WellFormedRequests().size()), Replies(WellFormedRequests().size(), "OK"));
    EXPECT_EQ(newestRecord()->BledyObslugi, 0u);
}

TEST_F(ClientFraming, LogInFieldErrorsGetKlTheirCodeAndKlaNothing) {
    sim::ClientSimulator client;
    connect(client);
    ASSERT_TRUE(client.Send("!KL&2.04.00.00&" + std::string(33, '7') + "&secret\r"));
    EXPECT_EQ(waitReplies(client, 1), Replies{"ERROR 1\r"});
    client.ClearReceived();
    // KLA's refusal is silent (and ends the read's scan, as every failed log-in does).
    ASSERT_TRUE(client.Send("!KLA&2.04.00.00&" + std::string(33, '7') + "&secret\r!PING\r"));
    ASSERT_TRUE(settled(client));
    ASSERT_TRUE(client.Send("!PING\r"));
    EXPECT_EQ(waitReplies(client, 1), Replies{"OK"});
    EXPECT_NE(newestRecord(), nullptr);
}

TEST_F(ClientFraming, RefusedLogInIsAnsweredOnceAndTheRecordGoes) {
    sim::ClientSimulator client;
    connect(client);
    const int records = IloscKlientow;
    // "!KLAX" is KLA, never KL; an old version is refused with code 2.
    ASSERT_TRUE(client.Send("!KL&2.00.01&7&secret\r!PING\r"));
    EXPECT_EQ(waitReplies(client, 1), Replies{"ERROR 2\r"});
    ASSERT_TRUE(PumpUntil([&] { return IloscKlientow == records - 1 && !client.IsConnected(); }));
    EXPECT_EQ(client.Replies(), Replies{"ERROR 2\r"});
}

TEST_F(ClientFraming, BeforeLogInOnlyLogInPingAndAcknowledgementsAreTaken) {
    sim::ClientSimulator client;
    connect(client);
    ASSERT_TRUE(
        client.Send("OK!WN&201&123\r!OP&x&d\r!PING\rRECEIVE!SMS&SEND&&600100200&aGVsbG8=\r\n!PING\r"));
    EXPECT_EQ(waitReplies(client, 5), (Replies{"ERROR", "ERROR", "OK", "ERROR", "OK"}));
    const std::string log = mainLogText();
    EXPECT_NE(log.find("Komenda wybierania numeru od niezalogowanego klienta"), std::string::npos);
    EXPECT_EQ(log.find("Wysłanie potwierdzenia wybierania numeru"), std::string::npos);
    Klient* record = newestRecord();
    EXPECT_EQ(record->OdebraneOK, 1u);
    EXPECT_EQ(record->OdebraneRECEIVE, 1u);
    EXPECT_EQ(record->BledyObslugi, 3u);
}

TEST_F(ClientFraming, ASplitRequestIsCompletedByTheNextReadOfTheSameClient) {
    linkExchange();
    sim::ClientSimulator client, other;
    logIn(client, "7");
    logIn(other, "8");
    ASSERT_TRUE(client.Send("!WN&201&12"));
    ASSERT_TRUE(other.Send("!PI"));
    ASSERT_TRUE(settled(client) && settled(other));
    EXPECT_TRUE(client.Replies().empty());
    EXPECT_TRUE(other.Replies().empty());
    // Each client's own next read completes its own request.
    ASSERT_TRUE(other.Send("NG\r\n"));
    ASSERT_TRUE(client.Send("3456\r"));
    EXPECT_EQ(waitReplies(client, 1), Replies{"OK"});
    EXPECT_EQ(waitReplies(other, 1), Replies{"OK"});
    // A split SMS is handled once, when whole.
    client.ClearReceived();
    ASSERT_TRUE(client.Send("!SMS&SEND&&600100200&aGV"));
    ASSERT_TRUE(settled(client));
    ASSERT_TRUE(client.Send("sbG8=\r\n"));
    EXPECT_EQ(waitReplies(client, 1), Replies{"OK"});
}

TEST_F(ClientFraming, AnOverlongUnfinishedRequestIsDroppedAndLogged) {
    sim::ClientSimulator client;
    logIn(client, "7");
    const std::string chunk(16 * 1024, 'x');
    ASSERT_TRUE(client.Send("!WN&201&"));
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(client.Send(chunk));
        ASSERT_TRUE(settled(client));
    }
    EXPECT_NE(mainLogText().find("Za długa niepełna ramka"), std::string::npos);
    EXPECT_LE(newestRecord()->ReceiveRemainder.size(), clients::ClientService::ReceiveRemainderLimit);
    // Its rest up to its line end goes too; what follows is handled.
    ASSERT_TRUE(client.Send(chunk + "\r!PING\r"));
    EXPECT_EQ(waitReplies(client, 1), Replies{"OK"});
}

TEST_F(ClientFraming, LineEndsPingAndLoneLineFeeds) {
    sim::ClientSimulator client;
    logIn(client, "7");
    // PING takes its CR and an LF within the read; a lone LF from a CR LF
    // split is skipped, not a short request.
    ASSERT_TRUE(client.Send("!PING\r"));
    EXPECT_EQ(waitReplies(client, 1), Replies{"OK"});
    ASSERT_TRUE(client.Send("\n"));
    ASSERT_TRUE(client.Send("!PING\r\n!PING\r"));
    EXPECT_EQ(waitReplies(client, 3), Replies(3, "OK"));
    // A PING without its line end waits for it.
    client.ClearReceived();
    ASSERT_TRUE(client.Send("!PING"));
    ASSERT_TRUE(settled(client));
    EXPECT_TRUE(client.Replies().empty());
    ASSERT_TRUE(client.Send("\r"));
    EXPECT_EQ(waitReplies(client, 1), Replies{"OK"});
    EXPECT_EQ(newestRecord()->Stan, Klient::OK);
    EXPECT_EQ(newestRecord()->BledyObslugi, 0u);
}

TEST_F(ClientFraming, VoiceMailBoxAndGroupRequestsEndAtABareCr) {
    sim::ClientSimulator client;
    logIn(client, "7");
    for (const std::string request : {"!VM&CLR\r", "!VB&STATE_GET&201\r", "!GWW&ABS&201\r"}) {
        client.ClearReceived();
        // The CR is the read's last byte; the LF comes first in the next read.
        ASSERT_TRUE(client.Send(request));
        EXPECT_EQ(waitReplies(client, 1), Replies{"OK"}) << request;
        ASSERT_TRUE(client.Send("\n!PING\r"));
        EXPECT_EQ(waitReplies(client, 2), Replies(2, "OK")) << request;
    }
    EXPECT_EQ(newestRecord()->BledyObslugi, 0u);
}

TEST_F(ClientFraming, UnknownKeywordsAndShortRests) {
    sim::ClientSimulator client;
    logIn(client, "7");
    // An unknown keyword costs one character; the scan goes on.
    ASSERT_TRUE(client.Send("!XYZ123!PING\r"));
    EXPECT_EQ(waitReplies(client, 2), (Replies{"ERROR", "OK"}));
    // A short rest ends the read's scan.
    client.ClearReceived();
    ASSERT_TRUE(client.Send("!PING\rabc"));
    EXPECT_EQ(waitReplies(client, 2), (Replies{"OK", "ERROR"}));
    client.ClearReceived();
    ASSERT_TRUE(client.Send("!RE&\r"));
    EXPECT_EQ(waitReplies(client, 1), Replies{"ERROR"});
    const std::string log = mainLogText();
    EXPECT_NE(log.find("Nieznana komenda XYZ123!PING"), std::string::npos);
    EXPECT_NE(log.find("Za krótka ramka dlugość=3 dane=abc"), std::string::npos);
    EXPECT_EQ(newestRecord()->BledyObslugi, 3u);
}

TEST_F(ClientFraming, AcknowledgementWordsSetTheState) {
    linkExchange();
    sim::ClientSimulator client;
    logIn(client, "7");
    Klient* record = newestRecord();
    form->Clients().Powiadom(clients::Notice, "!XX&1\r\n", "7", record->Gniazdo, record->IP);
    EXPECT_EQ(record->Stan, Klient::SEND);
    // The client's "OK" frees it.
    ASSERT_TRUE(PumpUntil([&] { return record->Stan == Klient::OK && !record->HasOstatniaWyslana; }));
    client.AckNextWith(sim::ClientSimulator::Ack::Error);
    form->Clients().Powiadom(clients::Notice, "!XX&2\r\n", "7", record->Gniazdo, record->IP);
    ASSERT_TRUE(PumpUntil([&] { return record->Stan == Klient::ERROR; }));
    EXPECT_EQ(record->OdebraneERROR, 1u);
    // An "OK" and a request in one read: first the acknowledgement, then the request.
    ASSERT_TRUE(client.Send("OK!WN&201&5\r"));
    EXPECT_EQ(waitReplies(client, 1), Replies{"OK"});
    EXPECT_EQ(record->Stan, Klient::OK);
}

TEST_F(ClientFraming, SwitchingOffClosesThePortAndForgetsEveryRecordAndMessage) {
    sim::ClientSimulator client;
    logIn(client, "7");
    client.SetAck(sim::ClientSimulator::Ack::None);
    Klient* record = newestRecord();
    form->Clients().Powiadom(clients::Notice, "!XX&1\r\n", "7", record->Gniazdo, record->IP);
    form->Clients().Powiadom(clients::Notice, "!XX&2\r\n", "7", record->Gniazdo, record->IP);
    EXPECT_EQ(form->Clients().ile_w_kolejce(), 1u);
    EXPECT_TRUE(form->WlaczSerwer->isChecked());
    form->Kolejka->addItem(QStringLiteral("obsluga_kolejki[1]"));

    form->WlaczSerwerClick();
    EXPECT_FALSE(form->Clients().IsOpen());
    EXPECT_FALSE(form->WlaczSerwer->isChecked());
    EXPECT_EQ(KlientList, nullptr);
    EXPECT_EQ(form->Clients().ile_w_kolejce(), 0u);
    EXPECT_EQ(form->lvKlienci->topLevelItemCount(), 0);
    EXPECT_EQ(form->Kolejka->count(), 0);
    ASSERT_TRUE(PumpUntil([&] { return !client.IsConnected(); }));

    // On again: the server's own record comes back and clients are taken.
    form->WlaczSerwerClick();
    ASSERT_TRUE(form->Clients().IsOpen());
    ASSERT_NE(ServerKlient, nullptr);
    EXPECT_EQ(ServerKlient->IDFB, "0");
    sim::ClientSimulator again;
    logIn(again, "7");
}

// Nobody can click the service off: its menu item is hidden, and the
// start-up sequence triggers it once the database is there.
TEST_F(ClientFraming, TheServiceSwitchIsAHiddenItemThatTheStartUpTriggers) {
    form->Clients().WylaczSerwer();
    EXPECT_FALSE(form->WlaczSerwer->isVisible());
    for (QAction* shown : form->Se1->SubMenu()->actions())
        EXPECT_TRUE(shown != form->WlaczSerwer || !shown->isVisible());
    QSignalSpy triggered(form->WlaczSerwer, &QAction::triggered);
    form->Database().MainDbReady = true;
    form->tmrServerEnableStartupTimer();
    form->Database().MainDbReady = false;
    EXPECT_EQ(triggered.count(), 1);
    ASSERT_TRUE(form->Clients().IsOpen());
    EXPECT_TRUE(form->WlaczSerwer->isChecked());
    sim::ClientSimulator client;
    logIn(client, "7");
}

// A client's SMS request is noted while the SMS switch is on, whatever the
// clients switch says.
TEST_F(ClientFraming, AClientsSmsRequestIsLoggedUnderTheSmsSwitch) {
    sim::ClientSimulator client;
    logIn(client, "7");
    // Sends one SMS request with the two switches as given; how often the
    // request has been noted so far.
    auto noted = [&](bool clientsSwitch, bool smsSwitch) {
        form->chbLogKlienci->setChecked(clientsSwitch);
        form->chbSmsErrors->setChecked(smsSwitch);
        form->UstawDiagnostyke();
        client.ClearReceived();
        EXPECT_TRUE(client.Send("!SMS&SEND&&600100200&aGVsbG8=\r\n"));
        EXPECT_EQ(waitReplies(client, 1), Replies{"OK"});
        return Occurrences(mainLogText(), "Odebrany komunikat SMS od klienta");
    };
    EXPECT_EQ(noted(false, true), 1u);
    EXPECT_EQ(noted(true, false), 1u);
}

TEST_F(ClientFraming, ConsoleLineGoesToTheClientOfTheIdentifier) {
    sim::ClientSimulator client;
    logIn(client, "7");
    EXPECT_FALSE(form->Clients().LiniaDoKlienta("hello", "99"));
    EXPECT_NE(mainLogText().find("Klient 99 nie podłączony do serwera"), std::string::npos);
    EXPECT_TRUE(form->Clients().LiniaDoKlienta("RL&", "7"));
    ASSERT_TRUE(PumpUntil([&] { return client.Notices().size() == 1; }));
    EXPECT_EQ(client.Notices().front(), "!RL&\xff");
}

double processCpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

TEST_F(ClientFraming, UnansweredLogInsHoldNewConnectionsOffOncePerConnectionAndNotAfterIt) {
    // Nothing here waits for the half-minute release.
    form->tmrAllowNewConnection->setInterval(3'600'000);
    sim::ClientSimulator greedy;
    logIn(greedy, "7");
    greedy.SetAck(sim::ClientSimulator::Ack::None);
    std::string hundred;
    for (int i = 0; i < 100; ++i)
        hundred += "!KL&2.04.00.00&7&secret\r";
    ASSERT_TRUE(greedy.Send(hundred));
    ASSERT_TRUE(settled(greedy));
    // Its hundred replies wait in the queue, never acknowledged: the next
    // client is taken and answered all the same.
    sim::ClientSimulator next;
    connect(next);
    ASSERT_TRUE(next.LogIn("8", "secret"));
    ASSERT_TRUE(PumpUntil([&] { return Klient::ZnajdzPoIDFB("8") != nullptr; }));
    greedy.Disconnect();
    ASSERT_TRUE(PumpUntil([&] { return Klient::ZnajdzPoIDFB("7") == nullptr; }));

    // Two that go without answering their replies leave no hold behind.
    for (const std::string login : {"9", "10"}) {
        {
            sim::ClientSimulator gone;
            gone.SetAck(sim::ClientSimulator::Ack::None);
            connect(gone);
            ASSERT_TRUE(gone.LogIn(login, "secret"));
            ASSERT_TRUE(PumpUntil([&] {
                const auto notices = gone.Notices();
                return !notices.empty() && notices.front().starts_with("!LP&");
            }));
        }
        ASSERT_TRUE(PumpUntil([&] { return Klient::ZnajdzPoIDFB(login) == nullptr; }));
    }
    sim::ClientSimulator last;
    logIn(last, "11");
}

TEST_F(ClientFraming, OutOfDescriptorsAcceptingPausesWithoutSpinningAndResumes) {
    // A connection taken before: from then on the socket reports no failed
    // accept by itself.
    sim::ClientSimulator earlier;
    logIn(earlier, "8");
    std::vector<int> flood;
    double cpu = 0, wall = 0;
    {
        const auto limit =
            testing_support::DescriptorLimit::AtMost(rlim_t(sim::HighestOpenDescriptor()) + 48);
        ASSERT_TRUE(limit.ok());
        // Every descriptor left goes to a connection the server has yet to accept.
        flood = sim::OpenConnections(port, 4096);
        ASSERT_GT(flood.size(), 0u);
        ASSERT_LT(flood.size(), 4096u);
        EXPECT_TRUE(
            PumpUntil([&] { return mainLogText().find("Błąd akceptacji połączenia") != std::string::npos; }));
        // A second and a half of the event loop: a loop that spins burns it
        // all; a paused one next to nothing.
        const auto start = std::chrono::steady_clock::now();
        const double cpuBefore = processCpuSeconds();
        QEventLoop loop;
        QTimer::singleShot(1500, &loop, &QEventLoop::quit);
        loop.exec();
        cpu = processCpuSeconds() - cpuBefore;
        wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        // Logged once.
        EXPECT_EQ(Occurrences(mainLogText(), "Przyjmowanie połączeń wstrzymane"), 1u);
        sim::CloseConnections(flood);
    }
    EXPECT_LT(cpu, 0.4 * wall);
    // Connected off this thread: the backlog may still be full of the
    // closed connections, which only this thread's loop takes away.
    sim::ClientSimulator client;
    std::atomic<int> connected{-1};
    std::thread connecting([&] { connected = client.Connect(port) ? 1 : 0; });
    const bool done = PumpUntil([&] { return connected.load() >= 0; }, 120'000);
    connecting.join();
    ASSERT_TRUE(done && connected.load() == 1);
    ASSERT_TRUE(client.LogIn("7", "secret"));
    EXPECT_TRUE(PumpUntil([&] { return Klient::ZnajdzPoIDFB("7") != nullptr; }));
}

} // namespace
} // namespace clienttest
