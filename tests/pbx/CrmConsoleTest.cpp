// The CRM console socket with real parts: the window in-process, its link to
// a simulated exchange over TCP, and CRM programs as TCP clients on
// 127.0.0.1: the type-5 log-in, the answers the server gives itself, lines
// passed to the exchange in turn, the exchange's lines copied back, the
// connection limit, a link that is down, and a program that stops reading.
#include "pbx/CrmConsole.h"
#include "pbx/PbxLink.h"
#include "shell/MainForm.h"
#include "support/LinkTestSupport.h"
#include "ui/Dialogs.h"

#include <QCoreApplication>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <random>
#include <sys/socket.h>
#include <unistd.h>

using sim::ExchangeSimulator;
using sim::Family;
using sim::Transport;

namespace {

// A CRM program: what it received so far.
struct Program {
    QTcpSocket socket;
    std::string received;

    void send(const std::string& bytes) {
        socket.write(bytes.data(), qint64(bytes.size()));
        socket.flush();
    }
    void take() { received += socket.readAll().toStdString(); }
};

class CrmConsoleTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        qputenv("HALVEX_REGISTRY_DIR", dir_.path().toLocal8Bit());
        qputenv("XDG_RUNTIME_DIR", dir_.path().toLocal8Bit());
        ui::setDialogs(std::make_shared<ui::ScriptedDialogs>());
        pbx::linkEnvironment().timings = pbx::LinkTimings::Scaled(50);
        // The link's keep-alives wait for a clock that stands still.
        pbx::linkEnvironment().clock = &clock_;
    }
    void TearDown() override {
        programs_.clear();
        delete form_;
        form_ = nullptr;
        UsunWszystkichKlientow();
        pbx::linkEnvironment() = pbx::LinkEnvironment();
    }

    // The window with its CRM socket open on a port the system chose (port 0)
    // or switched on at `crmPort`, linked to `exchange` when given.
    void start(int type, ExchangeSimulator* exchange, int crmPort = 0) {
        platform::RegistryKey key(platform::RegistryBranch::Machine);
        ASSERT_TRUE(key.OpenKey("\\software\\Vorlin\\Halvex", true));
        key.WriteInteger("Port", 5);
        key.WriteInteger("Centrala", type);
        key.WriteString("TCPCentr", "127.0.0.1");
        if (exchange)
            key.WriteInteger("PortTCPCent", exchange->Port());
        key.WriteInteger("AutomPrzyw", 0);
        key.WriteBool("CRMsocketActive", true);
        key.WriteInteger("PortTCP_CRM", crmPort);
        key.WriteInteger("MaxPolaczenCRM", 2);
        StartupOptions options;
        options.connectExchange = exchange != nullptr;
        options.attachDatabase = false;
        options.openClientService = false;
        form_ = new TForm1(nullptr, options);
        // The test reads the log queue itself.
        form_->TimerUpdateInfo->SetEnabled(false);
        crmPort_ = crmPort;
        if (crmPort == 0) {
            ASSERT_TRUE(form_->CRMsocket->isListening()) << form_->CRMsocket->errorString().toStdString();
            crmPort_ = form_->CRMsocket->serverPort();
        }
        if (exchange) {
            // Records end in CR alone, so no blank lines come between them.
            exchange->SetLineEnd("\r");
            ASSERT_TRUE(serveUntil([&] { return exchange->LoggedIn(); }));
            // A record after the log-in clears the link's error count.
            exchange->SendRecord("X");
            ASSERT_TRUE(serveUntil([&] { return form_->Pbx().PbxLinkErrorCount.load() == 0; }));
        }
    }

    pbx::CrmConsole& console() { return form_->Pbx().Crm(); }

    bool serveUntil(const std::function<bool()>& condition) {
        return linktest::WaitFor([&] {
            form_->Pbx().ObslugaCentrali();
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            for (auto& p : programs_)
                p->take();
            return condition();
        });
    }

    Program& connect() {
        programs_.push_back(std::make_unique<Program>());
        Program& p = *programs_.back();
        p.socket.connectToHost(QHostAddress::LocalHost, quint16(crmPort_));
        EXPECT_TRUE(serveUntil([&] { return p.socket.state() == QAbstractSocket::ConnectedState; }));
        return p;
    }

    // Sends and waits until the console took the bytes.
    void say(Program& p, const std::string& bytes) {
        const std::uint64_t expected = console().BytesRead() + bytes.size();
        p.send(bytes);
        ASSERT_TRUE(serveUntil([&] { return console().BytesRead() >= expected; }));
    }
    bool receives(Program& p, const std::string& bytes) {
        return serveUntil([&] { return p.received.find(bytes) != std::string::npos; });
    }

    QTemporaryDir dir_;
    platform::ManualClock clock_;
    TForm1* form_ = nullptr;
    int crmPort_ = 0;
    std::vector<std::unique_ptr<Program>> programs_;
};

