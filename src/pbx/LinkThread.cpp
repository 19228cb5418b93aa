// The link thread's life: its start and stop, the passes that open the
// link, log in and transmit, and the status it shows.
#include "pbx/LinkThread.h"

#include "base/TraceLabel.h"
#include "clients/Klient.h"
#include "pbx/LinkThreadInternal.h"
#include "platform/WireCodePage.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <pthread.h>

namespace pbx {
using namespace linkthread;

std::string LogCopy(std::string_view bytes) {
    std::string visible;
    for (char c : bytes.substr(0, LogCopyLimit)) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '\r')
            visible += "\\r";
        else if (c == '\n')
            visible += "\\n";
        else if (u < 0x20) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", u);
            visible += hex;
        } else
            visible += c;
    }
    if (bytes.size() > LogCopyLimit)
        visible += "...";
    return platform::fromWire(visible);
}

void LineAssembler::Add(char byte) {
    if (overran_)
        return;
    if (line_.size() >= LineLimit) {
        overran_ = true;
        line_.clear();
        return;
    }
    line_ += byte == '\0' ? '\xFF' : byte;
}

void LineAssembler::End() {
    if (overran_)
        base::WriteLog(2, "Linia z centrali dłuższa niż %zu znaków - odrzucona", LineLimit);
    else
        owner_.Sprawdz_linie(line_);
    Clear();
}

void LineAssembler::Clear() {
    line_.clear();
    overran_ = false;
}

TWatek::TWatek(LinkShared& shared, LinkSettings settings, LinkThreadHost* host)
    : shared_(shared), settings_(std::move(settings)), t_(settings_.timings), host_(host) {
    base::TraceScope trace("TWatek::TWatek");
    if (details())
        base::WriteLog(1, "TWatek::TWatek");
    shared_.LinkState = 0;
}

TWatek::~TWatek() {
    Terminate();
    Join();
}

void TWatek::Start() {
    thread_ = std::thread([this] {
        // Named, so that it can be told apart in the process's thread list.
        ::pthread_setname_np(::pthread_self(), "halvex-link");
        Execute();
    });
}

void TWatek::Terminate() {
    {
        std::lock_guard lock(pauseMutex_);
        terminated_ = true;
    }
    pauseWake_.notify_all();
    shared_.LinkThreadWake.Wake();
}

void TWatek::Join() {
    if (thread_.joinable())
        thread_.join();
}

bool TWatek::Pause(int ms) {
    std::unique_lock lock(pauseMutex_);
    pauseWake_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return terminated_.load(); });
    return !terminated_.load();
}

void TWatek::Sprawdz_linie(std::string_view line) {
    shared_.AppendReceivedLine(line);
}

void TWatek::setState(char letter) {
    stateLetter_ = letter;
}

void TWatek::PokazStan() {
    LinkStatus status;
    status.pbxType = settings_.PbxType;
    status.pbxPort = settings_.PbxPort;
    status.stateLetter = stateLetter_.load();
    status.linkState = shared_.LinkState.load();
    status.received = shared_.ReceivedBytes.load();
    status.handled = shared_.HandledBytes.load();
    status.queued = shared_.QueuedBytes.load();
    status.sent = shared_.SentBytes.load();
    // A link-up status shown already changes nothing on the GUI thread; every
    // other one counts there (a link that stays down is counted as down).
    if (status.linkState == 1 && shownStatus_ == status)
        return;
    shownStatus_ = status;
    host_->ShowState(status);
}

void TWatek::Execute() {
    base::TraceScope trace("TWatek::Execute");
    if (details())
        base::WriteLog(1, "TWatek::Execute");
    Pause(t_.startDelay);
    while (!terminated_) {
        const std::int64_t passStart = nowMs();
        error_ = 0;
        if (settings_.PbxPort == 5)
            OtworzTCP();
        else
            OtworzCOM(settings_.PbxPort);
        bool loggedIn = false;
        if (!error_ && !terminated_) {
            host_->EnableLinkMenu();
            setState('L');
            PokazStan();
            Loguj(settings_.PbxType);
            loggedIn = !error_ && !terminated_;
        }
        if (loggedIn) {
            if (settings_.PbxPort == 5) {
                // What came with the last log-in answer is the first batch.
                tcpBuffer_ = std::move(loginRest_);
                TransmisjaTCP();
            } else {
                TransmisjaCOM();
            }
        }
        dropPinned();
        // A missing device, a refusing exchange or one that hangs up at once
        // must not spin the processor nor the exchange.
        if (!loggedIn && !terminated_)
            retryPause(passStart);
    }
    setState('L');
    shared_.LinkState = 0;
    shared_.PbxReconnectWanted = 1;
    PokazStan();
    if (serial_) {
        if (details())
            base::WriteLog(1, "RS: Zamykanie portu");
        if (!serial_->Close())
            base::WriteLog(1, "Błąd zamykania portu: %d", serial_->lastError());
        serial_.reset();
    }
    tcp_.reset();
    finished_ = true;
    host_->ThreadEnded();
}

void TWatek::retryPause(std::int64_t passStart) {
    ++retryPauses_;
    const std::int64_t until = passStart + t_.retryPause;
    for (std::int64_t left = until - nowMs(); left > 0 && !terminated_; left = until - nowMs())
        Pause(static_cast<int>(std::min<std::int64_t>(left, t_.retryPause)));
}

std::int64_t TWatek::LoginWatchLimitMs() const {
    if (settings_.PbxPort == 5 || settings_.PbxType > 4)
        return UsualLoginWatchLimitMs;
    const std::int64_t dialogue =
        2 * std::int64_t{t_.wakeUpPause} + 3 * std::int64_t{t_.serialLoginReadTimeout} + LoginWatchMarginMs;
    return std::max(UsualLoginWatchLimitMs, dialogue);
}

void TWatek::Loguj(int pbxType) {
    const bool tcp = settings_.PbxPort == 5;
    loginRest_.clear();
    if (pbxType < 0 || pbxType > 5) {
        if (tcp)
            Pause(500);
        error_ = 7;
    } else if (pbxType <= 4) {
        error_ = tcp ? Loguj_vantrelTCP() : Loguj_Vantrel();
    } else if (tcp) {
        Loguj_morvaTCP();
    } else {
        Loguj_morva();
    }
    // An exchange that hung up during the dialogue has not taken the log-in.
    if (!error_ && tcp) {
        if (tcp_)
            tcp_->Waiting(); // notices a peer that has hung up
        if (!tcp_ || !tcp_->Active()) {
            if (details())
                base::WriteLog(1, "TCP: Połączenie rozłączone");
            error_ = 9;
        }
    }
    if (error_) {
        loggedIn_ = 0;
        base::WriteLog(1, "Błąd %u przy logowaniu do centrali", static_cast<unsigned>(error_.load()));
        return;
    }
    CzyscKolejki();
    loggedIn_ = 1;
}

void TWatek::CzyscKolejki() {
    auto lock = LockChains();
    for (Klient* k = KlientList; k; k = k->Nastepny)
        k->Komendy.clear();
}

} // namespace pbx
