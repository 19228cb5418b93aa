#include "sms/Interim_engine.h"

#include "platform/Clock.h"
#include "sms/Sms.h"

#include <map>

namespace sms::interim {

namespace {

const char Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int alphabetIndex(char c) {
    for (int i = 0; i < 64; ++i)
        if (Alphabet[i] == c)
            return i;
    return -1;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

std::string hexOctet(int value) {
    static const char digits[] = "0123456789ABCDEF";
    return {digits[(value >> 4) & 15], digits[value & 15]};
}

// Reads a hex text front to back; every read past its end fails.
class HexReader {
  public:
    explicit HexReader(const std::string& hex) : hex_(hex) {}
    bool text(std::size_t digits, std::string& out) {
        if (hex_.size() - pos_ < digits)
            return false;
        out = hex_.substr(pos_, digits);
        pos_ += digits;
        return true;
    }
    bool octet(int& out) {
        std::string two;
        if (!text(2, two) || hexDigit(two[0]) < 0 || hexDigit(two[1]) < 0)
            return false;
        out = hexDigit(two[0]) * 16 + hexDigit(two[1]);
        return true;
    }
    bool swapped(std::size_t digits, std::string& out) {
        std::string raw;
        if (!text((digits + 1) / 2 * 2, raw))
            return false;
        for (std::size_t i = 0; i + 1 < raw.size(); i += 2)
            std::swap(raw[i], raw[i + 1]);
        out = raw.substr(0, digits);
        return true;
    }
    std::string rest() const { return hex_.substr(pos_); }

  private:
    const std::string& hex_;
    std::size_t pos_ = 0;
};

bool skipServiceCentre(HexReader& reader, int& firstOctet) {
    int length = 0;
    if (!reader.octet(length))
        return false;
    std::string skipped;
    if (length > 0 && !reader.text(static_cast<std::size_t>(length) * 2, skipped))
        return false;
    return reader.octet(firstOctet);
}

struct EngineParts {
    SmsPdu codec;
    SmsNumberProcessor numbers;
    SmsDynamicRouter router;
};

EngineParts& partsOf(const SMS& engine) {
    static std::map<const SMS*, EngineParts> parts;
    return parts[&engine];
}

bool matches(const std::string& text, std::size_t t, const std::string& pattern, std::size_t p) {
    if (pattern.compare(p, std::string::npos, "_") == 0)
        return true;
    if (t == text.size())
        return p == pattern.size();
    if (p == pattern.size())
        return false;
    if (pattern[p] == '?')
        return matches(text, t + 1, pattern, p + 1);
    if (pattern[p] == '_')
        return matches(text, t, pattern, p + 1) || matches(text, t + 1, pattern, p);
    return pattern[p] == text[t] && matches(text, t + 1, pattern, p + 1);
}

} // namespace

std::string Base64Encode(const char* bytes, std::size_t length) {
    std::string out;
    for (std::size_t i = 0; i < length; i += 3) {
        const std::size_t n = std::min<std::size_t>(3, length - i);
        unsigned group = 0;
        for (std::size_t k = 0; k < 3; ++k)
            group = group << 8 | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
        for (std::size_t k = 0; k < 4; ++k)
            out += k <= n ? Alphabet[(group >> (18 - 6 * k)) & 63] : '=';
    }
    return out;
}

std::string Base64Decode(const std::string& text) {
    std::string out;
    unsigned group = 0;
    int count = 0;
    for (char c : text) {
        const int value = alphabetIndex(c);
        if (value < 0)
            break;
        group = group << 6 | static_cast<unsigned>(value);
        if (++count == 4) {
            out += static_cast<char>((group >> 16) & 255);
            out += static_cast<char>((group >> 8) & 255);
            out += static_cast<char>(group & 255);
            group = 0;
            count = 0;
        }
    }
    if (count >= 2) {
        group <<= 6 * (4 - count);
        for (int k = 0; k < count - 1; ++k)
            out += static_cast<char>((group >> (16 - 8 * k)) & 255);
    }
    return out;
}

bool SmsPdu::SetDestination(const std::string& number, int plan) {
    if (plan != 0 && plan != 1)
        return false;
    addressType = plan == 0 ? 0x91 : 0x81;
    address = number;
    if (!address.empty() && address[0] == '+') {
        addressType = 0x91;
        address.erase(0, 1);
    }
    return true;
}

bool SmsPdu::SetText(const std::string& value) {
    if (value.size() > 160)
        return false;
    text = value;
    return true;
}

std::string SmsPdu::encodePdu() const {
    std::string digits = address;
    if (digits.size() % 2)
        digits += 'F';
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2)
        std::swap(digits[i], digits[i + 1]);
    std::string out = "003100" + hexOctet(static_cast<int>(address.size())) + hexOctet(addressType) + digits +
                      "0000AA" + hexOctet(static_cast<int>(text.size()));
    std::string packed((text.size() * 7 + 7) / 8, '\0');
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned septet = static_cast<unsigned char>(text[i]) & 0x7F;
        const std::size_t bit = i * 7;
        packed[bit / 8] = static_cast<char>(packed[bit / 8] | (septet << (bit % 8)));
        if (bit % 8 > 1 && bit / 8 + 1 < packed.size())
            packed[bit / 8 + 1] = static_cast<char>(packed[bit / 8 + 1] | (septet >> (8 - bit % 8)));
    }
    for (char c : packed)
        out += hexOctet(static_cast<unsigned char>(c));
    return out;
}

