// Switching the exchange link on and off, and what the link thread shows.
// The thread reaches the GUI thread only through posted calls, so no widget
// is touched off the GUI thread.
#include "pbx/PbxLink.h"

#include "base/DiagnosticLog.h"
#include "base/EventLock.h"
#include "base/TraceLabel.h"
#include "clients/ClientService.h"
#include "clients/Klient.h"
#include "pbx/CrmConsole.h"
#include "pbx/LinkMailbox.h"
#include "platform/Clock.h"
#include "platform/WireCodePage.h"
#include "sms/SmsGateway.h"
#include "ui/Dialogs.h"

#include <algorithm>

#include <QCoreApplication>
#include <QTimer>
#include <thread>
#include <utility>

namespace pbx {
namespace {

constexpr int LinkJoinBoundMs = 5000;

void pumpEventsFor(int ms) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, ms);
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

} // namespace

// Posts what the link thread reports to the GUI thread.
class PbxLink::RunHost : public LinkThreadHost {
  public:
    RunHost(PbxLink& link, std::uint64_t generation) : link_(link), generation_(generation) {}

    void ShowState(const LinkStatus& status) override {
        PbxLink* link = &link_;
        mailbox_.Post([link, status] { link->ShowLinkState(status); });
    }
    void EnableLinkMenu() override {
        PbxLink* link = &link_;
        mailbox_.Post([link] { link->host_.EnableLinkMenu(); });
    }
    void ShowTcpSetupError() override {
        // A modal box runs an event loop that may free this host: not inside the delivery.
        PbxLink* link = &link_;
        mailbox_.Post([link] {
            QTimer::singleShot(0, link, [link] {
                ui::dialogs().MessageBox(link->host_.Text("IDS_36"), link->host_.Text("IDS_21"),
                                         ui::MB_ICONWARNING | ui::MB_OK, ui::IDOK);
            });
        });
    }
    // What the thread reported last (its final state above all) is shown
    // before its run goes: a run reaped before its posts arrive would leave
    // the link counted up while the next one logs in.
    void DeliverWaiting() { mailbox_.DeliverWaiting(); }
    void ThreadEnded() override {
        const std::uint64_t generation = generation_;
        // Run outside the mailbox's delivery: the handler frees this host.
        PbxLink* link = &link_;
        mailbox_.Post([link, generation] {
            QTimer::singleShot(0, link, [link, generation] { link->WatekTerminated(generation); });
        });
    }

  private:
    PbxLink& link_;
    LinkMailbox mailbox_;
    std::uint64_t generation_;
};

PbxLink::PbxLink(PbxLinkHost& host) : host_(host) {}

PbxLink::~PbxLink() {
    RemoveDispatcherWake();
    CrmCopy = nullptr;
    crm_.reset();
    // The link thread is joined while the state it shares is still here.
    Watek.reset();
}

std::string PbxLink::linkPortText() const {
    const int port = host_.PbxPort();
    return port == 5 ? std::string("TCP") : "COM" + std::to_string(port);
}

void PbxLink::Podlacz_centraleClick() {
    ClearCallTable();
    if (host_.LinkMenuChecked()) {
        host_.SetLinkMenuChecked(false);
        RozlaczCentrale();
        PbxLinkErrorCount = 999;
        return;
    }
    host_.SetLinkMenuChecked(true);
    ConnectPbx();
}

