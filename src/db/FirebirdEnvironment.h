// The Firebird root the process runs the embedded engine from: links to the
// installed plugins, character sets and messages, and a configuration of our
// own with ServerMode = SuperClassic, so that gbak can read a database that
// the program holds open.
#pragma once

#include <string>

namespace db {

// The installed Firebird files (plugins, intl, firebird.msg), or "".
std::string InstalledFirebirdDirectory();
// Fills `folder` as a Firebird root with its own lock folder; false (logged)
// when it cannot.
bool PrepareFirebirdRoot(const std::string& folder);
// Points FIREBIRD and FIREBIRD_LOCK at a root of our own unless FIREBIRD is
// already set. Call before the first database call of the process.
void UseOwnFirebirdRoot();

// The program's own shutdown is the only one: the Firebird client, which takes
// SIGTERM and SIGINT over at the first attach, is told to refuse the shutdown
// it would start on them from a thread of its own while the GUI thread still
// uses the connections. Call once, after UseOwnFirebirdRoot.
void RefuseClientShutdownOnSignals();
// Ends the client once, at the end of the program (no attach succeeds after
// it): the connections left are closed, within `boundMs`.
void EndDatabaseClient(int boundMs);

} // namespace db
