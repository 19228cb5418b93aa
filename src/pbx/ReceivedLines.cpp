#include "pbx/ReceivedLines.h"

#include "pbx/LinkShared.h"

namespace pbx {

void LinkShared::AppendReceivedLine(std::string_view line) {
    ReceivedBytes.fetch_add(static_cast<std::uint32_t>(line.size() + 1), std::memory_order_relaxed);
    Bufor node(line);
    {
        auto lock = LockChains();
        ReceivedLines.push_back(std::move(node));
    }
    Wake.WakeDispatcher();
}

bool LinkShared::ReceivedLinesFull() const {
    auto lock = LockChains();
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

} // namespace pbx