void PbxLink::ConnectPbx() {
    base::TraceScope trace("ConnectPbx");
    if (PbxConnecting)
        return;
    PbxConnecting = true;
    RozlaczCentrale();
    // Two threads never share a port: the old one is joined first.
    const bool oldEnded = WaitForLinkEnd(LinkJoinBoundMs);
    PbxConnecting = false;
    if (!oldEnded) {
        base::WriteLog(2, "Wątek komunikacyjny nie zakończył się - ponowne podłączenie odłożone");
        shared_.PbxReconnectWanted = 1;
        return;
    }
    // A port that keeps failing to open is retried quietly: its failure
    // was said once.
    if (host_.PbxPort() == 5 || !shared_.LinkOpenFailing() || base::Switches().chbLogRS)
        base::WriteLog(1, "Podłączanie centrali");
    host_.ShowStatusPanel(3, QString::number(PbxReconnectCount) + QStringLiteral("/0"));
    host_.ShowStatusPanel(2, QString());
    shared_.ReceivedBytes = 0;
    shared_.HandledBytes = 0;

    LinkSettings settings;
    settings.PbxPort = host_.PbxPort();
    settings.PbxType = host_.PbxType();
    settings.TCPCentr = host_.ExchangeAddress();
    settings.PortTCPCent = host_.ExchangeTcpPort();
    settings.serialDevice = SerialDevicePath(settings.PbxPort);
    settings.timings = linkEnvironment().timings;
    settings.clock = &linkEnvironment().linkClock();

    auto run = std::make_unique<PbxLinkRun>();
    run->generation = ++PbxLinkGeneration;
    run->pbxPort = settings.PbxPort;
    run->host = std::make_unique<RunHost>(*this, run->generation);
    run->thread = std::make_unique<TWatek>(shared_, std::move(settings), run->host.get());
    shared_.CommandInFlight = 0;
    LoginWatchActive = false;
    Watek = std::move(run);
    Watek->thread->Start();
}

void PbxLink::RozlaczCentrale() {
    base::TraceScope trace("RozlaczCentrale");
    if (base::Switches().chbLogRS)
        base::WriteLog(1, "RozlaczCentrale");
    if (!Watek)
        return;
    Watek->thread->Terminate();
    const std::uint64_t generation = Watek->generation;
    for (int step = 0; step < 100; ++step) {
        if (!Watek || Watek->generation != generation || Watek->thread->Finished())
            break;
        pumpEventsFor(10);
    }
}

void PbxLink::RestartForNewSettings() {
    if (!host_.AutoReconnect()) {
        // Nothing would bring it back: a link that ended by itself (and lost
        // its mark) comes up on the new settings too, and is wanted again.
        host_.SetLinkMenuChecked(true);
        ConnectPbx();
        return;
    }
    RozlaczCentrale();
    // Its end is handled now, under the reconnection setting it ran with.
    WaitForLinkEnd(LinkJoinBoundMs);
}

bool PbxLink::WaitForLinkEnd(int boundMs) {
    if (!Watek)
        return true;
    const std::uint64_t generation = Watek->generation;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
    while (Watek && Watek->generation == generation && !Watek->thread->Finished()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        pumpEventsFor(10);
    }
    // Reap it now rather than when its posted end arrives.
    if (Watek && Watek->generation == generation)
        WatekTerminated(generation);
    return true;
}

void PbxLink::WatekTerminated(std::uint64_t generation) {
    if (!Watek || Watek->generation != generation || !Watek->thread->Finished())
        return;
    if (base::Switches().chbLogRS)
        base::WriteLog(2, "Wątek komunikacyjny: OnTerminate");
    if (Watek->pbxPort == 5)
        base::WriteLog(1, "OnTerminate: Zamykanie portu TCP");
    else if (base::Switches().chbLogRS)
        base::WriteLog(1, "OnTerminate: Zamykanie portu COM");
    const bool settingsUnusable = Watek->thread->SettingsUnusable();
    // Every run's host is made by ConnectPbx.
    static_cast<RunHost&>(*Watek->host).DeliverWaiting();
    Watek.reset();
    host_.ShowStatusPanel(2, QString());
    // What changed while the link was down never reached the clients: their
    // voice-mail and GSM-line lists start again.
    WyslijSkrzynkiVMWszystkim();
    host_.Clients().WyslijListeGSMWszystkim(host_.Sms().GsmLines);
    host_.ShowStatusPanel(6, QString::fromStdString(linkPortText() + host_.Text("IDS_449")));
    if (host_.AutoReconnect() && host_.LinkMenuChecked() && !PbxConnecting && !settingsUnusable)
        ConnectPbx();
    else if (!PbxConnecting)
        host_.SetLinkMenuChecked(false);
}

