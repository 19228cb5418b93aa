#include "db/MainDatabase.h"

#include "base/DiagnosticLog.h"
#include "db/AttachReport.h"
#include "db/CallWatchdog.h"
#include "db/DrawnKeys.h"
#include "db/InterfaceDB.h"
#include "db/MessageTables.h"

#include <QMetaObject>
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <utility>

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
    ResetCallLimit();
    road_ = std::make_unique<RowRoad>([this](const std::string& reason) { roadLost(reason); });
    // The start fails the messages the earlier run left sending, and reads
    // its received ones once their rows are in.
    road_->KeepEarlierRows(ServiceSmsDB::IsInsert);
}

MainDatabase::~MainDatabase() {
    StopRowRoad();
    road_.reset();
    if (current == this)
        current = nullptr;
    // The stop's limit goes with the database it was set for.
    ResetCallLimit();
}

bool MainDatabase::OpenRowJournal(const std::string& path) {
    return road_->OpenJournal(path);
}

// A connection attached before this database object knew of it is the
// road's from the first row on.
void MainDatabase::connectRoadToAttached() {
    if (MainDbHandleExists() && !road_->ConnectedTo(MainDbAttachedWith()))
        road_->Connect(MainDbAttachedWith());
}

bool MainDatabase::RowsWrittenAtOnce() {
    connectRoadToAttached();
    return road_->WritingNow();
}

void MainDatabase::HandRows(std::vector<RoadRow> rows) {
    if (rows.empty())
        return;
    connectRoadToAttached();
    if (!MainDbHandleExists() || rowsHeld_) {
        for (const RoadRow& row : rows)
            base::WriteLog(2, "Nie zapisano w bazie danych, zapis czeka na połączenie: %s",
                           row.statement.c_str());
        // No connection yet: the reconnect timer brings one (unless a
        // restore keeps it away on purpose).
        if (!MainDbHandleExists() && !MainAttachHeld() && !host_.IsClosing())
            host_.EnsureReconnectTimer();
    }
    road_->Hand(std::move(rows));
}

bool MainDatabase::StopRowRoad(StopClock::time_point deadline) {
    return road_->Stop(deadline);
}

// Rows on their way into the database they were meant for are written
// there; those handed on from here on wait for the database that is
// attached once the hold ends.
void MainDatabase::HoldRows(bool held, std::function<void()> settled) {
    if (held) {
        if (!std::exchange(rowsHeld_, true))
            base::WriteLog(2, "%s", "Zapisy do bazy danych wstrzymane do końca odtwarzania bazy danych");
        road_->Pause(std::move(settled));
        return;
    }
    if (!std::exchange(rowsHeld_, false))
        return;
    base::WriteLog(2, "Zapisy do bazy danych wznowione, czeka %zu", road_->Waiting());
    road_->Resume();
}

// A server that lost or left unanswered the writer's connection has done
// the same to the main one: that one is given up too, at once, rather than
// found out by a call that waits for its bound on the event loop.
void MainDatabase::roadLost(const std::string& reason) {
    if (host_.IsClosing() || !MainDbHandleExists())
        return;
    base::WriteLog(2, "%s", "Połączenie zapisów z bazą danych utracone, połączenie główne porzucone");
    SessionDB::AbandonConnection(&MainDbHandle);
    MainConnectionLost(reason);
    host_.EnsureReconnectTimer();
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
    // A database created just now was attached by its creation, which tells
    // nobody: its rows' road starts here, as after any attach.
    if (result == 0 && MainDbReady && MainDbHandleExists() && !road_->ConnectedTo(MainDbAttachedWith())) {
        FailSmsLeftInProgress();
        connectRoad(MainDbAttachedWith());
    }
    return result;
}

void MainDatabase::AttachAtStartup() {
    MainDbState = AttachMainDatabase() != 0 || host_.IsConnectAborted() ? -1 : 0;
    FailSmsLeftInProgress();
}

