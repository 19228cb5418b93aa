#include "db/DatabaseHooks.h"

namespace db {

Hooks& hooks() {
    static Hooks installed;
    return installed;
}

std::string Text(const char* key) {
    return hooks().text ? hooks().text(key) : std::string(key);
}

bool ConnectAborted() {
    return hooks().isConnectAborted && hooks().isConnectAborted();
}

} // namespace db
