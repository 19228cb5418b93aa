// The main window in-process with its client service open on a free high
// port, and simulated clients against it.
#pragma once

#include "support/ClientSimulator.h"
#include "support/ExchangeSimulator.h"
#include "support/MainFormFixture.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace clienttest {

// Runs the event loop (idle handler included) until `condition` holds or
// `ms` pass; false on the deadline.
bool PumpUntil(const std::function<bool()>& condition, int ms = 30000);
// One well-formed request per keyword of the table, in the table's order,
// ending with a second log-in (KLA) as user 7.
const std::vector<std::string>& WellFormedRequests();
// How often `part` is found in `text`.
std::size_t Occurrences(const std::string& text, const std::string& part);

class ClientServiceFixture : public testing_support::MainFormFixture {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Connects the client and waits for its record.
    void connect(sim::ClientSimulator& client);
    // Connects and logs in as user `login`; waits for the reply and its "OK".
    void logIn(sim::ClientSimulator& client, const std::string& login);
    // Waits until the server has read and handled everything the client sent.
    bool settled(const sim::ClientSimulator& client);
    // Waits until the client holds `count` replies; returns them.
    std::vector<std::string> waitReplies(const sim::ClientSimulator& client, std::size_t count);
    Klient* newestRecord();
    // Links the window to a simulated exchange and waits until it passes
    // data: call-control requests are taken only then.
    void linkExchange();

    int port = 0;
    std::unique_ptr<sim::ExchangeSimulator> exchange;
};

} // namespace clienttest