void MainDatabase::Reconnect() {
    // A restore keeps the connection away on purpose and attaches it at its
    // end: no failed attach to count, say or show meanwhile.
    if (MainAttachHeld())
        return;
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
        if (created != 0 && StructureReport)
            StructureReport(error);
        else if (created != 0) {
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
// before users are loaded and the client service opens.
void MainDatabase::FailSmsLeftInProgress() {
    if (SmsLeftInProgressFailed || !MainDbReady || !MainDbHandleExists())
        return;
    SmsLeftInProgressFailed = true;
    // Named by their keys, read now, before any row of this run is written:
    // a row set aside for another client's lock can then fail no message of
    // this run, and holds back no other.
    const ConnectionSettings c = MainDbAttachedWith();
    ServiceSmsDB table(c.host, c.path, c.user, c.password);
    std::vector<std::string> keys, users;
    if (table.ReadKeysInProgress(keys, users) != 0) {
        base::WriteLog(2, "%s",
                       "Nie odczytano SMS pozostawionych w trakcie wysyłania, nie zostaną oznaczone");
        return;
    }
    // So are the messages whose rows the earlier run left in the journal,
    // by their inserts' tokens: a key drawn for one is known by its token.
    std::vector<std::string> inserts;
    for (const std::string& token : road_->EarlierInsertTokens(ServiceSmsDB::IsInsert, &inserts))
        keys.push_back(KeyOfRow(token));
    for (const std::string& insert : inserts)
        users.push_back(ServiceSmsDB::UserOfInsert(insert));
    base::WriteLog(2, "SMS pozostawione w trakcie wysyłania przez poprzednią pracę: %zu", keys.size());
    // Behind the rows the earlier run left, before any of this run's: the
    // messages in progress then are failed, those of this run are not. The
    // desk hears of it once its row is written.
    for (std::size_t i = 0; i < keys.size(); ++i) {
        const ::SmsRowId row{keys[i]};
        RoadRow failed =
            std::move(ServiceSmsDB::RowChanges(row, {ServiceSmsDB::BadStatusUpdate(row)}).front());
        failed.follower = [this, user = users[i]](int result, const std::string&) {
            if (result == 0)
                host_.SmsRowChanged(user);
        };
        road_->HandAfterEarlierRows(std::move(failed));
    }
}

void MainDatabase::MainAttached(const std::string& host, const std::string& path, const std::string& user,
                                const std::string& password) {
    if (host_.IsClosing())
        return;
    // Whichever attach succeeds (the timer's, a log-in's or a statement's),
    // the database is up again from here on.
    MainDbState = 0;
    SayAttached(host, path);
    EnsureDatabaseStructure(host, path, user, password);
    if (MainDbReady)
        moveGeneratorsPastKeysDrawn({host, path, user, password});
    // Before the kept rows: an SMS kept in progress is this run's own.
    FailSmsLeftInProgress();
    if (!MainDbReady)
        return;
    connectRoad({host, path, user, password});
}

// Before this connection draws a key (its tables' triggers draw them too):
// a restore, whenever it ran, set the generators back behind keys given out
// in this database.
void MainDatabase::moveGeneratorsPastKeysDrawn(const ConnectionSettings& database) {
    SessionDB session(database.host, database.path, database.user, database.password, &MainDbHandle, false);
    session.LeaveReattachToCaller();
    IdentityWithGeneratorsMoved(session, database);
}

void MainDatabase::connectRoad(const ConnectionSettings& database) {
    road_->Connect(database);
    // The received messages the earlier run stored are read once their rows
    // are in; its other rows (one another client may hold for long) go in
    // their own time.
    road_->WhenEarlierRowsWritten(ServiceSmsDB::IsReceivedRowInsert, [this] {
        if (MainDbHandleExists())
            host_.MainDatabaseReady();
    });
}

void MainDatabase::MainConnectionLost(const std::string& reason) {
    MainDbState = -1;
    // A stop detaches on its own: no loss to speak of then.
    if (host_.IsClosing())
        return;
    const ConnectionSettings settings = host_.MainConnectionSettings();
    SayConnectionLost(settings.host, settings.path, reason);
}

namespace {

int rowBatchDepth = 0;
std::vector<std::string> batchedRows;

void handRows(std::vector<RoadRow> rows) {
    if (MainDatabase* database = MainDatabase::Current())
        database->HandRows(std::move(rows));
    else
        for (const RoadRow& row : rows)
            LogRowNotWritten(row.statement);
}

} // namespace

void WriteMainRow(const std::string& statement) {
    if (rowBatchDepth > 0)
        batchedRows.push_back(statement);
    else
        handRows({RoadRow(statement)});
}

void WriteMainRowsThen(std::vector<RoadRow> rows, std::function<void()> then) {
    if (rows.empty() || !MainDatabase::Current()) {
        handRows(std::move(rows));
        then();
        return;
    }
    rows.back().follower = [then](int, const std::string&) { then(); };
    handRows(std::move(rows));
}

void WriteMainRowsThen(const std::vector<std::string>& statements, std::function<void()> then) {
    WriteMainRowsThen(PlainRoadRows(statements), std::move(then));
}

MainRowBatch::MainRowBatch() {
    ++rowBatchDepth;
}

MainRowBatch::~MainRowBatch() {
    if (--rowBatchDepth > 0)
        return;
    std::vector<std::string> rows;
    rows.swap(batchedRows);
    handRows(PlainRoadRows(rows));
}

ConnectionSettings MainConnection() {
    MainDatabase* database = MainDatabase::Current();
    return database ? database->Host().MainConnectionSettings() : ConnectionSettings{};
}

} // namespace db