std::string SmsPdu::Serialize(const std::string& hex) {
    std::string out;
    if (hex.size() % 2)
        return out;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        if (hexDigit(hex[i]) < 0 || hexDigit(hex[i + 1]) < 0)
            return {};
        out += static_cast<char>(hexDigit(hex[i]) * 16 + hexDigit(hex[i + 1]));
    }
    return out;
}

std::string SmsPdu::ToHex(const std::string& bytes) {
    std::string out;
    for (char c : bytes)
        out += hexOctet(static_cast<unsigned char>(c));
    return out;
}

int SmsPdu::parsePDU(const std::string& hex) {
    *this = SmsPdu();
    HexReader reader(hex);
    int addressLength = 0, protocolId = 0;
    if (!skipServiceCentre(reader, firstOctet) || !reader.octet(addressLength))
        return 2;
    if (addressLength > 0 && (!reader.octet(addressType) || !reader.swapped(addressLength, address)))
        return 2;
    if (!reader.octet(protocolId) || !reader.octet(dataCoding) || !reader.text(14, timeStamp) ||
        !reader.octet(userDataLength))
        return 2;
    userData = reader.rest();
    return 0;
}

int SmsPdu::parseRaportPDU(const std::string& hex) {
    *this = SmsPdu();
    HexReader reader(hex);
    int addressLength = 0;
    std::string discharge;
    if (!skipServiceCentre(reader, firstOctet) || !reader.octet(messageReference) ||
        !reader.octet(addressLength) || !reader.octet(addressType) ||
        !reader.swapped(addressLength, address) || !reader.text(14, timeStamp) ||
        !reader.text(14, discharge) || !reader.octet(status))
        return 2;
    return 0;
}

std::string SmsPdu::GetSender() const {
    return addressType == 0x91 ? "+" + address : address;
}

SmsTimeStamp SmsPdu::GetTimeStamp() const {
    SmsTimeStamp stamp;
    if (timeStamp.size() != 14)
        return stamp;
    int values[6];
    for (int i = 0; i < 6; ++i)
        values[i] =
            std::max(0, hexDigit(timeStamp[2 * i + 1])) * 10 + std::max(0, hexDigit(timeStamp[2 * i]));
    stamp.year = values[0] < 70 ? 2000 + values[0] : 1900 + values[0];
    stamp.month = values[1];
    stamp.day = values[2];
    stamp.hour = values[3];
    stamp.minute = values[4];
    stamp.second = values[5];
    return stamp;
}

