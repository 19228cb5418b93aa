// The time-and-attendance link: once a minute a worker thread reads the
// newest event of every card from the attendance program's database and
// gives each presence slot its attendance state. The thread works on a copy
// of the slots taken on the GUI thread; its states are written back on the
// GUI thread, and only to slots that still hold the same user and card.
#pragma once

#include "admin/ConsoleHost.h"

#include <QObject>

#include <cstdint>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace admin {

// 0 none, 1 out ("Wyjście"), 2 in (any text containing "Wejście"),
// 3 out on business ("Wyjście służbowe"); `kind` in UTF-8.
std::uint32_t AttendanceStateOf(const std::string& kind);

// The event numbers a query returned, as comma-joined lists of at most
// `perList` numbers each; a text that is not a whole number is left out.
std::vector<std::string> AttendanceIdLists(const std::vector<std::string>& ids, std::size_t perList = 1000);

// One poll on a connection of its own: the slots with their states set from
// the newest event of their cards (every state 0 when the database cannot
// be read).
std::vector<AttendanceSlot> ReadAttendance(const AttendanceSettings& database,
                                           std::vector<AttendanceSlot> entries);

class AttendanceLink {
  public:
    explicit AttendanceLink(ConsoleHost& host) : host_(host) { delivery_->target = &context_; }
    ~AttendanceLink();
    AttendanceLink(const AttendanceLink&) = delete;
    AttendanceLink& operator=(const AttendanceLink&) = delete;

    // The timer's tick: with the link on, rests the timer and starts one
    // poll; the timer runs again once its states are written back.
    void Tick();
    // Waits up to `ms` for a running poll; false when it is still running
    // (it is then left to the process end).
    bool Stop(int ms);
    bool Running() const { return worker_.joinable(); }

  private:
    // Where a poll delivers its end; a poll left running at shutdown finds
    // no target and delivers nothing.
    struct Delivery {
        std::mutex mutex;
        QObject* target = nullptr;
    };
    void finished(const std::vector<AttendanceSlot>& entries);
    void forget();

    ConsoleHost& host_;
    std::thread worker_;
    std::future<void> done_;
    // The poll's end goes through the GUI thread's queue to this object, so
    // none arrives once the link is gone.
    QObject context_;
    std::shared_ptr<Delivery> delivery_ = std::make_shared<Delivery>();
};

} // namespace admin