void PbxLink::InjectTestLine(const std::string& text) {
    if (Watek && !Watek->thread->Finished())
        Watek->thread->Sprawdz_linie(platform::toWire(text));
}

void PbxLink::ShowLinkState(const LinkStatus& status) {
    char text[160];
    std::snprintf(text, sizeof text, "%s: %c %u:%u/%u:%u", PbxName(status.pbxType), status.stateLetter,
                  status.received, status.handled, status.queued, status.sent);
    host_.ShowStatusPanel(2, QString::fromUtf8(text));
    std::string state;
    if (status.linkState != 1) {
        state = host_.Text("IDS_449");
        if (PbxLinkErrorCount < 1000)
            ++PbxLinkErrorCount;
    } else {
        state = host_.Text("IDS_201");
        if (status.received > 0)
            PbxLinkErrorCount = 0;
    }
    const std::string port =
        status.pbxPort == 5 ? std::string("TCP") : "COM" + std::to_string(status.pbxPort);
    host_.ShowStatusPanel(6, QString::fromStdString(port + state));
}

void PbxLink::ClearCallTable() {
    for (auto& call : Calls.ActiveCalls)
        call = ActiveCall();
    Calls.ActiveCallCount = 0;
}

void PbxLink::FixStaleCalls() {
    const QDateTime now = platform::processClock().dateTime();
    for (auto& call : Calls.ActiveCalls) {
        if (!call.inUse() || !call.NumberB.empty() || call.TransferActive != 0)
            continue;
        if (call.Created.secsTo(now) <= 900)
            continue;
        if (base::Switches().chbPctiErrors.load())
            base::WriteLog(1, "FixPcti: usunięty identyfikator: %s", LogCopy(call.CallId).c_str());
        Calls.Release(call);
        call.End = QDateTime();
    }
}

void PbxLink::CrmSocketSetActive(bool on) {
    Crm().SetActive(on);
    FollowCrmSocket();
}

void PbxLink::FollowCrmSocket() {
    if (Crm().Active())
        CrmCopy = [this](const std::string& line) { Crm().Mirror(line); };
    else
        CrmCopy = nullptr;
}

CrmConsole& PbxLink::Crm() {
    if (!crm_)
        crm_ = std::make_unique<CrmConsole>(*this, host_);
    return *crm_;
}

// ---- queuing commands for the exchange. A command is one line: a text that
// would carry a line end (or a NUL) before its own end could smuggle a second
// command into the link, and is refused.

