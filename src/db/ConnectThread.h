// The background attach: the attach call runs in a short-lived thread while
// the GUI thread waits in the progress window and keeps serving its events.
// The thread attaches into a handle of its own and hands it over only when
// the wait was not given up; an abandoned attach detaches itself when it
// finally returns.
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
    // Waits behind the progress window; returns the attach status, or the
    // cancel code when the user gave up.
    int Wait();

    int Result = 1;

  private:
    static void Execute(std::shared_ptr<Job> job);
    SessionDB* Owner;
    std::shared_ptr<Job> job_;
};

// True while a background attach waits in the progress window.
bool BackgroundAttachRunning();
// Waits until every attach thread has returned (one given up by its waiter
// may still be in the attach call); false when the deadline came first. The
// Firebird client's own end waits for such a call, so a process must not
// end normally while one runs.
bool WaitForAttachThreads(std::chrono::steady_clock::time_point deadline);
