// The transmission loops of both transports: each pass writes what is due,
// cuts what arrived into lines, checks a quiet link and sleeps until the
// exchange sends, a command is queued or something of its own is due.
#include "pbx/LinkThread.h"

#include "pbx/LinkThreadInternal.h"

#include <algorithm>
#include <chrono>

namespace pbx {
using namespace linkthread;

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

} // namespace pbx
