// The simulated exchange's GSM line modules: the line table it reports, the
// messages stored on its lines, and what it does with the messages the server
// sends.
#include "support/ExchangeSimulator.h"
#include "support/GsmPdus.h"

#include <QByteArray>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>

namespace sim {
namespace {

constexpr int GsmLineCount = 16;
constexpr int MaxMessageId = 239;

// Splits at blanks; a backslash keeps the character after it.
std::vector<std::string> tokens(const std::string& line) {
    std::vector<std::string> out(1);
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '\\' && i + 1 < line.size())
            out.back() += line[++i];
        else if (line[i] == ' ')
            out.emplace_back();
        else
            out.back() += line[i];
    }
    return out;
}

bool number(const std::string& token, int& value) {
    const auto* end = token.data() + token.size();
    const auto [at, error] = std::from_chars(token.data(), end, value);
    return error == std::errc() && at == end && !token.empty();
}

// Octets of a hex text; false for an odd length or a foreign character.
bool octets(const std::string& hex, std::string& out) {
    if (hex.size() % 2 ||
        !std::all_of(hex.begin(), hex.end(), [](unsigned char c) { return std::isxdigit(c); }))
        return false;
    const QByteArray bytes = QByteArray::fromHex(QByteArray::fromStdString(hex));
    out = bytes.toStdString();
    return true;
}

std::string base64(const std::string& bytes) {
    return QByteArray::fromStdString(bytes).toBase64().toStdString();
}

std::string hex(int value) {
    static const char digits[] = "0123456789ABCDEF";
    return {digits[(value >> 4) & 15], digits[value & 15]};
}

} // namespace

namespace pdu {

std::string DeliverHelloFrom(int sender) {
    // The sender's eleven digits as semi-octets: each pair swapped, the odd
    // last one padded with F.
    char digits[16];
    std::snprintf(digits, sizeof digits, "48602%06dF", sender % 1000000);
    std::string address;
    for (int at = 0; at < 12; at += 2)
        address += {digits[at + 1], digits[at]};
    const std::string hello = DeliverHello;
    const std::size_t at = hello.find("0B91") + 4;
    return hello.substr(0, at) + address + hello.substr(at + address.size());
}

std::string StatusReport(int messageReference, int status) {
    return std::string(StatusReportHead) + hex(messageReference) + StatusReportBody + hex(status);
}

} // namespace pdu

std::string SentSms::PduHex() const {
    return QByteArray::fromStdString(pdu).toHex().toUpper().toStdString();
}

void ExchangeSimulator::SetGsmLine(int line, std::string ownNumber) {
    std::lock_guard lock(mutex_);
    if (line >= 0 && line < GsmLineCount)
        gsmLines_[line] = std::move(ownNumber);
}

void ExchangeSimulator::RemoveGsmLine(int line) {
    std::lock_guard lock(mutex_);
    gsmLines_.erase(line);
}

int ExchangeSimulator::storeSms(int line, const std::string& pduHex, std::vector<std::size_t> partOctets) {
    std::string pdu;
    if (line < 0 || line >= GsmLineCount || !octets(pduHex, pdu) || pdu.empty())
        return -1;
    auto& stored = storedSms_[line];
    // The next identifier that no message of the line holds.
    for (int tries = 0; tries <= MaxMessageId; ++tries) {
        lastStoredId_ = lastStoredId_ >= MaxMessageId ? 0 : lastStoredId_ + 1;
        const int id = lastStoredId_;
        if (std::none_of(stored.begin(), stored.end(), [id](const StoredSms& s) { return s.id == id; })) {
            std::erase(partOctets, 0u);
            stored.push_back({id, std::move(pdu), std::move(partOctets)});
            return id;
        }
    }
    return -1;
}

int ExchangeSimulator::StoreSms(int line, const std::string& pduHex, std::vector<std::size_t> partOctets) {
    std::lock_guard lock(mutex_);
    return storeSms(line, pduHex, std::move(partOctets));
}

