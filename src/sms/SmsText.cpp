// The codec's character tables and Base64: the septet the encoder sends for a
// character, the GSM alphabets read back, and the wire code pages.
#include "sms/SmsText.h"
#include "sms/SmsPdu.h"

#include "platform/WireCodePage.h"

#include <QByteArray>

#include <array>

namespace sms {
namespace {

// The septet of each character 0x00 to 0x7F. One septet per character, no
// escapes, so the user-data length is the number of characters.
constexpr std::array<std::uint8_t, 128> Gsm7CharTable = {
    0x3F, 0x3F, 0x3F, 0x3F, 0x3F, 0x3F, 0x3F, 0x3F, 0x3F, 0x3F, 0x0A, 0x3F, 0x0A, 0x0D, 0x3F, 0x3F, // 0x00
    0x3F, 0x3F, 0x3F, 0x3F, 0x3F, 0x3F, 0x3F, 0x3F, 0x3F, 0x3F, 0x3F, 0x3F, 0x3F, 0x3F, 0x3F, 0x3F, // 0x10
    0x20, 0x21, 0x22, 0x23, 0x02, 0x25, 0x26, 0x27, 0x28, 0x29, 0x2A, 0x2B, 0x2C, 0x2D, 0x2E, 0x2F, // 0x20
    0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3A, 0x3B, 0x3C, 0x3D, 0x3E, 0x3F, // 0x30
    0x00, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4A, 0x4B, 0x4C, 0x4D, 0x4E, 0x4F, // 0x40
    0x50, 0x51, 0x52, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5A, 0x3C, 0x2F, 0x3E, 0x14, 0x11, // 0x50
    0x27, 0x61, 0x62, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6A, 0x6B, 0x6C, 0x6D, 0x6E, 0x6F, // 0x60
    0x70, 0x71, 0x72, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7A, 0x28, 0x40, 0x29, 0x3D, 0x3F, // 0x70
};

// Characters above 0x7F the encoder can still send: Polish letters as their
// base letters, typographic quotes and dashes as their ASCII forms.
struct Substitute {
    char32_t character;
    char ascii;
};
constexpr Substitute Substitutes[] = {
    {U'ą', 'a'},  {U'ć', 'c'},  {U'ę', 'e'},  {U'ł', 'l'},  {U'ń', 'n'},  {U'ó', 'o'},
    {U'ś', 's'},  {U'ź', 'z'},  {U'ż', 'z'},  {U'Ą', 'A'},  {U'Ć', 'C'},  {U'Ę', 'E'},
    {U'Ł', 'L'},  {U'Ń', 'N'},  {U'Ó', 'O'},  {U'Ś', 'S'},  {U'Ź', 'Z'},  {U'Ż', 'Z'},
    {U'‘', '\''}, {U'’', '\''}, {U'‚', '\''}, {U'‹', '\''}, {U'›', '\''}, {U'“', '"'},
    {U'”', '"'},  {U'„', '"'},  {U'«', '"'},  {U'»', '"'},  {U'–', '-'},  {U'—', '-'},
};

// The GSM 7-bit default alphabet; the escape reads as a blank where the
// extension table has no character for the code after it.
constexpr std::array<char16_t, 128> Gsm7DefaultAlphabet = {
    u'@', u'£', u'$', u'¥', u'è', u'é', u'ù', u'ì',  u'ò', u'Ç', u'\n', u'Ø', u'ø', u'\r', u'Å', u'å',
    u'Δ', u'_', u'Φ', u'Γ', u'Λ', u'Ω', u'Π', u'Ψ',  u'Σ', u'Θ', u'Ξ',  u' ', u'Æ', u'æ',  u'ß', u'É',
    u' ', u'!', u'"', u'#', u'¤', u'%', u'&', u'\'', u'(', u')', u'*',  u'+', u',', u'-',  u'.', u'/',
    u'0', u'1', u'2', u'3', u'4', u'5', u'6', u'7',  u'8', u'9', u':',  u';', u'<', u'=',  u'>', u'?',
    u'¡', u'A', u'B', u'C', u'D', u'E', u'F', u'G',  u'H', u'I', u'J',  u'K', u'L', u'M',  u'N', u'O',
    u'P', u'Q', u'R', u'S', u'T', u'U', u'V', u'W',  u'X', u'Y', u'Z',  u'Ä', u'Ö', u'Ñ',  u'Ü', u'§',
    u'¿', u'a', u'b', u'c', u'd', u'e', u'f', u'g',  u'h', u'i', u'j',  u'k', u'l', u'm',  u'n', u'o',
    u'p', u'q', u'r', u's', u't', u'u', u'v', u'w',  u'x', u'y', u'z',  u'ä', u'ö', u'ñ',  u'ü', u'à',
};

// The upper halves of the wire code pages (0 where a byte is unassigned).
constexpr std::array<char16_t, 128> Cp1250Upper = {
    0x20AC, 0x0000, 0x201A, 0x0000, 0x201E, 0x2026, 0x2020, 0x2021, 0x0000, 0x2030, 0x0160, 0x2039, 0x015A,
    0x0164, 0x017D, 0x0179, 0x0000, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0x0000, 0x2122,
    0x0161, 0x203A, 0x015B, 0x0165, 0x017E, 0x017A, 0x00A0, 0x02C7, 0x02D8, 0x0141, 0x00A4, 0x0104, 0x00A6,
    0x00A7, 0x00A8, 0x00A9, 0x015E, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x017B, 0x00B0, 0x00B1, 0x02DB, 0x0142,
    0x00B4, 0x00B5, 0x00B6, 0x00B7, 0x00B8, 0x0105, 0x015F, 0x00BB, 0x013D, 0x02DD, 0x013E, 0x017C, 0x0154,
    0x00C1, 0x00C2, 0x0102, 0x00C4, 0x0139, 0x0106, 0x00C7, 0x010C, 0x00C9, 0x0118, 0x00CB, 0x011A, 0x00CD,
    0x00CE, 0x010E, 0x0110, 0x0143, 0x0147, 0x00D3, 0x00D4, 0x0150, 0x00D6, 0x00D7, 0x0158, 0x016E, 0x00DA,
    0x0170, 0x00DC, 0x00DD, 0x0162, 0x00DF, 0x0155, 0x00E1, 0x00E2, 0x0103, 0x00E4, 0x013A, 0x0107, 0x00E7,
    0x010D, 0x00E9, 0x0119, 0x00EB, 0x011B, 0x00ED, 0x00EE, 0x010F, 0x0111, 0x0144, 0x0148, 0x00F3, 0x00F4,
    0x0151, 0x00F6, 0x00F7, 0x0159, 0x016F, 0x00FA, 0x0171, 0x00FC, 0x00FD, 0x0163, 0x02D9,
};
constexpr std::array<char16_t, 128> Cp1251Upper = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, 0x20AC, 0x2030, 0x0409, 0x2039, 0x040A,
    0x040C, 0x040B, 0x040F, 0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0x0000, 0x2122,
    0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, 0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6,
    0x00A7, 0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407, 0x00B0, 0x00B1, 0x0406, 0x0456,
    0x0491, 0x00B5, 0x00B6, 0x00B7, 0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457, 0x0410,
    0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417, 0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D,
    0x041E, 0x041F, 0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427, 0x0428, 0x0429, 0x042A,
    0x042B, 0x042C, 0x042D, 0x042E, 0x042F, 0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F, 0x0440, 0x0441, 0x0442, 0x0443, 0x0444,
    0x0445, 0x0446, 0x0447, 0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,
};

int upperHalfIndex(const std::array<char16_t, 128>& page, char32_t code) {
    if (code == 0)
        return -1;
    for (int i = 0; i < 128; ++i)
        if (page[std::size_t(i)] == code)
            return i;
    return -1;
}

bool isBase64Character(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

} // namespace

std::string Base64Encode(const void* bytes, std::size_t length) {
    return QByteArray::fromRawData(static_cast<const char*>(bytes), qsizetype(length))
        .toBase64()
        .toStdString();
}

std::string Base64Decode(std::string_view text) {
    std::size_t end = 0;
    while (end < text.size() && isBase64Character(text[end]))
        ++end;
    // Qt's decoder gives a trailing group of n characters its n - 1 octets.
    return QByteArray::fromBase64(QByteArray::fromRawData(text.data(), qsizetype(end))).toStdString();
}

char Ucs2ToCp1250(std::uint32_t code) {
    if (code < 0x80)
        return char(code);
    const int index = upperHalfIndex(Cp1250Upper, code);
    return index < 0 ? '?' : char(0x80 + index);
}

bool FitsWireCodePage(char32_t code) {
    if (code < 0x80)
        return true;
    const auto& page = platform::wireCodePage() == platform::WireCodePage::Cp1251 ? Cp1251Upper : Cp1250Upper;
    return upperHalfIndex(page, code) >= 0;
}

std::uint8_t SmsPdu::Gsm7Septet(char32_t character) {
    if (character < 0x80)
        return Gsm7CharTable[character];
    for (const Substitute& substitute : Substitutes)
        if (substitute.character == character)
            return Gsm7CharTable[std::size_t(substitute.ascii)];
    return Gsm7CharTable['?'];
}

namespace text {

char32_t NextCodePoint(std::string_view utf8, std::size_t& at) {
    const auto lead = static_cast<unsigned char>(utf8[at++]);
    if (lead < 0x80)
        return lead;
    int extra = 0;
    char32_t code = 0;
    char32_t least = 0;
    if ((lead & 0xE0) == 0xC0) {
        extra = 1, code = lead & 0x1F, least = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        extra = 2, code = lead & 0x0F, least = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        extra = 3, code = lead & 0x07, least = 0x10000;
    } else {
        return InvalidCodePoint;
    }
    if (at + std::size_t(extra) > utf8.size())
        return InvalidCodePoint;
    for (int i = 0; i < extra; ++i) {
        const auto next = static_cast<unsigned char>(utf8[at + std::size_t(i)]);
        if ((next & 0xC0) != 0x80)
            return InvalidCodePoint;
        code = (code << 6) | (next & 0x3F);
    }
    if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return InvalidCodePoint;
    at += std::size_t(extra);
    return code;
}

void AppendUtf8(std::string& out, char32_t code) {
    if (code < 0x80) {
        out += char(code);
    } else if (code < 0x800) {
        out += char(0xC0 | (code >> 6));
        out += char(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += char(0xE0 | (code >> 12));
        out += char(0x80 | ((code >> 6) & 0x3F));
        out += char(0x80 | (code & 0x3F));
    } else {
        out += char(0xF0 | (code >> 18));
        out += char(0x80 | ((code >> 12) & 0x3F));
        out += char(0x80 | ((code >> 6) & 0x3F));
        out += char(0x80 | (code & 0x3F));
    }
}

void AppendWireChar(std::string& out, char32_t code) {
    AppendUtf8(out, FitsWireCodePage(code) ? code : U'?');
}

char32_t Gsm7Default(std::uint8_t septet) {
    return Gsm7DefaultAlphabet[septet & 0x7F];
}

char32_t Gsm7Extension(std::uint8_t septet) {
    switch (septet) {
    case 0x0A:
        return U'\f';
    case 0x14:
        return U'^';
    case 0x28:
        return U'{';
    case 0x29:
        return U'}';
    case 0x2F:
        return U'\\';
    case 0x3C:
        return U'[';
    case 0x3D:
        return U'~';
    case 0x3E:
        return U']';
    case 0x40:
        return U'|';
    case 0x65:
        return U'€';
    default:
        // Where the extension table has nothing, the default character shows.
        return Gsm7DefaultAlphabet[septet & 0x7F];
    }
}

} // namespace text
} // namespace sms
