// The idle handler's share of the link: it drains the received lines and
// recognises the answers that free the command in flight, and it watches the
// link thread, restarting it when it hangs in log-in or has ended.
#include "shell/MainForm.h"

#include "platform/WireCodePage.h"

#include <algorithm>

namespace {

constexpr int VoiceMailErrorLimit = 10;

bool details() {
    return shell::Switches().chbLogRS.load();
}

} // namespace

void TForm1::ObslugaCentrali() {
    if (IsClosing())
        return;
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
    watchLinkThread();
}

void TForm1::handleExchangeLine(const std::string& line) {
    if (shell::Switches().chbInfoPCTI)
        WriteLog(1, "CEN->PC <%s>", platform::fromWire(line).c_str());
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