TEST_F(CrmConsoleTest, MorvaProgramLogsInByteForByteAndThenTalksToTheExchange) {
    ExchangeSimulator exchange(Family::Morva, Transport::Tcp);
    ASSERT_TRUE(exchange.Start());
    ASSERT_NO_FATAL_FAILURE(start(5, &exchange));
    linktest::LogCapture log;
    Program& crm = connect();
    Program& idle = connect();
    ASSERT_TRUE(receives(crm, "Morva login: "));
    ASSERT_TRUE(receives(idle, "Morva login: "));

    // Wrong input before the log-in is ignored without an answer.
    say(crm, "at\r");
    say(crm, "cti\r");
    say(crm, "quabrils\r");
    say(crm, "Quabrils\r");
    say(crm, "cti 4\r");
    ASSERT_TRUE(receives(crm, "OK\r"));
    EXPECT_EQ(crm.received, "Morva login: cti\rPassword: CTI: OK\r");

    // Logged in: the keep-alive is refused, set-up words in capitals are
    // answered, anything else (lower case included) goes to the exchange.
    const auto keepAlives = [&] {
        const auto r = exchange.Received();
        return std::count_if(r.begin(), r.end(), [](const auto& c) { return c.text == "C03"; });
    };
    const auto keepAlivesBefore = keepAlives();
    crm.received.clear();
    say(crm, "C03\r");
    say(crm, "AT\r");
    say(crm, "at\r");
    ASSERT_TRUE(exchange.WaitForCommand("at"));
    ASSERT_TRUE(receives(crm, "OK\n"));
    EXPECT_EQ(crm.received, "ERROR 1\rOK\n");
    EXPECT_EQ(keepAlives(), keepAlivesBefore);

    // The exchange's lines reach logged-in programs only, modem words none.
    exchange.SendRecord("OK");
    exchange.SendRecord("C01 05 201");
    ASSERT_TRUE(receives(crm, "C01 05 201\r\n"));
    EXPECT_EQ(crm.received, "ERROR 1\rOK\nC01 05 201\r\n");
    EXPECT_EQ(idle.received, "Morva login: ");

    // A connection the program closes frees its slot and is logged as a close, not as an error.
    crm.socket.disconnectFromHost();
    ASSERT_TRUE(serveUntil([&] { return console().ConnectionCount() == 1; }));
    EXPECT_TRUE(log.WaitForLine("CRM: program 127.0.0.1 rozłączył się, socket=1"));
    for (const std::string& line : log.Lines())
        EXPECT_EQ(line.find("Socket Error"), std::string::npos) << line;
    int held = 0;
    for (const pbx::CrmSlot& slot : form_->Pbx().CrmSlots)
        held += slot.Socket != -1;
    EXPECT_EQ(held, 1);
}

