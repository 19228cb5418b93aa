#include "base/SettingsBranch.h"

namespace base {

MachineBranchAccess ProbeMachineBranch(platform::RegistryKey& machine, std::string* lockFailure) {
    try {
        if (!machine.OpenKey(SettingsMainKey, true))
            return MachineBranchAccess::NoAccess;
        machine.WriteString("testHKLM", "testHKLM");
        return MachineBranchAccess::Writable;
    } catch (const platform::RegistryLockError& error) {
        if (lockFailure)
            *lockFailure = error.what();
        return MachineBranchAccess::Locked;
    } catch (const platform::RegistryDiskError& error) {
        // A full disk does not move the settings to another file.
        if (lockFailure)
            *lockFailure = error.what();
        return MachineBranchAccess::Locked;
    } catch (const platform::RegistryError&) {
        return MachineBranchAccess::NoWrite;
    }
}

} // namespace base
