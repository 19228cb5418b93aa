#include "base/PasswordCodec.h"
#include "base/Rijndael.h"
#include "platform/WireCodePage.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

std::string fromHex(const std::string& hex) {
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(char(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

std::string toUpperHex(const std::string& bytes) {
    std::vector<char> out(2 * bytes.size() + 1);
    CharStr2HexStr(reinterpret_cast<const unsigned char*>(bytes.data()), out.data(), int(bytes.size()));
    return std::string(out.data());
}

std::string upper(std::string s) {
    for (char& c : s)
        c = char(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

struct KnownAnswer {
    std::string key;
    std::string plain;
    std::string cipher;
};

std::string encrypt(const KnownAnswer& v) {
    const std::string key = fromHex(v.key), plain = fromHex(v.plain);
    CRijndael cipher;
    cipher.MakeKey(key.data(), nullptr, int(key.size()), int(plain.size()));
    std::string out(plain.size(), '\0');
    cipher.EncryptBlock(plain.data(), out.data());
    return toUpperHex(out);
}

std::string decrypt(const KnownAnswer& v) {
    const std::string key = fromHex(v.key), encrypted = fromHex(v.cipher);
    CRijndael cipher;
    cipher.MakeKey(key.data(), nullptr, int(key.size()), int(encrypted.size()));
    std::string out(encrypted.size(), '\0');
    cipher.DecryptBlock(encrypted.data(), out.data());
    return toUpperHex(out);
}

void expectKnownAnswers(const std::vector<KnownAnswer>& vectors) {
    for (const KnownAnswer& v : vectors) {
        SCOPED_TRACE("key " + v.key + " plain " + v.plain);
        EXPECT_EQ(encrypt(v), upper(v.cipher));
        EXPECT_EQ(decrypt(v), upper(v.plain));
    }
}

std::string thrownMessage(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "(nothing thrown)";
}

constexpr const char* PiPlain = "3243f6a8885a308d313198a2e03707344a4093822299f31d0082efa98ec4e6c8";
constexpr const char* EKey = "2b7e151628aed2a6abf7158809cf4f3c762e7160f38b4da56a784d9045190cfe";

std::string prefix(const char* hex, std::size_t bytes) {
    return std::string(hex, 2 * bytes);
}

} // namespace

// Brian Gladman's Rijndael vectors for every block/key combination: the plaintext
// is the leading bytes of pi's hex expansion, the key the leading bytes of EKey.
TEST(Rijndael, GladmanVectorsAllBlockAndKeyLengths) {
    const char* expected[3][3] = {
        {"3925841d02dc09fbdc118597196a0b32", "f9fb29aefc384a250340d833b87ebc00",
         "1a6e6c2c662e7da6501ffb62bc9e93f3"},
        {"b24d275489e82bb8f7375e0d5fcdb1f481757c538b65148a",
         "725ae43b5f3161de806a7c93e0bca93c967ec1ae1b71e1cf",
         "0ebacf199e3315c2e34b24fcc7c46ef4388aa475d66c194c"},
        {"7d15479076b69a46ffb3b3beae97ad8313f622f67fedb487de9f06b9ed9c8f19",
         "5d7101727bb25781bf6715b0e6955282b9610e23a43c2eb062699f0ebf5887b2",
         "a49406115dfb30a40418aafa4869b7c6a886ff31602a7dd19c889dc64f7e4e7a"},
    };
    std::vector<KnownAnswer> vectors;
    for (std::size_t b = 0; b < 3; ++b)
        for (std::size_t k = 0; k < 3; ++k)
            vectors.push_back({prefix(EKey, 16 + 8 * k), prefix(PiPlain, 16 + 8 * b), expected[b][k]});
    expectKnownAnswers(vectors);
}

// NESSIE Rijndael-256-256 vectors: one set bit in the key, then one in the plaintext.
TEST(Rijndael, NessieBlock256Key256Vectors) {
    const std::string zero(64, '0');
    const std::string bit1 = "8" + std::string(63, '0');
    const std::string bit2 = "4" + std::string(63, '0');
    expectKnownAnswers({
        {bit1, zero, "E62ABCE069837B65309BE4EDA2C0E149FE56C07B7082D3287F592C4A4927A277"},
        {bit2, zero, "1F00B4DD622C0B2951F25970B0ED47A65F513112DACA242B5292CA314917BF94"},
        {zero, bit1, "159A08E46E616E6E9978502010DAFF922EB362E77DCAAF02EAEB7354EB8B8DBA"},
        {zero, bit2, "2756DDECD7558B198962F092D7BA3EEF45D9E287380AAB8E852658092AA9DFA1"},
    });
}

// FIPS-197 Appendix C: AES-128, AES-192 and AES-256 on the 16-byte fast path.
TEST(Rijndael, Fips197AppendixC) {
    expectKnownAnswers({
        {"000102030405060708090a0b0c0d0e0f", "00112233445566778899aabbccddeeff",
         "69c4e0d86a7b0430d8cdb78070b4c55a"},
        {"000102030405060708090a0b0c0d0e0f1011121314151617", "00112233445566778899aabbccddeeff",
         "dda97ca4864cdfe06eaf70a0ec0d7191"},
        {"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
         "00112233445566778899aabbccddeeff", "8ea2b7ca516745bfeafc49904b496089"},
    });
}

TEST(Rijndael, RoundCountFollowsLongerOfKeyAndBlock) {
    const std::string key(32, 'k');
    CRijndael cipher;
    cipher.MakeKey(key.data(), nullptr, 16, 32);
    EXPECT_EQ(cipher.GetRounds(), 14);
    cipher.MakeKey(key.data(), nullptr, 24, 16);
    EXPECT_EQ(cipher.GetRounds(), 12);
    cipher.MakeKey(key.data(), nullptr, 16, 24);
    EXPECT_EQ(cipher.GetRounds(), 12);
}

TEST(Rijndael, EncryptsInPlace) {
    const std::string key = fromHex(EKey);
    std::string block = fromHex(PiPlain);
    CRijndael cipher;
    cipher.MakeKey(key.data(), nullptr, 32, 32);
    cipher.EncryptBlock(block.data(), block.data());
    EXPECT_EQ(toUpperHex(block), "A49406115DFB30A40418AAFA4869B7C6A886FF31602A7DD19C889DC64F7E4E7A");
    cipher.DecryptBlock(block.data(), block.data());
    EXPECT_EQ(block, fromHex(PiPlain));
}

TEST(Rijndael, RejectsBadParametersAndUseBeforeKey) {
    const std::string key(32, 'k');
    char block[32] = {};
    CRijndael cipher;
    EXPECT_EQ(thrownMessage([&] { cipher.EncryptBlock(block, block); }), "Object not Initialized");
    EXPECT_EQ(thrownMessage([&] { cipher.DecryptBlock(block, block); }), "Object not Initialized");
    EXPECT_EQ(thrownMessage([&] { cipher.MakeKey(nullptr, nullptr, 16, 16); }), "Empty key");
    for (int length : {0, 8, 20, 31, 64})
        EXPECT_EQ(thrownMessage([&] { cipher.MakeKey(key.data(), nullptr, length, 16); }),
                  "Incorrect key length");
    for (int length : {0, 8, 20, 31, 64})
        EXPECT_EQ(thrownMessage([&] { cipher.MakeKey(key.data(), nullptr, 16, length); }),
                  "Incorrect block length");
    // A rejected key leaves the object unusable.
    EXPECT_EQ(thrownMessage([&] { cipher.EncryptBlock(block, block); }), "Object not Initialized");
    EXPECT_THROW(cipher.MakeKey(nullptr, nullptr), CipherError);
}

TEST(Md5, Rfc1321TestSuite) {
    EXPECT_EQ(Md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(Md5Hex("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(Md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(Md5Hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(Md5Hex("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(Md5Hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    EXPECT_EQ(Md5Hex(std::string("1234567890") + "1234567890" + "1234567890" + "1234567890" + "1234567890" +
                     "1234567890" + "1234567890" + "1234567890"),
              "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(HexCodec, WritesUpperCaseHighNibbleFirst) {
    const unsigned char bytes[] = {0x00, 0x0F, 0xA5, 0xFF, 0x10};
    char out[11];
    std::memset(out, 'x', sizeof out);
    CharStr2HexStr(bytes, out, 5);
    EXPECT_STREQ(out, "000FA5FF10");
}

TEST(HexCodec, ReadsPairsStoppingAtOtherCharacters) {
    unsigned char out[4];
    HexStr2CharStr("A5ff1G3", out, 4);
    // "ff" is not hex here; "1G" keeps the 1; "3" then the end of the text.
    EXPECT_EQ(out[0], 0xA5);
    EXPECT_EQ(out[1], 0x00);
    EXPECT_EQ(out[2], 0x01);
    EXPECT_EQ(out[3], 0x03);
    HexStr2CharStr("G1FF", out, 2);
    EXPECT_EQ(out[0], 0x00);
    EXPECT_EQ(out[1], 0xFF);
}

TEST(HexCodec, ShortTextIsNeverReadPastItsEnd) {
    // Exact-size heap copies so AddressSanitizer sees any overread.
    for (const std::string text : {"", "1", "12", "G", "1G", "123"}) {
        auto copy = std::make_unique<char[]>(text.size() + 1);
        std::memcpy(copy.get(), text.c_str(), text.size() + 1);
        unsigned char out[32];
        std::memset(out, 0xEE, sizeof out);
        HexStr2CharStr(copy.get(), out, 32);
        for (std::size_t i = (text.size() + 1) / 2; i < 32; ++i)
            EXPECT_EQ(out[i], 0) << "text '" << text << "' byte " << i;
    }
    unsigned char out[2] = {0xEE, 0xEE};
    HexStr2CharStr(nullptr, out, 2);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(out[1], 0);
}

TEST(PasswordCodec, FixedKeyIs32Characters) {
    EXPECT_EQ(std::string(FixedKeyText).size(), 32u);
}

TEST(PasswordCodec, EncryptToHexMatchesBlock256KnownAnswer) {
    const std::string hex = AesEncryptToHex(fromHex(PiPlain), fromHex(EKey));
    EXPECT_EQ(hex, "A49406115DFB30A40418AAFA4869B7C6A886FF31602A7DD19C889DC64F7E4E7A");
    // The plaintext has a zero byte at offset 24: decryption stops there.
    EXPECT_EQ(AesDecryptFromHex(hex, fromHex(EKey)), fromHex(PiPlain).substr(0, 24));
}

TEST(PasswordCodec, EncryptToHexIsDeterministicAndRoundTrips) {
    const std::string alphabet = "abcXYZ0189!@#;]~ qwertyuiopasdfghjklzxcvbnm";
    for (std::size_t length = 0; length <= 31; ++length) {
        const std::string text = alphabet.substr(length % 7, length);
        const std::string hex = AesEncryptToHex(text, FixedKeyText);
        ASSERT_EQ(hex.size(), 64u);
        EXPECT_EQ(hex.find_first_not_of("0123456789ABCDEF"), std::string::npos);
        EXPECT_EQ(AesEncryptToHex(text, FixedKeyText), hex);
        EXPECT_EQ(AesDecryptFromHex(hex, FixedKeyText), text) << "length " << length;
    }
    EXPECT_NE(AesEncryptToHex("secret1", FixedKeyText), AesEncryptToHex("secret2", FixedKeyText));
    EXPECT_NE(AesEncryptToHex("secret", FixedKeyText), AesEncryptToHex("secret", "another key"));
}

TEST(PasswordCodec, LongTextsKeepOnlyTheFirst32Bytes) {
    const std::string exact = "0123456789abcdefghijklmnopqrstuv";
    ASSERT_EQ(exact.size(), 32u);
    EXPECT_EQ(AesDecryptFromHex(AesEncryptToHex(exact, FixedKeyText), FixedKeyText), exact);
    const std::string longer = exact + "wxyz and more";
    EXPECT_EQ(AesEncryptToHex(longer, FixedKeyText), AesEncryptToHex(exact, FixedKeyText));
    EXPECT_EQ(AesDecryptFromHex(AesEncryptToHex(longer, FixedKeyText), FixedKeyText), exact);
}

TEST(PasswordCodec, EncryptToHex16IsAes256OfFirst16Bytes) {
    // FIPS-197 C.3 through the text interface.
    const std::string key = fromHex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
    EXPECT_EQ(AesEncryptToHex16(fromHex("00112233445566778899aabbccddeeff"), key),
              "8EA2B7CA516745BFEAFC49904B496089" + std::string(32, '0'));

    const std::string text = "a password longer than sixteen";
    const std::string hex = AesEncryptToHex16(text, FixedKeyText);
    ASSERT_EQ(hex.size(), 64u);
    EXPECT_EQ(hex.substr(32), std::string(32, '0'));
    CRijndael cipher;
    cipher.MakeKey(FixedKeyText, nullptr, 32, 16);
    char block[16];
    cipher.EncryptBlock(text.substr(0, 16).data(), block);
    EXPECT_EQ(hex.substr(0, 32), toUpperHex(std::string(block, 16)));
    EXPECT_EQ(AesEncryptToHex16(text.substr(0, 16), FixedKeyText), hex);
}

TEST(PasswordCodec, MalformedHexDecryptsToSomethingWithoutOverread) {
    const std::string hex = AesEncryptToHex("password", FixedKeyText);
    std::string lower = hex;
    for (char& c : lower)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    ASSERT_NE(lower, hex);
    EXPECT_NE(AesDecryptFromHex(lower, FixedKeyText), "password");
    for (const std::string& bad : {std::string(), std::string("1"), hex.substr(0, 63), std::string("zz?!"),
                                   std::string("AB\0CD", 5), hex + "FFFF"}) {
        const std::string plain = AesDecryptFromHex(bad, FixedKeyText);
        EXPECT_LE(plain.size(), 32u);
    }
    // Trailing characters beyond the 64 digits are ignored.
    EXPECT_EQ(AesDecryptFromHex(hex + "FFFF", FixedKeyText), "password");
}

TEST(PasswordCodec, WireVariantsUseTheWireCodePage) {
    platform::setWireCodePage(platform::WireCodePage::Cp1250);
    const std::string polish = "Zażółć gęślą jaźń";
    const std::string cp1250 = fromHex("5a61bff3b3e62067ea9c6cb9206a619ff1");
    ASSERT_EQ(platform::toWire(polish), cp1250);

    const std::string hex = AesEncryptToHexWire(polish, FixedKeyText);
    EXPECT_EQ(hex, AesEncryptToHex(cp1250, FixedKeyText));
    EXPECT_NE(hex, AesEncryptToHex(polish, FixedKeyText));
    EXPECT_EQ(AesDecryptFromHexWire(hex, FixedKeyText), polish);
    EXPECT_EQ(AesEncryptToHex16Wire(polish, FixedKeyText), AesEncryptToHex16(cp1250, FixedKeyText));
    EXPECT_EQ(Md5HexWire(polish), Md5Hex(cp1250));
    EXPECT_NE(Md5HexWire(polish), Md5Hex(polish));
    EXPECT_EQ(Md5HexWire("abc"), "900150983cd24fb0d6963f7d28e17f72");
}
