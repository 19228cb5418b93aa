// What stderr says of the main database. A server without a display has
// nothing else to tell its administrator at once: a failure is said when it
// comes, the same failure again is not, and the attach that ends it is.
#pragma once

#include <string>

namespace db {

// `host` as the settings give it: a name or address, "name/port", or empty
// for the embedded engine. `creating`: the failure is that of creating the
// missing file.
void SayAttachFailure(const std::string& host, const std::string& path, const std::string& reason,
                      bool creating = false);
// The file is missing and a server without a display creates it.
void SayCreatingMissingFile(const std::string& host, const std::string& path);
// The main connection, attached until now, was found lost: said at once,
// with the server's words when there are any (`reason`), so that its return
// is said too.
void SayConnectionLost(const std::string& host, const std::string& path, const std::string& reason);
// Said only after a failure or a loss was said.
void SayAttached(const std::string& host, const std::string& path);

} // namespace db
