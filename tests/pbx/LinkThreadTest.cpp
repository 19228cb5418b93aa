// The link thread against the exchange simulator, over TCP and over a
// pseudo-terminal: log-in of both families, the simulator's faults, framing
// of what arrives, and the one-command-in-flight rule.
#include "pbx/ReceivedLines.h"
#include "support/LinkTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using linktest::WaitFor;
using sim::ExchangeSimulator;
using sim::Family;
using sim::Fault;
using sim::Transport;

namespace {

class LinkThreadTest : public linktest::ThreadFixture {};

struct LoginCase {
    Family family;
    Transport transport;
};

class LinkLoginTest : public LinkThreadTest, public ::testing::WithParamInterface<LoginCase> {};

TEST_P(LinkLoginTest, LogsInAndPassesRecordsOn) {
    ExchangeSimulator exchange(GetParam().family, GetParam().transport);
    ASSERT_TRUE(exchange.Start());
    const int type = GetParam().family == Family::Morva ? 5 : 2;
    startThread(linktest::Settings(exchange, type));
    ASSERT_TRUE(exchange.WaitForLogin());
    ASSERT_TRUE(WaitFor([&] { return thread_->LoggedIn(); }));
    exchange.SendRecord("RING 12 345");
    ASSERT_TRUE(WaitFor([&] {
        const auto r = records();
        return std::find(r.begin(), r.end(), "RING 12 345") != r.end();
    }));
    EXPECT_FALSE(thread_->Finished());
}

INSTANTIATE_TEST_SUITE_P(BothFamiliesBothTransports, LinkLoginTest,
                         ::testing::Values(LoginCase{Family::Vantrel, Transport::Tcp},
                                           LoginCase{Family::Vantrel, Transport::Pty},
                                           LoginCase{Family::Morva, Transport::Tcp},
                                           LoginCase{Family::Morva, Transport::Pty}),
                         [](const ::testing::TestParamInfo<LoginCase>& info) {
                             return std::string(info.param.family == Family::Morva ? "Morva" : "Vantrel") +
                                    (info.param.transport == Transport::Pty ? "Pty" : "Tcp");
                         });

// Two links side by side, each with its own state: what one exchange sends
// reaches only its own chain and counters.
TEST_F(LinkThreadTest, EachLinkKeepsItsOwnReceivedLinesAndState) {
    ExchangeSimulator first(Family::Vantrel, Transport::Tcp);
    ExchangeSimulator second(Family::Vantrel, Transport::Tcp);
    ASSERT_TRUE(first.Start());
    ASSERT_TRUE(second.Start());
    startThread(linktest::Settings(first, 2));
    pbx::LinkShared otherShared;
    linktest::RecordingHost otherHost;
    pbx::TWatek other(otherShared, linktest::Settings(second, 2), &otherHost);
    other.Start();
    ASSERT_TRUE(WaitFor([&] { return thread_->LoggedIn() && other.LoggedIn(); }));

    const std::uint32_t otherReceived = otherShared.ReceivedBytes.load();
    first.SendRecord("RING 1 first");
    ASSERT_TRUE(WaitFor([&] {
        const auto r = records();
        return std::find(r.begin(), r.end(), "RING 1 first") != r.end();
    }));
    second.SendRecord("RING 2 second");
    std::vector<std::string> otherLines;
    ASSERT_TRUE(WaitFor([&] {
        for (auto& line : linktest::TakeReceivedLines(otherShared))
            otherLines.push_back(std::move(line));
        return std::find(otherLines.begin(), otherLines.end(), "RING 2 second") != otherLines.end();
    }));
    EXPECT_EQ(std::count(otherLines.begin(), otherLines.end(), "RING 1 first"), 0);
    EXPECT_EQ(std::count(records_.begin(), records_.end(), "RING 2 second"), 0);
    EXPECT_GE(otherShared.ReceivedBytes.load() - otherReceived, std::string("RING 2 second").size() + 1);
}

TEST_F(LinkThreadTest, MorvaDialoguesAreByteForByte) {
    for (Transport transport : {Transport::Tcp, Transport::Pty}) {
        ExchangeSimulator exchange(Family::Morva, transport);
        ASSERT_TRUE(exchange.Start());
        startThread(linktest::Settings(exchange, 5));
        ASSERT_TRUE(exchange.WaitForLogin());
        std::vector<std::string> texts;
        for (const auto& r : exchange.Received())
            texts.push_back(r.text);
        const auto password = std::find(texts.begin(), texts.end(), "Quabrils");
        ASSERT_NE(password, texts.end());
        ASSERT_NE(password, texts.begin());
        EXPECT_EQ(*(password - 1), "cti");
        EXPECT_EQ(*(password + 1), "cti 4");
        thread_.reset();
    }
}

TEST_F(LinkThreadTest, VantrelDialogueSendsTheThreeModeCommands) {
    ExchangeSimulator exchange(Family::Vantrel, Transport::Tcp);
    ASSERT_TRUE(exchange.Start());
    startThread(linktest::Settings(exchange, 3));
    ASSERT_TRUE(exchange.WaitForLogin());
    std::vector<std::string> texts;
    for (const auto& r : exchange.Received())
        texts.push_back(r.text);
    const auto crc = std::find(texts.begin(), texts.end(), "CRC OFF");
    ASSERT_NE(crc, texts.end());
    ASSERT_GE(texts.end() - crc, 3);
    EXPECT_EQ(*(crc + 1), "ECHO OFF");
    EXPECT_EQ(*(crc + 2), "CTI ON");
}

struct FaultCase {
    Family family;
    Transport transport;
    Fault fault;
    const char* expectedLog;
};

class LinkFaultTest : public LinkThreadTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(LinkFaultTest, GivesTheErrorAndRetries) {
    linktest::LogCapture log;
    ExchangeSimulator exchange(GetParam().family, GetParam().transport);
    exchange.SetFault(GetParam().fault);
    ASSERT_TRUE(exchange.Start());
    startThread(linktest::Settings(exchange, GetParam().family == Family::Morva ? 5 : 2));
    EXPECT_TRUE(log.WaitForLine(GetParam().expectedLog, 60000)) << GetParam().expectedLog;
    // Log-in errors leave the thread running to try again; the failed TCP
    // checks end it (the main window then reconnects).
    if (GetParam().transport == Transport::Pty || std::string(GetParam().expectedLog).starts_with("Błąd")) {
        EXPECT_FALSE(thread_->Finished());
    }
    EXPECT_EQ(exchange.LoginCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    SimulatorFaults, LinkFaultTest,
    ::testing::Values(
        FaultCase{Family::Morva, Transport::Pty, Fault::Silent, "Błąd 9 przy logowaniu do centrali"},
        FaultCase{Family::Morva, Transport::Pty, Fault::WrongPrompt, "Odebrany zły prompt"},
        FaultCase{Family::Morva, Transport::Pty, Fault::BadEcho, "Złe echo <cti\\r> odczytane=<ctx\\r\\n>"},
        FaultCase{Family::Morva, Transport::Pty, Fault::WrongPassword, "Złe hasło"},
        FaultCase{Family::Morva, Transport::Pty, Fault::RefuseCti, "Błąd 10 przy logowaniu do centrali"},
        FaultCase{Family::Morva, Transport::Tcp, Fault::WrongPrompt, "Błąd 9 przy logowaniu do centrali"},
        FaultCase{Family::Morva, Transport::Tcp, Fault::BadEcho, "Błąd 9 przy logowaniu do centrali"},
        FaultCase{Family::Morva, Transport::Tcp, Fault::WrongPassword, "Błąd 9 przy logowaniu do centrali"},
        FaultCase{Family::Morva, Transport::Tcp, Fault::RefuseCti, "Błąd 9 przy logowaniu do centrali"},
        FaultCase{Family::Morva, Transport::Tcp, Fault::Silent, "TCP: Brak potwierdzenia z centrali"},
        FaultCase{Family::Vantrel, Transport::Tcp, Fault::Silent, "TCP: Brak odpowiedzi z centrali"},
        FaultCase{Family::Vantrel, Transport::Tcp, Fault::DropConnection, "TCP: Brak odpowiedzi z centrali"}),
    [](const ::testing::TestParamInfo<FaultCase>& info) {
        std::string name = std::string(info.param.family == Family::Morva ? "Morva" : "Vantrel") +
                           (info.param.transport == Transport::Pty ? "Pty" : "Tcp");
        switch (info.param.fault) {
        case Fault::Silent:
            return name + "Silent";
        case Fault::WrongPrompt:
            return name + "WrongPrompt";
        case Fault::BadEcho:
            return name + "BadEcho";
        case Fault::WrongPassword:
            return name + "WrongPassword";
        case Fault::RefuseCti:
            return name + "RefuseCti";
        case Fault::DropConnection:
            return name + "DropConnection";
        default:
            return name + "Fault" + std::to_string(int(info.param.fault));
        }
    });

TEST_F(LinkThreadTest, OpenShellIsLoggedOutFirst) {
    ExchangeSimulator exchange(Family::Morva, Transport::Pty);
    exchange.SetFault(Fault::ShellOpen);
    ASSERT_TRUE(exchange.Start());
    startThread(linktest::Settings(exchange, 5));
    ASSERT_TRUE(exchange.WaitForLogin());
    const auto received = exchange.Received();
    EXPECT_TRUE(
        std::any_of(received.begin(), received.end(), [](const auto& r) { return r.text == "logout"; }));
}

TEST_F(LinkThreadTest, SilentVantrelOnSerialStillLogsIn) {
    ExchangeSimulator exchange(Family::Vantrel, Transport::Pty);
    exchange.SetFault(Fault::Silent);
    ASSERT_TRUE(exchange.Start());
    startThread(linktest::Settings(exchange, 4));
    ASSERT_TRUE(WaitFor([&] { return thread_->LoggedIn(); }));
}

TEST_F(LinkThreadTest, MissingSerialDeviceIsRetriedAndEndsTheThread) {
    linktest::LogCapture log;
    pbx::LinkSettings settings;
    settings.PbxType = 2;
    settings.PbxPort = 3;
    settings.serialDevice = "/nonexistent/ttyS2";
    settings.timings = pbx::LinkTimings::Scaled(50);
    startThread(settings);
    EXPECT_TRUE(log.WaitForLine("Błąd otwarcia portu COM3"));
    EXPECT_TRUE(WaitFor([&] { return thread_->Finished(); }));
    EXPECT_EQ(shared.PbxReconnectWanted.load(), 1);
}

// Sockets on 127.0.0.1 that an exchange's address may lead to: a port
// bound but not listening refuses; a listener whose one place in its queue
// is taken never answers the next connection.
struct LocalPorts {
    int refusing = -1, silent = -1, queued = -1;
    int refusingPort = 0, silentPort = 0;

