// What the pieces of the database maintenance share: the names of the files
// gbak leaves unfinished, the database's own file and who else is attached
// to it. For DatabaseMaintenance.cpp and the Maintenance*.cpp beside it only.
#pragma once

#include "db/DatabaseHost.h"

#include <QString>

#include <string>

namespace admin::maintenance {

inline QString q(const std::string& text) {
    return QString::fromStdString(text);
}

// gbak writes a backup under this name, which takes the final one only when
// gbak succeeded: a backup cut short never passes for a whole one.
inline constexpr const char* UnfinishedSuffix = ".part";

inline std::string unfinishedName(const std::string& backupFile) {
    return backupFile + UnfinishedSuffix;
}

// gbak restores under this name beside the database's file; the file takes
// the database's name only once gbak succeeded.
inline constexpr const char* RestoringSuffix = ".restoring";

inline std::string withCode(const std::string& text, int exitCode) {
    return text + std::to_string(exitCode);
}

// The database's file when it lies on this machine under its path (not an
// alias): an embedded database, or a server's here. "" otherwise.
std::string localFile(const db::ConnectionSettings& c);

// Everyone else attached to the database, as "user (address, program)"
// joined; "" when nobody, or when it cannot be asked (the closing of the
// database before the rename decides then).
// Also reads the database's file as its server names it into `serverFile`.
std::string otherAttachments(const db::ConnectionSettings& c, std::string* serverFile = nullptr);

} // namespace admin::maintenance
