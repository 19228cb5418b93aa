#include "base/SettingsBranch.h"

namespace base {

MachineBranchAccess ProbeMachineBranch(platform::RegistryKey& machine) {
    if (!machine.OpenKey(SettingsMainKey, true))
        return MachineBranchAccess::NoAccess;
    try {
        machine.WriteString("testHKLM", "testHKLM");
        return MachineBranchAccess::Writable;
    } catch (const platform::RegistryError&) {
        return MachineBranchAccess::NoWrite;
    }
}

} // namespace base
