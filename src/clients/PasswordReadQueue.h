// The log-ins held for their password read, and the reads that answer them.
// Desks that ask for the same log-in at once share one read, and a log-in
// has one read under way at a time; the reads start in turns by address, so
// that desks that log in over and over, with one log-in or many, never keep
// another desk's read waiting behind more than one read per address.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace clients {

class PasswordReadQueue {
  public:
    // One held log-in.
    struct Wait {
        std::uint64_t ticket = 0;
        std::int64_t dueMs = 0;
        std::string address;
        std::string login;
        std::string password;
        std::uint64_t read = 0; // the read that answers it
    };
    using Waits = std::vector<std::pair<std::uint32_t, Wait>>;

    // Holds the connection's log-in (one per connection): it joins the read
    // of its log-in not started yet, or a new one. A read already under way
    // may have read before the password changed, so it is not joined.
    void Add(std::uint32_t connection, Wait wait);
    bool Contains(std::uint32_t connection) const { return waits_.contains(connection); }
    // The client went: its log-in is no longer answered; a read nobody
    // waits for any more is not started.
    void Remove(std::uint32_t connection);
    void Clear();
    bool Empty() const { return waits_.empty(); }

    // The read to start next, and its log-in: of the address whose turn it
    // is, its oldest log-in whose read is not under way. Nothing when none
    // can start.
    std::optional<std::pair<std::uint64_t, std::string>> Next() const;
    // The read is under way: the addresses it answers have had their turn.
    void Started(std::uint64_t read);
    // The read has answered: the log-ins it answers leave the queue.
    Waits Answered(std::uint64_t read);
    // The log-ins whose bound passed by `nowMs` leave the queue.
    Waits Late(std::int64_t nowMs);
    // The earliest bound, or nothing.
    std::optional<std::int64_t> EarliestDue() const;

  private:
    struct Read {
        std::string login;
        bool started = false;
        int waiting = 0;
    };
    void release(std::uint64_t read);
    Waits take(const std::vector<std::uint32_t>& connections);

    std::unordered_map<std::uint32_t, Wait> waits_;
    // By number, which is the order they were asked for.
    std::map<std::uint64_t, Read> reads_;
    std::uint64_t nextRead_ = 1;
    // The turn of each address with a log-in held: lower goes first. An
    // address takes the last turn when it comes and when it was served.
    std::unordered_map<std::string, std::uint64_t> turns_;
    std::uint64_t nextTurn_ = 1;
};

} // namespace clients
