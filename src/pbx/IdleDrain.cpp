// The idle handler's share of the link: it drains the received lines and
// recognises the answers that free the command in flight, and it watches the
// link thread, restarting it when it hangs in log-in or has ended. The link
// thread wakes the drain as soon as lines wait; the idle handler's own
// housekeeping keeps the pace of the form's timers.
#include "shell/MainForm.h"

#include "pbx/DispatcherWake.h"
#include "ui/Application.h"

#include <algorithm>

namespace {

constexpr int VoiceMailErrorLimit = 10;
// Every this many counted idle calls the link state is looked at.
constexpr std::uint32_t LinkNoticeEvery = 100;
constexpr int LinkDownErrorCount = 5;
constexpr std::int64_t LinkDownCallsKeptMs = 30000;

bool details() {
    return base::Switches().chbLogRS.load();
}

} // namespace

void TForm1::InstallIdleHandler() {
    if (auto* app = ui::TApplication::instance())
        app->SetOnIdle([this] { ObslugaCentrali(); });
    pbx::SetDispatcherWake(this, [this] { DrainReceivedLines(); });
    // Only the timers' ticks count as idle calls: wake-ups for received lines
    // must not quicken the link-state notice.
    for (ui::TTimer* timer : {TimerUpdateInfo, TimerUpdateKolejka, tmrIdle})
        connect(timer, &QTimer::timeout, this, [this] { IdleTickSeen = true; });
}

void TForm1::RemoveDispatcherWake() {
    pbx::ClearDispatcherWake(this);
}

void TForm1::ObslugaCentrali() {
    if (IsClosing())
        return;
    if (IdleTickSeen) {
        IdleTickSeen = false;
        if (++IdleCalls % LinkNoticeEvery == 0)
            noteLinkState();
    }
    DrainReceivedLines();
    watchLinkThread();
}

// Calls kept through a short break in the link are cleared once it has been
// down for more than 30 s. (The clients' link-state notice comes with the
// client service.)
void TForm1::noteLinkState() {
    if (PbxLinkErrorCount < LinkDownErrorCount) {
        LinkDownSinceMs = 0;
        return;
    }
    const std::int64_t now = pbx::linkEnvironment().clock->nowMs();
    if (LinkDownSinceMs == 0)
        LinkDownSinceMs = now;
    else if (now - LinkDownSinceMs > LinkDownCallsKeptMs)
        ClearCallTable();
}

void TForm1::DrainReceivedLines() {
    // A handler that runs the event loop must not start a second drain.
    if (IsClosing() || DrainingReceivedLines)
        return;
    DrainingReceivedLines = true;
    struct DrainEnd {
        bool& draining;
        ~DrainEnd() { draining = false; }
    } drainEnd{DrainingReceivedLines};
    {
        shell::EventLock lock(this, event_bufor.get());
        if (lock.owns()) {
            while (!ReceivedLines.empty()) {
                Bufor node = std::move(ReceivedLines.front());
                ReceivedLines.pop_front();
                HandledBytes.fetch_add(node.length(), std::memory_order_relaxed);
                handleExchangeLine(node.data);
            }
        }
    }
}

void TForm1::handleExchangeLine(const std::string& line) {
    if (base::Switches().chbInfoPCTI)
        WriteLog(1, "CEN->PC <%s>", pbx::LogCopy(line).c_str());
    const std::size_t size = line.size();
    std::size_t at = 0;
    while (at < size) {
        const std::string_view rest(line.data() + at, size - at);
        if (rest.starts_with("cti 4")) {
            pbx::LinkState = 3;
            if (details())
                WriteLog(1, "centrala zwróciła echo komendy");
            return;
        }
        if (rest.starts_with("OK")) {
            if (PbxType <= 4 && pbx::LinkState == 2)
                pbx::LinkState = 3;
            if (pbx::LinkState == 3) {
                pbx::LinkState = 1;
                if (details())
                    WriteLog(1, "połączenie z centralą sprawdzone");
                return;
            }
            int inFlight = 1;
            if (pbx::CommandInFlight.compare_exchange_strong(inFlight, 2) && details())
                WriteLog(1, "centrala wykonała komende");
            at = std::min(size, at + 3);
            continue;
        }
        if (rest.starts_with("ERROR")) {
            int inFlight = 1;
            if (pbx::CommandInFlight.compare_exchange_strong(inFlight, 2) && details())
                WriteLog(1, "Błąd obsługi komendy przez centralę");
            if (rest.starts_with("ERROR 1") && pbx::CommandInFlightText().starts_with("VM ")) {
                if (++ErrorCount1 > VoiceMailErrorLimit)
                    UseVoiceMailPcti = false;
            }
            at = std::min(size, at + 9);
            continue;
        }
        ++at;
    }
}

void TForm1::watchLinkThread() {
    const std::int64_t now = pbx::linkEnvironment().clock->nowMs();
    if (Watek) {
        if (Watek->thread->StateLetter() != 'L' || Watek->thread->LoggedIn() || Watek->thread->Finished()) {
            LoginWatchActive = false;
            return;
        }
        if (!LoginWatchActive) {
            LoginWatchActive = true;
            LoginWatchStartMs = now;
        } else if (now - LoginWatchStartMs > Watek->thread->LoginWatchLimitMs()) {
            WriteLog(2, "Stan L trwa ponad 20 sekund - ponowne podłączanie do centrali");
            ++PbxReconnectCount;
            RozlaczCentrale();
            LoginWatchActive = false;
            pbx::PbxReconnectWanted = 1;
        }
        return;
    }
    if (pbx::PbxReconnectWanted == 1) {
        if (AutomPrzyw && PodlaczCentrale->isChecked())
            ConnectPbx();
        else
            PodlaczCentrale->setChecked(false);
    }
}
