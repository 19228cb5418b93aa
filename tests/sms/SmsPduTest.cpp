#include "sms/SmsPdu.h"
#include "platform/WireCodePage.h"

#include <gtest/gtest.h>

#include <QFile>
#include <cstdio>
#include <map>
#include <sstream>
#include <vector>

namespace {

using sms::SmsPdu;

const sms::SmsDateTime Now{1, 2, 3, 4, 5, 2030};

std::vector<std::vector<std::string>> vectorLines(const char* kind) {
    QFile file(QStringLiteral(HALVEX_SOURCE_DIR_FALLBACK "/tests/sms/data/sms_pdu_vectors.tsv"));
    EXPECT_TRUE(file.open(QIODevice::ReadOnly));
    std::vector<std::vector<std::string>> lines;
    std::istringstream in(file.readAll().toStdString());
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#')
            continue;
        std::vector<std::string> fields;
        std::istringstream fieldsIn(line);
        for (std::string field; std::getline(fieldsIn, field, '\t');)
            fields.push_back(field);
        if (fields[0] == kind)
            lines.push_back(fields);
    }
    return lines;
}

std::string stampText(const sms::SmsDateTime& when) {
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", when.year, when.month, when.day,
                  when.hour, when.minute, when.second);
    return text;
}

// The text an SMS-SUBMIT of `text` carries, read back.
std::string sentAndReadBack(const std::string& text) {
    SmsPdu encoder;
    EXPECT_TRUE(encoder.SetDestination("600100200", 1));
    EXPECT_TRUE(encoder.SetText(text));
    SmsPdu decoder;
    EXPECT_EQ(decoder.parsePDU(SmsPdu::ToHex(SmsPdu::Serialize(encoder.encodePdu()))), 0);
    return decoder.GetText();
}

} // namespace

TEST(SmsPduVectors, EncoderAndDecodersAgreeWithTheIndependentVectors) {
    platform::setWireCodePage(platform::WireCodePage::Cp1250);
    const auto encodes = vectorLines("encode");
    const auto delivers = vectorLines("deliver");
    const auto reports = vectorLines("report");
    ASSERT_GE(encodes.size(), 30u);
    ASSERT_GE(delivers.size(), 30u);
    ASSERT_GE(reports.size(), 4u);
    for (const auto& v : encodes) {
        SmsPdu pdu;
        ASSERT_TRUE(pdu.SetDestination(v[1], std::stoi(v[2]))) << v[1];
        ASSERT_TRUE(pdu.SetText(SmsPdu::Serialize(v[3]))) << v[3];
        EXPECT_EQ(pdu.encodePdu(), v[4]) << v[1] << " " << v[3];
    }
    SmsPdu pdu; // one codec for all, as the engine keeps it
    for (const auto& v : delivers) {
        SCOPED_TRACE(v[1]);
        ASSERT_EQ(pdu.parsePDU(v[2]), 0);
        EXPECT_EQ(pdu.GetSender(), v[3]);
        EXPECT_EQ(stampText(pdu.GetTimeStamp(Now)), v[4] == "now" ? stampText(Now) : v[4]);
        EXPECT_EQ(pdu.GetText(), SmsPdu::Serialize(v[5]));
    }
    for (const auto& v : reports) {
        SCOPED_TRACE(v[1]);
        ASSERT_EQ(pdu.parseRaportPDU(v[2]), 0);
        EXPECT_EQ(pdu.messageReference, std::stoi(v[3]));
        EXPECT_EQ(pdu.GetSender(), v[4]);
        EXPECT_EQ(pdu.GetStatus(), std::stoi(v[5]));
    }
}

TEST(SmsPduEncoder, BuildsTheSubmitAndRefusesWhatItCannotSend) {
    SmsPdu pdu;
    ASSERT_TRUE(pdu.SetDestination("123456789", 1));
    ASSERT_TRUE(pdu.SetText("abc"));
    EXPECT_EQ(pdu.encodePdu(), "003100098121436587F90000AA0361F118");

    // 160 characters, not bytes: Polish letters take two bytes each.
    std::string longest;
    for (int i = 0; i < 160; ++i)
        longest += "ł";
    EXPECT_TRUE(pdu.SetText(longest));
    EXPECT_FALSE(pdu.SetText(longest + "a"));
    EXPECT_EQ(pdu.text, longest);
    EXPECT_EQ(pdu.encodePdu().substr(26, 2), "A0");

    // Plans and the "+" prefix; refusals change nothing.
    EXPECT_TRUE(pdu.SetDestination("48601234567", 0));
    EXPECT_EQ(pdu.addressType, 0x91);
    EXPECT_TRUE(pdu.SetDestination("+48601234567", 1));
    EXPECT_EQ(pdu.addressType, 0x91);
    EXPECT_EQ(pdu.address, "48601234567");
    for (const char* bad : {"", "+", "60 123", "60#1", "601234567*", "123456789012345678901"})
        EXPECT_FALSE(pdu.SetDestination(bad, 1)) << bad;
    EXPECT_FALSE(pdu.SetDestination("601234567", 2));
    EXPECT_EQ(pdu.address, "48601234567");
    EXPECT_EQ(pdu.addressType, 0x91);
}

