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

} // namespace db