std::string SmsPdu::GetText() const {
    const std::string octets = Serialize(userData);
    std::size_t skip = 0;
    if ((firstOctet & 0x40) && !octets.empty())
        skip = ((static_cast<unsigned char>(octets[0]) + 1u) * 8 + 6) / 7;
    std::string out;
    const std::size_t septets = std::min<std::size_t>(octets.size() * 8 / 7, userDataLength);
    for (std::size_t i = skip; i < septets; ++i) {
        const std::size_t bit = i * 7;
        unsigned value = static_cast<unsigned char>(octets[bit / 8]) >> (bit % 8);
        if (bit % 8 > 1 && bit / 8 + 1 < octets.size())
            value |= static_cast<unsigned>(static_cast<unsigned char>(octets[bit / 8 + 1])) << (8 - bit % 8);
        out += static_cast<char>(value & 0x7F);
    }
    return out;
}

namespace {

std::string stripLeading(const std::string& number) {
    std::size_t start = 0;
    while (start < number.size() && (number[start] == '0' || number[start] == '+'))
        ++start;
    return number.substr(start);
}

bool allDigits(const std::string& text) {
    for (char c : text)
        if (c < '0' || c > '9')
            return false;
    return !text.empty();
}

} // namespace

std::string SmsNumberProcessor::ToNational(const std::string& number) const {
    const std::string digits = stripLeading(number);
    if (!allDigits(digits))
        return {};
    if (digits.size() == 11 && digits.compare(0, 2, "48") == 0)
        return digits.substr(2);
    return digits;
}

std::string SmsNumberProcessor::ToInternational(const std::string& number, std::uint8_t& flag) const {
    const std::string digits = stripLeading(number);
    flag = 0;
    if (digits.size() == 9)
        return "48" + digits;
    if (digits.size() == 11 && digits.compare(0, 2, "48") == 0)
        return digits;
    flag = 1;
    return digits;
}

void SmsDynamicRouter::Store(const std::string& number, const std::string& line, std::int32_t userId) {
    const std::int64_t now = platform::processClock().dateTime().toSecsSinceEpoch();
    for (Route& route : routes_) {
        if (route.number == number && route.line == line) {
            route.userId = userId;
            route.stamp = now;
            return;
        }
    }
    routes_.push_back({number, line, userId, now});
}

std::int32_t SmsDynamicRouter::Find(const std::string& number, const std::string& line) const {
    const std::int64_t now = platform::processClock().dateTime().toSecsSinceEpoch();
    for (const Route& route : routes_)
        if (route.number == number && route.line == line)
            return now - route.stamp <= 3600 ? route.userId : 0;
    return 0;
}

SmsPdu& Codec(const SMS& engine) {
    return partsOf(engine).codec;
}

SmsNumberProcessor& NumberProcessor(const SMS& engine) {
    return partsOf(engine).numbers;
}

SmsDynamicRouter& DynamicRouter(const SMS& engine) {
    return partsOf(engine).router;
}

void SelectRouteLine(const SMS& engine, const std::string& sender, const std::string& line,
                     std::vector<std::int32_t>& recipients) {
    for (const auto& rule : engine.SortedRoutingRules) {
        if (matches(sender, 0, rule.sSender, 0) && matches(line, 0, rule.sLine, 0)) {
            recipients = rule.sRecipients;
            return;
        }
    }
}

int GetLineId(const SMS& engine, int lineNumber) {
    if (!engine.v_gsmlines)
        return -1;
    for (std::size_t i = 0; i < engine.v_gsmlines->size(); ++i)
        if ((*engine.v_gsmlines)[i].iLoc == lineNumber)
            return static_cast<int>(i);
    return -1;
}

int GetLineId(const SMS& engine, const std::string& ownNumber) {
    if (!engine.v_gsmlines)
        return -1;
    for (const auto& line : *engine.v_gsmlines)
        if (line.number == ownNumber)
            return line.iLoc;
    return -1;
}

void StampSmsDateTime(SMSMSG& msg) {
    const QDateTime now = platform::processClock().dateTime();
    msg.sDate = now.toString(QStringLiteral("yyyy.MM.dd")).toStdString();
    msg.sTime = now.toString(QStringLiteral("HH:mm:ss")).toStdString();
}

void DistributeMainQueue(SMS&) {}

void PushMainQueue(SMS& engine, const SMSMSG& msg) {
    if (!engine.MainQueue.empty())
        engine.MainQueue.back() = msg;
}

} // namespace sms::interim
