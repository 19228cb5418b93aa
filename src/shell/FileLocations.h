// Where the program's files live on Linux.
#pragma once

#include <string>

namespace shell {

// The folder of the program file, without a trailing separator.
std::string ProgramDirectory();
// "halvex.log" beside the program when that folder is writable and the path
// stays within 511 characters; else under $XDG_STATE_HOME/halvex (or
// /var/log/halvex as root); the bare name when even that is too long.
std::string LogFilePathFor(const std::string& programPath);
// The default main database file, opened by the Firebird server: in the
// folder that scripts/firebird prepares for it (owned by user firebird).
std::string DefaultDatabasePath();
// The journal of the rows on their way to the database, beside the log
// file: the program's own state.
std::string RowJournalPathFor(const std::string& logFilePath);
// The expected SMS delivery reports, beside the row journal.
std::string ExpectedReportsPathFor(const std::string& logFilePath);
// The mark a restore into the database itself keeps while gbak runs, beside
// the log file.
std::string RestoreMarkPathFor(const std::string& logFilePath);
// A file in the folder of the log file ("kolejka.log" beside "halvex.log").
std::string SiblingOfLogFile(const std::string& logFilePath, const std::string& name);

} // namespace shell
