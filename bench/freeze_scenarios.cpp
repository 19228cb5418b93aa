// Run: build/bench/freeze_scenarios [storm,flood,outage]   (sizes: the HALVEX_BENCH_* variables below)
//
// The server under a disturbance, the main window in-process running its real
// event loop on a database of a private Firebird server, the exchange
// simulator on its link and simulated clients on its client port; each
// scenario in a child process of its own:
//  storm:  HALVEX_BENCH_STORM_RECORDS (60000) call records in one burst with
//          HALVEX_BENCH_STORM_CLIENTS (500) clients logged in, the calls
//          ringing the clients' desks, each call's end a history row;
//  flood:  one peer, not logged in, with a tiny receive buffer, sends "!WN&"
//          requests for HALVEX_BENCH_FLOOD_S (60) s and never reads; it
//          closes once the probes' notices were awaited, and the clients are
//          counted a presence round after the server answers again;
//  outage: a database on a Firebird server of the bench's own, killed
//          (SIGKILL) for HALVEX_BENCH_OUTAGE_S (120) s and started again, at
//          HALVEX_BENCH_CALLS_PER_S (40) calls a second, a client SMS a
//          second, an exchange SMS every two seconds and a log-in with a
//          wrong password a second;
//  hold:   the same traffic at HALVEX_BENCH_SLOW_CALLS_PER_S (20) calls a
//          second, the database reached through a relay that passes nothing
//          either way, without a reset, for HALVEX_BENCH_HOLD_S (90) s;
//  slow20, slow200: that traffic with the relay adding 20 ms or 200 ms to
//          every chunk each way for HALVEX_BENCH_SLOW_S (60) s;
//  fulldisk: that traffic with the database on a small filesystem of its
//          own (a tmpfs; needs root) made full for HALVEX_BENCH_DISK_S (60) s;
//  back10, back50: the outage's traffic and kill, the server coming back
//          10 ms or 50 ms away (the relay adding that to every chunk each
//          way): the after phase is the write-back of the rows kept (said
//          for each scenario of an outage's traffic: when the road writes
//          again after the return, and when the calls ended before it are
//          all stored);
//  locked: that traffic while another client of the database holds an
//          uncommitted update of one client SMS's row for HALVEX_BENCH_LOCK_S
//          (90) s, the exchange acknowledging that message and reporting it
//          delivered meanwhile; then the row's state;
//  return: only calls, one ending every HALVEX_BENCH_CALL_EVERY_MS (5000) ms,
//          the server killed for HALVEX_BENCH_RETURN_DOWN_S (3) s: how long
//          after its return the rows of the calls ended so far are all
//          stored, the calls going on (at most HALVEX_BENCH_RETURN_CAP_S,
//          300 s), then the rest once the calls stop. No probes.
// Throughout, a probe call every 250 ms rings the desk of a logged-in client:
// its caller notice ("!DM") latency is reported (p50, max) for the probes sent
// before, during and after the disturbance (HALVEX_BENCH_BEFORE_S 15 s and
// HALVEX_BENCH_AFTER_S 40 s, the after phase longer than a presence round);
// a notice not there within HALVEX_BENCH_NOTICE_CAP_S (120) s counts as
// missing. Then the clients still connected (each pings every 20 s), the log's
// dropped notices ("Pomijam"), clients closed for silence ("Brak pingów") and
// full-buffer waits ("Pełny bufor"), and for the outage the rows expected
// against the rows stored once the kept rows are written back (waited for at
// most HALVEX_BENCH_SETTLE_S, 240 s, past the after phase, the probes going on
// meanwhile), and the rows stored more than once (every call, client SMS
// and exchange SMS of the traffic is told apart by its caller, text or
// sender). With HALVEX_BENCH_LOG_DIR set, each
// scenario's log is kept there as <scenario>.log.
// A scenario that does not end within its bound is killed and reported.
// Those are the defaults; a quick run: HALVEX_BENCH_OUTAGE_S=20 HALVEX_BENCH_STORM_RECORDS=10000.
#include "BenchDatabase.h"
#include "BenchSupport.h"
#include "ClientServiceBench.h"
#include "base/DiagnosticLog.h"
#include "base/PasswordCodec.h"
#include "base/SanitizerOptions.h"
#include "db/MainDatabase.h"
#include "db/SessionDB.h"
#include "platform/RegistryStore.h"
#include "sms/SmsGateway.h"
#include "support/ClientSimulator.h"
#include "support/ExchangeSimulator.h"
#include "support/GsmPdus.h"
#include "support/PrivateFirebirdServer.h"
#include "support/SlowTcpProxy.h"
#include "ui/Application.h"

#include <QUdpSocket>
#include <array>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fcntl.h>
#include <fstream>
#include <future>
#include <map>
#include <optional>
#include <sstream>
#include <sys/mount.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using bench::isqlNumber;
using bench::Repeater;
using bench::setting;
using bench::waitUntil;

