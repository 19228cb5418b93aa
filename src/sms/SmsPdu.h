// The PDU codec of SMS messages: the SMS-SUBMIT encoder, the SMS-DELIVER and
// SMS-STATUS-REPORT decoders, Base64 and the hex helpers. Free of Qt.
//
// Texts given to the encoder and taken from the decoder are UTF-8; decoded
// text keeps only characters the wire code page can carry ('?' for others).
#pragma once

#include "base/Callbacks.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace sms {

// Standard Base64 (RFC 4648 alphabet, '=' padding, no line breaks).
std::string Base64Encode(const void* bytes, std::size_t length);
inline std::string Base64Encode(std::string_view bytes) {
    return Base64Encode(bytes.data(), bytes.size());
}
// Stops at the first '=' or character outside the alphabet; a trailing group
// of n = 2 or 3 characters gives n - 1 octets. Never fails.
std::string Base64Decode(std::string_view text);

// One UCS2 code unit as a Windows-1250 byte; '?' when the page lacks it.
char Ucs2ToCp1250(std::uint32_t code);
// Whether the wire code page (1250 or 1251) holds the Unicode character.
bool FitsWireCodePage(char32_t code);

// A date and time of day read from a PDU's time stamp.
struct SmsDateTime {
    int second = 0;
    int minute = 0;
    int hour = 0;
    int day = 1;
    int month = 1; // 1 to 12
    int year = 1970;
    bool operator==(const SmsDateTime&) const = default;
};

class SmsPdu {
  public:
    // Results of the readers.
    static constexpr int PDU_OK = 0;
    static constexpr int PDU_TOO_SHORT = 2;
    // What a user-data coding decodes as.
    enum Coding { CODING_GSM7, CODING_GSM7_COMPRESSED, CODING_UCS2, CODING_UCS2_COMPRESSED, CODING_8BIT };
    static constexpr std::size_t MAX_TEXT = 160;
    // A destination address holds at most 20 digits (10 semi-octet pairs).
    static constexpr std::size_t MAX_ADDRESS_DIGITS = 20;
    static constexpr const char* UNSUPPORTED_CODING_TEXT = "<nie obsługiwany standard kodowania wiadomości>";

    // The readers log the PDU they were given ("parsePDU %s\n").
    void SetLogCallback(cCallbackLog* callback) { logCallback_ = callback; }

    // ---- encoding ----
    // Plan 0 international (0x91), 1 national (0x81); a leading "+" means
    // international whatever the plan. Refused (false, nothing changed): any
    // other plan, no digits, a character other than a digit, more than 20 digits.
    bool SetDestination(std::string_view number, int plan);
    // At most 160 characters, else false and the stored text stays.
    bool SetText(std::string_view utf8);
    // The SMS-SUBMIT PDU as upper-case hex digits.
    std::string encodePdu() const;

    // ---- decoding ----
    // 0 read, 2 when the text ends before a field it needs or holds a
    // character that is no hex digit. Every field is cleared first.
    int parsePDU(std::string_view hex);
    int parseRaportPDU(std::string_view hex);
    // "+" and the digits for an international sender, else the address as read.
    std::string GetSender() const;
    // The service centre's time stamp; `now` when it is missing or names no
    // real date and time.
    SmsDateTime GetTimeStamp(const SmsDateTime& now) const;
    // The user data as UTF-8 text, the header skipped.
    std::string GetText() const;
    std::int32_t GetStatus() const { return status; }
    Coding GetCoding() const;

    // ---- hex helpers ----
    // Each octet as two upper-case hex digits; empty when no memory can be had.
    static std::string ToHex(std::string_view bytes);
    // The octets that hex digits stand for; empty for an odd length or a
    // character that is no hex digit.
    static std::string Serialize(std::string_view hex);
    // Upper-case hex, with a "0" in front when the number of digits is odd.
    static std::string IntToHex(std::uint32_t value);
    // Hex digits of either case as a number; -1 for none, a foreign
    // character or more than seven digits.
    static std::int32_t HexToInt(std::string_view hex);
    // "12345" -> "2143F5".
    static std::string ToSemiOctets(std::string_view digits);
    // Swaps every pair of characters back; a last odd character stays.
    static std::string SwapNibbles(std::string_view semiOctets);
    // The text as GSM 7-bit septets packed into octets, as hex digits.
    static std::string PackGsm7(std::string_view utf8);
    // The GSM 7-bit septet the encoder sends for a character.
    static std::uint8_t Gsm7Septet(char32_t character);

    // ---- fields, in the order of the PDU records ----
    std::int32_t smscLength = 0;
    std::int32_t smscType = 0;
    std::string smscNumber;
    std::int32_t firstOctet = 0;
    std::int32_t addressLength = 0;
    std::int32_t addressType = 0;
    std::string address;
    std::int32_t protocolId = 0;
    std::int32_t messageReference = 0;
    std::int32_t dataCoding = 0;
    std::string timeStamp; // the 14 hex digits as received
    std::int32_t validityPeriod = 0;
    std::int32_t userDataLength = 0;
    std::string userData; // hex digits, header included
    std::string text;     // the text to encode, UTF-8
    std::int32_t headerLength = 0;
    std::int32_t status = 0;

  private:
    class Reader;
    void clearFields();
    void log(const char* what, std::string_view hex) const;
    int readHead(const char* reader, std::string_view hex, Reader& in);
    int readServiceCentre(Reader& in);
    int readAddress(Reader& in);
    int readUserData(Reader& in);
    int parseDeliver(Reader& in);
    int parseSubmit(Reader& in);

    cCallbackLog* logCallback_ = nullptr;
};

} // namespace sms
