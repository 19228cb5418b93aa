// The queued commands: taken from the clients' chains one at a time, written
// to the exchange outside the chains' lock, and a part-written one finished
// before any other.
#include "pbx/LinkThread.h"

#include "clients/Klient.h"
#include "pbx/LinkThreadInternal.h"

#include <algorithm>
#include <vector>

namespace pbx {
using namespace linkthread;

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

} // namespace pbx