struct Sizes {
    int stormRecords = setting("HALVEX_BENCH_STORM_RECORDS", 60000);
    int stormClients = setting("HALVEX_BENCH_STORM_CLIENTS", 500);
    int floodS = setting("HALVEX_BENCH_FLOOD_S", 60);
    int outageS = setting("HALVEX_BENCH_OUTAGE_S", 120);
    int callsPerS = setting("HALVEX_BENCH_CALLS_PER_S", 40);
    int beforeS = setting("HALVEX_BENCH_BEFORE_S", 15);
    int afterS = setting("HALVEX_BENCH_AFTER_S", 40);
    int noticeCapS = setting("HALVEX_BENCH_NOTICE_CAP_S", 120);
    int settleS = setting("HALVEX_BENCH_SETTLE_S", 240);
    int holdS = setting("HALVEX_BENCH_HOLD_S", 90);
    int slowS = setting("HALVEX_BENCH_SLOW_S", 60);
    int diskS = setting("HALVEX_BENCH_DISK_S", 60);
    int slowCallsPerS = setting("HALVEX_BENCH_SLOW_CALLS_PER_S", 20);
    int callEveryMs = setting("HALVEX_BENCH_CALL_EVERY_MS", 5000);
    int returnDownS = setting("HALVEX_BENCH_RETURN_DOWN_S", 3);
    int returnCapS = setting("HALVEX_BENCH_RETURN_CAP_S", 300);
    int lockS = setting("HALVEX_BENCH_LOCK_S", 90);
};

constexpr int ProbeEveryMs = 250;
constexpr int PingEveryS = 20;
constexpr int PresenceRoundS = 35;
constexpr int SmallCrowd = 20;
const char* const PhaseNames[] = {"before", "during", "after"};

double msBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

void sleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// The probe calls: each rings the desk (phone 201) with a caller of its own;
// the desk's reading thread stamps the caller notice.
class Probes {
  public:
    explicit Probes(sim::ExchangeSimulator& exchange) : exchange_(exchange) {}

    std::atomic<int> phase{0};

    void noticed(const std::string& message) {
        if (!message.starts_with("!DM&3&"))
            return;
        const std::string caller = message.substr(6, message.find('&', 6) - 6);
        std::lock_guard lock(mutex_);
        if (auto probe = probes_.find(caller); probe != probes_.end() && !probe->second.arrived)
            probe->second.arrived = Clock::now();
    }

    // `deskConnected`: whether the desk still has its connection, so that a
    // notice that cannot come is told apart from one that is late.
    void send(bool deskConnected) {
        const std::string caller = "6001" + std::to_string(10000 + next_++);
        {
            std::lock_guard lock(mutex_);
            probes_[caller] = {phase.load(), deskConnected, Clock::now(), {}};
        }
        exchange_.SendRaw("C11 05 3 " + caller + "\r\nC10 05 " + std::to_string(300 + next_ % 100) +
                          "\r\nDM 3&" + caller + "&201&\r\n");
    }

    bool allArrived() {
        std::lock_guard lock(mutex_);
        return std::all_of(probes_.begin(), probes_.end(),
                           [](auto& p) { return p.second.arrived.has_value(); });
    }

    void report(const char* scenario, int capS) {
        std::lock_guard lock(mutex_);
        for (int phase = 0; phase < 3; ++phase) {
            std::vector<double> ms;
            int sent = 0, deskGone = 0;
            for (const auto& [caller, probe] : probes_) {
                if (probe.phase != phase)
                    continue;
                ++sent;
                deskGone += !probe.deskConnected && !probe.arrived;
                if (probe.arrived && msBetween(probe.sent, *probe.arrived) <= capS * 1000.0)
                    ms.push_back(msBetween(probe.sent, *probe.arrived));
            }
            std::printf("%-7s %-6s probe notice (!DM): %4zu/%-4d arrived", scenario, PhaseNames[phase],
                        ms.size(), sent);
            if (!ms.empty())
                std::printf("  p50 %9.1f ms  max %9.1f ms", bench::percentile(ms, 0.5),
                            *std::max_element(ms.begin(), ms.end()));
            if (int(ms.size()) < sent)
                std::printf("  no notice within %d s: %d", capS, sent - int(ms.size()));
            if (deskGone)
                std::printf(" (%d of them sent with the desk disconnected)", deskGone);
            std::printf("\n");
        }
    }

  private:
    struct Probe {
        int phase = 0;
        bool deskConnected = true;
        Clock::time_point sent;
        std::optional<Clock::time_point> arrived;
    };
    sim::ExchangeSimulator& exchange_;
    std::mutex mutex_;
    std::map<std::string, Probe> probes_;
    int next_ = 0;
};

// The server of the outage, on a thread of its own: its process object
// belongs to that thread, and its kill and start never wait on the GUI thread.
class ServerKeeper {
  public:
    ServerKeeper() : thread_([this] { run(); }) {}
    ~ServerKeeper() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    template <typename Job> auto call(Job job) {
        std::packaged_task<decltype(job(std::declval<testfb::PrivateServer&>()))()> task(
            [this, job] { return job(*server_); });
        auto result = task.get_future();
        {
            std::lock_guard lock(mutex_);
            jobs_.emplace_back([&task] { task(); });
        }
        wake_.notify_all();
        return result.get();
    }

  private:
    void run() {
        server_ = std::make_unique<testfb::PrivateServer>();
        std::unique_lock lock(mutex_);
        while (!stop_ || !jobs_.empty()) {
            wake_.wait(lock, [&] { return stop_ || !jobs_.empty(); });
            while (!jobs_.empty()) {
                auto job = std::move(jobs_.front());
                jobs_.pop_front();
                lock.unlock();
                job();
                lock.lock();
            }
        }
        server_.reset();
    }
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;
    bool stop_ = false;
    std::unique_ptr<testfb::PrivateServer> server_;
    std::thread thread_;
};

std::string readWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

int occurrences(const std::string& text, const std::string& what) {
    int count = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size()))
        ++count;
    return count;
}

