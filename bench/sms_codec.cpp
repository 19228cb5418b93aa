// PDUs through the SMS codec per second, as the gateway uses it:
//  encode: destination, text (160 characters), SMS-SUBMIT hex, octets, Base64;
//  decode: Base64 of an SMS-DELIVER (GSM 7-bit, then UCS2 with a header),
//          hex, read, sender, time stamp, text.
// Each figure is the median and the 99th percentile (the slow end) of the
// rates of many rounds.
// Usage: sms_codec [rounds=200] [pdus per round=5000]
#include "BenchSupport.h"
#include "sms/SmsPdu.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

template <typename Work> std::vector<double> ratesOf(int rounds, int perRound, Work work) {
    std::vector<double> rates;
    for (int r = 0; r < rounds; ++r) {
        const auto start = Clock::now();
        for (int i = 0; i < perRound; ++i)
            work(i);
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        rates.push_back(perRound / seconds);
    }
    return rates;
}

void report(const char* what, const std::vector<double>& rates) {
    std::printf("%-34s median %10.0f /s   p99 %10.0f /s\n", what, bench::percentile(rates, 0.5),
                bench::percentile(rates, 0.01));
}

} // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 200;
    const int perRound = argc > 2 ? std::atoi(argv[2]) : 5000;

    std::string text;
    for (int i = 0; i < 16; ++i)
        text += "Zażółć gęś"; // 160 characters, Polish letters included
    sms::SmsPdu codec;
    std::size_t sink = 0;

    report("encode (160 characters)", ratesOf(rounds, perRound, [&](int i) {
               codec.SetDestination(i % 2 ? "+48601234567" : "601234567", i % 2);
               codec.SetText(text);
               sink += sms::Base64Encode(sms::SmsPdu::Serialize(codec.encodePdu())).size();
           }));

    codec.SetDestination("+48601234567", 0);
    codec.SetText(text);
    const std::string gsm = sms::SmsPdu::Serialize(codec.encodePdu());
    // The submit's body behind a deliver's header: centre, sender, stamp.
    const std::string deliver7 = sms::Base64Encode(
        sms::SmsPdu::Serialize("07918460100030F1040B918406214365F7000042209041500040") + gsm.substr(14));
    std::string ucs2Units;
    for (int i = 0; i < 67; ++i)
        ucs2Units += i % 2 ? "0142" : "0041";
    // 140 octets: a six-octet concatenation header and 67 characters.
    const std::string deliverUcs2 =
        sms::Base64Encode(sms::SmsPdu::Serialize("00440B918406214365F7000842209041500040"
                                                 "8C050003420201" +
                                                 ucs2Units));
    const sms::SmsDateTime now;

    for (const auto& [what, base64] : {std::pair{"decode GSM 7-bit (160 characters)", &deliver7},
                                       std::pair{"decode UCS2 with header (67 chars)", &deliverUcs2}}) {
        report(what, ratesOf(rounds, perRound, [&](int) {
                   if (codec.parsePDU(sms::SmsPdu::ToHex(sms::Base64Decode(*base64))) != 0)
                       std::abort();
                   sink += codec.GetSender().size() + codec.GetText().size() + codec.GetTimeStamp(now).year;
               }));
    }
    return sink == 0;
}