int ExchangeSimulator::AnnounceSms(int line, const std::string& pduHex, std::vector<std::size_t> partOctets) {
    std::vector<std::string> parts;
    int id;
    {
        std::lock_guard lock(mutex_);
        id = storeSms(line, pduHex, std::move(partOctets));
        if (id >= 0)
            parts = smsParts("ADD", line, id);
    }
    for (const auto& part : parts)
        SendRecord(part);
    return id;
}

std::size_t ExchangeSimulator::StoredSmsCount(int line) const {
    std::lock_guard lock(mutex_);
    const auto it = storedSms_.find(line);
    return it == storedSms_.end() ? 0 : it->second.size();
}

void ExchangeSimulator::SetNextSmsId(int id) {
    std::lock_guard lock(mutex_);
    lastStoredId_ = id <= 0 ? MaxMessageId : id - 1;
}

// The records that carry stored message `id` of `line`: one per part.
std::vector<std::string> ExchangeSimulator::smsParts(const char* keyword, int line, int id) const {
    std::vector<std::string> records;
    const auto& stored = storedSms_.at(line);
    const auto sms =
        std::find_if(stored.begin(), stored.end(), [id](const StoredSms& s) { return s.id == id; });
    std::vector<std::string> pieces;
    std::size_t at = 0;
    for (const std::size_t size : sms->partOctets) {
        if (at >= sms->pdu.size())
            break;
        pieces.push_back(sms->pdu.substr(at, size));
        at += pieces.back().size();
    }
    if (at < sms->pdu.size())
        pieces.push_back(sms->pdu.substr(at));
    const std::string head =
        std::string("SMS ") + keyword + " " + std::to_string(line) + " " + std::to_string(id) + " ";
    for (std::size_t i = 0; i < pieces.size(); ++i)
        records.push_back(head + std::to_string(i + 1) + " " + std::to_string(pieces.size()) + " " +
                          base64(pieces[i]));
    return records;
}

void ExchangeSimulator::SendGsmAdd(int line) {
    std::string number;
    {
        std::lock_guard lock(mutex_);
        const auto it = gsmLines_.find(line);
        number = it == gsmLines_.end() ? "-1" : it->second;
    }
    SendRecord("GSM ADD " + std::to_string(line) + " " + number);
}

void ExchangeSimulator::SendGsmClear() {
    SendRecord("GSM CLR");
}

void ExchangeSimulator::SetSmsSendScript(SmsSendScript script) {
    std::lock_guard lock(mutex_);
    sendScript_ = script;
}

void ExchangeSimulator::QueueSmsSendScript(SmsSendScript script) {
    std::lock_guard lock(mutex_);
    queuedScripts_.push_back(script);
}

void ExchangeSimulator::SetNextMessageReference(int messageReference) {
    std::lock_guard lock(mutex_);
    nextMessageReference_ = messageReference & 0xFF;
}

void ExchangeSimulator::SendStatusReport(int line, int messageReference, int status) {
    std::string report;
    octets(pdu::StatusReport(messageReference, status), report);
    SendRecord("SMS RAPORT " + std::to_string(line) + " " + base64(report));
}

std::vector<SentSms> ExchangeSimulator::SentMessages() const {
    std::lock_guard lock(mutex_);
    return sentSms_;
}

int ExchangeSimulator::BadSmsFrames() const {
    std::lock_guard lock(mutex_);
    return badSmsFrames_;
}

bool ExchangeSimulator::WaitForSentMessages(std::size_t count, int ms) {
    return WaitUntil([&] { return SentMessages().size() >= count; }, ms);
}

