#pragma once

#include <QString>

#include <string>

namespace platform {

// Replaces the file at `path` by `text`, whole or not at all: a new file
// beside it, owner-only, every write checked and the file synced before it
// takes the old one's place, and the folder synced after. False when not
// replaced: `refused` says why when the disk refused it (full, an I/O error),
// which may pass, and stays empty when the file cannot be written here at
// all; `failure`, when given, says why in either case.
bool ReplaceFileWhole(const QString& path, const std::string& text, std::string& refused,
                      std::string* failure = nullptr);

} // namespace platform