// One scenario's world: the window, its exchange, the desk and the crowd.
class Bed {
  public:
    Bed(const char* name, const Sizes& sizes, TForm1& form, sim::ExchangeSimulator& exchange)
        : name_(name), sizes_(sizes), form_(form), exchange_(exchange), probes_(exchange) {}

    // Every client logged in, the link up, the pings running.
    bool ready(int clients, int clientPort) {
        if (!exchange_.WaitForLogin(1, 60000))
            return fail("no exchange log-in");
        desk_.OnMessage = [this](const std::string& m) { probes_.noticed(m); };
        if (!bench::logIn(desk_, clientPort, 1))
            return fail("the desk did not log in");
        for (int i = 2; i <= clients; ++i) {
            crowd_.push_back(std::make_unique<sim::ClientSimulator>());
            if (!bench::logIn(*crowd_.back(), clientPort, i))
                return fail("a client did not log in");
        }
        pinger_ = std::make_unique<Repeater>(PingEveryS * 1000, [this] {
            desk_.SendRequest("PING");
            for (auto& client : crowd_)
                client->SendRequest("PING");
        });
        sleepMs(1000);
        std::printf("%-7s %d clients logged in, RSS %ld MB\n", name_, clients, bench::rssMb());
        std::fflush(stdout);
        return true;
    }

    // The probes running through the before phase.
    void before() {
        prober_ = std::make_unique<Repeater>(ProbeEveryMs, [this] { probes_.send(desk_.IsConnected()); });
        sleepMs(sizes_.beforeS * 1000);
        probes_.phase = 1;
    }

    // After the disturbance: the after phase, then `meanwhile` with the probes
    // still running, then the probes' notices awaited.
    void after(const std::function<void()>& meanwhile = {}) {
        std::printf("%-7s RSS at the end of the disturbance: %ld MB\n", name_, bench::rssMb());
        probes_.phase = 2;
        sleepMs(sizes_.afterS * 1000);
        if (meanwhile)
            meanwhile();
        prober_->stop();
        if (!waitUntil([&] { return probes_.allArrived(); }, sizes_.noticeCapS * 1000, 100000))
            std::printf("%-7s some probe notices missing %d s after the last probe\n", name_,
                        sizes_.noticeCapS);
    }

    // Says how long the server took to answer the desk's request (or to
    // close the desk's connection instead), at most `capS`.
    void awaitAnswer(const char* since, int capS) {
        const std::size_t replies = desk_.Replies().size();
        const auto start = Clock::now();
        desk_.SendRequest("PING");
        const bool answered = waitUntil(
            [&] { return desk_.Replies().size() > replies || !desk_.IsConnected(); }, capS * 1000, 10000);
        if (!answered)
            std::printf("%-7s the server did not answer the desk within %d s %s\n", name_, capS, since);
        else
            std::printf("%-7s the server %s %.1f s %s\n", name_,
                        desk_.IsConnected() ? "answered the desk" : "closed the desk's connection",
                        msBetween(start, Clock::now()) / 1000, since);
    }

    void report() {
        probes_.report(name_, sizes_.noticeCapS);
        int kept = desk_.IsConnected();
        for (auto& client : crowd_)
            kept += client->IsConnected();
        std::printf("%-7s clients kept: %d of %zu\n", name_, kept, crowd_.size() + 1);
        std::printf("%-7s RSS at the end: %ld MB\n", name_, bench::rssMb());
        std::fflush(stdout);
    }

    sim::ClientSimulator& crowd(std::size_t i) { return *crowd_.at(i); }
    std::size_t crowdSize() const { return crowd_.size(); }
    bool fail(const char* why) {
        std::printf("%-7s FAILED: %s\n", name_, why);
        return false;
    }

    const char* name_;
    const Sizes& sizes_;
    TForm1& form_;
    sim::ExchangeSimulator& exchange_;

  private:
    Probes probes_;
    sim::ClientSimulator desk_;
    std::vector<std::unique_ptr<sim::ClientSimulator>> crowd_;
    std::unique_ptr<Repeater> pinger_;
    std::unique_ptr<Repeater> prober_;
};

// The phone of user `user` of the crowd (user 1, the probes' desk, has 201).
std::string crowdPhone(int user) {
    return std::to_string(1000 + user);
}

// Rows of the call history whose caller begins with `prefix`.
long historyRows(const testfb::Connection& c, const std::string& prefix) {
    return isqlNumber(c, "SELECT COUNT(*) FROM TalksIncoming WHERE sNumber LIKE '" + prefix + "%'");
}

int storm(Bed& bed, const testfb::Connection& c) {
    const Sizes& s = bed.sizes_;
    if (!bed.ready(s.stormClients, bed.form_.Settings.PortTCP))
        return 1;
    bed.before();
    // Calls ringing the crowd's desks in turn: ringing, caller, answer, end;
    // each caller is a notice to the desk's client, each end a history row.
    std::string burst;
    std::uint32_t bytes = 0;
    for (int i = 0; i < s.stormRecords; ++i) {
        const int call = i / 5;
        const std::string id = std::to_string(10 + call % 90);
        const std::string caller = "5001" + std::to_string(10000 + call);
        const std::string desk = crowdPhone(2 + call % (s.stormClients - 1));
        const std::string records[] = {"C11 " + id + " 1 " + caller, "C10 " + id + " " + desk,
                                       "DM 1&" + caller + "&" + desk + "&", "C01 " + id + " " + desk,
                                       "C02 " + id + " " + desk};
        burst += records[i % 5] + "\r\n";
        bytes += std::uint32_t(records[i % 5].size());
    }
    auto& handled = bed.form_.Pbx().Shared().HandledBytes;
    const std::uint32_t expected = handled.load() + bytes;
    const auto start = Clock::now();
    bed.exchange_.SendRaw(burst);
    const bool done = waitUntil([&] { return handled.load() >= expected; }, 600000, 10000);
    std::printf("%-7s %d records %s in %.1f s\n", bed.name_, s.stormRecords, done ? "handled" : "NOT handled",
                msBetween(start, Clock::now()) / 1000);
    bed.after();
    bed.report();
    std::printf("%-7s rows (expected / stored): call history %d / %ld\n", bed.name_, s.stormRecords / 5,
                historyRows(c, "5001"));
    return 0;
}

