// The password the database holds for a log-in, read on a thread and a
// connection of its own: a slow or silent database then holds only the
// client logging in, not the event loop. A few reads run at once; their
// threads are waited for only at the stop.
#pragma once

#include "clients/ClientServiceHost.h"
#include "clients/Klient.h"

#include <chrono>
#include <functional>
#include <optional>
#include <string>

class SessionDB;

namespace clients {

// The most reads running at once.
constexpr int PasswordReadsAtOnce = 4;

// What the database holds for a log-in: its password when exactly one row
// has the log-in; `reached` is false when the database could not be asked.
struct StoredPassword {
    bool reached = false;
    std::optional<std::string> password;
};

// What the database on the session's connection holds for `login`.
StoredPassword ReadStoredPassword(SessionDB& session, const std::string& login);
// A password against what was read.
PasswordAnswer CompareWithStored(const StoredPassword& stored, const std::string& password);
// The two together.
PasswordAnswer ReadPassword(SessionDB& session, const std::string& login, const std::string& password);

// Reads it on a thread of its own, which attaches with `settings`, reads and
// detaches again; `answered` runs on that thread with what was read and only
// passes it on. False when `PasswordReadsAtOnce` reads run already.
bool StartPasswordRead(const ClientLoginSettings& settings, const std::string& login,
                       std::function<void(StoredPassword)> answered);

// Waits until no read runs; false when the deadline came first. The
// Firebird client's own end waits for a call still running.
bool WaitForPasswordReads(std::chrono::steady_clock::time_point deadline);

} // namespace clients
