// The messages that keep the copies of the shared contact base in step: the
// server's broadcasts of its own changes, and the clients' reports of theirs,
// which change the in-memory copy only.
// Holds: DbSynchronizer (Changed, WyslijDbDodaj, WyslijDbZmien, WyslijDbUsun,
// WyslijDbgDodaj, WyslijDbgUsun, CzytajDbDodaj, CzytajDbZmien, CzytajDbUsun,
// CzytajDbgDodaj, CzytajDbgUsun).
#pragma once

#include "db/QueryRows.h"

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace clients {

// The row of the contact rows that one report added (at the end), changed
// or removed; nothing when the report changed no row.
struct ContactRowChange {
    enum Kind { None, Added, Changed, Removed };
    Kind kind = None;
    std::size_t row = 0;
};

class DbSynchronizer {
  public:
    // Set by a report that changed the copy; the maintenance timer clears it
    // when it repaints the contact list.
    bool Changed = false;

    // The whole message (UTF-8), keyword to CR LF; nothing is sent here.
    static std::string WyslijDbDodaj(const ContactRow& row);
    static std::string WyslijDbZmien(const ContactRow& row);
    static std::string WyslijDbUsun(const std::string& id);
    static std::string WyslijDbgDodaj(const std::string& groupId, const std::string& name);
    static std::string WyslijDbgUsun(const std::string& groupId);

    // `text`: the wire bytes behind the keyword. Each returns where the
    // request ends (behind its CR LF), or nothing when it has not all come;
    // the contact parsers tell in `change` which row they touched.
    using End = std::optional<std::size_t>;
    End CzytajDbDodaj(std::vector<ContactRow>& rows, std::string_view text,
                      ContactRowChange* change = nullptr);
    End CzytajDbZmien(std::vector<ContactRow>& rows, std::string_view text,
                      ContactRowChange* change = nullptr);
    End CzytajDbUsun(std::vector<ContactRow>& rows, std::string_view text,
                     ContactRowChange* change = nullptr);
    End CzytajDbgDodaj(std::map<int, std::string>& groups, std::string_view text);
    End CzytajDbgUsun(std::map<int, std::string>& groups, std::string_view text);
};

} // namespace clients
