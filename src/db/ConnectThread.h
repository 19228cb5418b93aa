// The background attach: the attach call runs in a short-lived thread while
// the GUI thread waits in the progress window and keeps serving its events.
// The thread attaches into a handle of its own and hands it over only when
// the wait was not given up; an abandoned attach detaches itself when it
// finally returns. No wait outlasts the call bound: a server that accepts
// the connection and never answers holds only the thread.
#pragma once

#include "db/SessionDB.h"

#include <chrono>
#include <memory>

class connectDB {
  public:
    struct Job;
    // Starts the thread for the owner's attach (the thread is never killed).
    connectDB(bool createSuspended, SessionDB* owner);
    ~connectDB();
    // Waits behind the progress window (or, without `showProgress`, on the
    // spot without serving events); returns the attach status, the cancel
    // code when the user gave up, or the unavailable code when the bound
    // passed first.
    int Wait(bool showProgress = true);

    int Result = 1;

  private:
    static void Execute(std::shared_ptr<Job> job);
    SessionDB* Owner;
    std::shared_ptr<Job> job_;
};

// True while a background attach waits in the progress window, or an attach
// given up is still in its call: no second attach starts meanwhile.
bool BackgroundAttachRunning();
// Waits until every attach thread has returned (one given up by its waiter
// may still be in the attach call); false when the deadline came first. The
// Firebird client's own end waits for such a call, so a process must not
// end normally while one runs.
bool WaitForAttachThreads(std::chrono::steady_clock::time_point deadline);

namespace db {
// The stop's deadline came closer: an attach wait in progress ends by it.
// Called on the GUI thread.
void GiveUpAttachWaitPastDeadline();
} // namespace db
