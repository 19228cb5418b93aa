// The one road of the rows the server writes by itself (call history, every
// SMS row and its state and line updates, the failures at start): one
// ordered queue, journaled, and one writer on a connection and a thread of
// its own. The event loop hands rows on and goes on; it never executes one.
//
// A row handed on is in the journal within moments (a thread of its own
// puts it there, whatever the database does) and leaves it once written.
// Rows the journal does not take (a full disk) go on in memory and go into
// it, ahead of every later row, once it takes writes again or at the stop.
// While the database is away the rows wait; a restore pauses the road. Each
// commit carries a key of its own (CommitKeys.h), by which alone a commit
// whose answer never came is settled. A row another client has locked waits alone,
// with the later rows of the same database row; the rest go past it. Each
// row's follower runs on the event loop once its outcome is known, in the
// rows' order.
#pragma once

#include "db/DatabaseHost.h"
#include "db/DrawnKeys.h"
#include "db/RowJournal.h"
#include "db/SessionDB.h"

#include <QObject>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace db {

struct CommitKey;

// Told, on the GUI thread, how a row ended: 0 and its key once written (or
// found written), else the refusal's code.
using RowFollower = std::function<void(int result, const std::string& key)>;

// Stands in an insert for the key it is still to get.
extern const char* const RowKeyMarker;

// A name, unique across runs, for the key a keyed insert is still to get.
std::string NewRowToken();
// Stands in a later row's statement for the key drawn for the insert named
// `token` (RoadRow::token): the writer puts that key in when its turn comes,
// also after a restart.
std::string KeyOfRow(const std::string& token);

// A row handed to the road.
struct RoadRow {
    RoadRow() = default;
    explicit RoadRow(std::string text, RowFollower then = {})
        : statement(std::move(text)), follower(std::move(then)) {}
    // An insert under a key drawn with `generatorQuery` when its turn
    // comes: `insertWithMarker` holds RowKeyMarker where the key goes.
    static RoadRow Keyed(std::string generatorQuery, std::string insertWithMarker, RowFollower then);

    std::string statement;
    std::string generatorQuery;
    std::string token; // of a keyed insert: names its key for later rows
    // The database row it changes or makes (RowOfKey), for its place among
    // the rows of that database row; "" for a row no later row names.
    std::string subject;
    RowFollower follower;
    // Told once, on the GUI thread, when the row cannot go on at once (the
    // database is away, or the road paused).
    std::function<void()> waiting;
    // The database the row is of (DatabaseIdentity), when it is not the one
    // attached when it is handed on (a delivery report kept from before):
    // another one's row is named and left unchanged.
    std::string home;
};

std::vector<RoadRow> PlainRoadRows(const std::vector<std::string>& statements);

class RowRoad {
  public:
    // `lost`: the writer's connection was lost or left unanswered (with the
    // server's words); told on the GUI thread. Writing waits for Connect.
    explicit RowRoad(std::function<void(const std::string& reason)> lost);
    ~RowRoad();
    RowRoad(const RowRoad&) = delete;
    RowRoad& operator=(const RowRoad&) = delete;

    // Opens the journal at `path` (empty: rows are kept in memory only); the
    // rows it holds from an earlier run go before any row handed on. False
    // when it could not be opened (said on stderr and in the log); unless
    // another program holds it, it is tried again every few seconds and at
    // the stop, and takes the rows that waited in memory meanwhile.
    bool OpenJournal(const std::string& path);
    // The journal's lock is another program's: this one must end.
    bool JournalHeldElsewhere() const;
    // Told on the GUI thread once the earlier run's rows are all written.
    void WhenEarlierRowsWritten(std::function<void()> then);
    bool EarlierRowsWritten() const;
    // The earlier run's rows that `which` picks by their statement are kept
    // in mind from the journal's opening (set before it): those below are
    // asked about.
    using RowPick = std::function<bool(const std::string& statement)>;
    void KeepEarlierRows(RowPick which);
    // As WhenEarlierRowsWritten for the kept rows that `which` picks, the
    // rest left to go in their time.
    void WhenEarlierRowsWritten(const RowPick& which, std::function<void()> then);
    // The statements of the kept earlier rows `which` picks, not yet written.
    std::vector<std::string> EarlierRowsLeft(const RowPick& which) const;
    // The tokens of the kept earlier inserts `which` picks, not yet written:
    // later rows may name their rows by them (KeyOfRow). With `statements`,
    // the inserts too, in the same order.
    std::vector<std::string> EarlierInsertTokens(const RowPick& which,
                                                 std::vector<std::string>* statements = nullptr) const;

