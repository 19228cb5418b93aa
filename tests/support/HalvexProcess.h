// Runs the real halvex program in a sandbox: its own copy of the binary (so
// the log file lands beside it), its own settings store and runtime folder.
#pragma once

#include "support/FirebirdFixtures.h"
#include "support/Sandbox.h"

#include <QProcess>
#include <QStringList>
#include <QTcpSocket>
#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <sys/types.h>
#include <utility>

// ThreadSanitizer cannot follow a multi-threaded process through fork(): the
// tests that start the program as a child run in the other builds.
#if defined(__SANITIZE_THREAD__)
#define HALVEX_SKIP_UNDER_THREAD_SANITIZER() GTEST_SKIP() << "starts a child process"
#else
#define HALVEX_SKIP_UNDER_THREAD_SANITIZER() static_cast<void>(0)
#endif

namespace testing_support {

// Names a database file of the sandbox that is not there (on the server of
// 127.0.0.1) in the sandbox's settings, where the test named none: the
// program's attach at start fails at once, and never reaches the machine's
// default database. Settings the program cannot read (a FIFO in the file's
// place, a file over the size limit) are left as the test made them: false.
bool NameNoDatabaseUnlessNamed(const Sandbox& sandbox);

class HalvexProcess {
  public:
    // The program file is `name` in the sandbox, or at `name` when that is
    // an absolute path: its log goes beside it.
    explicit HalvexProcess(const Sandbox& sandbox, const std::string& name = "halvex");
    ~HalvexProcess();

    // Runs the program as this user (from root): the sandbox's folders are
    // handed to it, and the program runs with its ids alone, without root's
    // privileges.
    void runAs(uid_t uid, gid_t gid);
    // Runs the program on this X display instead of headless.
    void onDisplay(const QString& display) { display_ = display; }
    // Runs the program in a process group of its own, which its children
    // (gbak) join, as a service manager starts it.
    void inOwnProcessGroup() { ownGroup_ = true; }
    // Sends the signal to the whole group, as a service manager does when
    // its stop time has run out.
    void signalGroup(int number);
    // Starts the program on the database its settings name (see
    // NameNoDatabaseUnlessNamed); where they cannot name one, the program's
    // database client reaches no server at all.
    // Sets a variable of the program's environment (after the defaults).
    void setEnv(const QString& name, const QString& value) { env_.insert(name, value); }
    void start(const QStringList& arguments = {});
    // Waits until the log file holds `text`; false when the process ended or
    // the cap passed first.
    bool waitForLog(const std::string& text, std::chrono::seconds cap = std::chrono::seconds(30));
    // The same for `times` occurrences of `text`.
    bool waitForLogTimes(const std::string& text, int times,
                         std::chrono::seconds cap = std::chrono::seconds(30));
    // Waits until stderr holds `text`; false when the process ended or the
    // cap passed first.
    bool waitForStderr(const std::string& text, std::chrono::seconds cap = std::chrono::seconds(30));
    // Waits for the end; false when it is still running after the cap.
    bool waitForExit(std::chrono::seconds cap = std::chrono::seconds(30));
    void signal(int number);

    int exitCode() const { return process_.exitCode(); }
    QProcess::ExitStatus exitStatus() const { return process_.exitStatus(); }
    std::string logText() const { return readFile(logPath()); }
    std::string logPath() const;
    std::string standardError();
    QProcess& process() { return process_; }

    // The built program, from the test environment.
    static std::string builtProgram();

  private:
    bool waitFor(const std::function<bool()>& found, std::chrono::seconds cap);
    const Sandbox& sandbox_;
    std::string binary_;
    QProcess process_;
    std::string stderr_;
    std::optional<std::pair<uid_t, gid_t>> user_;
    QString display_;
    bool ownGroup_ = false;
    // Bound but not listening: the port of the database client that reaches
    // no server.
    QTcpSocket closedPort_;
    QProcessEnvironment env_;
};

// Writes the program's settings into the sandbox's store: the database, an
// exchange on 127.0.0.1:`exchangePort` (0: none), and high ports chosen by the
// program itself; false when the store cannot be written.
bool WriteProgramSettings(const testfb::Connection& c, int exchangePort = 0);
// The port the program says it chose for its clients (the setting is 0), or 0.
int ChosenClientPort(HalvexProcess& halvex);

} // namespace testing_support