// Every character 0x00 to 0x7F goes as one septet and reads back as the
// table says: most as themselves, the rest as their stand-ins.
TEST(SmsPduEncoder, EveryCharacterOfTheTableReadsBackAsItsSeptet) {
    platform::setWireCodePage(platform::WireCodePage::Cp1250);
    const std::map<char, std::string> standIns = {
        {'\n', "\n"}, {'\f', "\n"}, {'\r', "\r"}, {'[', "<"}, {'\\', "/"}, {']', ">"}, {'^', "?"},
        {'`', "'"},   {'{', "("},   {'|', "?"},   {'}', ")"}, {'~', "="},  {0x7F, "?"}};
    std::string all;
    std::string expected;
    for (int c = 0; c < 0x80; ++c) {
        const std::string one(1, char(c));
        std::string want = one;
        if (standIns.count(char(c)))
            want = standIns.at(char(c));
        else if (c < 0x20)
            want = "?";
        EXPECT_EQ(sentAndReadBack(one), want) << "character " << c;
        all += one;
        expected += want;
    }
    // The same in one text, so that every bit offset of the packing is used.
    EXPECT_EQ(sentAndReadBack(all.substr(0, 100)), expected.substr(0, 100));
    EXPECT_EQ(sentAndReadBack(all.substr(100)), expected.substr(100));
    EXPECT_EQ(sentAndReadBack("Zażółć – „gęślą” jaźń € Ж"), "Zazolc - \"gesla\" jazn ? ?");
}

TEST(SmsPduDecoder, ShortForeignOrMixedInputGivesResultTwoAndClearedFields) {
    const std::string deliver = "0791846010003001040B918406214365F7000042209041500040"
                                "05C8329BFD06";
    SmsPdu pdu;
    ASSERT_EQ(pdu.parsePDU(deliver), 0);
    ASSERT_EQ(pdu.GetText(), "Hello");
    ASSERT_EQ(pdu.GetSender(), "+48601234567");
    // Every cut before the user data is too short; the user data may be cut.
    const std::size_t userDataAt = deliver.size() - 10;
    for (std::size_t length = 0; length < deliver.size(); ++length) {
        const int result = pdu.parsePDU(deliver.substr(0, length));
        EXPECT_EQ(result, length < userDataAt ? 2 : 0) << length;
        if (length < 20) {
            EXPECT_EQ(pdu.GetSender(), "") << "a field of the previous message survived, length " << length;
        }
    }
    EXPECT_EQ(pdu.parsePDU(deliver + "Z"), 2);
    EXPECT_EQ(pdu.parsePDU("00 4"), 2);
    EXPECT_EQ(pdu.GetTimeStamp(Now), Now);
    // A header announced but no user data to hold it.
    EXPECT_EQ(pdu.parsePDU("00440B918406214365F700004220904150004005"), 2);
    // A report too short for its status.
    const std::string report = "0006"
                               "2A"
                               "0B918406214365F7"
                               "42506070809040"
                               "42506070809140"
                               "00";
    EXPECT_EQ(pdu.parseRaportPDU(report), 0);
    EXPECT_EQ(pdu.GetStatus(), 0);
    EXPECT_EQ(pdu.parseRaportPDU(report.substr(0, report.size() - 1)), 2);
    EXPECT_EQ(pdu.parseRaportPDU("00062A0B9184"), 2);

    // An empty sender still carries its type of address before the fields after it.
    ASSERT_EQ(pdu.parsePDU("0004"
                           "0081"
                           "0000"
                           "42209041500040"
                           "0361F118"),
              0);
    EXPECT_EQ(pdu.GetSender(), "");
    EXPECT_EQ(pdu.GetText(), "abc");
    EXPECT_EQ(pdu.GetTimeStamp(Now), (sms::SmsDateTime{0, 5, 14, 9, 2, 2024}));

    // Both readers log the hex they were given, also after clearing fields.
    struct Lines : cCallbackLog {
        void operator()(const std::string& line) override { lines.push_back(line); }
        std::vector<std::string> lines;
    } log;
    pdu.SetLogCallback(&log);
    pdu.parsePDU("0004");
    pdu.parseRaportPDU("00");
    EXPECT_EQ(log.lines, (std::vector<std::string>{"parsePDU 0004\n", "parseRaportPDU 00\n"}));

    // A submit is read back with its own fields.
    ASSERT_EQ(pdu.parsePDU("003100098121436587F90000AA0361F118"), 0);
    EXPECT_EQ(pdu.GetSender(), "123456789");
    EXPECT_EQ(pdu.validityPeriod, 0xAA);
    EXPECT_EQ(pdu.parsePDU("003100098121436587F90000AA"), 2);
}

