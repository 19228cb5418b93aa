// The phone book of the older server generation: dBase tables written here,
// read by the table reader and imported into a real embedded database.
#include "admin/Console.h"
#include "admin/SettingsDialog.h"
#include "db/SessionDB.h"
#include "platform/DbaseTable.h"
#include "platform/WireCodePage.h"
#include "support/FirebirdFixtures.h"
#include "support/MainFormFixture.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QStringEncoder>

#include <cstdlib>
#include <random>

namespace {

struct Column {
    const char* name;
    char type;
    int length;
};

// The six columns of the old phone book, in their order.
const std::vector<Column> PhonebookColumns{{"NUMER", 'C', 20}, {"NAZWA", 'C', 45}, {"MIASTO", 'C', 30},
                                           {"ULICA", 'C', 60}, {"KOD", 'C', 6},    {"UWAGI", 'M', 10}};

QByteArray encoded(const std::string& text, const char* codePage) {
    QStringEncoder encoder(codePage);
    return encoder(QString::fromStdString(text));
}

void putLe(QByteArray& bytes, int at, std::uint32_t value, int size) {
    for (int i = 0; i < size; ++i)
        bytes[at + i] = char((value >> (8 * i)) & 0xFF);
}

// A dBase III table (memos in 512-byte blocks of a .dbt beside it) of rows
// given as UTF-8 texts, in the code page of the language driver byte.
struct TableBytes {
    QByteArray table, memo;
};
TableBytes makeTable(const std::vector<Column>& columns, const std::vector<std::vector<std::string>>& rows,
                     std::uint8_t languageDriver = 0xC8, const char* codePage = "windows-1250",
                     const std::vector<std::size_t>& deleted = {}) {
    int recordSize = 1;
    for (const Column& column : columns)
        recordSize += column.length;
    const int headerSize = 32 + 32 * int(columns.size()) + 1;
    QByteArray table(headerSize, '\0');
    table[0] = char(0x83);
    putLe(table, 4, std::uint32_t(rows.size()), 4);
    putLe(table, 8, std::uint32_t(headerSize), 2);
    putLe(table, 10, std::uint32_t(recordSize), 2);
    table[29] = char(languageDriver);
    for (std::size_t c = 0; c < columns.size(); ++c) {
        const int at = 32 + 32 * int(c);
        std::memcpy(table.data() + at, columns[c].name, std::strlen(columns[c].name));
        table[at + 11] = columns[c].type;
        table[at + 16] = char(columns[c].length);
    }
    table[headerSize - 1] = 0x0D;
    QByteArray memo(512, '\0');
    for (std::size_t r = 0; r < rows.size(); ++r) {
        QByteArray record(recordSize, ' ');
        if (std::find(deleted.begin(), deleted.end(), r) != deleted.end())
            record[0] = '*';
        int at = 1;
        for (std::size_t c = 0; c < columns.size(); ++c) {
            QByteArray value = encoded(rows[r][c], codePage);
            if (columns[c].type == 'M') {
                const int block = int(memo.size() / 512);
                memo += value + "\x1A\x1A";
                memo += QByteArray((512 - memo.size() % 512) % 512, '\0');
                value = QByteArray::number(block).rightJustified(columns[c].length, ' ');
            }
            record.replace(at, value.left(columns[c].length).size(), value.left(columns[c].length));
            at += columns[c].length;
        }
        table += record;
    }
    putLe(memo, 0, std::uint32_t(memo.size() / 512), 4);
    table += char(0x1A);
    return {table, memo};
}

std::vector<std::string> row(const std::string& number, const std::string& name,
                             const std::string& note = "") {
    return {number, name, "Łódź", "ul. Żółta 5", "90-001", note};
}

platform::DbaseTable opened(const TableBytes& bytes, std::string* error) {
    platform::DbaseTable table;
    auto memo = std::make_unique<QBuffer>();
    memo->setData(bytes.memo);
    *error = table.Open(bytes.table, std::move(memo), error) ? "" : (error->empty() ? "refused" : *error);
    return table;
}

} // namespace

