#include "platform/ProcessLocale.h"

#include <clocale>
#include <cstring>
#include <initializer_list>
#include <langinfo.h>

namespace platform {

namespace {

bool characterTypeIsUtf8() {
    const char* codeset = ::nl_langinfo(CODESET);
    return codeset && (std::strcmp(codeset, "UTF-8") == 0 || std::strcmp(codeset, "utf8") == 0);
}

} // namespace

bool UseUtf8CharacterType() {
    if (characterTypeIsUtf8())
        return true;
    for (const char* name : {"C.UTF-8", "C.utf8", "en_US.UTF-8"})
        if (std::setlocale(LC_CTYPE, name) && characterTypeIsUtf8())
            return true;
    return false;
}

} // namespace platform