TEST(SmsText, Base64AndHexHelpersStopAtWhatTheyCannotUse) {
    using sms::Base64Decode;
    using sms::Base64Encode;
    EXPECT_EQ(Base64Decode("YWJj"), "abc");
    EXPECT_EQ(Base64Decode("YWJj=ZZZ"), "abc");
    EXPECT_EQ(Base64Decode("YW"), "a");
    EXPECT_EQ(Base64Decode("YWI"), "ab");
    EXPECT_EQ(Base64Decode("YWJjZ"), "abc");
    EXPECT_EQ(Base64Decode("YW Jj"), "a");
    EXPECT_EQ(Base64Decode("YWJj\r\nYWJj"), "abc");
    EXPECT_EQ(Base64Encode(std::string_view("a")), "YQ==");
    EXPECT_EQ(Base64Encode(std::string_view("ab")), "YWI=");
    EXPECT_EQ(Base64Encode(std::string_view("abc")), "YWJj");
    std::string every;
    for (int b = 0; b < 256; ++b)
        every += char(b);
    for (std::size_t length = 0; length <= every.size(); length += 37)
        EXPECT_EQ(Base64Decode(Base64Encode(every.substr(0, length))), every.substr(0, length));

    EXPECT_EQ(SmsPdu::ToHex(every.substr(0, 3) + "\xff"), "000102FF");
    EXPECT_EQ(SmsPdu::Serialize("0a1"), "");
    EXPECT_EQ(SmsPdu::Serialize("0G"), "");
    EXPECT_EQ(SmsPdu::Serialize("0aFf"), "\x0a\xff");
    EXPECT_EQ(SmsPdu::IntToHex(0), "00");
    EXPECT_EQ(SmsPdu::IntToHex(0x123), "0123");
    EXPECT_EQ(SmsPdu::HexToInt("aF"), 0xAF);
    EXPECT_EQ(SmsPdu::HexToInt("x1"), -1);
    EXPECT_EQ(SmsPdu::ToSemiOctets("12345"), "2143F5");
    EXPECT_EQ(SmsPdu::SwapNibbles("2143F5"), "12345F");
}

// The codec's own code-page tables agree with the system's converters, so
// decoded text keeps exactly what the wire can carry.
TEST(SmsText, CodePageTablesAgreeWithTheWireConverters) {
    for (const auto page : {platform::WireCodePage::Cp1250, platform::WireCodePage::Cp1251}) {
        platform::setWireCodePage(page);
        for (int b = 0x80; b < 0x100; ++b) {
            const QString decoded = QString::fromStdString(platform::fromWire(std::string(1, char(b))));
            ASSERT_EQ(decoded.size(), 1);
            const char32_t code = decoded.at(0).unicode();
            if (code == 0xFFFD || (code >= 0x80 && code < 0xA0))
                continue; // unassigned byte, read as itself or as the replacement
            EXPECT_TRUE(sms::FitsWireCodePage(code)) << b;
            if (page == platform::WireCodePage::Cp1250) {
                EXPECT_EQ(static_cast<unsigned char>(sms::Ucs2ToCp1250(code)), b);
            }
        }
    }
    EXPECT_FALSE(sms::FitsWireCodePage(U'ł'));
    EXPECT_TRUE(sms::FitsWireCodePage(U'Ж'));
    SmsPdu pdu;
    ASSERT_EQ(pdu.parsePDU("00040B918406214365F7000842209041500040060416044B0142"), 0);
    EXPECT_EQ(pdu.GetText(), "Жы?");
    platform::setWireCodePage(platform::WireCodePage::Cp1250);
    EXPECT_EQ(pdu.GetText(), "??ł");
    EXPECT_EQ(sms::Ucs2ToCp1250(U'Ж'), '?');
    EXPECT_EQ(sms::Ucs2ToCp1250('A'), 'A');
}