    LocalPorts() {
        refusing = bound(refusingPort);
        silent = bound(silentPort);
        ::listen(silent, 0);
        sockaddr_in address = loopback(silentPort);
        queued = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ::connect(queued, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    ~LocalPorts() {
        for (int fd : {refusing, silent, queued})
            ::close(fd);
    }
    static sockaddr_in loopback(int port) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return address;
    }
    static int bound(int& port) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = loopback(0);
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t length = sizeof address;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
        return fd;
    }
};

// A name that does not resolve is a failed open: logged, waited out and
// tried again by the same thread. A refusal is a socket error that ends the
// thread; an address that never answers ends it at the connect time-out.
TEST_F(LinkThreadTest, TcpOpenFailuresEachTakeTheirOwnRoad) {
    const std::string openFailed = "TCP:Brak połączenia z centrala, nieudane otw. portu TCP";
    linktest::LogCapture log;
    auto count = [&](const std::string& text) {
        const auto lines = log.Lines();
        return std::count_if(lines.begin(), lines.end(),
                             [&](const std::string& line) { return line.find(text) != std::string::npos; });
    };
    LocalPorts ports;
    pbx::LinkSettings settings;
    settings.PbxType = 2;
    settings.PbxPort = 5;
    settings.TCPCentr = "no-such-exchange.invalid";
    settings.PortTCPCent = ports.refusingPort;
    settings.timings = pbx::LinkTimings::Scaled(50);
    startThread(settings);
    ASSERT_TRUE(WaitFor([&] { return count(openFailed) >= 2; }));
    EXPECT_FALSE(thread_->Finished());
    thread_->Terminate();
    ASSERT_TRUE(WaitFor([&] { return thread_->Finished(); }));
    EXPECT_EQ(thread_->Error(), 2);
    EXPECT_EQ(count("Watek: "), 0) << "no socket error";
    const auto openFailures = count(openFailed);

    settings.TCPCentr = "127.0.0.1";
    startThread(settings);
    ASSERT_TRUE(WaitFor([&] { return thread_->Finished(); }));
    EXPECT_EQ(thread_->Error(), 10061);
    EXPECT_EQ(count("Watek: 10061 Brak dostępu"), 1);

    settings.PortTCPCent = ports.silentPort;
    startThread(settings);
    ASSERT_TRUE(WaitFor([&] { return thread_->Finished(); }));
    EXPECT_EQ(thread_->Error(), 2);
    EXPECT_EQ(count("TCP: Timeout przy próbie uaktywnienia gniazdka TCP"), 1);
    EXPECT_EQ(count(openFailed), openFailures);
}

std::string burstOfRecords(int count) {
    std::string bytes;
    for (int i = 0; i < count; ++i)
        bytes += "CALL " + std::to_string(100000 + i) + " 203 4711\r\n";
    return bytes;
}

class LinkBurstTest : public LinkThreadTest, public ::testing::WithParamInterface<Transport> {};

TEST_P(LinkBurstTest, RecordsArriveWholeAndInOrder) {
    constexpr int Count = 10000;
    const std::string burst = burstOfRecords(Count);
    for (std::size_t chunk : {std::size_t{0}, std::size_t{1}}) {
        ExchangeSimulator exchange(Family::Vantrel, GetParam());
        ASSERT_TRUE(exchange.Start());
        startThread(linktest::Settings(exchange, 2));
        ASSERT_TRUE(exchange.WaitForLogin());
        ASSERT_TRUE(WaitFor([&] { return thread_->LoggedIn(); }));
        // Leftovers of the purged log-in answers go before the marker.
        exchange.SendRecord("MARK");
        ASSERT_TRUE(WaitFor([&] { return !records().empty() && records().back() == "MARK"; }));
        records_.clear();
        exchange.SendRaw(burst, chunk);
        ASSERT_TRUE(WaitFor([&] { return records().size() >= Count; }, 120000)) << records().size();
        const auto got = records();
        ASSERT_EQ(got.size(), static_cast<std::size_t>(Count));
        for (int i = 0; i < Count; ++i)
            ASSERT_EQ(got[i], "CALL " + std::to_string(100000 + i) + " 203 4711") << "chunk " << chunk;
        thread_.reset();
    }
}

INSTANTIATE_TEST_SUITE_P(BothTransports, LinkBurstTest, ::testing::Values(Transport::Tcp, Transport::Pty),
                         [](const ::testing::TestParamInfo<Transport>& info) {
                             return std::string(info.param == Transport::Pty ? "Pty" : "Tcp");
                         });

TEST_F(LinkThreadTest, NulBytesAndOverlongLinesOverTcp) {
    linktest::LogCapture log;
    ExchangeSimulator exchange(Family::Vantrel, Transport::Tcp);
    ASSERT_TRUE(exchange.Start());
    startThread(linktest::Settings(exchange, 2));
    ASSERT_TRUE(exchange.WaitForLogin());
    ASSERT_TRUE(WaitFor([&] { return thread_->LoggedIn(); }));
    std::string bytes("A\0B\r\n", 5);
    bytes += std::string(70000, 'x') + "\r\n";
    bytes += "AFTER\r\n";
    exchange.SendRaw(bytes);
    ASSERT_TRUE(WaitFor([&] {
        const auto r = records();
        return std::find(r.begin(), r.end(), "AFTER") != r.end();
    }));
    const auto got = records();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], "A\xFF"
                      "B");
    EXPECT_EQ(got[1], "AFTER");
    EXPECT_TRUE(log.WaitForLine("dłuższa niż 65535"));
}

