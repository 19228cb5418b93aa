#include "pbx/Bufor.h"

#include "pbx/DispatcherWake.h"
#include "platform/Event.h"
#include "base/TraceLabel.h"

#include <memory>

// The lock itself belongs to the shell's group of locks.
extern std::unique_ptr<platform::Event> event_bufor;

BuforChain ReceivedLines;
std::atomic<std::uint32_t> ReceivedBytes{0};
std::atomic<std::uint32_t> HandledBytes{0};
std::atomic<std::uint32_t> QueuedBytes{0};
std::atomic<std::uint32_t> SentBytes{0};

Bufor::Bufor(const char* text, std::size_t count, std::int32_t timeToLiveMs) : TTL(timeToLiveMs) {
    if (count > 0 && text[count - 1] == '\0')
        --count;
    data.assign(text, count);
}

Bufor::Bufor(std::string_view line, std::int32_t timeToLiveMs) : data(line), TTL(timeToLiveMs) {}

BuforLock::BuforLock() {
    platform::Event* event = event_bufor.get();
    if (!event || event->heldByCurrentThread())
        return;
    event->take([] { base::DebugTrace("event_bufor timeout\n"); });
    taken_ = true;
}

BuforLock::~BuforLock() {
    if (taken_ && event_bufor)
        event_bufor->release();
}

void AppendReceivedLine(std::string_view line) {
    ReceivedBytes.fetch_add(static_cast<std::uint32_t>(line.size() + 1), std::memory_order_relaxed);
    Bufor node(line);
    {
        BuforLock lock;
        ReceivedLines.push_back(std::move(node));
    }
    pbx::WakeDispatcher();
}

bool ReceivedLinesFull() {
    BuforLock lock;
    if (ReceivedLines.size() >= ReceivedLinesLimit)
        return true;
    std::size_t bytes = 0;
    for (const Bufor& node : ReceivedLines) {
        bytes += node.data.size();
        if (bytes >= ReceivedLinesByteLimit)
            return true;
    }
    return false;
}
