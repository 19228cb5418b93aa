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
};

// Statements as rows that nobody follows.
std::vector<PendingRow> PlainRows(const std::vector<std::string>& statements);

class RowWriter {
  public:
    // Why rows come back: a failure that passes with the connection still
    // there (a full disk), the connection lost or unanswered, or a commit
    // left unanswered (the rows may be written).
    enum class Reason { Passing, Lost, Uncertain };
    // Told on the GUI thread of rows handed back, in order.
    using HandBack = std::function<void(const std::vector<PendingRow>& rows, Reason reason)>;

    explicit RowWriter(HandBack handBack);
    ~RowWriter();
    RowWriter(const RowWriter&) = delete;
    RowWriter& operator=(const RowWriter&) = delete;

    // Takes the rows of one commit (an insert under a new key goes alone);
    // false when the writer is paused or has too many waiting (the caller
    // writes or keeps them itself).
    bool Offer(std::vector<PendingRow> rows);
    // The writer may take rows again (its connection is attached anew).
    void Resume();
    bool Paused() const;
    // Stops taking rows and ends the thread by `deadline`; the rows it did
    // not write are returned (in order), with those of an unanswered commit
    // marked. False when the thread did not end in time.
    struct Left {
        std::vector<PendingRow> rows;
        std::vector<PendingRow> uncertain;
    };
    bool Stop(std::chrono::steady_clock::time_point deadline, Left* left);

    // Batches waiting past this many are not taken.
    static constexpr std::size_t WaitingLimit = 2000;

  private:
    void run();
    // Writes one commit's rows; false when the writer pauses.
    bool write(std::vector<PendingRow> rows);
    // The commit failed: true when the writer goes on.
    bool failed(SessionDB& session, std::vector<PendingRow>& rows, int result);
    // Draws the key of a row that waits for one; 0 or the failure.
    static int drawKey(SessionDB& session, PendingRow& row);
    void handBack(std::vector<PendingRow> rows, Reason reason);
    // The followers of written rows hear of it.
    static void tellWritten(const std::vector<PendingRow>& rows, int result);
    bool attach(const ConnectionSettings& c);

    HandBack handBack_;
    DbHandle handle_ = 0;
    ConnectionSettings attachedWith_; // of handle_
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::vector<PendingRow>> waiting_;
    std::vector<PendingRow> inHand_; // the commit being written
    bool paused_ = false;
    bool stopping_ = false;
    bool ended_ = false;
    std::thread thread_;
};

} // namespace db
