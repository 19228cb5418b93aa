// The character type of the process. Qt names files in UTF-8 whatever the
// environment says; the Firebird engine and client convert a database file
// name through the process's character type, so that must be UTF-8 as well,
// also when a service manager starts the program without LANG.
#pragma once

namespace platform {

// Sets LC_CTYPE to a UTF-8 locale when the one in force is not UTF-8 (other
// categories are left as they are). False when no UTF-8 locale exists.
bool UseUtf8CharacterType();

} // namespace platform