TEST(DbaseTable, ReadsTextsMemosInNumberOrderAndRefusesADamagedTable) {
    std::string error;
    const std::string longNote(1500, 'n');
    const TableBytes bytes =
        makeTable(PhonebookColumns,
                  {row("30", "Trzeci", "zażółć gęślą jaźń"), row("10", "Pierwszy", longNote),
                   row("99", "Usunięty"), row("20", "Drugi")},
                  0xC8, "windows-1250", {2});
    platform::DbaseTable table = opened(bytes, &error);
    ASSERT_EQ(error, "");
    ASSERT_EQ(table.Fields().size(), 6u);
    EXPECT_EQ(table.LiveRecordsOrderedBy("numer"), (std::vector<std::size_t>{1, 3, 0}));
    EXPECT_EQ(table.Value(0, 1, 1023), "Trzeci");
    EXPECT_EQ(table.Value(0, 3, 1023), "ul. Żółta 5");
    EXPECT_EQ(table.Value(0, 5, 1023), "zażółć gęślą jaźń");
    EXPECT_EQ(table.Value(1, 5, 1023), std::string(1023, 'n'));

    // The language driver byte names the code page: Russian under 866.
    const TableBytes russian =
        makeTable(PhonebookColumns, {{"1", "Щукин", "Москва", "", "", "Примечание"}}, 0x65, "IBM866");
    platform::DbaseTable dos = opened(russian, &error);
    ASSERT_EQ(error, "");
    EXPECT_EQ(dos.Value(0, 1, 1023), "Щукин");
    EXPECT_EQ(dos.Value(0, 5, 1023), "Примечание");

    // A table cut short, a header pointing past its end, or memos without
    // their file are refused before any record is read.
    TableBytes cut = bytes;
    cut.table.chop(40);
    opened(cut, &error);
    EXPECT_NE(error, "");
    TableBytes header = bytes;
    putLe(header.table, 8, 0xFFFF, 2);
    opened(header, &error);
    EXPECT_NE(error, "");
    platform::DbaseTable noMemo;
    EXPECT_FALSE(noMemo.Open(bytes.table, nullptr, &error));
}

// Mutated tables and memo files: no crash or overrun (run under
// AddressSanitizer), memo texts within their limit. By hand:
// HALVEX_FUZZ_INPUTS=1000000.
TEST(DbaseTable, MutatedTablesNeverReadOutsideTheirFiles) {
    const char* wanted = std::getenv("HALVEX_FUZZ_INPUTS");
    const long inputs = wanted ? std::atol(wanted) : 20'000;
    std::mt19937 random(20261207);
    const TableBytes seed =
        makeTable(PhonebookColumns, {row("1", "Jeden", "notatka"), row("2", "Dwa", std::string(700, 'x'))});
    long opened = 0;
    for (long i = 0; i < inputs; ++i) {
        TableBytes bytes = seed;
        QByteArray& target = random() % 4 == 0 ? bytes.memo : bytes.table;
        for (int m = 0, count = int(random() % 6) + 1; m < count; ++m) {
            const int at = int(random() % std::uint32_t(target.size()));
            switch (random() % 3) {
            case 0:
                target[at] = char(random());
                break;
            case 1:
                target.truncate(at);
                break;
            default:
                target[std::min(at, 31)] = char(random());
            }
            if (target.isEmpty())
                break;
        }
        std::string error;
        platform::DbaseTable table;
        auto memo = std::make_unique<QBuffer>();
        memo->setData(bytes.memo);
        if (!table.Open(bytes.table, std::move(memo), &error))
            continue;
        ++opened;
        for (std::size_t r : table.LiveRecordsOrderedBy("NUMER")) {
            for (std::size_t f = 0; f < table.Fields().size(); ++f) {
                if (!platform::DbaseTable::IsBlobType(table.Fields()[f].type)) {
                    ASSERT_LE(table.Value(r, f, 100).size(), 100u * 3 + 255u * 3);
                }
            }
        }
    }
    EXPECT_GT(opened, inputs / 10);
}

