// halvex-passwd: stores the database password (SYSDBA's, or whichever user
// UserFB names) in the settings file, enciphered as the settings dialog
// stores it, for a server that has no window to type it into. The password
// is read from stdin: one line, without echo on a terminal.
#include "base/PasswordCodec.h"
#include "base/SettingsBranch.h"
#include "platform/RegistryStore.h"
#include "platform/WireCodePage.h"

#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace {

const char* const PasswordValue = "PasswordFB";
// The cipher takes one block: a longer password would be cut.
constexpr std::size_t BlockBytes = 32;

std::string readPassword() {
    const bool terminal = ::isatty(STDIN_FILENO) != 0;
    termios saved{};
    if (terminal) {
        std::fputs("Database password: ", stderr);
        ::tcgetattr(STDIN_FILENO, &saved);
        termios quiet = saved;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
    }
    std::string line;
    std::getline(std::cin, line);
    if (terminal) {
        ::tcsetattr(STDIN_FILENO, TCSANOW, &saved);
        std::fputs("\n", stderr);
    }
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

// The branch the program itself will use: the machine's when this user can
// write it, else the user's. None, said, when the machine's file is the one
// but its lock cannot be had: a value stored in the user's file instead would
// never be read.
std::optional<platform::RegistryBranch> settingsBranch() {
    platform::RegistryKey machine(platform::RegistryBranch::Machine);
    std::string lockFailure;
    switch (base::ProbeMachineBranch(machine, &lockFailure)) {
    case base::MachineBranchAccess::Writable:
        return platform::RegistryBranch::Machine;
    case base::MachineBranchAccess::Locked:
        std::fprintf(stderr, "halvex-passwd: %s: %s; nothing stored\n",
                     platform::registryFilePath(platform::RegistryBranch::Machine).c_str(),
                     lockFailure.c_str());
        return std::nullopt;
    case base::MachineBranchAccess::NoAccess:
    case base::MachineBranchAccess::NoWrite:
        break;
    }
    return platform::RegistryBranch::User;
}

int usage(const char* program) {
    std::fprintf(stderr,
                 "usage: %s\n"
                 "Reads the database password from stdin and stores it enciphered as %s in the\n"
                 "settings file that halvex, run by this user, reads at start.\n",
                 program, PasswordValue);
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1)
        return usage(argv[0]);
    const std::string password = readPassword();
    if (password.empty()) {
        std::fputs("halvex-passwd: no password read; nothing stored\n", stderr);
        return 1;
    }
    std::string wire;
    if (!platform::toWireExact(password, &wire)) {
        std::fprintf(stderr, "halvex-passwd: the password has characters outside %s; nothing stored\n",
                     platform::wireCodePageName());
        return 1;
    }
    if (wire.size() > BlockBytes || wire.find('\0') != std::string::npos) {
        std::fprintf(stderr, "halvex-passwd: the password is longer than %zu bytes; nothing stored\n",
                     BlockBytes);
        return 1;
    }
    const std::optional<platform::RegistryBranch> branch = settingsBranch();
    if (!branch)
        return 1;
    const std::string file = platform::registryFilePath(*branch);
    try {
        platform::RegistryKey key(*branch);
        if (!key.OpenKey(base::SettingsMainKey, true))
            throw platform::RegistryError("cannot be written");
        key.WriteString(PasswordValue, AesEncryptToHexWire(password, FixedKeyText));
    } catch (const platform::RegistryError& error) {
        std::fprintf(stderr, "halvex-passwd: %s: %s; nothing stored\n", file.c_str(), error.what());
        return 1;
    }
    std::printf("%s stored in %s; halvex reads it at its next start\n", PasswordValue, file.c_str());
    return 0;
}
