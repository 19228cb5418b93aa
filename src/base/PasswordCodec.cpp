#include "base/PasswordCodec.h"

#include "base/Rijndael.h"
#include "platform/WireCodePage.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <array>
#include <cstddef>

const char* const FixedKeyText = "qmzto51739hdkre;lwpxua62tbn47c]8";

namespace {

constexpr int KeyBytes = 32;
using Block = std::array<char, 32>;

// Copies at most 32 bytes and zero-pads, so a short text is never read past its end.
Block paddedBlock(const std::string& text, std::size_t limit = 32) {
    Block block{};
    const std::size_t n = text.size() < limit ? text.size() : limit;
    for (std::size_t i = 0; i < n; ++i)
        block[i] = text[i];
    return block;
}

void makeKey(CRijndael& cipher, const std::string& keyText, int blockSize) {
    const Block key = paddedBlock(keyText);
    const Block chain{};
    cipher.MakeKey(key.data(), chain.data(), KeyBytes, blockSize);
}

std::string toHex(const Block& block) {
    char hex[2 * 32 + 1];
    CharStr2HexStr(reinterpret_cast<const unsigned char*>(block.data()), hex, int(block.size()));
    return std::string(hex, 2 * block.size());
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::size_t boundedLength(const char* text, std::size_t limit) {
    std::size_t n = 0;
    while (n < limit && text[n] != '\0')
        ++n;
    return n;
}

} // namespace

void CharStr2HexStr(const unsigned char* bytes, char* out, int count) {
    static const char digits[] = "0123456789ABCDEF";
    for (int i = 0; i < count; ++i) {
        out[2 * i] = digits[bytes[i] >> 4];
        out[2 * i + 1] = digits[bytes[i] & 0x0F];
    }
    out[count > 0 ? 2 * count : 0] = '\0';
}

void HexStr2CharStr(const char* text, unsigned char* out, int count) {
    if (count <= 0)
        return;
    const std::size_t length = text ? boundedLength(text, 2 * std::size_t(count)) : 0;
    for (int i = 0; i < count; ++i) {
        unsigned value = 0;
        for (std::size_t p = 2 * std::size_t(i); p < 2 * std::size_t(i) + 2 && p < length; ++p) {
            const int digit = hexDigit(text[p]);
            if (digit < 0)
                break;
            value = value * 16 + unsigned(digit);
        }
        out[i] = static_cast<unsigned char>(value);
    }
}

std::string AesEncryptToHex(const std::string& text, const std::string& keyText) {
    CRijndael cipher;
    makeKey(cipher, keyText, 32);
    const Block plain = paddedBlock(text);
    Block encrypted{};
    cipher.EncryptBlock(plain.data(), encrypted.data());
    return toHex(encrypted);
}

std::string AesEncryptToHex16(const std::string& text, const std::string& keyText) {
    CRijndael cipher;
    makeKey(cipher, keyText, 16);
    const Block plain = paddedBlock(text, 16);
    Block encrypted{}; // only the first 16 bytes are written; the rest stays zero
    cipher.EncryptBlock(plain.data(), encrypted.data());
    return toHex(encrypted);
}

std::string AesDecryptFromHex(const std::string& hex, const std::string& keyText) {
    CRijndael cipher;
    makeKey(cipher, keyText, 32);
    Block encrypted{};
    HexStr2CharStr(hex.c_str(), reinterpret_cast<unsigned char*>(encrypted.data()), 32);
    Block plain{};
    cipher.DecryptBlock(encrypted.data(), plain.data());
    std::size_t n = 0;
    while (n < plain.size() && plain[n] != '\0')
        ++n;
    return std::string(plain.data(), n);
}

std::string Md5Hex(const std::string& text) {
    const QByteArray bytes(text.data(), qsizetype(text.size()));
    const QByteArray hex = QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex();
    return std::string(hex.constData(), std::size_t(hex.size()));
}

std::string AesEncryptToHexWire(const std::string& utf8, const std::string& keyText) {
    return AesEncryptToHex(platform::toWire(utf8), keyText);
}

std::string AesEncryptToHex16Wire(const std::string& utf8, const std::string& keyText) {
    return AesEncryptToHex16(platform::toWire(utf8), keyText);
}

std::string AesDecryptFromHexWire(const std::string& hex, const std::string& keyText) {
    return platform::fromWire(AesDecryptFromHex(hex, keyText));
}

std::string Md5HexWire(const std::string& utf8) {
    return Md5Hex(platform::toWire(utf8));
}