namespace {

bool isOneLine(std::string_view text) {
    while (!text.empty() && (text.back() == '\0' || text.back() == '\r' || text.back() == '\n'))
        text.remove_suffix(1);
    return text.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

// The node for `count` bytes of a UTF-8 text, in the wire code page.
Bufor wireNode(const char* text, std::size_t count, int timeToLiveMs) {
    Bufor node(text, count, timeToLiveMs);
    node.data = platform::toWire(node.data);
    return node;
}

} // namespace

bool PbxLink::WyslijNumer(std::string& command, int timeToLiveMs) {
    base::TraceScope trace("WyslijNumer");
    if (host_.PbxType() == 5)
        std::replace(command.begin(), command.end(), ',', 'f');
    if (!isOneLine(command)) {
        base::WriteLog(2, "Komenda do centrali odrzucona: więcej niż jedna linia <%s>", command.c_str());
        return true;
    }
    const std::size_t count = command.size() + 1;
    Bufor node = wireNode(command.c_str(), count, timeToLiveMs);
    base::EventLock lock(event_bufor.get());
    if (!lock.owns())
        return true;
    if (!CurrentKlient) {
        base::WriteLog(2, "WyslijNumer: brak klienta dla <%s>", command.c_str());
        return true;
    }
    Klient& client = *CurrentKlient;
    if (client.Komendy.size() >= ClientCommandLimit) {
        // A flood is logged once, and counted when the client is taken again.
        if (client.RefusedCommands++ == 0)
            base::WriteLog(2, "Klient %s (%s): %zu komend czeka na centralę, następne odrzucane <%s>",
                           client.IDFB.c_str(), client.IP.c_str(), client.Komendy.size(), command.c_str());
        return false;
    }
    if (client.RefusedCommands > 0) {
        base::WriteLog(2, "Klient %s (%s): odrzucono %u komend ponad kolejkę", client.IDFB.c_str(),
                       client.IP.c_str(), client.RefusedCommands);
        client.RefusedCommands = 0;
    }
    shared_.QueuedBytes.fetch_add(static_cast<std::uint32_t>(count), std::memory_order_relaxed);
    node.QueuedMs = linkEnvironment().linkClock().nowMs();
    client.Komendy.push_back(std::move(node));
    shared_.LinkThreadWake.Wake();
    return true;
}

bool PbxLink::queueServerLine(const char* line, std::size_t count, int timeToLiveMs, bool wireBytes) {
    const std::string_view text(line, count);
    if (!isOneLine(text)) {
        base::WriteLog(2, "Komenda do centrali odrzucona: więcej niż jedna linia <%s>",
                       std::string(text).c_str());
        return false;
    }
    Bufor node = wireBytes ? Bufor(line, count, timeToLiveMs) : wireNode(line, count, timeToLiveMs);
    shared_.QueuedBytes.fetch_add(static_cast<std::uint32_t>(count), std::memory_order_relaxed);
    if (!ServerKlient) {
        base::WriteLog(2, "Brak rekordu serwera dla komendy <%s>", node.data.c_str());
        return false;
    }
    if (!ServerKlient->Komendy.empty())
        LastPbxLine = std::string(text.substr(0, text.find('\0')));
    node.QueuedMs = linkEnvironment().linkClock().nowMs();
    ServerKlient->Komendy.push_back(std::move(node));
    shared_.LinkThreadWake.Wake();
    return true;
}

void PbxLink::WyslijLinie(const char* line, std::size_t count, int timeToLiveMs) {
    base::TraceScope trace("WyslijLinie");
    base::EventLock lock(event_bufor.get());
    if (lock.owns())
        queueServerLine(line, count, timeToLiveMs);
}

void PbxLink::WyslijLinieBytes(std::string_view line, int timeToLiveMs) {
    base::TraceScope trace("WyslijLinie");
    base::EventLock lock(event_bufor.get());
    if (lock.owns())
        queueServerLine(line.data(), line.size(), timeToLiveMs, true);
}

std::size_t PbxLink::ServerChainLength() {
    auto lock = LockChains();
    return ServerKlient ? ServerKlient->Komendy.size() : 0;
}

// The dispatcher no longer holds `event_bufor` while it handles a record, so
// this takes it too, unless the caller already holds it.
void PbxLink::PabxQueueNoLock(const char* line, std::size_t count, int timeToLiveMs) {
    base::TraceScope trace("PabxQueueNoLock");
    auto lock = LockChains();
    queueServerLine(line, count, timeToLiveMs);
}

void PbxLink::FreeReceivedLines() {
    base::EventLock lock(event_bufor.get());
    if (lock.owns())
        shared_.ReceivedLines.clear();
}

// ---- the idle handler's share of the link: it drains the received lines and
// recognises the answers that free the command in flight, and it watches the
// link thread, restarting it when it hangs in log-in or has ended. It runs
// when there is something to do, never merely because the event loop is
// about to sleep: the link thread wakes the drain as soon as lines wait, the
// client service asks for the rest when it has work (a closed connection, a
// queued notice), and the form's idle timers keep the periodic steps' pace.

namespace {

// Every this many counted idle calls the link state is looked at.
constexpr std::uint32_t LinkNoticeEvery = 100;
constexpr int LinkDownErrorCount = 5;
constexpr std::int64_t LinkDownCallsKeptMs = 30000;
constexpr std::int64_t ClientCheckEverySeconds = 30;

bool closing() {
    return base::DiagnosticLog::instance().closing.load() != 0;
}

} // namespace

void PbxLink::InstallIdleHandler() {
    shared_.Wake.SetDispatcherWake(this, [this] { DrainReceivedLines(); });
    // Only the timers' ticks count as idle calls: wake-ups for received lines
    // and for the clients must not quicken the link-state notice.
    for (QTimer* timer : host_.IdleTickTimers())
        connect(timer, &QTimer::timeout, this, [this] {
            IdleTickSeen = true;
            RequestIdleWork();
        });
    // The first run comes with the event loop's start, as the first idle.
    RequestIdleWork();
}

void PbxLink::RequestIdleWork() {
    // Requests before the run coalesce into it.
    if (IdleWorkPending)
        return;
    IdleWorkPending = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            IdleWorkPending = false;
            ObslugaCentrali();
        },
        Qt::QueuedConnection);
}

