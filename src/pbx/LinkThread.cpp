#include "pbx/LinkThread.h"

#include "base/DiagnosticLog.h"
#include "base/TraceLabel.h"
#include "clients/Klient.h"
#include "pbx/ReceivedLines.h"
#include "platform/WireCodePage.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <pthread.h>
#include <system_error>
#include <vector>

namespace pbx {
namespace {

constexpr std::int64_t CommandAnswerTimeoutMs = 30000;
constexpr std::int64_t SerialCheckPeriodS = 15;
constexpr std::int64_t TcpCheckPeriodS = 30;
constexpr std::uint32_t TcpQuietPolls = 120;
// Idle polls stop counting here (where they start).
constexpr std::uint32_t IdlePollsCap = 99999;
constexpr std::size_t LogCopyLimit = 1024;
// Lines, and bytes, read in one pass of the serial loop before the queued
// commands get their turn (4 KiB is about a third of a second at 115200 baud).
constexpr int MaxLinesPerReadPass = 32;
constexpr int MaxBytesPerSerialPass = 4096;
// The most one pass of the TCP loop takes from the socket.
constexpr std::size_t TcpReadPassLimit = 65536;
// The serial dialogue of types 0 to 4 may take a little longer than its
// pauses and read time-outs add up to.
constexpr std::int64_t LoginWatchMarginMs = 3000;
constexpr std::int64_t UsualLoginWatchLimitMs = 20000;

bool details() {
    return base::Switches().chbLogRS.load();
}
bool traffic() {
    return base::Switches().chbInfoPCTI.load();
}

const char* socketErrorText(int code) {
    switch (code) {
    case 10048:
        return "Watek: 10048 Adres jest już użyty";
    case 10053:
        return "Watek: 10053 Przerwanie połączenia: TIMEOUT lub błąd protokołu";
    case 10054:
        return "Watek: 10054 Przerwanie połączenia przez klienta";
    case 10055:
        return "Watek: 10055 Bufory systemowe zapełnione przy połączeniu";
    case 10060:
        return "Watek: 10060 Timeout";
    case 10061:
        return "Watek: 10061 Brak dostępu";
    case 10065:
        return "Watek: 10065 Brak trasy do komputera";
    default:
        return nullptr;
    }
}

} // namespace

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

void TWatek::OtworzCOM(int port) {
    // These two types are reached over TCP only.
    if (settings_.PbxType == 0 || settings_.PbxType == 1)
        return;
    setState('O');
    PokazStan();
    const std::string name = "COM" + std::to_string(port);
    if (details())
        base::WriteLog(1, "Otwórz %s", name.c_str());
    if (!serial_)
        serial_ = std::make_unique<platform::SerialPort>();
    if (!serial_->IsOpen() && !serial_->Open(settings_.serialDevice)) {
        error_ = 2;
        reportOpenFailure(name);
        Terminate();
        return;
    }
    if (shared_.LinkOpened())
        base::WriteLog(1, "Port %s (%s) otwarty", name.c_str(), settings_.serialDevice.c_str());
    serial_->Purge();
    if (!UstawTimeoutCOM(t_.serialLoginReadTimeout))
        return;
    const int baud = settings_.PbxType == 5 ? 115200 : 19200;
    switch (serial_->Configure(baud)) {
    case platform::SerialPort::ConfigureResult::SettingsUnreadable:
        error_ = 5;
        base::WriteLog(2, "Błąd pobierania dcb");
        return;
    case platform::SerialPort::ConfigureResult::SettingsRefused:
        error_ = 6;
        base::WriteLog(2, "Błąd ustawiania dcb");
        return;
    case platform::SerialPort::ConfigureResult::Done:
        break;
    }
    // Pseudo-terminals have no modem lines; only real ports take these.
    serial_->SetDtr(true);
    if (details())
        base::WriteLog(1, "RS: port otwarty");
    serial_->SetRts(false);
}

// The link tries a port that cannot be opened again every second: what is
// wrong, and for a refusal what to do about it, is said once per reason, on
// stderr as well, since the log is off unless asked for.
void TWatek::reportOpenFailure(const std::string& name) {
    const int error = serial_->lastError();
    const std::string& device = settings_.serialDevice;
    const std::string reason = std::generic_category().message(error);
    if (!shared_.LinkOpenFailed(device + ": " + reason)) {
        if (details())
            base::WriteLog(1, "Błąd otwarcia portu %s: %u", name.c_str(), static_cast<unsigned>(error));
        return;
    }
    base::WriteLog(2, "Błąd otwarcia portu %s: %u", name.c_str(), static_cast<unsigned>(error));
    const std::string variable = "HALVEX_COM" + std::to_string(settings_.PbxPort);
    if (error == EACCES || error == EPERM) {
        base::WriteLog(2,
                       "Port %s (%s): brak uprawnień - użytkownik programu musi należeć do grupy dialout "
                       "albo %s (HALVEX_COM1..HALVEX_COM4) musi wskazywać urządzenie, które wolno mu "
                       "otworzyć; dalsze próby bez wpisów w logu",
                       name.c_str(), device.c_str(), variable.c_str());
        std::fprintf(stderr,
                     "Halvex: cannot open %s (%s): %s; the user running Halvex must be in the group "
                     "dialout, or %s (HALVEX_COM1..HALVEX_COM4) must name a device it may open\n",
                     name.c_str(), device.c_str(), reason.c_str(), variable.c_str());
    } else {
        base::WriteLog(2, "Port %s (%s): %s; dalsze próby bez wpisów w logu", name.c_str(), device.c_str(),
                       reason.c_str());
        std::fprintf(stderr, "Halvex: cannot open %s (%s): %s\n", name.c_str(), device.c_str(),
                     reason.c_str());
    }
}

// The exchange that refuses the link, or does not answer, is tried again
// and again: stderr hears of it once per reason, as of a port that will not
// open.
void TWatek::reportConnectFailure(const std::string& reason) {
    const std::string address = settings_.TCPCentr + ":" + std::to_string(settings_.PortTCPCent);
    if (shared_.LinkOpenFailed(address + ": " + reason))
        std::fprintf(stderr, "Halvex: cannot connect to the exchange at %s: %s\n", address.c_str(),
                     reason.c_str());
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

bool TWatek::UstawTimeoutCOM(int ms) {
    if (!serial_ || !serial_->IsOpen()) {
        error_ = 4;
        base::WriteLog(2, "Błąd ustawiania timeoutu");
        Terminate();
        return false;
    }
    serial_->SetReadTimeout(ms);
    return true;
}

void TWatek::reportSocketError(int errnoValue) {
    const int code = SocketErrorCode(errnoValue);
    error_ = code;
    if (const char* text = socketErrorText(code))
        base::WriteLog(2, "%s", text);
    else
        base::WriteLog(2, "Watek: bląd socketu: %d", code);
    Terminate();
}

void TWatek::OtworzTCP() {
    setState('O');
    PokazStan();
    if (details())
        base::WriteLog(1, "TCP:Otwieram port Ethernet");
    if (settings_.TCPCentr.empty() || settings_.PortTCPCent <= 0 || settings_.PortTCPCent > 65535) {
        host_->ShowTcpSetupError();
        error_ = 2;
        // Retrying cannot help until the settings change.
        settingsUnusable_ = true;
        Terminate();
        return;
    }
    if (!tcp_)
        tcp_ = std::make_unique<TcpLink>();
    if (tcp_->Active()) {
        if (Sprawdz_polaczenieTCP() == CheckResult::Failed) {
            base::WriteLog(1, "TCP: Błąd przy sprawdzaniu połączenia, kończenie wątku");
            Terminate();
        }
        return;
    }
    switch (tcp_->Connect(settings_.TCPCentr, settings_.PortTCPCent, t_.tcpConnectStep, 600, terminated_)) {
    case TcpLink::ConnectResult::OpenFailed:
        // Not a socket error: the thread stays and tries again after the pause.
        base::WriteLog(1, "TCP:Brak połączenia z centrala, nieudane otw. portu TCP");
        for (int step = 0; step < 101 && Pause(t_.tcpOpenFailPause); ++step) {
        }
        error_ = 2;
        return;
    case TcpLink::ConnectResult::Failed:
        reportConnectFailure(std::generic_category().message(tcp_->error()));
        reportSocketError(tcp_->error());
        return;
    case TcpLink::ConnectResult::TimedOut:
        reportConnectFailure("no answer");
        base::WriteLog(1, "TCP: Timeout przy próbie uaktywnienia gniazdka TCP");
        Terminate();
        error_ = 2;
        return;
    case TcpLink::ConnectResult::Aborted:
        error_ = 2;
        return;
    case TcpLink::ConnectResult::Connected:
        shared_.LinkOpened();
        break;
    }
    if (details())
        base::WriteLog(1, "TCP:Połączono serwer z centrala ");
    base::WriteLog(1, "TCP: Port otwarty");
    tcpBuffer_.clear();
    if (Sprawdz_polaczenieTCP() == CheckResult::Failed) {
        base::WriteLog(1, "TCP: Błąd przy sprawdzaniu połączenia, kończenie wątku");
        Terminate();
    }
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

TWatek::CheckResult TWatek::Sprawdz_polaczenie() {
    // A probe would land in the middle of the command being written.
    if (pinned_)
        return CheckResult::NotYet;
    const std::int64_t nowS = nowMs() / 1000;
    if (nowS - lastLinkCheckS_ < SerialCheckPeriodS)
        return CheckResult::NotYet;
    lastLinkCheckS_ = nowS;
    setState('S');
    PokazStan();
    if (details())
        base::WriteLog(1, "Sprawdzam połączenie z centralą");
    if (shared_.LinkState >= 2) {
        if (details())
            base::WriteLog(1, "Brak potwierdzenia z centrali");
        error_ = 9;
        return CheckResult::Failed;
    }
    const bool sent = settings_.PbxType <= 4 ? AT_Vantrel2() : Wyslij_ciag("C03\r") == 0;
    if (!sent) {
        error_ = 8;
        return CheckResult::Failed;
    }
    shared_.LinkState = 2;
    return CheckResult::Passed;
}

TWatek::CheckResult TWatek::Sprawdz_polaczenieTCP() {
    if (pinned_)
        return CheckResult::NotYet;
    const std::int64_t nowS = nowMs() / 1000;
    // The period counts from the first pass that finds the link quiet.
    if (idlePolls_ < TcpQuietPolls || !quietSeen_) {
        lastLinkCheckS_ = nowS;
        quietSeen_ = idlePolls_ >= TcpQuietPolls;
        return CheckResult::NotYet;
    }
    if (nowS - lastLinkCheckS_ < TcpCheckPeriodS)
        return CheckResult::NotYet;
    lastLinkCheckS_ = nowS;
    setState('S');
    PokazStan();
    if (details())
        base::WriteLog(1, "TCP: Spr. połączenia z centralą");
    if (settings_.PbxType <= 4) {
        const std::string probe = "cti on\r";
        const long sent = WriteFileTCP(probe);
        if (sent < 0)
            base::WriteLog(1, "TCP: Błąd przy wysyłaniu cti on, WriteFileTCP = FALSE");
        else if (static_cast<std::size_t>(sent) != probe.size())
            base::WriteLog(1, "TCP: Błąd przy wysyłaniu cti on, lpS = %ld", sent);
        Pause(t_.tcpLinkCheckPause);
        const std::size_t before = tcpBuffer_.size();
        CzytajTCP(3);
        if (tcpBuffer_.size() < before + 3) {
            base::WriteLog(1, "TCP: Brak odpowiedzi z centrali");
            Terminate();
            return CheckResult::Failed;
        }
        return CheckResult::Passed;
    }
    if (settings_.PbxType == 5) {
        WriteFileTCP("C03\r");
        tcpBuffer_.clear();
        CzytajTCP(3);
        if (tcpBuffer_.size() < 3) {
            if (details())
                base::WriteLog(1, "TCP: Brak potwierdzenia z centrali");
            shared_.LinkState = 2;
            error_ = 8;
            Terminate();
            return CheckResult::Failed;
        }
        return CheckResult::Passed;
    }
    if (details())
        base::WriteLog(1, "Wybrana centrala nie posiada interfejsu Ethernet");
    error_ = 9;
    return CheckResult::Failed;
}

// One byte of the serial stream; true when a line was handed on.
bool TWatek::serialByte(char byte) {
    idlePolls_ = 0;
    const bool lineEnd = byte == '\r' || (byte == '\n' && serialTypeEndsAtLf());
    if (!lineEnd) {
        line_.Add(byte);
        return false;
    }
    if (!serialTypeEndsAtLf()) {
        // Type 5 ends its lines with CR LF: the LF is read and dropped.
        char lf = 0;
        const long got = serial_ ? serial_->Read(&lf, 1, &terminated_) : -1;
        if (got < 0) {
            base::WriteLog(2, "RS: Błąd odczytu 0xA na końcu linii");
            return false;
        }
        if (got == 0) {
            base::WriteLog(2, "RS: brak 0xA na końcu linii");
            return false;
        }
    }
    shared_.LinkState = 1;
    setState('L');
    PokazStan();
    line_.End();
    return true;
}

void TWatek::TransmisjaCOM() {
    line_.Clear();
    if (details())
        base::WriteLog(1, "RS: Funkcja czytająca wątka");
    if (Sprawdz_polaczenie() == CheckResult::Failed) {
        Terminate();
        return;
    }
    if (settings_.PbxType <= 4)
        Wyslij_ciag("CTI ON\r");
    serial_->SetReadTimeout(t_.serialLoopReadTimeout);
    bool broughtBytes = true;
    bool moreWaiting = false;
    bool commandsLeft = false;
    while (!terminated_) {
        // Bytes still waiting are read at once: a pause here would let a
        // busy exchange run ahead of the link. Otherwise the pass sleeps
        // until bytes come, a command is queued or answered, or something of
        // its own is due.
        if (!moreWaiting)
            serial_->WaitReadable(serialWaitMs(commandsLeft), shared_.LinkThreadWake.Descriptor());
        ++passes_;
        if (!broughtBytes && Sprawdz_polaczenie() == CheckResult::Failed) {
            Terminate();
            break;
        }
        // Taken before the chains are looked at: a command queued from here
        // on wakes the next wait.
        shared_.LinkThreadWake.Clear();
        commandsLeft = WriteStep(true);
        setState('R');
        PokazStan();
        moreWaiting = false;
        if (shared_.ReceivedLinesFull()) {
            // The dispatcher is behind: the exchange waits, which is no silence.
            broughtBytes = true;
            continue;
        }
        broughtBytes = false;
        // A busy exchange must not keep the queued commands waiting.
        int linesThisPass = 0;
        int bytesThisPass = 0;
        while (!terminated_) {
            if (linesThisPass >= MaxLinesPerReadPass || bytesThisPass >= MaxBytesPerSerialPass) {
                moreWaiting = true;
                break;
            }
            char byte = 0;
            const long got = serial_->Read(&byte, 1, &terminated_);
            if (got < 0)
                break;
            if (got == 0) {
                setState('T');
                ++idlePolls_;
                PokazStan();
                break;
            }
            broughtBytes = true;
            ++bytesThisPass;
            const bool lineEnded = serialByte(byte);
            if (lineEnded)
                ++linesThisPass;
            if (lineEnded && !serialTypeEndsAtLf() && Sprawdz_polaczenie() == CheckResult::Failed) {
                Terminate();
                break;
            }
        }
    }
    shared_.LinkState = 0;
}

void TWatek::cutTcpBatch() {
    for (char c : tcpBuffer_) {
        if (c == '\r' || c == '\n')
            line_.End();
        else
            line_.Add(c);
    }
    tcpBuffer_.clear();
}

void TWatek::TransmisjaTCP() {
    line_.Clear();
    PokazStan();
    // The first pass does not wait: it confirms the link and takes what came
    // with the log-in.
    bool moreWaiting = true;
    while (!terminated_ && tcp_) {
        if (!tcp_->Active()) {
            if (details())
                base::WriteLog(1, "TCP: Połączenie rozłączone");
            // Shown and counted as a link down until the log-in is redone.
            shared_.LinkState = 0;
            PokazStan();
            break;
        }
        ++passes_;
        setState('W');
        PokazStan();
        // Taken before the chains are looked at: a command queued from here
        // on wakes the wait below.
        shared_.LinkThreadWake.Clear();
        const bool commandsLeft = WriteStep(false);
        // The pass sleeps until the exchange sends, a command is queued or
        // answered, or something of its own is due: a record is read when
        // it arrives, and a quiet link costs nothing.
        if (!moreWaiting) {
            const auto waitStart = std::chrono::steady_clock::now();
            if (!tcp_->WaitReadable(tcpWaitMs(commandsLeft), shared_.LinkThreadWake.Descriptor()))
                countQuietWait(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now() - waitStart)
                                   .count());
        }
        setState('R');
        PokazStan();
        moreWaiting = false;
        if (shared_.ReceivedLinesFull()) {
            // The dispatcher is behind: the exchange waits, which is no silence.
            Pause(t_.tcpIdleSleep);
            continue;
        }
        const std::size_t before = tcpBuffer_.size();
        if (before < TcpReadPassLimit)
            tcp_->ReadWaiting(tcpBuffer_, TcpReadPassLimit - before);
        if (tcpBuffer_.size() > before)
            idlePolls_ = 0;
        moreWaiting = tcpBuffer_.size() >= TcpReadPassLimit;
        if (!tcpBuffer_.empty()) {
            setState('L');
            PokazStan();
            cutTcpBatch();
        }
        if (!tcp_->Active())
            continue;
        const CheckResult check = Sprawdz_polaczenieTCP();
        if (check == CheckResult::Failed) {
            shared_.LinkState = 0;
            Terminate();
            break;
        }
        // Records read with the check's answer go on now, not when the
        // exchange next sends.
        if (check == CheckResult::Passed)
            cutTcpBatch();
        shared_.LinkState = 1;
    }
}

// A quiet pass of the old rhythm was a pass pause and an idle pause; a wait
// counts as the passes it stands for, so the link check keeps its place.
void TWatek::countQuietWait(std::int64_t waitedMs) {
    const std::int64_t passMs = std::max(1, t_.tcpPassSleep + t_.tcpIdleSleep);
    const std::int64_t polls = std::max<std::int64_t>(1, waitedMs / passMs);
    idlePolls_ = static_cast<std::uint32_t>(std::min<std::int64_t>(idlePolls_ + polls, IdlePollsCap));
}

int TWatek::passWaitMs(std::int64_t checkInMs, bool commandsLeft, int rhythmMs) const {
    // A write to try again, or a command behind one that was dropped.
    if (commandsLeft || pinned_)
        return rhythmMs;
    std::int64_t wait = checkInMs;
    if (shared_.CommandInFlight == 1)
        wait = std::min(wait, lastWriteTime_ + CommandAnswerTimeoutMs + 1 - nowMs());
    // A clock that a test moves cannot be slept on: it is looked at again soon.
    if (settings_.clock->MovedByHand())
        wait = std::min<std::int64_t>(wait, rhythmMs);
    return static_cast<int>(std::clamp<std::int64_t>(wait, 0, CommandAnswerTimeoutMs + 1));
}

int TWatek::tcpWaitMs(bool commandsLeft) const {
    const std::int64_t passMs = std::max(1, t_.tcpPassSleep + t_.tcpIdleSleep);
    std::int64_t checkIn = 0;
    if (idlePolls_ < TcpQuietPolls)
        checkIn = (TcpQuietPolls - idlePolls_) * passMs; // until the link counts as quiet
    else if (quietSeen_)
        checkIn = (lastLinkCheckS_ + TcpCheckPeriodS) * 1000 - nowMs();
    return passWaitMs(checkIn, commandsLeft, t_.tcpPassSleep);
}

int TWatek::serialWaitMs(bool commandsLeft) const {
    return passWaitMs((lastLinkCheckS_ + SerialCheckPeriodS) * 1000 - nowMs(), commandsLeft,
                      t_.serialLoopSleep);
}

namespace {

bool listed(const Klient* client) {
    for (const Klient* k = KlientList; k; k = k->Nastepny)
        if (k == client)
            return true;
    return false;
}

} // namespace

// The chains are only touched under `event_bufor`, and never while a write
// may block: a command is taken out under the lock and written outside it.
bool TWatek::WriteStep(bool serial) {
    const std::int64_t now = nowMs();
    if (pinned_) {
        writePinnedRest(serial);
        lastWriteTime_ = now;
        return false;
    }
    if (shared_.CommandInFlight == 1) {
        if (now - lastWriteTime_ > CommandAnswerTimeoutMs)
            shared_.CommandInFlight = 2;
        return false;
    }
    bool left = false;
    const auto elapsed = static_cast<std::int32_t>(lastWriteTime_ ? now - lastWriteTime_ : 64);
    std::vector<const Klient*> tried;
    for (;;) {
        Klient* owner = nullptr;
        std::optional<Bufor> command;
        {
            auto lock = LockChains();
            for (Klient* k = KlientList; k; k = k->Nastepny) {
                if (k->Komendy.empty() || std::find(tried.begin(), tried.end(), k) != tried.end())
                    continue;
                const Bufor& head = k->Komendy.front();
                // Its time to live counts from when it could first have gone:
                // at the latest once the command ahead of it was answered or
                // given up. Older, it is stale: a dial that rings minutes
                // after the click does harm.
                const std::int64_t waited = head.QueuedMs >= 0 ? now - head.QueuedMs : 0;
                const bool stale = head.TTL >= 0 && head.TTL != Bufor::NeverStale &&
                                   waited > std::int64_t(head.TTL) + CommandAnswerTimeoutMs;
                if (head.TTL < 0 || stale) {
                    base::WriteLog(
                        2, "Komenda do centrali pominięta: %s (czekała %lld ms, czas życia %d ms) <%s>",
                        stale ? "przeterminowana" : "nie wysłana w czasie życia",
                        static_cast<long long>(waited), int(head.TTL), LogCopy(head.data).c_str());
                    shared_.CommandInFlight = 2;
                    k->Komendy.pop_front();
                    left = true;
                    if (serial)
                        continue;
                    break;
                }
                owner = k;
                command.emplace(std::move(k->Komendy.front()));
                k->Komendy.pop_front();
                break;
            }
        }
        if (!command)
            break;
        tried.push_back(owner);
        const long written = writeCommandBytes(command->data, serial);
        if (written >= 0 && static_cast<std::size_t>(written) == command->data.size()) {
            commandWritten(*command, serial);
            break;
        }
        if (written > 0) {
            // The exchange already has the start of this command: only its
            // rest may follow, before any other command.
            shared_.SentBytes.fetch_add(static_cast<std::uint32_t>(written), std::memory_order_relaxed);
            pinnedSent_ = static_cast<std::size_t>(written);
            pinned_ = std::move(command);
            break;
        }
        if (serial && traffic())
            base::WriteLog(1, "PC->CEN, wysyłanie nieudane <%s>", LogCopy(command->data).c_str());
        if (command->TTL != Bufor::NeverStale)
            command->TTL -= elapsed;
        auto lock = LockChains();
        // Back at the head of its chain, unless its client has gone meanwhile.
        if (listed(owner)) {
            owner->Komendy.push_front(std::move(*command));
            left = true;
        }
    }
    lastWriteTime_ = now;
    return left && shared_.CommandInFlight != 1;
}

long TWatek::writeCommandBytes(std::string_view bytes, bool serial) {
    // Short waits for room: the reader must not stand still behind a stalled write.
    if (serial)
        return serial_ ? serial_->Write(bytes.data(), bytes.size(), &terminated_, t_.serialLoopReadTimeout)
                       : -1;
    return WriteFileTCP(bytes, t_.tcpPassSleep);
}

void TWatek::commandWritten(const Bufor& command, bool serial) {
    shared_.CommandInFlight = 1;
    shared_.SentBytes.fetch_add(static_cast<std::uint32_t>(command.data.size() - pinnedSent_),
                                std::memory_order_relaxed);
    shared_.SetCommandInFlightText(command.data);
    if (serial && traffic())
        base::WriteLog(1, "PC->CEN <%s>", LogCopy(command.data).c_str());
}

void TWatek::writePinnedRest(bool serial) {
    const std::string_view rest = std::string_view(pinned_->data).substr(pinnedSent_);
    const long written = writeCommandBytes(rest, serial);
    if (written <= 0)
        return;
    if (static_cast<std::size_t>(written) == rest.size()) {
        commandWritten(*pinned_, serial);
        pinned_.reset();
        pinnedSent_ = 0;
        return;
    }
    shared_.SentBytes.fetch_add(static_cast<std::uint32_t>(written), std::memory_order_relaxed);
    pinnedSent_ += static_cast<std::size_t>(written);
}

void TWatek::dropPinned() {
    if (!pinned_)
        return;
    base::WriteLog(2, "Komenda do centrali przerwana z połączeniem <%s>", LogCopy(pinned_->data).c_str());
    pinned_.reset();
    pinnedSent_ = 0;
}

long TWatek::WriteFileTCP(std::string_view text, int stallMs) {
    if (!tcp_ || !tcp_->Exists()) {
        base::WriteLog(2, "TCP: no socket");
        return 0;
    }
    if (!tcp_->Active() || terminated_) {
        base::WriteLog(2, "TCP: socket inactive or thread terminated");
        return 0;
    }
    const long sent = tcp_->Send(text.data(), text.size(), terminated_, stallMs);
    if (sent < 0) {
        base::WriteLog(2, "ERROR: WriteFileTCP: SOCKET_ERROR");
        return -1;
    }
    if (traffic())
        base::WriteLog(1, "PC->CEN <%s>", LogCopy(text).c_str());
    return sent;
}

void TWatek::CzytajTCP(std::size_t wanted) {
    if (!tcp_)
        return;
    for (int poll = 0; poll < 64; ++poll) {
        if (tcp_->Waiting() >= wanted || terminated_ || !tcp_->Active())
            break;
        Pause(t_.tcpReadPoll);
    }
    if (!tcp_->Exists())
        return;
    const std::size_t waiting = tcp_->Waiting();
    if (waiting == 0)
        return;
    if (tcpBuffer_.size() + waiting > TcpReadPassLimit)
        return;
    tcp_->ReadWaiting(tcpBuffer_, TcpReadPassLimit - tcpBuffer_.size());
    if (details())
        base::WriteLog(1, "TCP: odebrane: %s", LogCopy(tcpBuffer_).c_str());
}

long TWatek::readSerial(char* buffer, std::size_t count) {
    return serial_ && serial_->IsOpen() ? serial_->Read(buffer, count, &terminated_) : -1;
}

std::string TWatek::readSerialText(std::size_t count, long* got) {
    std::string text(count, '\0');
    const long n = readSerial(text.data(), count);
    text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    if (got)
        *got = n;
    return text;
}

int TWatek::Wyslij_znak(char c) {
    if (traffic())
        base::WriteLog(1, "PC->CEN <%s>", LogCopy(std::string_view(&c, 1)).c_str());
    if (!serial_ || serial_->Write(&c, 1, &terminated_) != 1) {
        error_ = 8;
        base::WriteLog(2, "Błąd wysyłania do portu");
        return 1;
    }
    return 0;
}

bool TWatek::Czysc_port() {
    if (details())
        base::WriteLog(1, "czyszczę port");
    if (!serial_ || !serial_->IsOpen() || !serial_->Purge()) {
        error_ = 11;
        base::WriteLog(2, "Błąd czyszczenia portu");
        return false;
    }
    return true;
}

int TWatek::Wyslij_ciag(const std::string& text) {
    if (traffic())
        base::WriteLog(1, "PC->CEN <%s>", LogCopy(text).c_str());
    const long written =
        serial_ && serial_->IsOpen() ? serial_->Write(text.data(), text.size(), &terminated_) : -1;
    if (written != static_cast<long>(text.size())) {
        error_ = 8;
        base::WriteLog(2, "COM: Błąd wysyłania <%s>", LogCopy(text).c_str());
        return 1;
    }
    return 0;
}

int TWatek::Wyslij_ciagTCP(const std::string& text) {
    if (WriteFileTCP(text) != static_cast<long>(text.size())) {
        error_ = 8;
        base::WriteLog(2, "TCP:Błąd wysyłania <%s>", LogCopy(text).c_str());
        return 1;
    }
    return 0;
}

} // namespace pbx
