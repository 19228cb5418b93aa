// The simulated exchange's GSM line modules, seen from a bare TCP peer: what
// the end-to-end SMS tests rely on.
#include "support/ExchangeSimulator.h"
#include "support/GsmPdus.h"

#include <gtest/gtest.h>

#include <QByteArray>

#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A bare exchange peer: writes lines ending in CR, reads records ending in CR LF.
class Peer {
  public:
    explicit Peer(int port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~Peer() { ::close(fd_); }
    bool Connected() const { return connected_; }
    void Send(const std::string& line) {
        const std::string bytes = line + "\r";
        ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
    }
    // The next record, or "<none>" when none comes within a generous deadline.
    std::string Next() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        for (;;) {
            if (const auto end = input_.find("\r\n"); end != std::string::npos) {
                std::string record = input_.substr(0, end);
                input_.erase(0, end + 2);
                return record;
            }
            pollfd p{fd_, POLLIN, 0};
            if (std::chrono::steady_clock::now() > deadline || ::poll(&p, 1, 100) < 0)
                return "<none>";
            char chunk[4096];
            if (p.revents & POLLIN) {
                const ssize_t n = ::read(fd_, chunk, sizeof chunk);
                if (n <= 0)
                    return "<none>";
                input_.append(chunk, static_cast<std::size_t>(n));
            }
        }
    }
    // Sends a command and returns what follows its "OK".
    std::vector<std::string> Ask(const std::string& command, int records) {
        Send(command);
        EXPECT_EQ(Next(), "OK") << command;
        std::vector<std::string> out;
        for (int i = 0; i < records; ++i)
            out.push_back(Next());
        return out;
    }

  private:
    int fd_ = -1;
    bool connected_ = false;
    std::string input_;
};

std::vector<std::string> split(const std::string& text) {
    std::vector<std::string> out(1);
    for (const char c : text) {
        if (c == ' ')
            out.emplace_back();
        else
            out.back() += c;
    }
    return out;
}

std::string hexOfBase64(const std::string& text) {
    return QByteArray::fromBase64(QByteArray::fromStdString(text)).toHex().toUpper().toStdString();
}

class GsmModules : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(exchange.Start());
        peer = std::make_unique<Peer>(exchange.Port());
        ASSERT_TRUE(peer->Connected());
        peer->Send("CTI ON");
        ASSERT_EQ(peer->Next(), "OK");
    }

    sim::ExchangeSimulator exchange{sim::Family::Vantrel, sim::Transport::Tcp};
    std::unique_ptr<Peer> peer;
};

TEST_F(GsmModules, ReportTheirLinesAndTableChanges) {
    exchange.SetGsmLine(0, "601000001");
    exchange.SetGsmLine(3, "0");
    exchange.SetGsmLine(16, "601000016"); // no such module
    EXPECT_EQ(peer->Ask("GSM GET 0", 1), std::vector<std::string>{"GSM PUT 0 601000001"});
    EXPECT_EQ(peer->Ask("GSM GET 3", 1), std::vector<std::string>{"GSM PUT 3 0"});
    EXPECT_EQ(peer->Ask("GSM GET 5", 1), std::vector<std::string>{"GSM PUT 5 -1"});
    EXPECT_EQ(peer->Ask("GSM GET 16", 1), std::vector<std::string>{"GSM PUT 16 -1"});
    exchange.RemoveGsmLine(0);
    EXPECT_EQ(peer->Ask("GSM GET 0", 1), std::vector<std::string>{"GSM PUT 0 -1"});
    exchange.SetGsmLine(4, "601000005");
    exchange.SendGsmAdd(4);
    EXPECT_EQ(peer->Next(), "GSM ADD 4 601000005");
    exchange.SendGsmClear();
    EXPECT_EQ(peer->Next(), "GSM CLR");

    // An exchange that refuses commands answers the modules' questions no more.
    exchange.SetAnswerRule({sim::AnswerRule::Kind::Error, 1});
    peer->Send("GSM GET 4");
    EXPECT_EQ(peer->Next(), "ERROR 1");
    peer->Send("GSM GET 4");
    EXPECT_EQ(peer->Next(), "ERROR 1");
}