TEST_F(LinkThreadTest, MorvaSerialSwallowsTheLfAndMapsNul) {
    ExchangeSimulator exchange(Family::Morva, Transport::Pty);
    ASSERT_TRUE(exchange.Start());
    startThread(linktest::Settings(exchange, 5));
    ASSERT_TRUE(exchange.WaitForLogin());
    ASSERT_TRUE(WaitFor([&] { return thread_->LoggedIn(); }));
    exchange.SendRaw(std::string("X\0Y\r\nSECOND\r\n", 13));
    ASSERT_TRUE(WaitFor([&] { return records().size() >= 2; }));
    EXPECT_EQ(records()[0], "X\xFFY");
    EXPECT_EQ(records()[1], "SECOND");
}

using linktest::Queue;

TEST_F(LinkThreadTest, OneCommandInFlightUntilTheAnswerTimesOut) {
    ExchangeSimulator exchange(Family::Vantrel, Transport::Tcp);
    exchange.SetAnswerRule({sim::AnswerRule::Kind::Silent});
    ASSERT_TRUE(exchange.Start());
    Klient older("10.0.0.2", "older", nullptr, 0);
    Klient newer("10.0.0.3", "newer", nullptr, 0);
    startThread(linktest::Settings(exchange, 2, 50, &clock));
    ASSERT_TRUE(exchange.WaitForLogin());
    ASSERT_TRUE(WaitFor([&] { return thread_->LoggedIn(); }));
    Queue(ServerKlient, "S1\r");
    Queue(&older, "A1\r");
    Queue(&older, "A2\r");
    Queue(&newer, "B1\r");

    const std::vector<std::string> expected{"B1", "A1", "A2", "S1"};
    for (std::size_t i = 0; i < expected.size(); ++i) {
        ASSERT_TRUE(exchange.WaitForCommand(expected[i])) << expected[i];
        // Many passes of the link go by: nothing more leaves while the answer
        // is awaited and the clock stands still.
        const std::uint64_t seen = thread_->Passes();
        ASSERT_TRUE(WaitFor([&] { return thread_->Passes() > seen + 40; }));
        EXPECT_EQ(exchange.Commands().size(), i + 1);
        clock.advance(30001);
    }
    EXPECT_EQ(exchange.Commands(), expected);
}

