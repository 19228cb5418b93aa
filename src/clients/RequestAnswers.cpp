// The answers of one client's requests, in the order of the requests. An
// SMS request's answer waits for its message's row; meanwhile the client's
// input is read (its acknowledgements free it for its notices) and its
// further requests are handled, their answers held behind it.
#include "clients/ClientService.h"
#include "clients/ClientServiceParts.h"

#include "db/CallWatchdog.h"
#include "platform/Clock.h"

#include <vector>

namespace clients {
using detail::clientTrace;

void ClientService::answer(Klient& record, int mode, const std::string& text) {
    const auto line = answerLines_.find(record.Gniazdo);
    if (line == answerLines_.end()) {
        reply(record, mode, text);
        return;
    }
    line->second.answers.push_back(HeldAnswer{0, 0, mode, text});
}

std::uint64_t ClientService::awaitAnswer(const Klient& record) {
    const std::uint64_t ticket = nextAnswerTicket_++;
    AnswerLine& line = answerLines_[record.Gniazdo];
    line.address = record.IP;
    line.answers.push_back(
        HeldAnswer{ticket, platform::processClock().nowMs() + db::CallBound().count(), Priority, "OK"});
    watchAnswers();
    return ticket;
}

void ClientService::answerReady(std::uint32_t connection, std::uint64_t ticket) {
    const auto line = answerLines_.find(connection);
    if (line == answerLines_.end())
        return; // the client has gone
    for (HeldAnswer& held : line->second.answers) {
        if (held.ticket != ticket)
            continue;
        held.ticket = 0;
        if (clientTrace())
            base::WriteLog(1, "Wysłanie potwierdzenia %s", "SMS");
        break;
    }
    sendReadyAnswers(connection);
}

void ClientService::sendReadyAnswers(std::uint32_t connection) {
    const auto found = answerLines_.find(connection);
    if (found == answerLines_.end())
        return;
    AnswerLine& line = found->second;
    std::vector<HeldAnswer> ready;
    while (!line.answers.empty() && line.answers.front().ticket == 0) {
        ready.push_back(std::move(line.answers.front()));
        line.answers.pop_front();
    }
    const std::string address = line.address;
    if (line.answers.empty())
        answerLines_.erase(found);
    watchAnswers();
    Klient* record = Klient::Find(address, connection, nullptr);
    if (!record || record->Stan == Klient::DISCONNECT)
        return;
    for (const HeldAnswer& held : ready)
        reply(*record, held.mode, held.text);
}

void ClientService::answerLateRequests() {
    const std::int64_t now = platform::processClock().nowMs();
    std::vector<std::uint32_t> late;
    for (auto& [connection, line] : answerLines_) {
        bool due = false;
        for (HeldAnswer& held : line.answers) {
            if (held.ticket != 0 && held.dueMs <= now) {
                held.ticket = 0;
                due = true;
            }
        }
        if (due)
            late.push_back(connection);
    }
    for (const std::uint32_t connection : late)
        sendReadyAnswers(connection);
    watchAnswers();
}

// A line's first answer waits, and it is the earliest due of the line.
void ClientService::watchAnswers() {
    answerWatch_.startForEarliest(answerLines_,
                                  [](const AnswerLine& line) { return line.answers.front().dueMs; });
}

} // namespace clients
