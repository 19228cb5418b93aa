// What the database access needs of the window around it, without knowing
// the window: the shell installs these at start; unset ones fall back to a
// plain behaviour (keys for texts, no progress window).
#pragma once

#include <string>

namespace db {

struct Hooks {
    // The text of a message key in the language in force.
    std::string (*text)(const char* key) = nullptr;
    // The main connection was found lost (the main DB state becomes -1).
    void (*mainConnectionLost)() = nullptr;
    // Restarts the 60 s reconnect timer from its full interval.
    void (*restartReconnectTimer)() = nullptr;
    // Starts the reconnect timer unless it is already running.
    void (*ensureReconnectTimer)() = nullptr;
    // A session attached the main connection; called on the GUI thread
    // before the session does anything else.
    void (*mainAttached)(const std::string& host, const std::string& path, const std::string& user,
                         const std::string& password) = nullptr;
    // The user gave up the last background attach.
    bool (*isConnectAborted)() = nullptr;
    void (*setConnectAborted)(bool aborted) = nullptr;
    // Shows the progress window modally while an attach runs; returns its
    // modal result (1 done, 2 or 3 given up), or -1 when there is no window.
    int (*showAttachProgress)() = nullptr;
    // Ends that modal wait with result 1; called on the GUI thread.
    void (*closeAttachProgress)() = nullptr;
};

Hooks& hooks();

// The text of a key through the hook, else the key itself.
std::string Text(const char* key);
bool ConnectAborted();

} // namespace db