int flood(Bed& bed) {
    const Sizes& s = bed.sizes_;
    if (!bed.ready(SmallCrowd, bed.form_.Settings.PortTCP))
        return 1;
    bed.before();
    // A tiny receive buffer, "!WN&" requests as fast as the server takes
    // them, nothing read.
    sim::FloodingPeer peer("!WN&201&600100200\r");
    if (!peer.Start(bed.form_.Settings.PortTCP))
        return 1;
    sleepMs(s.floodS * 1000);
    peer.StopSending();
    std::printf("%-7s the peer sent %ld requests in %d s and read nothing\n", bed.name_, peer.SentRequests(),
                s.floodS);
    bed.after();
    peer.Close();
    bed.awaitAnswer("after the peer closed", 2 * s.noticeCapS);
    // A presence round, whose client check follows the hold.
    sleepMs(PresenceRoundS * 1000);
    bed.report();
    return 0;
}

// Call `n`, of an extension without a client, rung and ended at once: its
// caller, told apart by `n`, is a history row.
void endCall(sim::ExchangeSimulator& exchange, int n) {
    const std::string id = std::to_string(10 + n % 90);
    const std::string caller = "7001" + std::to_string(100000 + n);
    const std::string extension = std::to_string(300 + n % 100);
    exchange.SendRaw("C11 " + id + " 1 " + caller + "\r\nC10 " + id + " " + extension + "\r\nC02 " + id +
                     " " + extension + "\r\n");
}

// The outage's traffic: calls of extensions without a client, client SMS and
// exchange SMS; what was sent is what the tables should hold.
class OutageTraffic {
  public:
    OutageTraffic(Bed& bed, int callsPerS) : bed_(bed) {
        repeater_ = std::make_unique<Repeater>(1000 / callsPerS, [this, callsPerS] { step(callsPerS); });
    }
    void stop() { repeater_->stop(); }
    int calls = 0, clientSms = 0, exchangeSms = 0;
    int smsWithoutSender = 0; // every client had lost its connection

  private:
    // From the next client still connected, in turn.
    void sendClientSms() {
        const std::string text = "Wiadomosc " + std::to_string(clientSms + smsWithoutSender);
        const std::string request =
            "!SMS&SEND&&600123456&" + QByteArray::fromStdString(text).toBase64().toStdString() + "\r\n";
        for (std::size_t tried = 0; tried < bed_.crowdSize(); ++tried) {
            sim::ClientSimulator& sender = bed_.crowd(nextSender_++ % bed_.crowdSize());
            if (sender.IsConnected() && sender.Send(request)) {
                ++clientSms;
                return;
            }
        }
        ++smsWithoutSender;
    }
    std::size_t nextSender_ = 0;

    // A log-in with a wrong password, which the server checks against the
    // database.
    void wrongLogIn() {
        auto& client = wrongLogIns_.emplace_back(std::make_unique<sim::ClientSimulator>());
        if (client->Connect(bed_.form_.Settings.PortTCP))
            client->LogIn("user2", "not the password");
        if (wrongLogIns_.size() > 5)
            wrongLogIns_.pop_front();
    }
    std::deque<std::unique_ptr<sim::ClientSimulator>> wrongLogIns_;

    void step(int callsPerS) {
        endCall(bed_.exchange_, calls);
        ++calls;
        if (calls % callsPerS == 0) {
            sendClientSms();
            wrongLogIn();
        }
        // Each from a sender of its own, so that a message stored twice shows.
        if (calls % (2 * callsPerS) == 0 &&
            bed_.exchange_.AnnounceSms(1, sim::pdu::DeliverHelloFrom(exchangeSms)) >= 0)
            ++exchangeSms;
    }
    Bed& bed_;
    std::unique_ptr<Repeater> repeater_;
};

// What disturbs the database: begun and ended after the given time.
struct Disturbance {
    int seconds = 0;
    int callsPerS = 0;
    std::function<std::string()> begin; // what was done
    std::function<std::string()> end;
    // The database answers throughout: the calls stored by the end are counted.
    bool callsCountedAtEnd = false;
};

// What a scenario does before the traffic, and after the report.
struct DisturbanceHooks {
    std::function<bool()> prepare;
    std::function<void()> check;
};

