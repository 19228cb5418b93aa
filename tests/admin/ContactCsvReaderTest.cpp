// The reading of a contact file for the import, without forms: the header's
// columns and limits, the fields of a line, and a seeded mutation run.
#include "admin/ContactCsvReader.h"
#include "platform/WireCodePage.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

namespace {

using admin::ReadContactCsv;
using admin::SplitImportLine;

std::string columns(int count, const std::string& end = ";") {
    std::string header;
    for (int i = 0; i < count; ++i)
        header += "k" + std::to_string(i) + end;
    return header;
}

TEST(ContactCsvReader, HeaderColumnsLinesAndLimits) {
    platform::setWireCodePage(platform::WireCodePage::Cp1250);
    const QChar semicolon(u';');

    const auto threeNames = ReadContactCsv("Nazwisko;Imi\xea;Firma;\r\na;b;c;\r\n", semicolon);
    ASSERT_TRUE(threeNames.valid);
    EXPECT_EQ(threeNames.header, (std::vector<std::string>{"Nazwisko", "Imię", "Firma"}));
    EXPECT_EQ(threeNames.lines, QStringList{"a;b;c;"});

    // Lines end at CR LF, CR or LF; the last text of the header is a column.
    const auto mixed = ReadContactCsv("a;;b\rx\ny\r\n\r\nz", semicolon);
    EXPECT_EQ(mixed.header, (std::vector<std::string>{"a", "", "b"}));
    EXPECT_EQ(mixed.lines, (QStringList{"x", "y", "", "z"}));

    EXPECT_EQ(ReadContactCsv(columns(20) + "\r\n", semicolon).header.size(), 16u);
    EXPECT_TRUE(ReadContactCsv(std::string(255, 'x') + ";b;\r\n", semicolon).valid);
    EXPECT_FALSE(ReadContactCsv(std::string(256, 'x') + ";b;\r\n", semicolon).valid);
    EXPECT_FALSE(ReadContactCsv("a;" + std::string(256, 'x') + "\r\n", semicolon).valid);
    EXPECT_FALSE(ReadContactCsv(std::string("a;b;\r\nc\0d;\r\n", 13), semicolon).valid);

    const auto empty = ReadContactCsv("", semicolon);
    EXPECT_TRUE(empty.valid);
    EXPECT_TRUE(empty.header.empty());
    EXPECT_TRUE(empty.lines.isEmpty());
    EXPECT_TRUE(ReadContactCsv("a;b;\r\n", semicolon).lines.isEmpty());

    // Fields: a last one without its separator is kept, long ones are cut,
    // missing ones are empty, those beyond the header's count ignored.
    const auto fields = SplitImportLine("x;;" + QString(300, 'y') + ";z;w", semicolon, 4);
    EXPECT_EQ(fields, (std::vector<QString>{"x", "", QString(255, 'y'), "z"}));
    EXPECT_EQ(SplitImportLine("x", semicolon, 3), (std::vector<QString>{"x", "", ""}));

    EXPECT_EQ(admin::CleanImportValue(QString::fromUtf8(" O'Brien\t„Łódź” é\x01 ")), "O'Brien „Łódź” é");
    EXPECT_EQ(admin::PhoneDigits("+48 (12) 345-67-89 *#p wew."), "48123456789*#p");
}

// Mutated files through the reader and the line splitter: no crash or overrun
// (run under AddressSanitizer), limits kept, nothing unclean stored. By hand:
// HALVEX_FUZZ_INPUTS=1000000.
TEST(ContactCsvReader, MutatedFilesKeepTheLimits) {
    const char* wanted = std::getenv("HALVEX_FUZZ_INPUTS");
    const long inputs = wanted ? std::atol(wanted) : 20'000;
    std::mt19937 random(20261207);
    auto pick = [&random](std::size_t below) {
        return std::size_t(random() % std::max<std::size_t>(below, 1));
    };
    const std::vector<std::string> seeds{
        "Grupa;Firma;Nazwisko;Tel. kom.;\r\nKlienci;ACME;Kowalski;+48 600;\r\n;;;;\r\n",
        columns(20) + "\r\n" + columns(20, ",") + "\r\n",
        std::string(250, 'a') + ";b\n\xb9\xe6\xea;\x93x\x94;'\";\r", "\r\n\r\n;;;\n"};
    std::size_t valid = 0;
    for (long i = 0; i < inputs; ++i) {
        platform::setWireCodePage(i % 2 ? platform::WireCodePage::Cp1251 : platform::WireCodePage::Cp1250);
        std::string bytes = seeds[pick(seeds.size())];
        for (std::size_t edits = 1 + pick(6); edits > 0 && !bytes.empty(); --edits) {
            switch (pick(5)) {
            case 0:
                bytes[pick(bytes.size())] = char(pick(256));
                break;
            case 1:
                bytes.insert(pick(bytes.size() + 1), 1, ";\r\n\0"[pick(4)]);
                break;
            case 2:
                bytes.erase(pick(bytes.size()), pick(16));
                break;
            case 3:
                bytes.insert(pick(bytes.size() + 1), std::string(pick(300), char(pick(256))));
                break;
            default:
                bytes.insert(pick(bytes.size() + 1), bytes.substr(pick(bytes.size()), pick(64)));
            }
        }
        const QChar separator(u";,\tą"[pick(4)]);
        const admin::ContactCsvFile file = ReadContactCsv(bytes, separator);
        if (!file.valid)
            continue;
        ++valid;
        ASSERT_LE(file.header.size(), 16u);
        for (const std::string& column : file.header)
            ASSERT_LE(platform::utf8Length(column), 255u);
        ASSERT_EQ(bytes.find('\0'), std::string::npos);
        for (const QString& line : file.lines) {
            ASSERT_FALSE(line.contains('\r') || line.contains('\n'));
            for (const QString& field : SplitImportLine(line, separator, int(file.header.size()))) {
                ASSERT_LE(field.size(), 255);
                for (unsigned char c : admin::CleanImportValue(field))
                    ASSERT_GE(c, 0x20);
            }
        }
    }
    EXPECT_GT(valid, std::size_t(inputs / 4));
}

} // namespace