TEST_F(CrmConsoleTest, VantrelProgramGetsAnswersLinesInTurnCopiesAndTheLimit) {
    ExchangeSimulator exchange(Family::Vantrel, Transport::Tcp);
    ASSERT_TRUE(exchange.Start());
    ASSERT_NO_FATAL_FAILURE(start(2, &exchange));
    linktest::LogCapture log;
    Program& first = connect();
    Program& second = connect();
    programs_.push_back(std::make_unique<Program>());
    Program& third = *programs_.back();
    third.socket.connectToHost(QHostAddress::LocalHost, quint16(crmPort_));
    ASSERT_TRUE(serveUntil([&] { return third.socket.state() == QAbstractSocket::UnconnectedState; }));
    EXPECT_TRUE(log.WaitForLine("CRM client number exceeded"));
    EXPECT_EQ(console().ConnectionCount(), 2u);

    // Set-up words in any case are answered here; no prompt for this family.
    say(first, "at\rCrc Off\r");
    ASSERT_TRUE(receives(first, "OK\nOK\n"));
    EXPECT_EQ(first.received, "OK\nOK\n");

    // A line split across reads is completed; two lines in one read are two
    // commands, behind the server's own command in flight.
    exchange.SetAnswerRule({sim::AnswerRule::Kind::Ok, 1, 200});
    form_->Pbx().WyslijLinie("SP 201&ON&\r", 1000);
    say(first, "WN 20");
    say(first, "1&600&\rA1\r\nA2\r");
    ASSERT_TRUE(serveUntil([&] { return exchange.Commands().size() >= 4; }));
    EXPECT_EQ(exchange.Commands(), (std::vector<std::string>{"SP 201&ON&", "WN 201&600&", "A1", "A2"}));

    // Every exchange line but the modem words reaches every program, CR LF added.
    exchange.SendRecord("C01 05 201");
    ASSERT_TRUE(receives(first, "C01 05 201\r\n"));
    ASSERT_TRUE(receives(second, "C01 05 201\r\n"));
    EXPECT_EQ(second.received, "C01 05 201\r\n");
}

TEST_F(CrmConsoleTest, LinkDownDropsLinesUnanswered) {
    ASSERT_NO_FATAL_FAILURE(start(2, nullptr));
    Program& crm = connect();
    form_->Pbx().PbxLinkErrorCount = 5;
    say(crm, "AT\rWN 201&600&\r");
    EXPECT_EQ(form_->Pbx().ServerChainLength(), 0u);
    form_->Pbx().PbxLinkErrorCount = 0;
    say(crm, "WN 201&601&\rCTI ON\r");
    ASSERT_TRUE(receives(crm, "OK\n"));
    EXPECT_EQ(crm.received, "OK\n");
    EXPECT_EQ(form_->Pbx().ServerChainLength(), 1u);
}