int outage(Bed& bed, const Disturbance& disturbance, const testfb::Connection& c,
           const DisturbanceHooks& hooks = {}) {
    const Sizes& s = bed.sizes_;
    if (!bed.ready(SmallCrowd, bed.form_.Settings.PortTCP))
        return 1;
    // The GSM line answers before the bench begins.
    bed.exchange_.AnnounceSms(1, sim::pdu::DeliverHello);
    if (!waitUntil([&] { return bed.exchange_.StoredSmsCount(1) == 0; }, 120000, 10000))
        return bed.fail("the server did not take an exchange SMS"), 1;
    if (hooks.prepare && !hooks.prepare())
        return 1;
    const long callRows0 = historyRows(c, "7001");
    const long clientSms0 = isqlNumber(c, "SELECT COUNT(*) FROM Sms WHERE nDir = 1");
    const long exchangeSms0 = isqlNumber(c, "SELECT COUNT(*) FROM Sms WHERE nDir <> 1");
    const std::string newSms =
        " FROM Sms WHERE nId > " + std::to_string(isqlNumber(c, "SELECT COALESCE(MAX(nId), 0) FROM Sms"));
    OutageTraffic traffic(bed, disturbance.callsPerS);
    bed.before();
    const std::size_t sentBefore = bed.exchange_.SentMessages().size();
    const int askedBefore = traffic.clientSms;
    std::printf("%-7s %s\n", bed.name_, disturbance.begin().c_str());
    std::fflush(stdout);
    sleepMs(disturbance.seconds * 1000);
    // Client SMS that reached the exchange while the database was away.
    const std::size_t sentDuring = bed.exchange_.SentMessages().size() - sentBefore;
    const int askedDuring = traffic.clientSms - askedBefore;
    if (disturbance.callsCountedAtEnd) {
        const long storedByEnd = historyRows(c, "7001") - callRows0;
        std::printf("%-7s calls stored before its end: %ld of %d made\n", bed.name_, storedByEnd,
                    traffic.calls);
    }
    std::printf("%-7s %s after %d s\n", bed.name_, disturbance.end().c_str(), disturbance.seconds);
    // The write-back: the rows kept meanwhile are all stored once the calls
    // ended before the return are (the road keeps its rows' order). It
    // begins when the road writes again: the reconnect timer's round may
    // come well after the return.
    const auto returned = Clock::now();
    const db::RowRoad& road = bed.form_.Database().Road();
    const std::size_t kept = road.Waiting();
    const long callsAtReturn = traffic.calls;
    double writingS = -1, writtenBackS = -1;
    std::thread writeBack([&] {
        const auto deadline = returned + std::chrono::seconds(s.afterS + s.settleS);
        while (writtenBackS < 0 && Clock::now() < deadline) {
            if (writingS < 0 && road.WritingNow())
                writingS = msBetween(returned, Clock::now()) / 1000;
            if (writingS >= 0 && historyRows(c, "7001") - callRows0 >= callsAtReturn)
                writtenBackS = msBetween(returned, Clock::now()) / 1000;
            sleepMs(writingS < 0 ? 50 : 250);
        }
    });
    std::printf("%-7s client SMS sent to the exchange meanwhile: %zu of %d\n", bed.name_, sentDuring,
                askedDuring);
    const auto rows = [&] {
        return std::array<long, 3>{historyRows(c, "7001") - callRows0,
                                   isqlNumber(c, "SELECT COUNT(*) FROM Sms WHERE nDir = 1") - clientSms0,
                                   isqlNumber(c, "SELECT COUNT(*) FROM Sms WHERE nDir <> 1") - exchangeSms0};
    };
    // The kept rows are written back while the probes go on.
    std::array<long, 3> expected{}, stored{};
    double settledS = 0;
    bed.after([&] {
        traffic.stop();
        expected = {traffic.calls, traffic.clientSms, traffic.exchangeSms};
        const auto settleStart = Clock::now();
        waitUntil(
            [&] {
                stored = rows();
                return stored == expected;
            },
            s.settleS * 1000, 5000000);
        settledS = msBetween(settleStart, Clock::now()) / 1000;
    });
    writeBack.join();
    bed.report();
    if (writtenBackS < 0)
        std::printf(
            "%-7s write-back: %zu rows waiting at the return, writing again %.1f s after it, the calls "
            "ended before it NOT all stored\n",
            bed.name_, kept, writingS);
    else
        std::printf(
            "%-7s write-back: %zu rows waiting at the return, writing again %.1f s after it, the calls "
            "ended before it all stored %.1f s after it (%.1f s of writing)\n",
            bed.name_, kept, writingS, writtenBackS, writtenBackS - writingS);
    std::printf(
        "%-7s rows (expected / stored) %.0f s past the after phase: call history %ld / %ld, client SMS "
        "%ld / %ld, exchange SMS %ld / %ld (left at the exchange: %zu)\n",
        bed.name_, settledS, expected[0], stored[0], expected[1], stored[1], expected[2], stored[2],
        bed.exchange_.StoredSmsCount(1));
    // Every caller, client SMS text and exchange SMS sender is unique: a row
    // beyond the first of the same one was stored twice.
    std::printf(
        "%-7s duplicates: calls %ld, client SMS %ld, exchange SMS %ld\n", bed.name_,
        isqlNumber(c,
                   "SELECT COUNT(*) - COUNT(DISTINCT sNumber) FROM TalksIncoming WHERE sNumber LIKE '7001%'"),
        isqlNumber(c, "SELECT COUNT(*) - COUNT(DISTINCT sBody)" + newSms + " AND nDir = 1"),
        isqlNumber(c, "SELECT COUNT(*) - COUNT(DISTINCT sNumber)" + newSms + " AND nDir <> 1"));
    if (traffic.smsWithoutSender)
        std::printf("%-7s client SMS not sent, every client having lost its connection: %d\n", bed.name_,
                    traffic.smsWithoutSender);
    const long notInState = isqlNumber(
        c, "SELECT COUNT(*)" + newSms + " AND ((nDir = 1 AND nState <> 1) OR (nDir <> 1 AND nState <> 0))");
    std::printf("%-7s rows not in their state (client SMS acknowledged: 1, exchange SMS: 0): %ld\n",
                bed.name_, notInState);
    if (hooks.check)
        hooks.check();
    return 0;
}

