#include "db/AttachReport.h"

#include <cstdio>

namespace db {

namespace {

// The failure said last, until an attach succeeds (GUI thread only).
std::string failureSaid;

// The database and where it is: the server and its port, which a
// newcomer's settings most often get wrong.
std::string whereText(const std::string& host, const std::string& path) {
    if (host.empty())
        return path + " (embedded engine, no server)";
    const auto slash = host.rfind('/');
    const std::string server = slash == std::string::npos ? host : host.substr(0, slash);
    const std::string port = slash == std::string::npos ? "3050" : host.substr(slash + 1);
    return path + " on the Firebird server " + server + " port " + port;
}

// The server's words end in a full stop, each of its lines too; the line
// goes on.
std::string serverWords(const std::string& reason) {
    std::string words = reason;
    for (auto at = words.find(".; "); at != std::string::npos; at = words.find(".; ", at))
        words.erase(at, 1);
    if (!words.empty() && words.back() == '.')
        words.pop_back();
    return words;
}

// A line said once until it changes or an attach ends it.
void sayFailure(const std::string& line) {
    if (line == failureSaid)
        return;
    failureSaid = line;
    std::fprintf(stderr, "%s\n", line.c_str());
}

} // namespace

void SayAttachFailure(const std::string& host, const std::string& path, const std::string& reason,
                      bool creating) {
    sayFailure(std::string("Halvex: cannot ") + (creating ? "create" : "attach") + " the database " +
               whereText(host, path) + ": " + serverWords(reason) + "; trying again until it attaches");
}

void SayConnectionLost(const std::string& host, const std::string& path, const std::string& reason) {
    const std::string words = serverWords(reason);
    sayFailure("Halvex: the connection to the database " + whereText(host, path) + " was lost" +
               (words.empty() ? "" : ": " + words) + "; trying again until it attaches");
}

void SayCreatingMissingFile(const std::string& host, const std::string& path) {
    std::fprintf(stderr, "Halvex: the database file %s is missing: creating it\n",
                 whereText(host, path).c_str());
}

void SayAttached(const std::string& host, const std::string& path) {
    if (failureSaid.empty())
        return;
    failureSaid.clear();
    std::fprintf(stderr, "Halvex: the database %s is attached again\n", whereText(host, path).c_str());
}

} // namespace db
