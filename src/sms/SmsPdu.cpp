#include "sms/SmsPdu.h"

#include "sms/SmsText.h"

#include <algorithm>
#include <new>
#include <vector>

namespace sms {
namespace {

constexpr char HexDigits[] = "0123456789ABCDEF";

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

bool allHex(std::string_view hex) {
    return std::all_of(hex.begin(), hex.end(), [](char c) { return hexValue(c) >= 0; });
}

void appendOctetHex(std::string& out, unsigned octet) {
    out += HexDigits[(octet >> 4) & 0xF];
    out += HexDigits[octet & 0xF];
}

// The octets of the whole hex-digit pairs at the front of a text.
std::vector<std::uint8_t> octetsOf(std::string_view hex) {
    std::vector<std::uint8_t> octets;
    octets.reserve(hex.size() / 2);
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        const int high = hexValue(hex[i]);
        const int low = hexValue(hex[i + 1]);
        if (high < 0 || low < 0)
            break;
        octets.push_back(std::uint8_t(high << 4 | low));
    }
    return octets;
}

std::size_t characterCount(std::string_view utf8) {
    std::size_t count = 0;
    for (std::size_t at = 0; at < utf8.size(); ++count)
        text::NextCodePoint(utf8, at);
    return count;
}

bool isLeapYear(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int daysInMonth(int month, int year) {
    static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && isLeapYear(year) ? 29 : days[month - 1];
}

// The septets of GSM 7-bit user data [first, end), read back as text.
std::string decodeGsm7(const std::vector<std::uint8_t>& octets, std::size_t first, std::size_t end) {
    auto septet = [&octets](std::size_t index) {
        const std::size_t bit = index * 7;
        const std::size_t at = bit / 8;
        const unsigned shift = unsigned(bit % 8);
        unsigned value = octets[at] >> shift;
        if (shift > 1 && at + 1 < octets.size())
            value |= unsigned(octets[at + 1]) << (8 - shift);
        return std::uint8_t(value & 0x7F);
    };
    std::string out;
    out.reserve(end - first);
    for (std::size_t i = first; i < end; ++i) {
        const std::uint8_t code = septet(i);
        if (code == 0x1B && i + 1 < end)
            text::AppendWireChar(out, text::Gsm7Extension(septet(++i)));
        else
            text::AppendWireChar(out, text::Gsm7Default(code));
    }
    return out;
}

std::string decodeUcs2(const std::vector<std::uint8_t>& octets, std::size_t first, std::size_t end) {
    std::string out;
    for (std::size_t i = first; i + 1 < end; i += 2) {
        char32_t code = char32_t(octets[i]) << 8 | octets[i + 1];
        if (code >= 0xD800 && code <= 0xDBFF && i + 3 < end) {
            const char32_t low = char32_t(octets[i + 2]) << 8 | octets[i + 3];
            if (low >= 0xDC00 && low <= 0xDFFF) {
                code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                i += 2;
            }
        }
        // A lone surrogate or a NUL is no character of any text.
        if (code == 0 || (code >= 0xD800 && code <= 0xDFFF))
            code = U'?';
        text::AppendWireChar(out, code);
    }
    return out;
}

std::string decodeEightBit(const std::vector<std::uint8_t>& octets, std::size_t first, std::size_t end) {
    std::string out;
    for (std::size_t i = first; i < end; ++i)
        if (octets[i] >= 0x20 && octets[i] < 0x7F)
            out += char(octets[i]);
    return out;
}

} // namespace

// Reads hex digits from the front, never past the end.
class SmsPdu::Reader {
  public:
    explicit Reader(std::string_view hex) : hex_(hex) {}
    bool take(std::size_t digits, std::string_view* out) {
        if (hex_.size() - at_ < digits)
            return false;
        *out = hex_.substr(at_, digits);
        at_ += digits;
        return true;
    }
    bool octet(std::int32_t* out) {
        std::string_view digits;
        if (!take(2, &digits))
            return false;
        *out = HexToInt(digits);
        return true;
    }
    bool peekOctet(std::int32_t* out) const {
        if (hex_.size() - at_ < 2)
            return false;
        *out = HexToInt(hex_.substr(at_, 2));
        return true;
    }
    std::string_view rest() const { return hex_.substr(at_); }

