// What the exchange link thread shares with the GUI thread: the received
// lines and their counters, the link state, the command in flight, the wish
// to reconnect, and how the thread is set up.
#pragma once

#include "pbx/DispatcherWake.h"
#include "pbx/LinkWake.h"
#include "pbx/ReceivedLines.h"
#include "platform/Clock.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace pbx {

// The state of one exchange link: owned by its `PbxLink` (or by a test that
// runs a link thread alone) and handed by reference to each link thread it
// starts, which it outlives. One link per `PbxLink`.
class LinkShared {
  public:
    LinkShared() = default;
    LinkShared(const LinkShared&) = delete;
    LinkShared& operator=(const LinkShared&) = delete;

    // Lines from the exchange waiting for the dispatcher; guarded by `event_bufor`.
    BuforChain ReceivedLines;

    // Counters of the link status panel, unlocked.
    std::atomic<std::uint32_t> ReceivedBytes{0};
    std::atomic<std::uint32_t> HandledBytes{0};
    std::atomic<std::uint32_t> QueuedBytes{0};
    std::atomic<std::uint32_t> SentBytes{0};

    // 0 no link, 1 link confirmed, 2 a link check awaits its answer, 3 set by
    // the dispatcher on the log-in echo and on "OK".
    std::atomic<int> LinkState{0};
    // 0 reset when the link starts, 1 a command awaits "OK"/"ERROR", 2 answered
    // or free.
    std::atomic<int> CommandInFlight{0};
    std::atomic<std::uint8_t> PbxReconnectWanted{0};

    // Wakes the dispatcher when a received line was appended.
    DispatcherWake Wake;
    // Wakes the link thread when a command was queued or answered.
    LinkWake LinkThreadWake;

    // The exchange answered: the command in flight (if any) is done and the
    // link thread is woken for the next one. False when none was in flight.
    bool AnswerCommandInFlight();

    // Appends one received line to `ReceivedLines` under the lock.
    void AppendReceivedLine(std::string_view line);
    // The chain holds `ReceivedLinesLimit` lines or `ReceivedLinesByteLimit` bytes.
    bool ReceivedLinesFull() const;

    // The text of the command last written, published by the link thread so
    // that an answer is judged against the command it answers.
    void SetCommandInFlightText(const std::string& text);
    std::string CommandInFlightText() const;

    // Why the link last failed to open (the serial port, or the connection
    // to the exchange), kept across link threads: a link that is tried again
    // and again is reported once per reason. True when `reason` differs from
    // the last failure's.
    bool LinkOpenFailed(const std::string& reason);
    // The link opened; true when it had failed before.
    bool LinkOpened();
    bool LinkOpenFailing() const;

  private:
    mutable std::mutex commandTextMutex_;
    std::string commandText_;
    mutable std::mutex linkFailureMutex_;
    std::string linkFailure_; // empty while the link opens
};

// The PBX name of each type.
const char* PbxName(int pbxType);

// The fixed pauses and polling periods of the link, in milliseconds. Tests
// shorten them; the program uses the standard ones.
struct LinkTimings {
    int startDelay = 1000;
    int retryPause = 1000; // a failed open or log-in is retried no faster
    int serialLoginReadTimeout = 10000;
    int serialLoopReadTimeout = 64;
    int serialLoopSleep = 32;
    int tcpPassSleep = 64;
    int tcpIdleSleep = 40;
    int tcpReadPoll = 25;      // one of the 64 polls of a TCP read
    int tcpConnectStep = 50;   // one of the 600 steps of a TCP connect
    int tcpOpenFailPause = 50; // one of the 101 steps after a failed open
    int wakeUpPause = 1000;    // types 0 to 4: after "\r" and "AT\r"
    int vantrelTcpStepPause = 128;
    int morvaPasswordPause = 5000; // serial type 5: after the password
    int morvaTcpPromptPause = 300;
    int morvaTcpPasswordStep = 500; // TCP type 5: one of 10 steps after the password
    int morvaTcpCtiPause = 200;
    int morvaTcpCtiAnswerPause = 500;
    int modeRestorePause = 1000;
    int resetPause = 1000;
    int linkCheckCrPause = 50; // serial types 0 to 4: "\r" then "AT\r"
    int linkCheckAtPause = 200;
    int tcpLinkCheckPause = 64;

    static LinkTimings Scaled(int divisor);
};

// Process-wide link set-up: the timings and the clock that the link's long
// waits (command answer, link checks, log-in watch) are read from.
struct LinkEnvironment {
    LinkTimings timings;
    // Null: the process clock of the moment, so that a clock a test set and
    // took away again is never kept.
    platform::Clock* clock = nullptr;

    platform::Clock& linkClock() const { return clock ? *clock : platform::processClock(); }
};
LinkEnvironment& linkEnvironment();

// What one link thread is started with.
struct LinkSettings {
    int PbxPort = 1; // 1 to 4 COM1..COM4, 5 TCP
    int PbxType = 2;
    std::string TCPCentr;
    int PortTCPCent = 0;      // given from the settings
    std::string serialDevice; // the device of COM<PbxPort>
    LinkTimings timings;
    platform::Clock* clock = &platform::processClock();
};

// The device path of COM1..COM4: $HALVEX_COM<n> when set, else /dev/ttyS<n-1>.
std::string SerialDevicePath(int comNumber);

} // namespace pbx
