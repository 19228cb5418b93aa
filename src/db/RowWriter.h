// Writes rows on a connection and a thread of its own, so that a slow
// database costs the event loop nothing: the GUI thread hands over the rows
// of one commit and goes on. An insert under a new key has the key drawn
// here too, and whoever follows a row hears of it on the GUI thread once it
// is written. Rows the writer cannot write for a reason that passes (its
// connection lost or unanswered, a full disk) or whose commit went
// unanswered are handed back to the GUI thread, which keeps them as rows of
// a lost connection; the writer then pauses until it is resumed.
#pragma once

#include "db/DatabaseHost.h"
#include "db/SessionDB.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace db {

// Told, on the GUI thread, how a row it follows ended: 0 and the row's key
// once written, else the failure.
using KeptRowWritten = std::function<void(int result, const std::string& key)>;
// Makes a row's insert for the key drawn for it.
using InsertForKey = std::function<std::string(const std::string& key)>;

// A row on its way to the database.
struct PendingRow {
    PendingRow() = default;
    explicit PendingRow(std::string text) : statement(std::move(text)) {}
    // An insert under a key still to be drawn with `generatorQuery`.
    static PendingRow Keyed(std::string generatorQuery, InsertForKey insert, KeptRowWritten written,
                            bool waitsForConnection = true);

    std::string statement;      // with an empty key while its key is not drawn
    std::string generatorQuery; // set while its key is still to be drawn
    InsertForKey insert;
    std::string key;
    KeptRowWritten written;
    // False: a row that cannot be written now fails (its follower is told)
    // instead of waiting for the connection's return; one whose commit went
    // unanswered still waits, to be looked up.
    bool waitsForConnection = true;
    // Told once, on the GUI thread, when the row, handed back unwritten,
    // starts to wait for the connection's return (`written` follows later).
    std::function<void()> kept;
    // A kept row being written back: it stays kept until `settled` says how
    // it ended, so that a row handed back is not kept twice.
    bool fromKeptRows = false;
    // Its commit went unanswered: the rows of its batch are looked up first
    // and written only when absent.
    bool lookedUpFirst = false;
    // Told on the writer's thread, as soon as the row ended.
    KeptRowWritten settled;
};

// Statements as rows that nobody follows.
std::vector<PendingRow> PlainRows(const std::vector<std::string>& statements);

class RowWriter {
  public:
    // Why rows come back: a failure that passes with the connection still
    // there (a full disk), the connection lost or unanswered, a commit left
    // unanswered (the rows may be written), or not tried at all (rows that
    // waited behind those, or came while they were on their way back).
    enum class Reason { Passing, Lost, Uncertain, Untried };
    struct HandedBack {
        std::vector<PendingRow> rows;
        Reason reason;
    };
    // Told on the writer's thread (the receiver passes it to its own) that
    // rows came back (TakeHandedBack gives them), or that the writer, asked
    // by HoldsRows, has emptied.
    using News = std::function<void()>;

    explicit RowWriter(News news);
    ~RowWriter();
    RowWriter(const RowWriter&) = delete;
    RowWriter& operator=(const RowWriter&) = delete;

    // What may be written before rows offered now: nothing (the connection
    // is there and no row waits outside the writer), rows in the writer
    // only (the connection is away, or the program is closing, and none is
    // kept), or rows kept outside it too.
    enum class Before { Nothing, OwnRows, KeptRows };
    // Takes the rows of one commit (an insert under a new key goes alone),
    // always behind the rows it holds: it joins them to rows on their way
    // back, to rows still to write unless rows are kept (or it is full),
    // and holding none it takes them when nothing must go first and it is
    // not paused. False: the caller writes or keeps them itself.
    bool Offer(std::vector<PendingRow> rows, Before before = Before::Nothing);
    // Takes kept rows to write back (one commit), even while paused, and
    // takes rows again from then on; false while it holds rows or stops.
    bool TakeKeptRows(std::vector<PendingRow> rows);
    // The rows given back and not yet taken, in order.
    std::vector<HandedBack> TakeHandedBack();
    // True while it holds rows; it then tells its news once it is empty.
    bool HoldsRows();
    // The writer may take rows again (its connection is attached anew).
    void Resume();
    bool Paused() const;
    // Stops taking rows and ends the thread by `deadline` (its last detach
    // is cut there); every row it holds comes back in order: those given
    // back, then those not written. False when the thread did not end in
    // time.
    bool Stop(std::chrono::steady_clock::time_point deadline, std::vector<HandedBack>* left);

    // Batches waiting past this many are not taken.
    static constexpr std::size_t WaitingLimit = 2000;
    // What a call cut at the deadline takes to come back.
    static constexpr std::chrono::milliseconds StopGrace{500};
    // A row another client of the database has locked is tried again after
    // this pause, on this thread, until the lock goes: the server answers,
    // so the connection is not lost.
    static constexpr std::chrono::milliseconds LockRetryPause{100};

  private:
    void run();
    // Writes one commit's rows; what it gives back (nothing: go on).
    std::vector<HandedBack> write(std::vector<PendingRow>& rows, bool attachedAgain = false);
    // Runs the rows' statements as one commit, waiting out locks held by
    // other clients; 0 or the failure.
    int runRows(SessionDB& session, const std::vector<PendingRow>& rows);
    // Pauses before a locked row is tried again; false when stopping.
    bool pauseForLock(const std::string& statement, bool said);
    // The commit failed: what goes back (nothing: the writer goes on).
    std::vector<HandedBack> failed(SessionDB& session, std::vector<PendingRow>& rows, int result,
                                   bool attachedAgain);
    // Draws the key of a row that waits for one; 0 or the failure.
    static int drawKey(SessionDB& session, PendingRow& row);
    void tellNews();
    // The followers of written rows hear of it.
    static void tellWritten(const std::vector<PendingRow>& rows, int result);
    bool attach(const ConnectionSettings& c);

    News news_;
    DbHandle handle_ = 0;
    ConnectionSettings attachedWith_; // of handle_
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::vector<PendingRow>> waiting_;
    std::vector<PendingRow> inHand_;    // the commit being written
    std::deque<HandedBack> handedBack_; // not yet taken by the GUI thread
    bool tellWhenEmpty_ = false;
    bool paused_ = false;
    bool stopping_ = false;
    std::chrono::steady_clock::time_point stopDeadline_;
    bool ended_ = false;
    std::thread thread_;
};

} // namespace db
