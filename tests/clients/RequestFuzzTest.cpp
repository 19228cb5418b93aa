// 100,000 random and mutated requests, made by a seeded generator from the
// request table, against the real service over a socket: the server never
// crashes or overruns (run under AddressSanitizer too), its memory for a
// client stays bounded, and well-formed requests after them are handled.
#include "ClientServiceSupport.h"

#include <gtest/gtest.h>
#include <random>

namespace clienttest {
namespace {

class RequestGenerator {
  public:
    explicit RequestGenerator(std::uint32_t seed) : random_(seed) {}

    std::string next() {
        std::string request = pick(3) == 0 ? mutate(seed()) : mutate(made());
        return request;
    }

  private:
    std::size_t pick(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(random_); }

    const std::string& seed() {
        const auto& requests = WellFormedRequests();
        return requests[pick(requests.size())];
    }

    std::string field() {
        static const std::string alphabet = "0123456789abcXYZ&\\!\r\n \xff\xb9\x01.-=:";
        const std::size_t length = pick(8) == 0 ? pick(400) : pick(24);
        std::string text;
        for (std::size_t i = 0; i < length; ++i)
            text += pick(6) == 0 ? char(pick(256)) : alphabet[pick(alphabet.size())];
        return text;
    }

    // A keyword of the table with random fields and a random end.
    std::string made() {
        static const std::vector<std::string> keywords{
            "WI",      "KLA", "KL",       "BT",       "BN",   "WN",  "ZP",      "PING",
            "OP",      "TD",  "RE",       "HO",       "UH",   "SP",  "DB_ADD&", "DB_UPD&",
            "DB_DEL&", "VM&", "DBG_ADD&", "DBG_DEL&", "SMS&", "VB&", "GWW&"};
        static const std::vector<std::string> ends{"\r", "\r\n", "\xff", "\xff\n", "", "\n"};
        std::string request = "!" + keywords[pick(keywords.size())];
        const std::size_t fields = pick(6);
        for (std::size_t i = 0; i < fields; ++i)
            request += "&" + field();
        return request + ends[pick(ends.size())];
    }

    std::string mutate(std::string text) {
        const std::size_t changes = pick(4);
        for (std::size_t i = 0; i < changes && !text.empty(); ++i) {
            switch (pick(5)) {
            case 0:
                text[pick(text.size())] = char(pick(256));
                break;
            case 1:
                text.insert(pick(text.size() + 1), 1, "\r\n\xff!&"[pick(5)]);
                break;
            case 2:
                text.resize(pick(text.size() + 1));
                break;
            case 3: {
                const std::size_t from = pick(text.size());
                text.insert(pick(text.size() + 1), text.substr(from, pick(32)));
                break;
            }
            default:
                text = std::string(pick(2) ? "OK" : pick(2) ? "RECEIVE" : "ERROR") + text;
            }
        }
        return text;
    }

    std::mt19937 random_;
};

class RequestFuzz : public ClientServiceFixture {
  protected:
    void SetUp() override {
        ClientServiceFixture::SetUp();
        // A hundred thousand requests' worth of log lines would only slow it down.
        base::Switches().LogInfo = false;
    }
};

TEST_F(RequestFuzz, HundredThousandRandomAndMutatedRequestsLeaveTheServiceWorking) {
    const int Total =
        qEnvironmentVariableIntValue("FUZZ_TOTAL") ? qEnvironmentVariableIntValue("FUZZ_TOTAL") : 100000;
    constexpr int PerBatch = 500;
    RequestGenerator generator(20240501);
    std::mt19937 splits(7);
    linkExchange();
    auto client = std::make_unique<sim::ClientSimulator>();
    logIn(*client, "7");
    int reconnects = 0;
    std::size_t generated = 0, delivered = 0;
    for (int sent = 0; sent < Total; sent += PerBatch) {
        std::string batch;
        for (int i = 0; i < PerBatch; ++i)
            batch += generator.next();
        generated += batch.size();
        // Sent in a few writes cut at random places.
        std::size_t at = 0;
        while (at < batch.size()) {
            const std::size_t piece = std::uniform_int_distribution<std::size_t>(1, batch.size())(splits);
            if (client->Send(batch.substr(at, piece)))
                delivered += std::min(piece, batch.size() - at);
            at += piece;
        }
        ASSERT_TRUE(settled(*client)) << "after " << sent;
        if (qEnvironmentVariableIsSet("FUZZ_TRACE"))
            std::fprintf(stderr, "batch %d\n", sent);
        for (Klient* k = KlientList; k; k = k->Nastepny)
            ASSERT_LE(k->ReceiveRemainder.size(), clients::ClientService::ReceiveRemainderLimit);
        // A refused log-in costs the connection: come back as a real client would.
        if (!newestRecord() || !client->IsConnected()) {
            client = std::make_unique<sim::ClientSimulator>();
            ASSERT_TRUE(PumpUntil([&] { return newestRecord() == nullptr; }));
            // Fuzzed log-ins left unacknowledged hold new connections off
            // until the accept limit's timer lets them go: as it would.
            form->Clients().PendingLogins = 0;
            logIn(*client, "7");
            ++reconnects;
        } else if (!newestRecord()->Zalogowany) {
            client->LogIn("7", "secret");
            ASSERT_TRUE(settled(*client));
        }
    }
    // Most of it reached the server (a refused log-in loses the rest of its write).
    EXPECT_GT(delivered, generated / 2);
    std::fprintf(stderr, "fuzz: %zu of %zu bytes delivered, %d reconnections\n", delivered, generated,
                 reconnects);

    // The fuzzed connection still answers once its last request is closed
    // and what was queued for it is out.
    ASSERT_TRUE(client->Send("\xff\r\nOK"));
    ASSERT_TRUE(settled(*client));
    // ("ERROR n" CR leaves a client owing an acknowledgement: it gives them.)
    ASSERT_TRUE(
        PumpUntil([&] { return form->Clients().ile_w_kolejce() == 0 || (client->Send("OK"), false); }));
    ASSERT_TRUE(settled(*client));
    client->ClearReceived();
    ASSERT_TRUE(client->Send("OK!PING\r\n"));
    EXPECT_EQ(waitReplies(*client, 1), std::vector<std::string>{"OK"});

    // And a new client's well-formed requests are all answered.
    form->Clients().PendingLogins = 0;
    sim::ClientSimulator fresh;
    logIn(fresh, "7"); // the sender of the table's text message
    std::string all;
    for (const std::string& request : WellFormedRequests())
        all += request;
    ASSERT_TRUE(fresh.Send(all));
    EXPECT_EQ(waitReplies(fresh, WellFormedRequests().size()),
              std::vector<std::string>(WellFormedRequests().size(), "OK"));
}

} // namespace
} // namespace clienttest
