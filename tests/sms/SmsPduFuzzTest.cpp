#include "platform/WireCodePage.h"
#include "sms/SmsPdu.h"
#include "sms/SmsText.h"

#include <gtest/gtest.h>

#include <random>

namespace {

using sms::SmsPdu;

// Well-formed UTF-8 of characters the wire code page holds.
bool isWireText(const std::string& text) {
    for (std::size_t at = 0; at < text.size();) {
        const char32_t code = sms::text::NextCodePoint(text, at);
        if (code == sms::text::InvalidCodePoint || !sms::FitsWireCodePage(code))
            return false;
    }
    return true;
}

bool isRealDate(const sms::SmsDateTime& t) {
    return t.month >= 1 && t.month <= 12 && t.day >= 1 && t.day <= 31 && t.hour >= 0 && t.hour <= 23 &&
           t.minute >= 0 && t.minute <= 59 && t.second >= 0 && t.second <= 59 && t.year >= 1970 &&
           t.year < 2070;
}

const char* const Seeds[] = {
    "0791846010003001040B918406214365F7000042209041500040"
    "05C8329BFD06",
    "00440B918406214365F7000842209041500040"
    "12050003420201"
    "0043007A0119015B01070107",
    "0044098106214365F70000423090415095401006080412340202D0B09C0EA2DFDF",
    "00040BD0C830DB5EC60300004230904150954008CB37191493CD68",
    "00040B918406214365F7002042209041500040"
    "03010203",
    "07918460100030F106"
    "2A0B918406214365F74250607080904042506070809140"
    "45",
    "0006FF098121436587F942506070809040"
    "42506070809140"
    "80",
    "003100098121436587F90000AA0361F118",
};

std::string mutate(std::mt19937& random, std::string hex) {
    static const char Digits[] = "0123456789ABCDEFabcdef";
    auto pick = [&random](std::size_t below) {
        return std::size_t(random() % std::max<std::size_t>(below, 1));
    };
    const int edits = 1 + int(random() % 4);
    for (int e = 0; e < edits; ++e) {
        switch (random() % 7) {
        case 0: // one digit changed
            if (!hex.empty())
                hex[pick(hex.size())] = Digits[pick(22)];
            break;
        case 1: // a length or type octet made large or zero
            if (hex.size() >= 2) {
                const std::size_t at = pick(hex.size() / 2) * 2;
                hex.replace(at, 2, random() % 2 ? "FF" : "00");
            }
            break;
        case 2: // cut
            hex.resize(pick(hex.size() + 1));
            break;
        case 3: // a piece repeated
            if (!hex.empty()) {
                const std::size_t at = pick(hex.size());
                hex.insert(at, hex.substr(at, pick(40)));
            }
            break;
        case 4: // a foreign character
            hex.insert(pick(hex.size() + 1), 1, char(random() % 256));
            break;
        case 5: // random digits appended
            for (std::size_t n = pick(600); n > 0; --n)
                hex += Digits[pick(16)];
            break;
        default: // first octet's header indicator and type bits
            if (hex.size() >= 4)
                hex.replace(2, 2, SmsPdu::IntToHex(std::uint32_t(random() % 256)));
            break;
        }
    }
    return hex;
}

} // namespace

// Random and mutated PDUs through both readers and every getter: no crash,
// no read past the end (run under AddressSanitizer), text and dates always
// well formed, and the codec still reads a good PDU afterwards.
TEST(SmsPduFuzz, MillionRandomAndMutatedPdusLeaveTheCodecSound) {
    platform::setWireCodePage(platform::WireCodePage::Cp1250);
    std::mt19937 random(20240612);
    const sms::SmsDateTime now{1, 2, 3, 4, 5, 2030};
    SmsPdu pdu;
    int badTexts = 0;
    int badDates = 0;
    int results[3] = {0, 0, 0};
    for (int i = 0; i < 1'000'000; ++i) {
        std::string hex;
        if (i % 5 == 0) {
            for (std::size_t n = random() % 400; n > 0; --n)
                hex += "0123456789ABCDEF"[random() % 16];
        } else {
            hex = mutate(random, Seeds[random() % std::size(Seeds)]);
        }
        const int result = i % 2 ? pdu.parseRaportPDU(hex) : pdu.parsePDU(hex);
        if (result != 0 && result != 2)
            ADD_FAILURE() << "result " << result << " for " << hex;
        ++results[result == 0 ? 0 : 2];
        const std::string text = pdu.GetText();
        badTexts += !isWireText(text) || text.size() > 4 * pdu.userData.size() + 64;
        const sms::SmsDateTime when = pdu.GetTimeStamp(now);
        badDates += !(when == now || isRealDate(when));
        badTexts += pdu.GetSender().size() > 256;
        (void)pdu.GetStatus();
        (void)pdu.GetCoding();
    }
    EXPECT_EQ(badTexts, 0);
    EXPECT_EQ(badDates, 0);
    EXPECT_GT(results[0], 100'000); // both paths were taken often
    EXPECT_GT(results[2], 100'000);

    // Encoder: random bytes as text (broken UTF-8 included), read back.
    for (int i = 0; i < 100'000; ++i) {
        std::string text;
        for (std::size_t n = random() % 200; n > 0; --n)
            text += char(random() % 256);
        SmsPdu encoder;
        if (!encoder.SetDestination(std::to_string(random() % 1'000'000'000), int(random() % 2)) ||
            !encoder.SetText(text))
            continue;
        SmsPdu decoder;
        ASSERT_EQ(decoder.parsePDU(encoder.encodePdu()), 0);
        ASSERT_TRUE(isWireText(decoder.GetText()));
    }

    ASSERT_EQ(pdu.parsePDU(Seeds[0]), 0);
    EXPECT_EQ(pdu.GetText(), "Hello");
    EXPECT_EQ(pdu.GetSender(), "+48601234567");
}
