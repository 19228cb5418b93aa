// The real program as a child with desks at its client port: the users and
// phones of the desks in its database, their log-ins, the exchange's
// records of a call, and the clean end of a stop.
#pragma once

#include "support/ClientSimulator.h"
#include "support/ExchangeSimulator.h"
#include "support/FirebirdFixtures.h"
#include "support/HalvexProcess.h"
#include "support/PrivateFirebirdServer.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace testing_support {

// Every desk user's password, as the client sends it.
inline const std::string DeskPassword = "0cc175b9c0f1b6a831c399e269772661";

// A user "u<extension>" with the phone of that extension for each one, in
// the database of the main handle.
void AddDeskUsers(const testfb::Connection& c, const std::vector<std::string>& extensions);
// Starts `server` with a new database of the program's structure, those
// desks' users in it, and detaches again; `c` names the database.
void StartDatabaseWithDesks(testfb::PrivateServer& server, testfb::Connection& c,
                            const std::vector<std::string>& extensions);

// Waits (at most a minute) while the program runs until `done` holds.
bool AwaitWhileRunning(HalvexProcess& halvex, const std::function<bool()>& done);

// Connects a desk a login and logs it in, one at a time (a connection is
// refused while a log-in waits for its acknowledgement), each answered "OK".
void LogInDesks(HalvexProcess& halvex, int clientPort, const std::vector<std::string>& logins,
                std::vector<std::unique_ptr<sim::ClientSimulator>>& desks);

// Starts the program (its settings written) with the log's "DEBUG" and
// "CTI", waits for its log-in at the exchange and its client port (put in
// `clientPort`), and logs the desks in there.
void StartWithDesks(HalvexProcess& halvex, sim::ExchangeSimulator& exchange,
                    const std::vector<std::string>& logins,
                    std::vector<std::unique_ptr<sim::ClientSimulator>>& desks, int& clientPort);

// Ends the program with SIGTERM and expects the clean end.
void StopAndExpectCleanEnd(HalvexProcess& halvex, const std::string& moment);

// How many rows of the program's journal at `path` hold `text`, read as
// another process reads the file while its owner writes it; -1 when it
// cannot be read.
int JournalRowsWith(const std::string& path, const std::string& text);

// The exchange's records of a call from `caller` answered at extension 201.
std::vector<std::string> CallTo201(const std::string& id, const std::string& caller = "600123456");

} // namespace testing_support
