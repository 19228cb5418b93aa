// What the database access needs of the program around it, without knowing
// the window: the main window gives db::MainDatabase an implementation at
// construction. The free-standing classes (sessions, the database front, the
// schema check, the connect thread) reach it through db::host(), which falls
// back to a plain behaviour when no main database exists: keys for texts, no
// progress window, no timers, messages on stderr and questions answered with
// their safe answer.
#pragma once

#include <string>

namespace db {

// The main database's connection settings.
struct ConnectionSettings {
    std::string host;
    std::string path;
    std::string user;
    std::string password;
};

class DatabaseHost {
  public:
    enum class MessageKind { Plain, Information, Warning, Error };

    virtual ~DatabaseHost() = default;

    // The text of a message key in the language in force.
    virtual std::string Text(const char* key) = 0;
    // The settings the main database is attached with.
    virtual ConnectionSettings MainConnectionSettings() = 0;
    // The caption of the main window, for the messages about the structure.
    virtual std::string MainCaption() = 0;
    // True once the program is shutting down.
    virtual bool IsClosing() = 0;

    // Restarts the 60 s reconnect timer from its full interval.
    virtual void RestartReconnectTimer() = 0;
    // Starts the reconnect timer unless it is already running.
    virtual void EnsureReconnectTimer() = 0;

    // The main database was attached and its structure checked: what the
    // program reads of it once, at start, is read now if still missing.
    virtual void MainDatabaseReady() {}
    // A message row of that user (nUserId) changed without the SMS engine:
    // its desk hears of it.
    virtual void SmsRowChanged(const std::string& userId) { static_cast<void>(userId); }

    // The user gave up the last background attach.
    virtual bool IsConnectAborted() = 0;
    virtual void SetConnectAborted(bool aborted) = 0;
    // Shows the progress window modally while an attach runs; returns its
    // modal result (1 done, 2 or 3 given up), or -1 when there is no window.
    virtual int ShowAttachProgress() = 0;
    // Ends that modal wait with result 1; called on the GUI thread.
    virtual void CloseAttachProgress() = 0;

    // False where the message boxes are lines on stderr, which say a
    // lasting failure once rather than at every try.
    virtual bool HasDisplay() = 0;
    // A message box with an OK button.
    virtual void ShowMessage(const std::string& text, const std::string& caption, MessageKind kind) = 0;
    // An OK/Cancel question; true for OK, which is also the answer of a
    // server without a display.
    virtual bool AskOkCancel(const std::string& text, const std::string& caption) = 0;
};

// Without a main database (a tool or a test of the sessions alone): keys for
// texts, nothing to restart or show, messages on stderr and the safe answers.
class PlainDatabaseHost : public DatabaseHost {
  public:
    std::string Text(const char* key) override { return key; }
    ConnectionSettings MainConnectionSettings() override { return {}; }
    std::string MainCaption() override { return {}; }
    bool IsClosing() override { return false; }
    void RestartReconnectTimer() override {}
    void EnsureReconnectTimer() override {}
    bool IsConnectAborted() override { return false; }
    void SetConnectAborted(bool) override {}
    int ShowAttachProgress() override { return -1; }
    void CloseAttachProgress() override {}
    bool HasDisplay() override { return false; }
    void ShowMessage(const std::string& text, const std::string& caption, MessageKind kind) override;
    bool AskOkCancel(const std::string& text, const std::string& caption) override;
};

// The host of the main database in force, else the default host, else the
// plain behaviour.
DatabaseHost& host();
// The host used while no main database exists (nullptr: the plain one).
void SetDefaultHost(DatabaseHost* host);

// The text of a key through the host.
std::string Text(const char* key);
bool ConnectAborted();

} // namespace db