void PbxLink::RemoveDispatcherWake() {
    shared_.Wake.ClearDispatcherWake(this);
}

void PbxLink::ObslugaCentrali() {
    if (closing())
        return;
    // A step that runs the event loop (a restart of the link) must not start
    // a second run inside the first; what was asked meanwhile runs after it.
    if (InIdleWork) {
        IdleWorkMissed = true;
        return;
    }
    InIdleWork = true;
    runIdleSteps();
    InIdleWork = false;
    if (std::exchange(IdleWorkMissed, false))
        RequestIdleWork();
}

void PbxLink::runIdleSteps() {
    host_.ServeClients();
    if (IdleTickSeen) {
        IdleTickSeen = false;
        if (++IdleCalls % LinkNoticeEvery == 0)
            noteLinkState();
    }
    DrainReceivedLines();
    checkClients();
    watchLinkThread();
}

// The clients hear whether the exchange can be reached; calls kept through a
// short break in the link are cleared once it has been down for more than 30 s.
void PbxLink::noteLinkState() {
    const bool down = PbxLinkErrorCount >= LinkDownErrorCount;
    host_.NoticeLinkState(down);
    if (!down) {
        LinkDownSinceMs = 0;
        return;
    }
    const std::int64_t now = linkEnvironment().linkClock().nowMs();
    if (LinkDownSinceMs == 0)
        LinkDownSinceMs = now;
    else if (now - LinkDownSinceMs > LinkDownCallsKeptMs)
        ClearCallTable();
}

// The client check keeps to wall-clock seconds, however often the loop idles.
void PbxLink::checkClients() {
    const std::int64_t now = platform::processClock().dateTime().toSecsSinceEpoch();
    if (now - LastClientCheck > ClientCheckEverySeconds) {
        host_.ShowStatusPanel(0, QString::fromStdString(host_.Text("IDS_240")));
        host_.CheckClients();
        LastClientCheck = now;
    }
    host_.ShowStatusPanel(0, QString::fromStdString(host_.Text("IDS_241")));
}

void PbxLink::watchLinkThread() {
    const std::int64_t now = linkEnvironment().linkClock().nowMs();
    if (Watek) {
        if (Watek->thread->StateLetter() != 'L' || Watek->thread->LoggedIn() || Watek->thread->Finished()) {
            LoginWatchActive = false;
            return;
        }
        if (!LoginWatchActive) {
            LoginWatchActive = true;
            LoginWatchStartMs = now;
        } else if (now - LoginWatchStartMs > Watek->thread->LoginWatchLimitMs()) {
            base::WriteLog(2, "Stan L trwa ponad 20 sekund - ponowne podłączanie do centrali");
            ++PbxReconnectCount;
            RozlaczCentrale();
            LoginWatchActive = false;
            shared_.PbxReconnectWanted = 1;
        }
        return;
    }
    if (shared_.PbxReconnectWanted == 1) {
        if (host_.AutoReconnect() && host_.LinkMenuChecked())
            ConnectPbx();
        else
            host_.SetLinkMenuChecked(false);
    }
}

} // namespace pbx
