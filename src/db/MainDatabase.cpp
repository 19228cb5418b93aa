#include "db/MainDatabase.h"

#include "base/DiagnosticLog.h"
#include "db/AttachReport.h"
#include "db/CallWatchdog.h"
#include "db/InterfaceDB.h"
#include "db/MessageTables.h"
#include "db/RowWriter.h"

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

bool IsRowStatement(const std::string& statement) {
    std::string word;
    for (char c : statement) {
        if (std::isalpha(static_cast<unsigned char>(c)))
            word += char(std::toupper(static_cast<unsigned char>(c)));
        else if (!word.empty() || !std::isspace(static_cast<unsigned char>(c)))
            break;
    }
    return word == "INSERT" || word == "UPDATE" || word == "DELETE" || word == "MERGE";
}

namespace {

// The parts of a parenthesised list from `at` (at its "("), split at the
// commas outside quotes and inner parentheses; `at` ends after the ")".
std::vector<std::string> listParts(const std::string& text, std::size_t& at) {
    std::vector<std::string> parts;
    std::string part;
    bool quoted = false;
    int depth = 0;
    for (; at < text.size(); ++at) {
        const char c = text[at];
        if (c == '\'')
            quoted = !quoted; // a doubled quote toggles twice
        if (!quoted && c == '(' && depth++ == 0)
            continue;
        if (!quoted && c == ')' && --depth == 0) {
            parts.push_back(part);
            ++at;
            return parts;
        }
        if (!quoted && c == ',' && depth == 1) {
            parts.push_back(part);
            part.clear();
            continue;
        }
        part += c;
    }
    return {};
}

std::string trimmedUpper(std::string text, bool upper) {
    const auto first = text.find_first_not_of(" \t\r\n");
    const auto last = text.find_last_not_of(" \t\r\n");
    text = first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
    if (upper)
        for (char& c : text)
            c = char(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

} // namespace

std::string RowLookupQuery(const std::string& insert,
                           const std::function<std::vector<std::string>(const std::string& table)>& columns) {
    const std::string upper = trimmedUpper(insert, true);
    if (upper.rfind("INSERT INTO ", 0) != 0)
        return {};
    std::size_t at = std::string("INSERT INTO ").size();
    const std::size_t nameEnd = upper.find_first_of(" (", at);
    if (nameEnd == std::string::npos)
        return {};
    const std::string table = upper.substr(at, nameEnd - at);
    at = upper.find_first_not_of(' ', nameEnd);
    std::vector<std::string> names;
    if (at != std::string::npos && upper[at] == '(') {
        for (const std::string& name : listParts(upper, at))
            names.push_back(trimmedUpper(name, true));
        at = upper.find_first_not_of(' ', at);
    } else {
        names = columns(table);
    }
    if (at == std::string::npos || upper.compare(at, 6, "VALUES") != 0)
        return {};
    at = insert.find('(', at);
    const std::vector<std::string> values =
        at == std::string::npos ? std::vector<std::string>() : listParts(insert, at);
    if (values.empty() || values.size() != names.size())
        return {};
    std::string where;
    for (std::size_t i = 0; i < values.size(); ++i) {
        const std::string value = trimmedUpper(values[i], false);
        if (trimmedUpper(value, true) == "NULL")
            continue; // a key the table draws itself
        where += (where.empty() ? " WHERE " : " AND ") + names[i] + " = " + value;
    }
    return "SELECT COUNT(*) FROM " + table + where;
}

// A lost row is said even while shutting down.
void LogRowNotWritten(const std::string& statement) {
    base::DiagnosticLog::instance().WriteWhileClosing(2, "Nie zapisano w bazie danych: %s",
                                                      statement.c_str());
}

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
    nextSlice_.setSingleShot(true);
    nextSlice_.setInterval(0);
    QObject::connect(&nextSlice_, &QTimer::timeout, [this] { writeKeptRowSlice(); });
    retry_.setSingleShot(true);
    retry_.setInterval(KeptRowRetryMs);
    QObject::connect(&retry_, &QTimer::timeout, [this] { WriteKeptRows(); });
}

MainDatabase::~MainDatabase() {
    destroying_ = true;
    StopRowWriter();
    if (current == this)
        current = nullptr;
    GiveUpKeptRows();
    // The stop's limit goes with the database it was set for.
    ResetCallLimit();
}

void MainDatabase::GiveUpKeptRows() {
    if (keptRows_.empty())
        return;
    for (const KeptRow& row : keptRows_) {
        if (row.uncertainCommit != 0)
            base::DiagnosticLog::instance().WriteWhileClosing(
                2, "Nie wiadomo, czy zapisano w bazie danych: %s", row.statement.c_str());
        else
            LogRowNotWritten(row.statement);
    }
    std::fprintf(stderr, "Halvex: %zu rows waiting for the database were not written\n", keptRows_.size());
    keptRows_.clear();
}

void MainDatabase::UseRowWriter(bool used) {
    if (!used) {
        StopRowWriter();
        return;
    }
    if (writer_)
        return;
    // Through a timer of this database: news still queued when it is gone
    // goes with it.
    writer_ = std::make_unique<RowWriter>([this] {
        QMetaObject::invokeMethod(
            &retry_, [this] { rowWriterNews(); }, Qt::QueuedConnection);
    });
}

void MainDatabase::HoldRowWriter(bool held) {
    if (held && writer_) {
        writerHeld_ = true;
        StopRowWriter();
    } else if (!held && writerHeld_) {
        writerHeld_ = false;
        UseRowWriter(true);
    }
}

// Rows still on their way to the database are written into the one they
// were meant for; those offered from here on are kept for the database that
// is attached once the hold ends.
void MainDatabase::HoldRows(bool held, std::function<void()> settled) {
    if (held) {
        if (!rowsHeld_)
            base::WriteLog(2, "%s", "Zapisy do bazy danych wstrzymane do końca odtwarzania bazy danych");
        rowsHeld_ = true;
        if (replayRunning_ && !writingKeptRows_)
            endReplay();
        rowsSettled_ = std::move(settled);
        tellRowsSettled();
        return;
    }
    rowsSettled_ = nullptr;
    if (!std::exchange(rowsHeld_, false))
        return;
    base::WriteLog(2, "Zapisy do bazy danych wznowione, czeka %zu", keptRows_.size());
    WriteKeptRows();
    resumeRowWriter();
}

void MainDatabase::tellRowsSettled() {
    if (rowsSettled_ && !(writer_ && writer_->HoldsRows()))
        std::exchange(rowsSettled_, nullptr)();
}

bool MainDatabase::OfferToRowWriter(const std::vector<std::string>& rows) {
    return OfferToRowWriter(PlainRows(rows));
}

// Rows the writer holds, given back or not, come first: it takes new ones
// behind them even while closing. Holding none, it takes them when nothing
// else waits for the database.
bool MainDatabase::OfferToRowWriter(std::vector<PendingRow> rows) {
    using Before = RowWriter::Before;
    if (rowsHeld_)
        return false;
    const Before before = !keptRows_.empty()                           ? Before::KeptRows
                          : host_.IsClosing() || !MainDbHandleExists() ? Before::OwnRows
                                                                       : Before::Nothing;
    return writer_ && writer_->Offer(std::move(rows), before);
}

bool MainDatabase::RowsMustWait() {
    return rowsHeld_ || !MainDbHandleExists() || !keptRows_.empty() || (writer_ && writer_->HoldsRows());
}

// A row that waits for the connection is kept; one that does not fails, and
// its follower hears of it.
void MainDatabase::keepOrFail(PendingRow row) {
    if (!row.waitsForConnection) {
        if (row.written)
            row.written(dbcode::Unavailable, std::string());
    } else if (row.written || !row.generatorQuery.empty()) {
        keep(std::move(row));
    } else if (!KeepRow(row.statement)) {
        LogRowNotWritten(row.statement);
    }
}

// Rows given back join the kept rows; once the writer has emptied, the kept
// rows that waited for it are written.
void MainDatabase::rowWriterNews() {
    if (!writer_)
        return;
    const bool replaying = replayRunning_;
    takeKeptSliceResults();
    for (RowWriter::HandedBack& back : writer_->TakeHandedBack())
        rowsHandedBack(back.rows, back.reason);
    // A replay stopped by rows given back starts again when the connection
    // or a new row brings it, not at once.
    if (replayRunning_)
        writeKeptRowSlice();
    else if (!replaying)
        WriteKeptRows();
    resumeRowWriter();
    tellRowsSettled();
}

// The writer could not write them: they wait like rows of a lost connection.
// A server that lost or left unanswered the writer's connection has done the
// same to the main one: that one is given up too, at once, rather than found
// out by a call that waits for its bound on the event loop.
void MainDatabase::rowsHandedBack(const std::vector<PendingRow>& rows, RowWriter::Reason reason) {
    using Reason = RowWriter::Reason;
    // Going away, with the host half gone: they are only named.
    if (destroying_) {
        for (const PendingRow& row : rows)
            if (!row.fromKeptRows)
                keptRows_.push_back(KeptRow(row, reason == Reason::Uncertain ? -1 : 0));
        return;
    }
    if ((reason == Reason::Lost || reason == Reason::Uncertain) && MainDbHandleExists()) {
        base::WriteLog(2, "%s", "Połączenie zapisów z bazą danych utracone, połączenie główne porzucone");
        SessionDB::AbandonConnection(&MainDbHandle);
        MainConnectionLost(reason == Reason::Lost ? "the connection of the row writer was lost"
                                                  : "the row writer's commit got no answer");
        host_.EnsureReconnectTimer();
    }
    if (!rows.empty() && rows.front().fromKeptRows) {
        keptSliceBack(rows, reason);
        return;
    }
    if (reason == Reason::Uncertain) {
        KeepUncertainRows(rows);
        return;
    }
    for (const PendingRow& row : rows) {
        if (reason != Reason::Untried && MainDbHandleExists() && row.waitsForConnection)
            base::WriteLog(2, "Nie zapisano w bazie danych, zapis zostanie ponowiony: %s",
                           row.statement.c_str());
        keepOrFail(row);
    }
    WriteKeptRows();
}

// Once the kept rows are written on an attached connection, rows go to the
// writer again.
void MainDatabase::resumeRowWriter() {
    if (writer_ && keptRows_.empty() && MainDbHandleExists() && writer_->Paused())
        writer_->Resume();
}

bool MainDatabase::StopRowWriter(StopClock::time_point deadline) {
    if (!writer_)
        return true;
    std::vector<RowWriter::HandedBack> left;
    const bool ended = writer_->Stop(deadline, &left);
    // Rows it wrote back leave the queue before the rest are named.
    takeKeptSliceResults();
    if (!ended)
        writer_.release(); // its thread is in a call; the process ends with it
    writer_.reset();
    for (RowWriter::HandedBack& back : left)
        rowsHandedBack(back.rows, back.reason);
    if (slice_ || replayRunning_) {
        slice_.reset();
        if (replayRunning_)
            endReplay();
    }
    return ended;
}

void MainDatabase::WriteKeptRowsBeforeStop() {
    if (keptRows_.empty() || writingKeptRows_)
        return;
    auto& log = base::DiagnosticLog::instance();
    const std::size_t kept = keptRows_.size();
    LimitCallsUntil(StopClock::now() + KeptRowsAtStopBound);
    const auto deadline = CallDeadline();
    if (!MainDbHandleExists()) {
        const ConnectionSettings c = host_.MainConnectionSettings();
        SessionDB attach(c.host, c.path, c.user, c.password, &MainDbHandle, false);
    }
    nextSlice_.stop();
    retry_.stop();
    replayRunning_ = false;
    std::size_t written = 0;
    writingKeptRows_ = true;
    while (!keptRows_.empty() && MainDbHandleExists() && StopClock::now() < deadline) {
        const std::size_t before = replayWritten_;
        if (!writeHeadRow())
            break;
        written += replayWritten_ - before;
    }
    writingKeptRows_ = false;
    log.WriteWhileClosing(2, "Przed zakończeniem pracy zapisano w bazie danych %zu z %zu odłożonych zapisów",
                          written, kept);
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
    if (host_.IsClosing())
        return;
    // Whichever attach succeeds (the timer's, a log-in's or a statement's),
    // the database is up again from here on.
    MainDbState = 0;
    SayAttached(host, path);
    EnsureDatabaseStructure(host, path, user, password);
    // Before the kept rows: an SMS kept in progress is this run's own.
    FailSmsLeftInProgress();
    if (MainDbReady)
        host_.MainDatabaseReady();
    WriteKeptRows();
    resumeRowWriter();
}

void MainDatabase::MainConnectionLost(const std::string& reason) {
    MainDbState = -1;
    // A stop detaches on its own: no loss to speak of then.
    if (host_.IsClosing())
        return;
    const ConnectionSettings settings = host_.MainConnectionSettings();
    SayConnectionLost(settings.host, settings.path, reason);
}

bool MainDatabase::KeepRow(const std::string& statement) {
    if (!IsRowStatement(statement))
        return false;
    // The head row, lost again while the kept rows are written, keeps its place.
    if (writingKeptRows_ && !keptRows_.empty() && statement == keptRows_.front().statement) {
        keptAgain_ = true;
        return true;
    }
    keep(PendingRow(statement));
    return true;
}

bool MainDatabase::KeepUncertainRows(const std::vector<std::string>& statements) {
    return KeepUncertainRows(PlainRows(statements));
}

bool MainDatabase::KeepUncertainRows(std::vector<PendingRow> rows) {
    const int commit = ++lastUncertainCommit_;
    // The head row, its write-back's commit unanswered, keeps its place.
    if (writingKeptRows_ && rows.size() == 1 && !keptRows_.empty() &&
        rows.front().statement == keptRows_.front().statement) {
        keptRows_.front().uncertainCommit = commit;
        keptAgain_ = true;
        return true;
    }
    for (PendingRow& row : rows) {
        // Even a row that may not wait is looked up: whoever follows it
        // cannot know whether to try again, and would write it twice.
        base::WriteLog(2, "Nie wiadomo, czy zapisano w bazie danych, zostanie sprawdzone: %s",
                       row.statement.c_str());
        keep(KeptRow(std::move(row), commit));
    }
    WriteKeptRows();
    return true;
}

bool MainDatabase::KeepRowWithNewKey(const std::string& generatorQuery, InsertForKey insert,
                                     KeptRowWritten written, bool waitsForConnection) {
    keep(PendingRow::Keyed(generatorQuery, std::move(insert), std::move(written), waitsForConnection));
    return true;
}

bool MainDatabase::FollowLastKeptRow(const std::string& statement, const std::string& key,
                                     KeptRowWritten written) {
    if (keptRows_.empty() || keptRows_.back().statement != statement || keptRows_.back().written)
        return false;
    keptRows_.back().key = key;
    keptRows_.back().written = std::move(written);
    return true;
}

void MainDatabase::keep(KeptRow row) {
    // Rows the writer is writing back now stay: it tells of them in order.
    const std::size_t inFlight = slice_ ? slice_->rows - slice_->taken : 0;
    if (keptRows_.size() >= KeptRowLimit && inFlight < keptRows_.size()) {
        const auto oldest = keptRows_.begin() + std::ptrdiff_t(inFlight);
        base::WriteLog(2, "Kolejka zapisów do bazy danych pełna (%zu), porzucono najstarszy: %s",
                       KeptRowLimit, oldest->statement.c_str());
        keptRows_.erase(oldest);
    }
    // Behind a replay a row only waits its turn; the replay counts it.
    if (!MainDbHandleExists() || rowsHeld_)
        base::WriteLog(2, "Nie zapisano w bazie danych, zapis czeka na połączenie: %s",
                       row.statement.c_str());
    keptRows_.push_back(std::move(row));
    if (keptRows_.back().kept)
        std::exchange(keptRows_.back().kept, nullptr)();
}

void MainDatabase::WriteKeptRows() {
    // Held for a restore, the rows wait for its end and the writer's return.
    if (rowsHeld_ || replayRunning_ || keptRows_.empty() || !MainDbHandleExists() ||
        (!writer_ && writerHeld_))
        return;
    // Rows still in the writer are older: its news starts the replay.
    if (writer_ && writer_->HoldsRows())
        return;
    retry_.stop();
    replayRunning_ = true;
    replayWritten_ = 0;
    replayFailed_ = 0;
    base::WriteLog(2, "Zapisywanie odłożonych zapisów w bazie danych: %zu", keptRows_.size());
    writeKeptRowSlice();
}

void MainDatabase::writeKeptRowSlice() {
    // A session of the rows below attaches again by itself and comes back
    // through WriteKeptRows, which leaves the running replay alone.
    if (writingKeptRows_ || !replayRunning_)
        return;
    if (writer_) {
        offerKeptSlice();
        return;
    }
    writingKeptRows_ = true;
    bool lostAgain = false;
    const std::size_t doneBefore = replayWritten_ + replayFailed_;
    for (std::size_t n = 0; n < KeptRowsPerSlice && !keptRows_.empty() && MainDbHandleExists(); ++n) {
        if (!writeHeadRow()) {
            lostAgain = true;
            break;
        }
    }
    writingKeptRows_ = false;
    if (lostAgain || keptRows_.empty() || !MainDbHandleExists() || host_.IsClosing()) {
        endReplay();
        return;
    }
    sayReplayProgress(doneBefore);
    nextSlice_.start();
}

void MainDatabase::sayReplayProgress(std::size_t doneBefore) {
    const std::size_t done = replayWritten_ + replayFailed_;
    if (done / KeptRowsPerProgressLine != doneBefore / KeptRowsPerProgressLine)
        base::WriteLog(2, "Zapisywanie odłożonych zapisów w bazie danych: zapisano %zu, czeka %zu",
                       replayWritten_, keptRows_.size());
}

// The writer takes the next slice: the head rows up to a slice's count, or
// the rows of the unanswered commit at the head, which it looks up first.
// Each stays kept until the writer says how it ended.
void MainDatabase::offerKeptSlice() {
    if (slice_)
        return;
    if (keptRows_.empty() || !MainDbHandleExists() || host_.IsClosing()) {
        endReplay();
        return;
    }
    auto slice = std::make_shared<KeptSlice>();
    std::vector<PendingRow> rows;
    const int commit = keptRows_.front().uncertainCommit;
    for (const KeptRow& kept : keptRows_) {
        if (kept.uncertainCommit != commit || (commit == 0 && rows.size() >= KeptRowsPerSlice))
            break;
        PendingRow row = kept;
        row.written = nullptr;
        row.kept = nullptr;
        row.fromKeptRows = true;
        row.lookedUpFirst = commit != 0;
        row.settled = [slice](int result, const std::string& key) {
            std::lock_guard lock(slice->mutex);
            slice->ended.emplace_back(result, key);
        };
        rows.push_back(std::move(row));
    }
    slice->rows = rows.size();
    // Refused while the writer holds rows: its news brings the slice again.
    if (writer_->TakeKeptRows(std::move(rows)))
        slice_ = std::move(slice);
}

// The rows the writer has written leave the queue, in order, and their
// followers hear of them.
void MainDatabase::takeKeptSliceResults() {
    if (!slice_)
        return;
    const std::shared_ptr<KeptSlice> slice = slice_;
    std::vector<std::pair<int, std::string>> ended;
    {
        std::lock_guard lock(slice->mutex);
        ended.assign(slice->ended.begin() + std::ptrdiff_t(slice->taken), slice->ended.end());
        slice->taken = slice->ended.size();
    }
    const std::size_t doneBefore = replayWritten_ + replayFailed_;
    if (slice->taken == slice->rows)
        slice_.reset();
    for (const auto& [result, key] : ended) {
        if (keptRows_.empty())
            break;
        if (result == 0 && !key.empty())
            keptRows_.front().key = key;
        // The writer named a row it could not write.
        finishHeadRow(result, true);
    }
    sayReplayProgress(doneBefore);
}

void MainDatabase::keptSliceBack(const std::vector<PendingRow>& rows, RowWriter::Reason reason) {
    using Reason = RowWriter::Reason;
    // The rows of an unanswered commit are the head rows; each is looked up
    // with the key it was written with.
    const int commit = reason == Reason::Uncertain ? ++lastUncertainCommit_ : 0;
    for (std::size_t at = 0; at < rows.size() && reason != Reason::Untried; ++at) {
        const PendingRow& row = rows[at];
        if (reason == Reason::Passing && MainDbHandleExists())
            base::WriteLog(2, "Nie zapisano w bazie danych, zapis zostanie ponowiony: %s",
                           row.statement.c_str());
        if (reason != Reason::Uncertain || at >= keptRows_.size())
            continue;
        base::WriteLog(2, "Nie wiadomo, czy zapisano w bazie danych, zostanie sprawdzone: %s",
                       row.statement.c_str());
        KeptRow& kept = keptRows_[at];
        kept.statement = row.statement;
        kept.key = row.key;
        kept.generatorQuery.clear();
        kept.uncertainCommit = commit;
    }
    slice_.reset();
    if (replayRunning_)
        endReplay();
}

// Writes the head row, drawing its key first when it waits for one: false
// when the connection went away again and the row keeps its place.
bool MainDatabase::writeHeadRow() {
    const ConnectionSettings c = MainDbAttachedWith();
    SessionDB session(c.host, c.path, c.user, c.password, &MainDbHandle, true);
    KeptRow& head = keptRows_.front();
    if (!head.generatorQuery.empty()) {
        TStringList keys;
        session.SetResultStrings(&keys);
        const int drawn = session.ExecuteSQL(head.generatorQuery);
        session.SetResultStrings(nullptr);
        if (drawn != 0 && (!MainDbHandleExists() || session.FailureCanPass()))
            return false;
        if (drawn != 0 || keys.empty()) {
            finishHeadRow(drawn != 0 ? drawn : -1);
            return true;
        }
        head.key = keys.front();
        head.statement = head.insert(head.key);
        head.generatorQuery.clear();
    }
    if (head.uncertainCommit != 0) {
        const int found = lookUpHeadCommit(session);
        if (found != 0)
            return found > 0;
    }
    keptAgain_ = false;
    const int result = session.ExecuteSQL(keptRows_.front().statement);
    if (keptAgain_)
        return false;
    finishHeadRow(result);
    return true;
}

int MainDatabase::lookUpHeadCommit(SessionDB& session) {
    const int commit = keptRows_.front().uncertainCommit;
    std::vector<std::string> statements;
    for (std::size_t i = 0; i < keptRows_.size() && keptRows_[i].uncertainCommit == commit; ++i)
        statements.push_back(keptRows_[i].statement);
    const int found = LookUpRows(session, statements, [] { return MainDbHandleExists(); });
    if (found < 0)
        return -1;
    for (std::size_t i = 0; i < statements.size(); ++i)
        keptRows_[i].uncertainCommit = 0;
    if (found == 0)
        return 0;
    for (std::size_t i = 0; i < statements.size(); ++i)
        finishHeadRow(0);
    return 1;
}

int LookUpRows(SessionDB& session, const std::vector<std::string>& statements,
               const std::function<bool()>& connected) {
    const auto columns = [&session](const std::string& table) {
        std::vector<QueryRow> found;
        session.SetSqlText("SELECT RDB$FIELD_NAME FROM RDB$RELATION_FIELDS WHERE RDB$RELATION_NAME = '" +
                           table + "' ORDER BY RDB$FIELD_POSITION");
        session.RunInReadTransaction([&] { return session.RunQueryToList(&found); });
        std::vector<std::string> names;
        for (const QueryRow& row : found)
            names.push_back(row.empty() ? std::string() : row.begin()->second);
        return names;
    };
    // The commit happened when every insert of it is there (as often as it
    // was in the commit); it did not when one is missing.
    bool allThere = true;
    std::map<std::string, long> expected;
    for (std::size_t i = 0; i < statements.size() && allThere; ++i) {
        const std::string& statement = statements[i];
        const std::string query = RowLookupQuery(statement, columns);
        if (!connected())
            return -1;
        if (query.empty())
            continue;
        std::vector<QueryRow> counted;
        session.SetSqlText(query);
        if (session.RunInReadTransaction([&] { return session.RunQueryToList(&counted); }) != 0) {
            if (!connected())
                return -1;
            allThere = false; // not to be checked: written again
            break;
        }
        const long there = counted.empty() || counted.front().empty()
                               ? 0
                               : std::atol(counted.front().begin()->second.c_str());
        allThere = there >= ++expected[statement];
    }
    for (const std::string& statement : statements)
        base::WriteLog(2,
                       allThere ? "Sprawdzono, jest w bazie danych: %s"
                                : "Sprawdzono, nie ma w bazie danych, zapis zostanie ponowiony: %s",
                       statement.c_str());
    return allThere ? 1 : 0;
}

// The head row leaves the queue before its follower hears of it: the
// follower may keep rows of its own.
void MainDatabase::finishHeadRow(int result, bool named) {
    KeptRow row = std::move(keptRows_.front());
    keptRows_.pop_front();
    if (result == 0) {
        ++replayWritten_;
    } else {
        if (!named)
            LogRowNotWritten(row.statement);
        ++replayFailed_;
    }
    if (row.written)
        row.written(result, result == 0 ? row.key : std::string());
}

void MainDatabase::endReplay() {
    nextSlice_.stop();
    replayRunning_ = false;
    // Stopped by a failure that passes while the connection stays: tried
    // again later (a lost connection has the reconnect timer).
    if (!keptRows_.empty() && MainDbHandleExists() && !host_.IsClosing())
        retry_.start();
    resumeRowWriter();
    base::WriteLog(2, "Zapisano w bazie danych %zu odłożonych zapisów, nie zapisano %zu, czeka jeszcze %zu",
                   replayWritten_, replayFailed_, keptRows_.size());
}

namespace {

int rowBatchDepth = 0;
std::vector<std::string> batchedRows;

// A row never overtakes those still waiting for their replay or in the writer.
bool rowsMustWait() {
    MainDatabase* database = MainDatabase::Current();
    return database ? database->RowsMustWait() : !MainDbHandleExists();
}

void writeOneMainRow(const std::string& statement) {
    MainDatabase* writerOwner = MainDatabase::Current();
    if (writerOwner && writerOwner->OfferToRowWriter({statement}))
        return;
    if (rowsMustWait()) {
        MainDatabase* database = MainDatabase::Current();
        if (!database || !database->KeepRow(statement))
            LogRowNotWritten(statement);
        else
            database->WriteKeptRows();
        return;
    }
    const ConnectionSettings c = MainConnection();
    SessionDB session(c.host, c.path, c.user, c.password, &MainDbHandle, true);
    session.ExecuteSQL(statement);
}

// A statement that fails rolls the batch back, and its rows go one at a time,
// each as it would alone (kept while the connection is away). A failed
// commit may have written them, so they are not repeated.
void writeBatchedRows(const std::vector<std::string>& rows) {
    MainDatabase* writerOwner = MainDatabase::Current();
    if (!rows.empty() && writerOwner && writerOwner->OfferToRowWriter(rows))
        return;
    if (rows.size() > 1 && !rowsMustWait()) {
        const ConnectionSettings c = MainConnection();
        SessionDB session(c.host, c.path, c.user, c.password, &MainDbHandle, true);
        if (session.BeginWork() == 0) {
            const bool stepsDone = std::all_of(rows.begin(), rows.end(), [&](const std::string& row) {
                return session.ExecuteSQL(row) == 0;
            });
            if (stepsDone) {
                if (session.CommitWork() == 0)
                    return;
                // Unanswered, the commit may have written the rows: they
                // are looked up later. Refused, it wrote none of them.
                MainDatabase* database = MainDatabase::Current();
                if (session.OutcomeUnknown() && database && database->KeepUncertainRows(rows))
                    return;
                if (session.OutcomeUnknown()) {
                    for (const std::string& row : rows)
                        base::WriteLog(2, "Nie wiadomo, czy zapisano w bazie danych: %s", row.c_str());
                    return;
                }
            } else
                session.RollbackWork();
        }
    }
    for (const std::string& row : rows)
        writeOneMainRow(row);
}

} // namespace

void WriteMainRow(const std::string& statement) {
    if (rowBatchDepth > 0)
        batchedRows.push_back(statement);
    else
        writeOneMainRow(statement);
}

void WriteMainRowsThen(const std::vector<std::string>& statements, std::function<void()> then) {
    std::vector<PendingRow> rows = PlainRows(statements);
    if (!rows.empty())
        rows.back().written = [then](int, const std::string&) { then(); };
    MainDatabase* database = MainDatabase::Current();
    if (rows.empty() || !database || !database->OfferToRowWriter(std::move(rows))) {
        writeBatchedRows(statements);
        then();
    }
}

MainRowBatch::MainRowBatch() {
    ++rowBatchDepth;
}

MainRowBatch::~MainRowBatch() {
    if (--rowBatchDepth > 0)
        return;
    std::vector<std::string> rows;
    rows.swap(batchedRows);
    writeBatchedRows(rows);
}

ConnectionSettings MainConnection() {
    MainDatabase* database = MainDatabase::Current();
    return database ? database->Host().MainConnectionSettings() : ConnectionSettings{};
}

} // namespace db
