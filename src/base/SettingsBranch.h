// Where the program keeps its settings: its key, and whether the machine's
// branch takes them. Shared by the program and by the tool that stores the
// database password, so that both always choose the same file.
#pragma once

#include "platform/RegistryStore.h"

#include <string>

namespace base {

// The program's own key; its sections lie below it.
inline constexpr const char* SettingsMainKey = "\\software\\Vorlin\\Halvex";

// Locked: the machine's file may be written, but its lock could not be had
// (kept by another writer past the wait, or not to be taken at all), or the
// disk refused the write (full, an I/O error). It is still the file that
// holds the settings; it only takes no write now.
enum class MachineBranchAccess { NoAccess, NoWrite, Writable, Locked };

// Opens the settings key of `machine` for writing and writes the probe value
// that the program leaves there: the machine's branch holds the settings
// when both succeed, or when only its lock stood in the way (said in
// `lockFailure`).
MachineBranchAccess ProbeMachineBranch(platform::RegistryKey& machine, std::string* lockFailure = nullptr);

} // namespace base