namespace {

class PhonebookImport : public testing_support::MainFormFixture {
  protected:
    void SetUp() override {
        MainFormFixture::SetUp();
        platform::setWireCodePage(platform::WireCodePage::Cp1250);
        ASSERT_NO_FATAL_FAILURE(testfb::EmbeddedInSettings(c, folder.file("phonebook.fdb")));
        createForm("DEBUG");
        ASSERT_NO_FATAL_FAILURE(testfb::AttachAndCreateSchema(c));
        form->SetActiveLanguage(0);
        settings = std::make_unique<TKonfiguracja>();
        settings->console = &form->Admin();
        settings->DIPBEdit->setText(QString());
        settings->NameEdit->setText(QString::fromStdString(c.path));
        settings->UserEdit->setText(QString::fromStdString(c.user));
        settings->PassEdit->setText(QString::fromStdString(c.password));
    }
    void TearDown() override {
        settings.reset();
        MainFormFixture::TearDown();
        testfb::DetachMain();
    }
    void writeBeside(const TableBytes& bytes, const char* name = "KLIENCI") {
        for (const auto& [suffix, data] : {std::pair{".DBF", bytes.table}, std::pair{".DBT", bytes.memo}}) {
            QFile file(QString::fromStdString(folder.file(std::string(name) + suffix)));
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write(data);
        }
    }
    int count(const std::string& select) {
        const std::string rows = testfb::MainQuery(c, select);
        return rows.empty() ? -1 : std::atoi(rows.c_str());
    }
    std::string lastMessage() const {
        const auto calls = dialogs->Calls();
        return calls.empty() ? std::string() : calls.back().text;
    }
    std::string registryBytes() const {
        QFile file(QString::fromStdString(sandbox.machineRegistryFile()));
        return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string();
    }

    testfb::DatabaseFolder folder;
    testfb::Connection c;
    std::unique_ptr<TKonfiguracja> settings;
};

} // namespace

TEST_F(PhonebookImport, EveryRowTheDatabaseTakesIsCountedAndTheSettingsAreStored) {
    ASSERT_EQ(testfb::MainSql(c, "CREATE EXCEPTION phonebook_refused 'refused'"), 0);
    ASSERT_EQ(testfb::MainSql(c, "CREATE TRIGGER refuse_contact FOR contactpriv BEFORE INSERT POSITION 10 AS "
                                 "BEGIN IF (NEW.name STARTING WITH 'Odrzucony') THEN EXCEPTION "
                                 "phonebook_refused; END"),
              0);
    std::vector<std::vector<std::string>> rows;
    for (int i = 0; i < 250; ++i)
        rows.push_back(row(std::to_string(1000 + i),
                           (i % 100 == 7 ? "Odrzucony " : "Klient ") + std::to_string(i),
                           i == 0 ? std::string(1500, 'm') : "O'Brien"));
    writeBeside(makeTable(PhonebookColumns, rows));
    settings->btnImportPhonebookClick();
    EXPECT_EQ(lastMessage(), "Zaimportowano 247 kontaktów");
    EXPECT_EQ(count("SELECT COUNT(*) FROM contactpriv WHERE ctiusers_nuserid = 0 AND city = 'Łódź'"), 247);
    EXPECT_EQ(count("SELECT CHAR_LENGTH(note) FROM contactpriv WHERE name = 'Klient 0'"), 1000);
    EXPECT_EQ(count("SELECT COUNT(*) FROM contactpriv WHERE note = 'O''Brien'"), 246);
    EXPECT_EQ(form->Admin().ContactRows.size(), 247u);
    EXPECT_NE(registryBytes().find("\"NameFB\"=\"" + c.path + "\""), std::string::npos);
}

TEST_F(PhonebookImport, AWrongTableAMissingOneOrALoopbackHostImportNothing) {
    const std::string before = registryBytes();
    settings->DIPBEdit->setText("10.127.0.0.15");
    settings->btnImportPhonebookClick();
    EXPECT_NE(lastMessage().find("loopback"), std::string::npos);
    EXPECT_EQ(registryBytes(), before);
    settings->DIPBEdit->setText(QString());

    settings->btnImportPhonebookClick();
    EXPECT_EQ(lastMessage().rfind("Błąd przy próbie otwarcia bazy BDE.\n", 0), 0u) << lastMessage();
    EXPECT_NE(lastMessage().find("'klienci.*'"), std::string::npos);

    std::vector<Column> seven = PhonebookColumns;
    seven.push_back({"EXTRA", 'C', 5});
    writeBeside(makeTable(seven, {{"1", "Jan", "", "", "", "", "x"}}), "klienci");
    settings->btnImportPhonebookClick();
    EXPECT_EQ(lastMessage(),
              "Liczba kolumn w bazie 'klienci' jest nieprawidłowa.\nDane z bazy nie zostały zaimportowane");
    EXPECT_EQ(count("SELECT COUNT(*) FROM contactpriv"), 0);
}
