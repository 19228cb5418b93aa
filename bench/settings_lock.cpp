// Run: build/bench/settings_lock [folder of the program=build] [starts=3] [ok|start]
//
// The settings file's lock held by another process (flock(1), a child of the
// bench, taking the lock beside the file and keeping it):
//  ok:    the main window in-process running its real event loop, the
//         exchange simulator on its link and a desk logged in on its client
//         port; a call rings the desk every 200 ms and the delay of its
//         caller notice ("!DM") is taken. After 3 s the settings dialog's OK
//         is pressed with the lock held: p50 and maximum of the notices of
//         the 8 s from OK, against those before it.
//  start: the program itself (`halvex` in that folder) started `starts` times on a
//         database of the test server (127.0.0.1, HALVEX_FB_PASSWORD), with
//         the lock held and without: the time from the start to the log's
//         line that its client port listens (median, minimum, maximum).
#include "BenchSupport.h"
#include "ClientServiceBench.h"
#include "admin/Console.h"
#include "admin/SettingsDialog.h"
#include "pbx/PbxLink.h"
#include "shell/MainForm.h"
#include "support/ClientSimulator.h"
#include "support/ExchangeSimulator.h"
#include "support/FirebirdFixtures.h"
#include "support/HalvexProcess.h"
#include "ui/Application.h"

#include <QProcess>
#include <QPushButton>
#include <QUdpSocket>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <optional>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

double msBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// Another process keeps the lock of `settingsFile` while this lives.
class LockHolder {
  public:
    explicit LockHolder(const std::string& settingsFile) : lock_(settingsFile + ".lock") {
        holder_.start("flock", {"-x", QString::fromStdString(lock_), "sleep", "600"});
        held_ = holder_.waitForStarted() && bench::waitUntil([&] { return takenElsewhere(); }, 10000, 1000);
    }
    ~LockHolder() {
        holder_.kill();
        holder_.waitForFinished();
    }
    bool held() const { return held_; }

  private:
    bool takenElsewhere() const {
        const int fd = ::open(lock_.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0)
            return false;
        const bool busy = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
        ::close(fd);
        return busy;
    }
    std::string lock_;
    QProcess holder_;
    bool held_ = false;
};

void report(const char* label, std::vector<double> delays) {
    if (delays.empty()) {
        std::printf("%-34s no notices\n", label);
        return;
    }
    std::printf("%-34s %3zu notices  p50 %8.1f ms  max %8.1f ms\n", label, delays.size(),
                bench::percentile(delays, 0.5), bench::percentile(delays, 1.0));
}

// The desk's caller notices, stamped on its reading thread.
struct Notices {
    std::mutex mutex;
    std::map<std::string, Clock::time_point> arrived;
};