TEST_F(LinkThreadTest, ExpiredCommandIsDroppedUnsent) {
    ExchangeSimulator exchange(Family::Vantrel, Transport::Tcp);
    ASSERT_TRUE(exchange.Start());
    startThread(linktest::Settings(exchange, 2, 50, &clock));
    ASSERT_TRUE(exchange.WaitForLogin());
    ASSERT_TRUE(WaitFor([&] { return thread_->LoggedIn(); }));
    {
        auto lock = LockChains();
        ServerKlient->Komendy.emplace_back("GONE\r", 5, -1);
        ServerKlient->Komendy.emplace_back("KEPT\r", 5, 1000);
    }
    ASSERT_TRUE(exchange.WaitForCommand("KEPT"));
    EXPECT_EQ(exchange.Commands(), std::vector<std::string>{"KEPT"});
}

TEST_F(LinkThreadTest, UnansweredSerialLinkCheckEndsTheThread) {
    linktest::LogCapture log;
    ExchangeSimulator exchange(Family::Vantrel, Transport::Pty);
    ASSERT_TRUE(exchange.Start());
    startThread(linktest::Settings(exchange, 2, 50, &clock));
    ASSERT_TRUE(WaitFor([&] { return thread_->LoggedIn(); }));
    ASSERT_TRUE(WaitFor([&] { return shared.LinkState == 1; })); // the first check was answered
    exchange.SetFault(Fault::Silent);
    clock.advance(15000);
    ASSERT_TRUE(WaitFor([&] { return shared.LinkState == 2; })); // checked again, no answer yet
    clock.advance(15000);
    EXPECT_TRUE(WaitFor([&] { return thread_->Finished(); }));
    EXPECT_TRUE(log.WaitForLine("Brak potwierdzenia z centrali"));
}