std::vector<std::pair<std::string, int>> ExchangeSimulator::gsmAnswers(const std::string& line) {
    // Other lines, which may be megabytes long, are not split.
    if (!line.starts_with("GSM ") && !line.starts_with("SMS "))
        return {};
    const auto t = tokens(line);
    int n = 0;
    if (t.size() < 3 || !number(t[2], n))
        return {};
    const std::string head = t[0] + " PUT " + t[2] + " ";
    if (t[0] == "GSM" && t[1] == "GET" && t.size() == 3) {
        const auto it = gsmLines_.find(n);
        return {{head + (it == gsmLines_.end() ? "-1" : it->second), 0}};
    }
    if (t[0] != "SMS")
        return {};
    if (t[1] == "GET" && t.size() == 3) {
        const auto it = storedSms_.find(n);
        if (it == storedSms_.end() || it->second.empty())
            return {{head + "-1 0 0 0", 0}};
        std::vector<std::pair<std::string, int>> answers;
        for (auto& part : smsParts("PUT", n, it->second.front().id))
            answers.emplace_back(std::move(part), 0);
        return answers;
    }
    int id = 0;
    if (t[1] == "ACK" && t.size() == 4 && number(t[3], id)) {
        auto& stored = storedSms_[n];
        std::erase_if(stored, [id](const StoredSms& s) { return s.id == id; });
        return {};
    }
    if (t[1] == "SND")
        return smsSendAnswers(t, line);
    return {};
}

// One "SMS SND line id part parts base64" frame; the last part of a message
// brings the scripted answer.
std::vector<std::pair<std::string, int>> ExchangeSimulator::smsSendAnswers(const std::vector<std::string>& t,
                                                                           const std::string& line) {
    int n = 0, id = 0, part = 0, parts = 0;
    if (t.size() != 7 || !number(t[2], n) || !number(t[3], id) || !number(t[4], part) ||
        !number(t[5], parts) || part < 1 || part > parts) {
        ++badSmsFrames_;
        return {};
    }
    const auto decoded = QByteArray::fromBase64Encoding(QByteArray::fromStdString(t[6]),
                                                        QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded) {
        ++badSmsFrames_;
        return {};
    }
    auto it = smsInMaking_.find({n, id});
    if (part == 1) {
        if (it != smsInMaking_.end())
            ++badSmsFrames_; // an unfinished message is given up
        SmsInMaking fresh;
        fresh.parts = parts;
        fresh.sms.line = n;
        fresh.sms.id = id;
        it = smsInMaking_.insert_or_assign({n, id}, std::move(fresh)).first;
    } else if (it == smsInMaking_.end() || part != it->second.last + 1 || parts != it->second.parts) {
        if (it != smsInMaking_.end())
            smsInMaking_.erase(it);
        ++badSmsFrames_;
        return {};
    }
    SmsInMaking& making = it->second;
    making.last = part;
    making.sms.frames.push_back(line);
    making.sms.pdu += decoded.decoded.toStdString();
    if (part < parts)
        return {};

    SentSms sent = std::move(making.sms);
    smsInMaking_.erase(it);
    SmsSendScript script = sendScript_;
    if (!queuedScripts_.empty()) {
        script = queuedScripts_.front();
        queuedScripts_.pop_front();
    }
    const bool reported = script.outcome == SmsSendScript::Outcome::Ack && script.reportStatus >= 0;
    if (script.reportId || reported) {
        sent.messageReference = nextMessageReference_;
        nextMessageReference_ = (nextMessageReference_ + 1) & 0xFF;
    }
    const std::string lineAndId = std::to_string(n) + " " + std::to_string(id);
    std::vector<std::pair<std::string, int>> answers;
    if (script.reportId)
        answers.emplace_back("SMS RAPORT_ID " + lineAndId + " " + std::to_string(sent.messageReference), 0);
    if (script.outcome == SmsSendScript::Outcome::Ack)
        answers.emplace_back("SMS ACK " + lineAndId, 0);
    else if (script.outcome == SmsSendScript::Outcome::Error)
        answers.emplace_back("SMS ERR " + lineAndId + " " + std::to_string(script.errorCode), 0);
    if (reported) {
        std::string report;
        octets(pdu::StatusReport(sent.messageReference, script.reportStatus), report);
        answers.emplace_back("SMS RAPORT " + std::to_string(n) + " " + base64(report), script.reportDelayMs);
    }
    sentSms_.push_back(std::move(sent));
    return answers;
}

} // namespace sim
