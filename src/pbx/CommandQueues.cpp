// Queuing commands for the exchange. A command is one line: a text that
// would carry a line end (or a NUL) before its own end could smuggle a second
// command into the link, and is refused.
#include "shell/MainForm.h"

#include "platform/WireCodePage.h"
#include "base/TraceLabel.h"

#include <algorithm>

namespace {

bool isOneLine(std::string_view text) {
    while (!text.empty() && (text.back() == '\0' || text.back() == '\r' || text.back() == '\n'))
        text.remove_suffix(1);
    return text.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

// The node for `count` bytes of a UTF-8 text, in the wire code page.
Bufor wireNode(const char* text, std::size_t count, int timeToLiveMs) {
    Bufor node(text, count, timeToLiveMs);
    node.data = platform::toWire(node.data);
    return node;
}

} // namespace

void TForm1::WyslijNumer(std::string& command, int timeToLiveMs) {
    base::TraceScope trace("WyslijNumer");
    if (PbxType == 5)
        std::replace(command.begin(), command.end(), ',', 'f');
    if (!isOneLine(command)) {
        WriteLog(2, "Komenda do centrali odrzucona: więcej niż jedna linia <%s>", command.c_str());
        return;
    }
    const std::size_t count = command.size() + 1;
    Bufor node = wireNode(command.c_str(), count, timeToLiveMs);
    QueuedBytes.fetch_add(static_cast<std::uint32_t>(count), std::memory_order_relaxed);
    shell::EventLock lock(this, event_bufor.get());
    if (!lock.owns())
        return;
    if (!CurrentKlient) {
        WriteLog(2, "WyslijNumer: brak klienta dla <%s>", command.c_str());
        return;
    }
    CurrentKlient->Komendy.push_back(std::move(node));
}

bool TForm1::queueServerLine(const char* line, std::size_t count, int timeToLiveMs) {
    const std::string_view text(line, count);
    if (!isOneLine(text)) {
        WriteLog(2, "Komenda do centrali odrzucona: więcej niż jedna linia <%s>", std::string(text).c_str());
        return false;
    }
    Bufor node = wireNode(line, count, timeToLiveMs);
    QueuedBytes.fetch_add(static_cast<std::uint32_t>(count), std::memory_order_relaxed);
    if (!ServerKlient) {
        WriteLog(2, "Brak rekordu serwera dla komendy <%s>", node.data.c_str());
        return false;
    }
    if (!ServerKlient->Komendy.empty())
        LastPbxLine = std::string(text.substr(0, text.find('\0')));
    ServerKlient->Komendy.push_back(std::move(node));
    return true;
}

void TForm1::WyslijLinie(const char* line, std::size_t count, int timeToLiveMs) {
    base::TraceScope trace("WyslijLinie");
    shell::EventLock lock(this, event_bufor.get());
    if (lock.owns())
        queueServerLine(line, count, timeToLiveMs);
}

void TForm1::PabxQueueNoLock(const char* line, std::size_t count, int timeToLiveMs) {
    base::TraceScope trace("PabxQueueNoLock");
    queueServerLine(line, count, timeToLiveMs);
}

void TForm1::FreeReceivedLines() {
    shell::EventLock lock(this, event_bufor.get());
    if (lock.owns())
        ReceivedLines.clear();
}