class QuietLinkTest : public LinkThreadTest, public ::testing::WithParamInterface<Transport> {};

// A quiet link sleeps on its port: it makes next to no passes while the test
// looks at it again and again, yet a record, a queued command and the answer
// that frees the next command each wake it at once (the wait bounds lie far
// below the 15 s and 30 s it would otherwise sleep).
TEST_P(QuietLinkTest, SleepsAndWakesForRecordsCommandsAndAnswers) {
    ExchangeSimulator exchange(Family::Vantrel, GetParam());
    ASSERT_TRUE(exchange.Start());
    startThread(linktest::Settings(exchange, 2)); // the computer's clock
    ASSERT_TRUE(exchange.WaitForLogin());
    ASSERT_TRUE(WaitFor([&] { return thread_->LoggedIn() && shared.LinkState == 1; }));
    const std::uint64_t passesBefore = thread_->Passes();
    for (int look = 0; look < 50; ++look)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_LE(thread_->Passes() - passesBefore, 4u);

    exchange.SendRecord("C01 05 201");
    EXPECT_TRUE(WaitFor(
        [&] {
            const auto seen = records();
            return std::find(seen.begin(), seen.end(), "C01 05 201") != seen.end();
        },
        10000));

    // Queued as the queue operations do: the chain, then the wake.
    linktest::Queue(ServerKlient, "X1\r");
    linktest::Queue(ServerKlient, "X2\r");
    shared.LinkThreadWake.Wake();
    ASSERT_TRUE(exchange.WaitForCommand("X1", 10000));
    // The dispatcher's part: the answer frees the link for the next command.
    ASSERT_TRUE(WaitFor(
        [&] {
            const auto lines = linktest::TakeReceivedLines(shared);
            return std::find(lines.begin(), lines.end(), "OK") != lines.end();
        },
        10000));
    EXPECT_TRUE(shared.AnswerCommandInFlight());
    EXPECT_TRUE(exchange.WaitForCommand("X2", 10000));
}