// Another client of the database: an uncommitted update of one SMS row,
// held until released.
class RowHolder {
  public:
    bool hold(const testfb::Connection& c, const std::string& where) {
        session_ = std::make_unique<SessionDB>(c.host, c.path, c.user, c.password, &handle_, false);
        return session_->BeginWork() == 0 &&
               session_->ExecuteSQL("UPDATE Sms SET nForward = 7 WHERE " + where) == 0;
    }
    void release() {
        if (session_)
            session_->CommitWork();
        session_.reset();
        SessionDB::DetachDatabase(&handle_);
    }

  private:
    DbHandle handle_ = 0;
    std::unique_ptr<SessionDB> session_;
};

const char* const LockedText = "Zablokowana";

// The locked scenario: one client SMS whose acknowledgement the exchange
// keeps back until its row is held by another client.
Disturbance lockedRow(Bed& bed, const testfb::Connection& c, RowHolder& holder, sim::SentSms& held,
                      DisturbanceHooks& d) {
    const Sizes& s = bed.sizes_;
    d.prepare = [&bed, &c, &held] {
        const std::size_t sent = bed.exchange_.SentMessages().size();
        sim::SmsSendScript silent;
        silent.outcome = sim::SmsSendScript::Outcome::Silent;
        bed.exchange_.QueueSmsSendScript(silent);
        bed.crowd(0).Send("!SMS&SEND&&600123456&" + QByteArray(LockedText).toBase64().toStdString() + "\r\n");
        const std::string row = "SELECT COUNT(*) FROM Sms WHERE sBody = '" + std::string(LockedText) + "'";
        if (!waitUntil([&] { return bed.exchange_.SentMessages().size() > sent && isqlNumber(c, row) == 1; },
                       60000, 200000))
            return bed.fail("the SMS to lock was not sent or stored");
        held = bed.exchange_.SentMessages().at(sent);
        return true;
    };
    Disturbance disturbance;
    disturbance.seconds = s.lockS;
    disturbance.callsPerS = s.slowCallsPerS;
    disturbance.callsCountedAtEnd = true;
    disturbance.begin = [&bed, &c, &holder, &held] {
        if (!holder.hold(c, "sBody = '" + std::string(LockedText) + "'"))
            return std::string("the row could NOT be locked");
        bed.exchange_.SendRecord("SMS ACK " + std::to_string(held.line) + " " + std::to_string(held.id));
        bed.exchange_.SendStatusReport(held.line, held.messageReference, 0);
        return std::string(
            "another client holds the row of an SMS; the exchange acknowledged it and reported "
            "it delivered");
    };
    disturbance.end = [&holder] {
        holder.release();
        return std::string("the other client committed");
    };
    d.check = [&bed, &c] {
        std::printf(
            "%-7s the locked SMS's row: state %ld (delivered: 3)\n", bed.name_,
            isqlNumber(c, "SELECT MAX(nState) FROM Sms WHERE sBody = '" + std::string(LockedText) + "'"));
    };
    return disturbance;
}

// The server killed and started again under calls alone: the time from its
// return to the moment every call ended so far has its row, the calls going
// on meanwhile.
int databaseReturn(Bed& bed, ServerKeeper& keeper, const testfb::Connection& c) {
    const Sizes& s = bed.sizes_;
    if (!bed.ready(2, bed.form_.Settings.PortTCP))
        return 1;
    const long rows0 = historyRows(c, "7001");
    std::atomic<int> calls{0};
    const auto stored = [&] { return historyRows(c, "7001") - rows0; };
    Repeater traffic(s.callEveryMs, [&] { endCall(bed.exchange_, calls++); });
    sleepMs(std::max(s.beforeS * 1000, 2 * s.callEveryMs));
    keeper.call([](testfb::PrivateServer& server) {
        server.kill();
        return 0;
    });
    sleepMs(s.returnDownS * 1000);
    if (!keeper.call([](testfb::PrivateServer& server) { return server.start(); }))
        return bed.fail("the database server did not start again");
    const auto back = Clock::now();
    const int endedBefore = calls.load();
    std::printf(
        "%-7s database server killed, started again after %d s; %d calls ended so far, one every %d ms\n",
        bed.name_, s.returnDownS, endedBefore, s.callEveryMs);
    std::fflush(stdout);
    const bool caughtUp = waitUntil([&] { return stored() >= endedBefore; }, s.returnCapS * 1000, 200000);
    const double afterS = msBetween(back, Clock::now()) / 1000;
    const int meanwhile = calls.load() - endedBefore;
    traffic.stop();
    if (caughtUp)
        std::printf("%-7s rows of the %d calls ended before the return all stored %.1f s after it (%d calls "
                    "ended meanwhile)\n",
                    bed.name_, endedBefore, afterS, meanwhile);
    else
        std::printf(
            "%-7s rows of the calls ended before the return: %ld of %d stored %.1f s after it (%d calls "
            "ended meanwhile)\n",
            bed.name_, stored(), endedBefore, afterS, meanwhile);
    const auto stop = Clock::now();
    const bool all = waitUntil([&] { return stored() >= calls.load(); }, s.settleS * 1000, 200000);
    std::printf("%-7s once the calls stopped: %ld of %d rows stored %.1f s later%s\n", bed.name_, stored(),
                calls.load(), msBetween(stop, Clock::now()) / 1000, all ? "" : " (not all)");
    return 0;
}

