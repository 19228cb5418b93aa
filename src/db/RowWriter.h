// Writes rows on a connection and a thread of its own, so that a slow
// database costs the event loop nothing: the GUI thread hands over the rows
// of one commit and goes on. Rows the writer cannot write for a reason that
// passes (its connection lost or unanswered, a full disk) or whose commit
// went unanswered are handed back to the GUI thread, which keeps them as
// rows of a lost connection; the writer then pauses until it is resumed.
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

class RowWriter {
  public:
    // Why rows come back: a failure that passes with the connection still
    // there (a full disk), the connection lost or unanswered, or a commit
    // left unanswered (the rows may be written).
    enum class Reason { Passing, Lost, Uncertain };
    // Told on the GUI thread of rows handed back, in order.
    using HandBack = std::function<void(const std::vector<std::string>& rows, Reason reason)>;

    explicit RowWriter(HandBack handBack);
    ~RowWriter();
    RowWriter(const RowWriter&) = delete;
    RowWriter& operator=(const RowWriter&) = delete;

    // Takes the rows of one commit; false when the writer is paused or has
    // too many waiting (the caller writes or keeps them itself).
    bool Offer(std::vector<std::string> rows);
    // The writer may take rows again (its connection is attached anew).
    void Resume();
    bool Paused() const;
    // Stops taking rows and ends the thread by `deadline`; the rows it did
    // not write are returned (in order), with those of an unanswered commit
    // marked. False when the thread did not end in time.
    struct Left {
        std::vector<std::string> rows;
        std::vector<std::string> uncertain;
    };
    bool Stop(std::chrono::steady_clock::time_point deadline, Left* left);

    // Batches waiting past this many are not taken.
    static constexpr std::size_t WaitingLimit = 2000;

  private:
    void run();
    // Writes one commit's rows; false when the writer pauses.
    bool write(const std::vector<std::string>& rows);
    void handBack(std::vector<std::string> rows, Reason reason);
    bool attach(const ConnectionSettings& c);

    HandBack handBack_;
    DbHandle handle_ = 0;
    ConnectionSettings attachedWith_; // of handle_
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::vector<std::string>> waiting_;
    std::vector<std::string> inHand_; // the commit being written
    bool paused_ = false;
    bool stopping_ = false;
    bool ended_ = false;
    std::thread thread_;
};

} // namespace db