// Stored messages come one per "SMS GET", in the split asked for, again and
// again until acknowledged; announced ones come as "SMS ADD" parts at once.
TEST_F(GsmModules, HandOutStoredMessagesUntilAcknowledged) {
    const int meeting = exchange.StoreSms(2, sim::pdu::DeliverMeeting, {30, 0, 50});
    const int hello = exchange.StoreSms(2, sim::pdu::DeliverHello);
    ASSERT_GE(meeting, 0);
    ASSERT_NE(hello, meeting);
    EXPECT_EQ(exchange.StoreSms(2, "0A1"), -1);
    EXPECT_EQ(exchange.StoreSms(16, sim::pdu::DeliverHello), -1);

    for (int round = 0; round < 2; ++round) {
        const auto parts = peer->Ask("SMS GET 2", 3);
        std::string joined;
        for (int i = 0; i < 3; ++i) {
            const auto t = split(parts[static_cast<std::size_t>(i)]);
            ASSERT_EQ(t.size(), 7u) << parts[static_cast<std::size_t>(i)];
            EXPECT_EQ(std::vector<std::string>(t.begin(), t.begin() + 6),
                      (std::vector<std::string>{"SMS", "PUT", "2", std::to_string(meeting),
                                                std::to_string(i + 1), "3"}));
            joined += hexOfBase64(t[6]);
        }
        EXPECT_EQ(joined, sim::pdu::DeliverMeeting);
        EXPECT_EQ(hexOfBase64(split(parts[0])[6]).size(), 60u);
    }
    EXPECT_EQ(exchange.StoredSmsCount(2), 2u);
    peer->Send("SMS ACK 2 " + std::to_string(meeting));
    ASSERT_EQ(peer->Next(), "OK");
    const auto next = split(peer->Ask("SMS GET 2", 1)[0]);
    ASSERT_EQ(next.size(), 7u);
    EXPECT_EQ(next[3] + " " + next[4] + " " + next[5], std::to_string(hello) + " 1 1");
    EXPECT_EQ(hexOfBase64(next[6]), sim::pdu::DeliverHello);
    peer->Send("SMS ACK 2 " + std::to_string(hello));
    ASSERT_EQ(peer->Next(), "OK");
    EXPECT_EQ(peer->Ask("SMS GET 2", 1), std::vector<std::string>{"SMS PUT 2 -1 0 0 0"});
    EXPECT_EQ(peer->Ask("SMS GET 7", 1), std::vector<std::string>{"SMS PUT 7 -1 0 0 0"});

    const int announced = exchange.AnnounceSms(1, sim::pdu::DeliverPolish, {54});
    const auto added = split(peer->Next());
    ASSERT_EQ(added.size(), 7u);
    EXPECT_EQ(added[1] + " " + added[2] + " " + added[3] + " " + added[4] + " " + added[5],
              "ADD 1 " + std::to_string(announced) + " 1 1");
    EXPECT_EQ(hexOfBase64(added[6]), sim::pdu::DeliverPolish);
    EXPECT_EQ(exchange.StoredSmsCount(1), 1u);
}

// "SMS SND" parts are joined into the PDU; the last brings the scripted
// answer: report identifiers, ACK, ERR or nothing, and a status report.
TEST_F(GsmModules, JoinSentPartsAndAnswerAsScripted) {
    const std::string pduHex = "003100098121436587F90000AA0361F118";
    const std::string octets = QByteArray::fromHex(QByteArray::fromStdString(pduHex)).toStdString();
    const auto b64 = [](const std::string& bytes) {
        return QByteArray::fromStdString(bytes).toBase64().toStdString();
    };
    exchange.SetNextMessageReference(254);
    exchange.QueueSmsSendScript({true, sim::SmsSendScript::Outcome::Ack, 0, 0x45});
    exchange.QueueSmsSendScript({false, sim::SmsSendScript::Outcome::Error, -5});
    exchange.SetSmsSendScript({false, sim::SmsSendScript::Outcome::Silent});

    const std::string first = "SMS SND 2 17 1 2 " + b64(octets.substr(0, 8));
    const std::string second = "SMS SND 2 17 2 2 " + b64(octets.substr(8));
    EXPECT_TRUE(peer->Ask(first, 0).empty());
    const auto answers = peer->Ask(second, 3);
    EXPECT_EQ(answers[0], "SMS RAPORT_ID 2 17 254");
    EXPECT_EQ(answers[1], "SMS ACK 2 17");
    const auto report = split(answers[2]);
    ASSERT_EQ(report.size(), 4u);
    EXPECT_EQ(report[1] + " " + report[2], "RAPORT 2");
    EXPECT_EQ(hexOfBase64(report[3]), sim::pdu::StatusReport(254, 0x45));
    EXPECT_EQ(hexOfBase64(report[3]).substr(4, 2), "FE");

    EXPECT_EQ(peer->Ask("SMS SND 0 18 1 1 " + b64(octets), 1), std::vector<std::string>{"SMS ERR 0 18 -5"});
    peer->Ask("SMS SND 0 19 1 1 " + b64(octets), 0);
    // A part out of order and bad Base64 are counted, not joined.
    peer->Ask("SMS SND 1 20 2 2 " + b64(octets), 0);
    peer->Ask("SMS SND 1 21 1 1 ***", 0);
    EXPECT_EQ(peer->Ask("GSM GET 9", 1), std::vector<std::string>{"GSM PUT 9 -1"}); // nothing came between

    ASSERT_TRUE(exchange.WaitForSentMessages(3));
    const auto sent = exchange.SentMessages();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].PduHex(), pduHex);
    EXPECT_EQ(sent[0].frames, (std::vector<std::string>{first, second}));
    EXPECT_EQ(sent[0].messageReference, 254);
    EXPECT_EQ(sent[1].line, 0);
    EXPECT_EQ(sent[1].id, 18);
    EXPECT_EQ(sent[1].messageReference, -1);
    EXPECT_EQ(sent[2].id, 19);
    EXPECT_EQ(exchange.BadSmsFrames(), 2);

    exchange.SendStatusReport(3, 7, 0);
    const auto later = split(peer->Next());
    ASSERT_EQ(later.size(), 4u);
    EXPECT_EQ(hexOfBase64(later[3]), sim::pdu::StatusReport(7, 0));
}

} // namespace