// ---- one scenario, in this process ----

int runScenario(const std::string& name, int argc, char** argv) {
    const Sizes sizes;
    if (!bench::RaiseDescriptorLimit(rlim_t(std::max(sizes.stormClients, SmallCrowd)) * 2 + 256))
        return 1;
    bench::Sandbox dir;
    std::unique_ptr<ServerKeeper> keeper;
    std::unique_ptr<testing_support::SlowTcpProxy> relay;
    testfb::Connection c;
    ui::TApplication app(argc, argv);
    const bool throughRelay = name == "hold" || name.starts_with("slow") || name.starts_with("back");
    // The small disk of "fulldisk", mounted in the sandbox.
    const std::string disk = dir.path().toStdString() + "/disk";
    if (name == "fulldisk") {
        ::mkdir(disk.c_str(), 0777);
        if (::mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=64m,mode=0777") != 0) {
            std::printf("%-7s FAILED: no small filesystem could be mounted (needs root)\n", name.c_str());
            return 1;
        }
    }
    {
        // The program always has its database; this one may be killed.
        testfb::PrepareEmbeddedEngine();
        keeper = std::make_unique<ServerKeeper>();
        const std::string problem = keeper->call([&](testfb::PrivateServer& server) -> std::string {
            if (!server.start())
                return "the private Firebird server did not start: " + server.error();
            c = server.connection("freeze.fdb");
            if (name == "fulldisk")
                c.path = disk + "/freeze.fdb";
            return testfb::CreateEmptyDatabase(c) ? "" : "no database";
        });
        if (!problem.empty()) {
            std::printf("%-7s FAILED: %s\n", name.c_str(), problem.c_str());
            return 1;
        }
        std::string host = c.host;
        if (throughRelay) {
            relay = std::make_unique<testing_support::SlowTcpProxy>(
                std::stoi(c.host.substr(c.host.find('/') + 1)), std::chrono::milliseconds(0));
            host = "127.0.0.1/" + std::to_string(relay->port());
        }
        platform::RegistryKey key(platform::RegistryBranch::Machine);
        key.OpenKey("\\software\\Vorlin\\Halvex", true);
        key.WriteString("IPFBase", host);
        key.WriteString("NameFB", c.path);
        key.WriteString("PasswordFB", AesEncryptToHexWire(c.password, FixedKeyText));
    }
    sim::ExchangeSimulator exchange(sim::Family::Vantrel, sim::Transport::Tcp);
    exchange.SetGsmLine(1, "600100200");
    if (!exchange.Start())
        return 1;
    QUdpSocket broadcasts;
    auto form = bench::quietForm(broadcasts);
    form->LogFilePath = dir.path().toStdString() + "/halvex.log";
    // Rows journaled beside the log as the program does, unless
    // HALVEX_BENCH_NO_JOURNAL is set.
    if (!qEnvironmentVariableIsSet("HALVEX_BENCH_NO_JOURNAL"))
        form->Database().OpenRowJournal(dir.path().toStdString() + "/halvex-rows.sqlite");
    // Attached at once, as at start; the user list stays the bench's.
    form->tmrStartupTimer();
    form->tmrStartup->SetEnabled(false);
    // Likewise the log-ins' password reads, unless HALVEX_BENCH_PASSWORDS_ON_LOOP is set.
    form->Clients().ReadPasswordsOffLoop(!qEnvironmentVariableIsSet("HALVEX_BENCH_PASSWORDS_ON_LOOP"));
    if (form->Database().MainDbState != 0) {
        std::printf("%-7s FAILED: the database did not attach\n", name.c_str());
        return 1;
    }
    if (name != "storm" && name != "flood" && name != "return") {
        auto& sms = form->Sms().SmsSettings;
        sms.UseSms = true;
        sms.CountryCode = "48";
        sms.MinCountryNumberLength = sms.MaxCountryNumberLength = 9;
        sms.RemoveCountryCode = true;
        form->Sms().ApplySmsSettings();
    }
    base::Switches().LogInfo = true;
    base::Switches().LogDoPliku = true;
    bench::addListedUsers(*form, std::max(sizes.stormClients, SmallCrowd));
    form->lvAllUserPhones->AddRow({"1", "1", "201", "tel"});
    for (int user = 2; user <= sizes.stormClients; ++user) {
        const QString id = QString::number(user);
        form->lvAllUserPhones->AddRow({id, id, QString::fromStdString(crowdPhone(user)), "tel"});
    }
    form->lvAllUserPhones->SetTag(1);
    form->Settings.PortTCP = bench::freePort();
    form->WlaczSerwerClick();
    bench::connectExchange(*form, exchange.Port());

    std::printf("== %s ==\n", name.c_str());
    std::fflush(stdout);
    Bed bed(name.c_str(), sizes, *form, exchange);
    Disturbance disturbance{
        sizes.outageS, sizes.callsPerS,
        [&] {
            keeper->call([](testfb::PrivateServer& server) {
                server.kill();
                return 0;
            });
            return std::string("database server killed");
        },
        [&] {
            const bool started = keeper->call([](testfb::PrivateServer& server) { return server.start(); });
            return std::string(started ? "database server started again" : "database server NOT started");
        }};
    if (name == "hold")
        disturbance = {sizes.holdS, sizes.slowCallsPerS,
                       [&] {
                           relay->hold(true);
                           return std::string("the relay to the database holds every byte");
                       },
                       [&] {
                           relay->hold(false);
                           return std::string("the relay passes again");
                       }};
    if (name.starts_with("slow")) {
        const int delayMs = std::atoi(name.c_str() + 4);
        disturbance = {sizes.slowS, sizes.slowCallsPerS,
                       [&relay, delayMs] {
                           relay->setDelay(std::chrono::milliseconds(delayMs));
                           return "the relay adds " + std::to_string(delayMs) + " ms each way";
                       },
                       [&] {
                           relay->setDelay(std::chrono::milliseconds(0));
                           return std::string("the relay adds nothing again");
                       }};
    }
    if (name.starts_with("back")) {
        const int delayMs = std::atoi(name.c_str() + 4);
        disturbance.begin = [&, delayMs] {
            keeper->call([](testfb::PrivateServer& server) {
                server.kill();
                return 0;
            });
            relay->setDelay(std::chrono::milliseconds(delayMs));
            return "database server killed; it comes back " + std::to_string(delayMs) + " ms away each way";
        };
    }
    RowHolder holder;
    sim::SentSms held;
    DisturbanceHooks hooks;
    if (name == "locked")
        disturbance = lockedRow(bed, c, holder, held, hooks);
    if (name == "fulldisk")
        disturbance = {sizes.diskS, sizes.slowCallsPerS,
                       [&] {
                           const int fd =
                               ::open((disk + "/filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
                           const std::string block(65536, 'x');
                           for (std::size_t size = block.size(); size > 0;)
                               if (::write(fd, block.data(), size) < 0)
                                   size /= 2;
                           ::close(fd);
                           return std::string("the database's disk is full");
                       },
                       [&] {
                           ::unlink((disk + "/filler").c_str());
                           return std::string("the database's disk has room again");
                       }};
    const int result = bench::measureWhileLooping([&] {
        const int r = name == "storm"    ? storm(bed, c)
                      : name == "flood"  ? flood(bed)
                      : name == "return" ? databaseReturn(bed, *keeper, c)
                                         : outage(bed, disturbance, c, hooks);
        // The log file is written by the GUI thread's timer.
        sleepMs(3000);
        return r;
    });
    std::string log = readWhole(form->LogFilePath);
    for (const std::string& line : base::DiagnosticLog::instance().LogQueueMain.TakeAll())
        log += line + "\n";
    if (const QByteArray keep = qgetenv("HALVEX_BENCH_LOG_DIR"); !keep.isEmpty())
        std::ofstream(keep.toStdString() + "/" + name + ".log", std::ios::binary) << log;
    std::printf(
        "%-7s log: notices dropped (\"Pomijam\") %d, clients closed for silence (\"Brak pingów\") %d, "
        "full-buffer waits (\"Pełny bufor\") %d\n\n",
        name.c_str(), occurrences(log, "Pomijam"), occurrences(log, "Brak pingów od klienta"),
        occurrences(log, "Pełny bufor"));
    std::fflush(stdout);
    form.reset();
    if (name == "fulldisk") {
        keeper.reset();
        ::umount2(disk.c_str(), MNT_DETACH);
    }
    return result;
}

// ---- the scenarios, each in a child process with a bound ----

int runChild(const char* self, const std::string& scenario, int boundS) {
    std::fflush(stdout);
    const pid_t child = ::fork();
    if (child == 0) {
        ::execl(self, self, scenario.c_str(), "--child", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    const auto deadline = Clock::now() + std::chrono::seconds(boundS);
    int status = 0;
    while (::waitpid(child, &status, WNOHANG) == 0) {
        if (Clock::now() > deadline) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            std::printf("%-7s DID NOT END within %d s: killed\n\n", scenario.c_str(), boundS);
            return 1;
        }
        sleepMs(200);
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        std::printf("%-7s ended with status %d\n\n", scenario.c_str(), status);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

} // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc > 2 && std::string(argv[2]) == "--child")
        return runScenario(argv[1], argc, argv);
    const Sizes s;
    std::printf("freeze_scenarios: storm %d records / %d clients, flood %d s, outage %d s at %d calls/s; "
                "phases before %d s, after %d s; notice cap %d s\n\n",
                s.stormRecords, s.stormClients, s.floodS, s.outageS, s.callsPerS, s.beforeS, s.afterS,
                s.noticeCapS);
    // Each phase's bound and a margin for setting up.
    const int bound = s.beforeS + s.afterS + s.noticeCapS + 600;
    const std::map<std::string, int> bounds{{"storm", bound + 600},
                                            {"flood", bound + s.floodS},
                                            {"outage", bound + s.outageS + s.settleS},
                                            {"hold", bound + s.holdS + s.settleS},
                                            {"slow20", bound + s.slowS + s.settleS},
                                            {"slow200", bound + s.slowS + s.settleS},
                                            {"fulldisk", bound + s.diskS + s.settleS},
                                            {"back10", bound + s.outageS + s.settleS},
                                            {"back50", bound + s.outageS + s.settleS},
                                            {"locked", bound + s.lockS + s.settleS},
                                            {"return", bound + s.returnDownS + s.returnCapS + s.settleS}};
    int result = 0;
    for (const QByteArray& name : QByteArray(argc > 1 ? argv[1] : "storm,flood,outage").split(',')) {
        const auto it = bounds.find(name.toStdString());
        if (it == bounds.end())
            return 2;
        result |= runChild(argv[0], it->first, it->second);
    }
    return result;
}