int okWithTheLockHeld(TForm1& form, sim::ExchangeSimulator& exchange, const std::string& settingsFile) {
    if (!exchange.WaitForLogin(1, 60000)) {
        std::fprintf(stderr, "no exchange log-in\n");
        return 1;
    }
    Notices notices;
    sim::ClientSimulator desk;
    desk.OnMessage = [&](const std::string& message) {
        std::lock_guard lock(notices.mutex);
        notices.arrived.emplace(message, Clock::now());
    };
    if (!bench::logIn(desk, form.Settings.PortTCP, 1)) {
        std::fprintf(stderr, "the desk did not log in\n");
        return 1;
    }
    LockHolder holder(settingsFile);
    if (!holder.held()) {
        std::fprintf(stderr, "flock did not take the lock\n");
        return 1;
    }
    struct Probe {
        std::string awaited;
        Clock::time_point sent;
    };
    std::vector<Probe> probes;
    Clock::time_point pressed{};
    const auto start = Clock::now();
    for (int i = 0; msBetween(start, Clock::now()) < 11000; ++i) {
        if (pressed == Clock::time_point{} && msBetween(start, Clock::now()) >= 3000) {
            pressed = Clock::now();
            // As the operator does it, on the window's thread.
            QMetaObject::invokeMethod(
                &form,
                [&form] {
                    auto* dialog = new TKonfiguracja();
                    dialog->console = &form.Admin();
                    dialog->show();
                    dialog->findChild<QPushButton*>(QStringLiteral("btnAccept"))->click();
                    dialog->deleteLater();
                },
                Qt::QueuedConnection);
        }
        const std::string caller = "600" + std::to_string(100000 + i);
        probes.push_back({"!DM&3&" + caller + "&201&\r\n", Clock::now()});
        exchange.SendRaw("C10 05 " + std::to_string(300 + i % 100) + "\r\nDM 3&" + caller + "&201&\r\n");
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    bench::waitUntil(
        [&] {
            std::lock_guard lock(notices.mutex);
            return notices.arrived.count(probes.back().awaited) > 0;
        },
        30000, 1000);
    std::vector<double> before, during;
    int missing = 0;
    {
        std::lock_guard lock(notices.mutex);
        for (const Probe& probe : probes) {
            const auto found = notices.arrived.find(probe.awaited);
            if (found == notices.arrived.end()) {
                ++missing;
                continue;
            }
            (probe.sent < pressed ? before : during).push_back(msBetween(probe.sent, found->second));
        }
    }
    std::printf("ok, lock held by another process:\n");
    report("  caller notices before OK", before);
    report("  caller notices in the 8 s from OK", during);
    if (missing)
        std::printf("  %d notices missing\n", missing);
    return missing ? 1 : 0;
}

int runOk(int argc, char** argv) {
    bench::Sandbox dir;
    ui::TApplication app(argc, argv);
    sim::ExchangeSimulator exchange(sim::Family::Vantrel, sim::Transport::Tcp);
    if (!exchange.Start())
        return 1;
    QUdpSocket broadcasts;
    auto form = bench::quietForm(broadcasts);
    form->LogFilePath = (dir.path() + QStringLiteral("/halvex.log")).toStdString();
    bench::addListedUsers(*form, 1);
    form->lvAllUserPhones->AddRow({"1", "1", "201", "tel"});
    form->lvAllUserPhones->SetTag(1);
    // Attached, so that OK finds the database as it was and leaves it.
    testfb::DatabaseFolder folder;
    const testfb::Connection c{"127.0.0.1", folder.file("bench.fdb"), "SYSDBA", testfb::ServerPassword()};
    form->Settings.IPFBaseText = c.host;
    form->Settings.NameFBText = c.path;
    form->Settings.UserFB = c.user;
    form->Settings.PasswordFB = c.password;
    if (!testfb::CreateEmptyDatabase(c) || form->Database().AttachMainDatabase() != 0) {
        std::fprintf(stderr, "no database on the test server\n");
        return 1;
    }
    form->Settings.PortTCP = bench::freePort();
    form->WlaczSerwerClick();
    // The dialog stores the link's settings as they are in force.
    bench::connectExchange(*form, exchange.Port());
    const std::string settingsFile = platform::registryFilePath(
        form->RegistryInHklm ? platform::RegistryBranch::Machine : platform::RegistryBranch::User);
    const int result =
        bench::measureWhileLooping([&] { return okWithTheLockHeld(*form, exchange, settingsFile); });
    form.reset();
    return result;
}

// Seconds from the start to the client port listening, or -1.
double startToClientPort(const std::string& program, bool lockHeld) {
    testing_support::Sandbox sandbox;
    testfb::DatabaseFolder folder;
    const testfb::Connection c{"127.0.0.1", folder.file("RovaZAD.fdb"), "SYSDBA", testfb::ServerPassword()};
    if (!testing_support::WriteProgramSettings(c))
        return -1;
    std::optional<LockHolder> holder;
    if (lockHeld && !holder.emplace(sandbox.machineRegistryFile()).held())
        return -1;
    qputenv("HALVEX_TEST_BINARY_DIR", QByteArray::fromStdString(program));
    testing_support::HalvexProcess halvex(sandbox);
    const auto started = Clock::now();
    halvex.start({"DEBUG"});
    const bool open =
        halvex.waitForLog("Port klientów ustawiony na 0: nasłuch na porcie", std::chrono::seconds(120));
    const double seconds = msBetween(started, Clock::now()) / 1000;
    halvex.signal(SIGTERM);
    halvex.waitForExit(std::chrono::seconds(60));
    return open ? seconds : -1;
}

int runStarts(int argc, char** argv, const std::string& program, int starts) {
    QCoreApplication app(argc, argv);
    for (const bool held : {false, true}) {
        std::vector<double> seconds;
        for (int i = 0; i < starts; ++i)
            if (const double s = startToClientPort(program, held); s >= 0)
                seconds.push_back(s);
        if (seconds.empty()) {
            std::printf("start, %s: the client port never opened\n", held ? "lock held" : "lock free");
            return 1;
        }
        std::printf("start, %-10s client port after  median %5.2f s  min %5.2f s  max %5.2f s (%zu starts)\n",
                    held ? "lock held:" : "lock free:", bench::percentile(seconds, 0.5),
                    bench::percentile(seconds, 0.0), bench::percentile(seconds, 1.0), seconds.size());
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::string program = argc > 1 ? argv[1] : "build";
    const int starts = argc > 2 ? std::atoi(argv[2]) : 3;
    const std::string only = argc > 3 ? argv[3] : "";
    int ok = 0;
    if (only != "start") {
        // In a process of its own: the window's application object and the
        // program's children do not meet.
        const pid_t child = ::fork();
        if (child == 0) {
            const int result = runOk(argc, argv);
            std::fflush(stdout);
            ::_exit(result);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        ok = WIFEXITED(status) ? WEXITSTATUS(status) : 1;
    }
    return (only == "ok" ? 0 : runStarts(argc, argv, program, starts)) | ok;
}