// A record that comes with the answer to the link check is handed on at
// once, not held until the exchange next sends (on a quiet link, the next
// check, 30 s on).
TEST_F(LinkThreadTest, ARecordThatComesWithTheLinkChecksAnswerIsNotHeld) {
    ExchangeSimulator exchange(Family::Vantrel, Transport::Tcp);
    std::atomic<bool> armed{false};
    std::atomic<bool> checked{false};
    exchange.OnReceived = [&](const std::string& text) {
        if (armed.load() && text == "cti on" && !checked.exchange(true))
            exchange.SendRecord("C01 05 201");
    };
    ASSERT_TRUE(exchange.Start());
    startThread(linktest::Settings(exchange, 2)); // the computer's clock: the check comes after 30 s
    ASSERT_TRUE(exchange.WaitForLogin());
    ASSERT_TRUE(WaitFor([&] { return thread_->LoggedIn() && shared.LinkState == 1; }));
    armed = true;
    ASSERT_TRUE(exchange.WaitUntil([&] { return checked.load(); }, 60000));
    EXPECT_TRUE(WaitFor(
        [&] {
            const auto seen = records();
            return std::find(seen.begin(), seen.end(), "C01 05 201") != seen.end();
        },
        10000));
}

INSTANTIATE_TEST_SUITE_P(BothTransports, QuietLinkTest, ::testing::Values(Transport::Tcp, Transport::Pty),
                         [](const ::testing::TestParamInfo<Transport>& info) {
                             return std::string(info.param == Transport::Pty ? "Pty" : "Tcp");
                         });

TEST_F(LinkThreadTest, StopWhileBlockedInASerialReadEndsAtOnce) {
    ExchangeSimulator exchange(Family::Vantrel, Transport::Pty);
    exchange.SetFault(Fault::Silent);
    ASSERT_TRUE(exchange.Start());
    auto settings = linktest::Settings(exchange, 2, 1); // standard pauses: reads wait 10 s
    settings.timings.startDelay = 1;
    settings.timings.wakeUpPause = 1;
    startThread(settings);
    ASSERT_TRUE(exchange.WaitUntil([&] {
        const auto r = exchange.Received();
        return std::any_of(r.begin(), r.end(), [](const auto& c) { return c.text == "CRC OFF"; });
    }));
    thread_->Terminate();
    EXPECT_TRUE(WaitFor([&] { return thread_->Finished(); }, 5000));
}

} // namespace