TEST_F(CrmConsoleTest, ProgramThatNeverReadsIsClosedAtTheCapOthersKeepReceiving) {
    ExchangeSimulator exchange(Family::Vantrel, Transport::Tcp);
    ASSERT_TRUE(exchange.Start());
    ASSERT_NO_FATAL_FAILURE(start(2, &exchange));
    linktest::LogCapture log;
    Program& reader = connect();
    // A program with a small window that never reads.
    const int stalled = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(stalled, 0);
    const int window = 4096;
    ::setsockopt(stalled, SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(quint16(crmPort_));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(stalled, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    ASSERT_TRUE(serveUntil([&] { return console().ConnectionCount() == 2; }));

    // More than the cap and every kernel buffer on the way can hold, in
    // bursts the reader keeps up with.
    const std::string record = "C12 " + std::string(995, 'x') + "\r";
    std::size_t sent = 0;
    while (console().ConnectionCount() == 2 && sent < 40000) {
        const std::uint32_t handled = form_->Pbx().Shared().HandledBytes.load();
        exchange.SendStream(record, 200);
        sent += 200;
        ASSERT_TRUE(serveUntil([&] {
            return form_->Pbx().Shared().HandledBytes.load() >= handled + 200 * (record.size() - 1);
        }));
    }
    ASSERT_EQ(console().ConnectionCount(), 1u);
    EXPECT_TRUE(log.WaitForLine("nie odbiera danych"));
    exchange.SendRecord("C01 05 201");
    ASSERT_TRUE(receives(reader, "C01 05 201\r\n"));
    EXPECT_EQ(reader.received.size(), sent * (record.size() + 1) + 12);
    ::close(stalled);
}

// A port another program holds at start is tried again until it opens: its
// first failure and its opening are said on stderr, the tries between are
// not, and once open its programs get the exchange's lines.
TEST_F(CrmConsoleTest, APortInUseAtStartIsTriedAgainUntilItOpensAndThenGetsTheExchangeLines) {
    ExchangeSimulator exchange(Family::Vantrel, Transport::Tcp);
    ASSERT_TRUE(exchange.Start());
    auto holder = std::make_unique<QTcpServer>();
    ASSERT_TRUE(holder->listen(QHostAddress::AnyIPv4));
    const std::string port = std::to_string(holder->serverPort());
    testing::internal::CaptureStderr();
    ASSERT_NO_FATAL_FAILURE(start(2, &exchange, holder->serverPort()));
    EXPECT_FALSE(console().Active());
    ASSERT_TRUE(console().PortRetry().isActive());
    // Shortened, so that the test need not wait for the usual interval.
    console().PortRetry().setInterval(10);
    int tries = 0;
    QObject::connect(&console().PortRetry(), &QTimer::timeout, [&] { ++tries; });
    ASSERT_TRUE(serveUntil([&] { return tries >= 3; }));
    form_->Pbx().CrmSocketSetActive(true); // switched on again meanwhile: not said again
    holder.reset();
    ASSERT_TRUE(serveUntil([&] { return console().Active(); }));
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(console().PortRetry().isActive());
    const auto count = [&said](const std::string& part) {
        std::size_t n = 0;
        for (auto at = said.find(part); at != std::string::npos; at = said.find(part, at + 1))
            ++n;
        return n;
    };
    EXPECT_EQ(count("cannot open the CRM console port " + port + ": "), 1u) << said;
    EXPECT_EQ(count("the CRM console port " + port + " is open now"), 1u) << said;

    Program& program = connect();
    ASSERT_TRUE(serveUntil([&] { return console().ConnectionCount() == 1; }));
    exchange.SendRecord("C01 05 201");
    ASSERT_TRUE(receives(program, "C01 05 201\r\n"));
    EXPECT_EQ(program.received, "C01 05 201\r\n");
}

// Mutated byte streams through the line cutting and the console's rules: no
// line grows past the limit, nothing is lost from well-formed input after.
TEST(CrmConsoleInput, MutatedStreamsAreCutSafelyAndWellFormedInputStillWorks) {
    std::mt19937 random(1313);
    const std::vector<std::string> seeds = {"cti\r",     "Quabrils\r",  "cti 4\r", "AT\r\n", "C03\r",
                                            "CRC OFF\r", "WN 201&6&\r", "\r\n",    "\n"};
    pbx::CrmLineCutter cutter;
    std::deque<std::string> lines;
    int stage = 0;
    for (int round = 0; round < 100000; ++round) {
        std::string bytes = seeds[random() % seeds.size()];
        switch (random() % 6) {
        case 0:
            bytes[random() % bytes.size()] = char(random());
            break;
        case 1:
            bytes.insert(random() % (bytes.size() + 1), std::string(random() % 4, char(random())));
            break;
        case 2:
            bytes.resize(random() % (bytes.size() + 1));
            break;
        case 3:
            if (random() % 500 == 0)
                bytes = std::string(pbx::CrmLineCutter::LineLimit + random() % 1000, 'y');
            break;
        default:
            break;
        }
        cutter.Feed(bytes, lines);
        while (!lines.empty()) {
            const std::string& line = lines.front();
            ASSERT_LE(line.size(), pbx::CrmLineCutter::LineLimit + 2);
            ASSERT_EQ(line.find('\r'), line.size() - (line.ends_with("\r\n") ? 2 : 1));
            const pbx::CrmAnswer answer = pbx::CrmAnswerFor(int(random() % 6), stage, random() % 2, line);
            if (answer.nextStage >= 0)
                stage = answer.nextStage;
            lines.pop_front();
        }
    }
    // Whatever was left half-done, a line end closes it and the next line stands alone.
    cutter.Feed("\r", lines);
    lines.clear();
    cutter.Feed("C", lines);
    cutter.Feed("TI ON\r", lines);
    cutter.Feed("\nAT\r", lines);
    ASSERT_EQ(lines, (std::deque<std::string>{"CTI ON\r", "AT\r"}));
    EXPECT_EQ(pbx::CrmAnswerFor(2, -1, false, "cti on\r").reply, "OK\n");
    EXPECT_EQ(pbx::CrmAnswerFor(5, 3, false, "cti on\r").kind, pbx::CrmAnswer::Kind::Exchange);
    EXPECT_EQ(pbx::CrmAnswerFor(5, -1, false, "cti\r").kind, pbx::CrmAnswer::Kind::Ignore);
}

} // namespace
