// Where the program keeps its settings: its key, and whether the machine's
// branch takes them. Shared by the program and by the tool that stores the
// database password, so that both always choose the same file.
#pragma once

#include "platform/RegistryStore.h"

namespace base {

// The program's own key; its sections lie below it.
inline constexpr const char* SettingsMainKey = "\\software\\Vorlin\\Halvex";

enum class MachineBranchAccess { NoAccess, NoWrite, Writable };

// Opens the settings key of `machine` for writing and writes the probe value
// that the program leaves there: the machine's branch holds the settings only
// when both succeed.
MachineBranchAccess ProbeMachineBranch(platform::RegistryKey& machine);

} // namespace base