    // Hands on rows, in order, behind every row handed on before.
    void Hand(std::vector<RoadRow> rows);
    // Puts a row behind the rows of the earlier run and before this run's
    // (not journaled: the next start makes it again).
    void HandAfterEarlierRows(RoadRow row);
    // The database to write into, now attached: writing goes on.
    void Connect(const ConnectionSettings& database);
    // Told to write into `database` (and not lost since).
    bool ConnectedTo(const ConnectionSettings& database) const;
    // The database a row handed on now is of (DatabaseIdentity); "" while
    // none was attached or set.
    std::string HomeOfNewRows() const;
    // True when a row handed on now would be written at once.
    bool WritingNow() const;
    // Pauses: the writer ends the commit in hand, lets its connection go
    // and takes no more rows until Resume; `settled` is told on the GUI
    // thread then.
    void Pause(std::function<void()> settled);
    void Resume();
    bool Paused() const;

    // Keys of named inserts that something outside the road still names by
    // token (a kept delivery report): kept, in the journal too and across a
    // restart, until let go. Those kept from an earlier run are held before
    // OpenJournal.
    void HoldKeys(const std::vector<std::string>& tokens);
    void ReleaseKeys(const std::vector<std::string>& tokens);

    // Nothing handed on waits or is being written.
    bool Empty() const;
    // Nothing to write now: the rows left, if any, wait for other clients'
    // locks.
    bool Idle() const;
    std::size_t Waiting() const;
    // Handed on, not yet in the journal.
    std::size_t Journaling() const;
    // The rows held in memory past the hand-over to the journal, and the
    // most ever held: with the journal open never above RowsInMemory, but
    // for rows the journal does not take (HandAfterEarlierRows', those a
    // failed journal write left out).
    std::size_t RowsHeld() const;
    std::size_t MostRowsHeld() const;
    // The keys of named inserts kept for the rows that refer to them.
    std::size_t KeysKept() const;
    // Told once on the GUI thread when the road is empty (at once if it is).
    void WhenEmpty(std::function<void()> then);

    // Ends both threads by `deadline`: every row in the journal stays there
    // for the next start; those not in it, not written, are counted and
    // named in the log (once, at the first stop). False when a thread is
    // in a call that did not come back.
    bool Stop(std::chrono::steady_clock::time_point deadline);

    // With the journal open, the rows held in memory (the rest wait in it
    // and are read as the writer goes); without it, the rows that can wait
    // at all: a row handed on past them is dropped, named.
    static constexpr std::size_t RowsInMemory = 10000;
    // Rows are written at most this many to a commit: the rows kept through
    // an outage go back in few of them, each a few round trips to a server
    // that may be far.
    static constexpr std::size_t RowsPerCommit = 1000;
    // The text of one block of rows stays under the statement limit of
    // older servers (64 KB on the wire), counted in bytes of UTF-8, never
    // fewer than the wire's code page takes.
    static constexpr std::size_t BlockTextLimit = 60000;
    // The tables a block's statements name, as the server counts them in
    // one request (it takes 256; an update names its table twice), stay
    // this many.
    static constexpr std::size_t BlockContextLimit = 250;
    // A row locked by another client is tried again after this pause.
    static constexpr std::chrono::milliseconds LockRetryPause{1000};
    // A failure that passes with the connection there (a full disk) is
    // tried again after this pause.
    static constexpr std::chrono::milliseconds PassingRetryPause{5000};
    // What a call cut at the stop's deadline takes to come back.
    static constexpr std::chrono::milliseconds StopGrace{500};

  private:
    // The road's state and threads, shared with them: a thread left in a
    // call at the stop keeps what it uses until the call comes back.
    class Core;
    std::shared_ptr<Core> core_;
};

// Names one database row by its table and the value of its key column: a
// key, or KeyOfRow(token) while it is still to be drawn.
std::string RowOfKey(const std::string& table, const std::string& keyColumn, const std::string& key);

} // namespace db