  private:
    std::string_view hex_;
    std::size_t at_ = 0;
};

bool SmsPdu::SetDestination(std::string_view number, int plan) {
    if (plan != 0 && plan != 1)
        return false;
    std::int32_t type = plan == 0 ? 0x91 : 0x81;
    if (!number.empty() && number.front() == '+') {
        type = 0x91;
        number.remove_prefix(1);
    }
    if (number.empty() || number.size() > MAX_ADDRESS_DIGITS ||
        !std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    address.assign(number);
    addressLength = std::int32_t(number.size());
    addressType = type;
    return true;
}

bool SmsPdu::SetText(std::string_view utf8) {
    if (characterCount(utf8) > MAX_TEXT)
        return false;
    text.assign(utf8);
    return true;
}

std::string SmsPdu::encodePdu() const {
    std::string pdu;
    pdu.reserve(32 + address.size() + text.size() * 2);
    // No service centre (the module's own), SMS-SUBMIT with a relative
    // validity and a status report requested, TP-MR 0.
    pdu += "003100";
    pdu += IntToHex(std::uint32_t(addressLength));
    pdu += IntToHex(std::uint32_t(addressType));
    pdu += ToSemiOctets(address);
    // TP-PID 0, TP-DCS 0 (GSM 7-bit), TP-VP 4 days.
    pdu += "0000AA";
    pdu += IntToHex(std::uint32_t(characterCount(text)));
    pdu += PackGsm7(text);
    return pdu;
}

std::string SmsPdu::PackGsm7(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size() * 2);
    std::uint32_t bits = 0;
    int held = 0;
    for (std::size_t at = 0; at < utf8.size();) {
        bits |= std::uint32_t(Gsm7Septet(text::NextCodePoint(utf8, at))) << held;
        held += 7;
        if (held >= 8) {
            appendOctetHex(out, bits & 0xFF);
            bits >>= 8;
            held -= 8;
        }
    }
    if (held > 0)
        appendOctetHex(out, bits & 0xFF);
    return out;
}

void SmsPdu::clearFields() {
    cCallbackLog* const keep = logCallback_;
    *this = SmsPdu();
    logCallback_ = keep;
}

void SmsPdu::log(const char* what, std::string_view hex) const {
    if (!logCallback_)
        return;
    std::string line(what);
    line += ' ';
    line += hex;
    line += '\n';
    (*logCallback_)(line);
}

int SmsPdu::readServiceCentre(Reader& in) {
    if (!in.octet(&smscLength))
        return PDU_TOO_SHORT;
    if (smscLength == 0)
        return PDU_OK;
    std::string_view digits;
    if (!in.octet(&smscType) || !in.take(std::size_t(smscLength - 1) * 2, &digits))
        return PDU_TOO_SHORT;
    smscNumber = SwapNibbles(digits);
    if (!smscNumber.empty() && (smscNumber.back() == 'F' || smscNumber.back() == 'f'))
        smscNumber.pop_back();
    return PDU_OK;
}

// Length in digits, type, then the digits in semi-octets with a filler.
int SmsPdu::readAddress(Reader& in) {
    std::string_view digits;
    if (!in.octet(&addressLength) || !in.octet(&addressType) ||
        !in.take(std::size_t(addressLength + 1) / 2 * 2, &digits))
        return PDU_TOO_SHORT;
    address = SwapNibbles(digits);
    address.resize(std::size_t(addressLength));
    return PDU_OK;
}

int SmsPdu::readUserData(Reader& in) {
    if (!in.octet(&userDataLength))
        return PDU_TOO_SHORT;
    if (firstOctet & 0x40) {
        std::int32_t headerDataLength = 0;
        if (!in.peekOctet(&headerDataLength))
            return PDU_TOO_SHORT;
        headerLength = headerDataLength + 1;
    }
    userData.assign(in.rest());
    return PDU_OK;
}

int SmsPdu::parseDeliver(Reader& in) {
    std::string_view stamp;
    if (const int result = readAddress(in))
        return result;
    if (!in.octet(&protocolId) || !in.octet(&dataCoding) || !in.take(14, &stamp))
        return PDU_TOO_SHORT;
    timeStamp.assign(stamp);
    return readUserData(in);
}

int SmsPdu::parseSubmit(Reader& in) {
    if (!in.octet(&messageReference))
        return PDU_TOO_SHORT;
    if (const int result = readAddress(in))
        return result;
    // The one-octet relative validity, which is what the encoder writes.
    if (!in.octet(&protocolId) || !in.octet(&dataCoding) || !in.octet(&validityPeriod))
        return PDU_TOO_SHORT;
    return readUserData(in);
}

// Every reader starts from cleared fields and the service-centre address.
int SmsPdu::readHead(const char* reader, std::string_view hex, Reader& in) {
    clearFields();
    log(reader, hex);
    if (!allHex(hex))
        return PDU_TOO_SHORT;
    if (const int result = readServiceCentre(in))
        return result;
    return in.octet(&firstOctet) ? PDU_OK : PDU_TOO_SHORT;
}

int SmsPdu::parsePDU(std::string_view hex) {
    Reader in(hex);
    if (const int result = readHead("parsePDU", hex, in))
        return result;
    return (firstOctet & 0x03) == 0 ? parseDeliver(in) : parseSubmit(in);
}

int SmsPdu::parseRaportPDU(std::string_view hex) {
    Reader in(hex);
    if (const int result = readHead("parseRaportPDU", hex, in))
        return result;
    if (!in.octet(&messageReference))
        return PDU_TOO_SHORT;
    if (const int result = readAddress(in))
        return result;
    std::string_view stamp;
    std::string_view dischargeTime;
    if (!in.take(14, &stamp) || !in.take(14, &dischargeTime) || !in.octet(&status))
        return PDU_TOO_SHORT;
    timeStamp.assign(stamp);
    return PDU_OK;
}

std::string SmsPdu::GetSender() const {
    return addressType == 0x91 ? "+" + address : address;
}

SmsDateTime SmsPdu::GetTimeStamp(const SmsDateTime& now) const {
    if (timeStamp.size() != 14)
        return now;
    int fields[6];
    for (int i = 0; i < 6; ++i) {
        // Semi-octets: the low nibble holds the tens.
        const int tens = hexValue(timeStamp[std::size_t(2 * i + 1)]);
        const int units = hexValue(timeStamp[std::size_t(2 * i)]);
        if (tens < 0 || tens > 9 || units < 0 || units > 9)
            return now;
        fields[i] = tens * 10 + units;
    }
    SmsDateTime when;
    when.year = fields[0] < 70 ? 2000 + fields[0] : 1900 + fields[0];
    when.month = fields[1];
    when.day = fields[2];
    when.hour = fields[3];
    when.minute = fields[4];
    when.second = fields[5];
    if (when.month < 1 || when.month > 12 || when.day < 1 || when.day > daysInMonth(when.month, when.year) ||
        when.hour > 23 || when.minute > 59 || when.second > 59)
        return now;
    return when;
}

SmsPdu::Coding SmsPdu::GetCoding() const {
    const int dcs = dataCoding & 0xFF;
    // Group 01xx (automatic deletion) codes its alphabet as group 00xx does.
    if (dcs < 0x80) {
        if ((dcs & 0x0C) == 0x0C)
            return CODING_GSM7;
        switch (dcs & 0x2C) {
        case 0x20:
            return CODING_GSM7_COMPRESSED;
        case 0x08:
            return CODING_UCS2;
        case 0x28:
            return CODING_UCS2_COMPRESSED;
        case 0x04:
            return CODING_8BIT;
        default:
            return CODING_GSM7;
        }
    }
    if ((dcs >> 4) == 0xE)
        return (dcs & 0x04) ? CODING_GSM7 : CODING_UCS2;
    if ((dcs >> 4) == 0xF)
        return (dcs & 0x04) ? CODING_8BIT : CODING_GSM7;
    return CODING_GSM7;
}

std::string SmsPdu::GetText() const {
    try {
        const std::vector<std::uint8_t> octets = octetsOf(userData);
        const auto header = std::size_t(std::max(headerLength, 0));
        const auto announced = std::size_t(std::max(userDataLength, 0));
        switch (GetCoding()) {
        case CODING_GSM7: {
            // The header and its fill bits take whole septets; the length
            // counts septets, header included.
            const std::size_t skip = (header * 8 + 6) / 7;
            const std::size_t end = std::min(octets.size() * 8 / 7, announced);
            return skip < end ? decodeGsm7(octets, skip, end) : std::string();
        }
        case CODING_UCS2:
            return decodeUcs2(octets, header, std::min(octets.size(), announced));
        case CODING_8BIT:
            return decodeEightBit(octets, header, std::min(octets.size(), announced));
        case CODING_GSM7_COMPRESSED:
        case CODING_UCS2_COMPRESSED:
            break;
        }
        return UNSUPPORTED_CODING_TEXT;
    } catch (const std::bad_alloc&) {
        return {};
    }
}

std::string SmsPdu::ToHex(std::string_view bytes) {
    try {
        std::string hex;
        hex.reserve(bytes.size() * 2);
        for (const char c : bytes)
            appendOctetHex(hex, static_cast<unsigned char>(c));
        return hex;
    } catch (const std::bad_alloc&) {
        return {};
    }
}

std::string SmsPdu::Serialize(std::string_view hex) {
    if (hex.size() % 2 != 0 || !allHex(hex))
        return {};
    std::string bytes;
    bytes.reserve(hex.size() / 2);
    for (std::size_t i = 0; i < hex.size(); i += 2)
        bytes += char(hexValue(hex[i]) << 4 | hexValue(hex[i + 1]));
    return bytes;
}

std::string SmsPdu::IntToHex(std::uint32_t value) {
    std::string hex;
    do {
        hex.insert(hex.begin(), HexDigits[value & 0xF]);
        value >>= 4;
    } while (value != 0);
    if (hex.size() % 2 != 0)
        hex.insert(hex.begin(), '0');
    return hex;
}

std::int32_t SmsPdu::HexToInt(std::string_view hex) {
    if (hex.empty() || hex.size() > 7)
        return -1;
    std::int32_t value = 0;
    for (const char c : hex) {
        const int digit = hexValue(c);
        if (digit < 0)
            return -1;
        value = value << 4 | digit;
    }
    return value;
}

std::string SmsPdu::ToSemiOctets(std::string_view digits) {
    std::string padded(digits);
    if (padded.size() % 2 != 0)
        padded += 'F';
    return SwapNibbles(padded);
}

std::string SmsPdu::SwapNibbles(std::string_view semiOctets) {
    std::string swapped(semiOctets);
    for (std::size_t i = 0; i + 1 < swapped.size(); i += 2)
        std::swap(swapped[i], swapped[i + 1]);
    return swapped;
}

} // namespace sms
