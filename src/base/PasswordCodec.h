// Password encoding shared with the existing clients: one Rijndael block as
// upper-case hex, and MD5 digests. The plain functions work on the bytes as
// given; the *Wire variants take and return UTF-8 and convert to the wire
// code page so results match clients that hash and encrypt Windows-1250 bytes.
#pragma once

#include <string>

// 32 characters; their codes are the 32 key bytes.
extern const char* const FixedKeyText;

// count bytes -> 2*count upper-case hex digits plus a terminating zero.
void CharStr2HexStr(const unsigned char* bytes, char* out, int count);
// Reads count digit pairs; only 0-9 and A-F count as digits. Any other
// character ends its pair, and the text's end leaves the remaining bytes 0.
void HexStr2CharStr(const char* text, unsigned char* out, int count);

// 32-byte block, 32-byte key: first 32 bytes of text, zero padded -> 64 hex digits.
std::string AesEncryptToHex(const std::string& text, const std::string& keyText);
// AES-256 on the first 16 bytes: 32 hex digits followed by 32 '0'.
std::string AesEncryptToHex16(const std::string& text, const std::string& keyText);
// Inverse of AesEncryptToHex; the result ends at the first zero byte.
std::string AesDecryptFromHex(const std::string& hex, const std::string& keyText);
// MD5 as 32 lower-case hex digits.
std::string Md5Hex(const std::string& text);

std::string AesEncryptToHexWire(const std::string& utf8, const std::string& keyText);
std::string AesEncryptToHex16Wire(const std::string& utf8, const std::string& keyText);
std::string AesDecryptFromHexWire(const std::string& hex, const std::string& keyText);
std::string Md5HexWire(const std::string& utf8);
