#include "clients/PasswordReadQueue.h"

#include <algorithm>
#include <tuple>
#include <unordered_set>

namespace clients {

void PasswordReadQueue::Add(std::uint32_t connection, Wait wait) {
    Remove(connection);
    const auto open = std::find_if(reads_.begin(), reads_.end(), [&wait](const auto& entry) {
        return !entry.second.started && entry.second.login == wait.login;
    });
    wait.read = open != reads_.end() ? open->first : nextRead_++;
    Read& read = reads_[wait.read];
    read.login = wait.login;
    ++read.waiting;
    turns_.try_emplace(wait.address, nextTurn_++);
    waits_[connection] = std::move(wait);
}

void PasswordReadQueue::Remove(std::uint32_t connection) {
    const auto found = waits_.find(connection);
    if (found == waits_.end())
        return;
    const Wait wait = std::move(found->second);
    waits_.erase(found);
    release(wait.read);
    if (std::none_of(waits_.begin(), waits_.end(),
                     [&wait](const auto& entry) { return entry.second.address == wait.address; }))
        turns_.erase(wait.address);
}

void PasswordReadQueue::Clear() {
    waits_.clear();
    reads_.clear();
    turns_.clear();
}

// A read nobody waits for goes, under way or not: its answer, if it comes,
// finds nobody, and a read that does not come back (its log-ins answered at
// their bound) keeps no later read of its log-in from starting.
void PasswordReadQueue::release(std::uint64_t read) {
    const auto found = reads_.find(read);
    if (found != reads_.end() && --found->second.waiting <= 0)
        reads_.erase(found);
}

std::optional<std::pair<std::uint64_t, std::string>> PasswordReadQueue::Next() const {
    std::unordered_set<std::string> underWay;
    for (const auto& [number, read] : reads_)
        if (read.started)
            underWay.insert(read.login);
    const Wait* first = nullptr;
    std::tuple<std::uint64_t, std::uint64_t> firstPlace{};
    for (const auto& [connection, wait] : waits_) {
        const Read& read = reads_.at(wait.read);
        if (read.started || underWay.contains(read.login))
            continue;
        const auto place = std::tuple(turns_.at(wait.address), wait.ticket);
        if (!first || place < firstPlace) {
            first = &wait;
            firstPlace = place;
        }
    }
    if (!first)
        return std::nullopt;
    return std::pair(first->read, first->login);
}

void PasswordReadQueue::Started(std::uint64_t read) {
    const auto found = reads_.find(read);
    if (found == reads_.end())
        return;
    found->second.started = true;
    for (const auto& [connection, wait] : waits_)
        if (wait.read == read)
            turns_[wait.address] = nextTurn_++;
}

PasswordReadQueue::Waits PasswordReadQueue::Answered(std::uint64_t read) {
    reads_.erase(read);
    std::vector<std::uint32_t> answered;
    for (const auto& [connection, wait] : waits_)
        if (wait.read == read)
            answered.push_back(connection);
    return take(answered);
}

PasswordReadQueue::Waits PasswordReadQueue::Late(std::int64_t nowMs) {
    std::vector<std::uint32_t> late;
    for (const auto& [connection, wait] : waits_)
        if (wait.dueMs <= nowMs)
            late.push_back(connection);
    return take(late);
}

// In the order the log-ins came.
PasswordReadQueue::Waits PasswordReadQueue::take(const std::vector<std::uint32_t>& connections) {
    Waits taken;
    for (const std::uint32_t connection : connections) {
        taken.emplace_back(connection, waits_.at(connection));
        Remove(connection);
    }
    std::sort(taken.begin(), taken.end(),
              [](const auto& a, const auto& b) { return a.second.ticket < b.second.ticket; });
    return taken;
}

std::optional<std::int64_t> PasswordReadQueue::EarliestDue() const {
    std::optional<std::int64_t> earliest;
    for (const auto& [connection, wait] : waits_)
        if (!earliest || wait.dueMs < *earliest)
            earliest = wait.dueMs;
    return earliest;
}

} // namespace clients
