#include "db/MainDatabase.h"

#include "db/InterfaceDB.h"
#include "db/MessageTables.h"

#include <cstdio>

namespace db {

namespace {

MainDatabase* current = nullptr;
DatabaseHost* defaultHost = nullptr;

} // namespace

void PlainDatabaseHost::ShowMessage(const std::string& text, const std::string& caption, MessageKind) {
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
}

bool PlainDatabaseHost::AskOkCancel(const std::string& text, const std::string& caption) {
    ShowMessage(text, caption, MessageKind::Plain);
    return true;
}

DatabaseHost& host() {
    if (current)
        return current->Host();
    if (defaultHost)
        return *defaultHost;
    static PlainDatabaseHost plain;
    return plain;
}

void SetDefaultHost(DatabaseHost* host) {
    defaultHost = host;
}

std::string Text(const char* key) {
    return host().Text(key);
}

bool ConnectAborted() {
    return host().IsConnectAborted();
}

MainDatabase::MainDatabase(DatabaseHost& host) : host_(host) {
    current = this;
}

MainDatabase::~MainDatabase() {
    if (current == this)
        current = nullptr;
}

MainDatabase* MainDatabase::Current() {
    return current;
}

int MainDatabase::AttachMainDatabase(bool showErrors) {
    return AttachMainDatabase(host_.MainConnectionSettings(), showErrors);
}

int MainDatabase::AttachMainDatabase(const ConnectionSettings& settings, bool showErrors) {
    InterfaceDB front;
    front.SetConnection(settings.host, settings.path, settings.user, settings.password);
    const int checksBefore = StructureChecksRun;
    const int result = front.OpenDatabase(showErrors);
    // An attach made just now was checked by its session; a database just
    // created, or a connection that was there already, is checked here.
    if (result == 0 && StructureChecksRun == checksBefore)
        EnsureDatabaseStructure(settings.host, settings.path, settings.user, settings.password);
    return result;
}

void MainDatabase::AttachAtStartup() {
    MainDbState = AttachMainDatabase() != 0 || host_.IsConnectAborted() ? -1 : 0;
    FailSmsLeftInProgress();
}

void MainDatabase::Reconnect() {
    if (!MainDbHandleExists())
        MainDbState = AttachMainDatabase() == 0 ? 0 : -1;
    FailSmsLeftInProgress();
}

void MainDatabase::EnsureDatabaseStructure(const std::string& host, const std::string& path,
                                           const std::string& user, const std::string& password) {
    if (StructureCheckRunning || !MainDbHandleExists() || host_.IsConnectAborted())
        return;
    const std::string name = host.empty() ? path : host + ":" + path;
    if (StructureCheckedDatabase != name) {
        StructureCheckRunning = true;
        ++StructureChecksRun;
        InterfaceDB front;
        front.SetConnection(host, path, user, password);
        int error = 0;
        const int created = front.CheckAndCreateTables(&error);
        StructureCheckRunning = false;
        if (created != 0) {
            if (error == 0)
                host_.ShowMessage(host_.Text("IDS_819"), host_.MainCaption(),
                                  DatabaseHost::MessageKind::Information);
            else
                host_.ShowMessage(host_.Text("IDS_820"), host_.MainCaption(),
                                  DatabaseHost::MessageKind::Error);
        }
        // A connection lost during the check leaves it to the next attach.
        if (!MainDbHandleExists() || host_.IsConnectAborted())
            return;
        StructureCheckedDatabase = name;
    }
    MainDbReady = true;
}

// Once per process, at the first attach, after the structure check and
// before users are loaded and the client service opens: nothing can be in
// progress yet in this run.
void MainDatabase::FailSmsLeftInProgress() {
    if (SmsLeftInProgressFailed || !MainDbReady || !MainDbHandleExists())
        return;
    SmsLeftInProgressFailed = true;
    const ConnectionSettings settings = host_.MainConnectionSettings();
    ServiceSmsDB sms(settings.host, settings.path, settings.user, settings.password);
    if (sms.LastCode == 0)
        sms.CheckBadStatus();
}

void MainDatabase::MainAttached(const std::string& host, const std::string& path, const std::string& user,
                                const std::string& password) {
    if (!host_.IsClosing())
        EnsureDatabaseStructure(host, path, user, password);
}

void MainDatabase::MainConnectionLost() {
    MainDbState = -1;
}

ConnectionSettings MainConnection() {
    MainDatabase* database = MainDatabase::Current();
    return database ? database->Host().MainConnectionSettings() : ConnectionSettings{};
}

} // namespace db
