#include "admin/ContactCsv.h"

#include "platform/WireCodePage.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/resource.h>

namespace {

struct WireCodePageScope {
    explicit WireCodePageScope(platform::WireCodePage page) : previous(platform::wireCodePage()) {
        platform::setWireCodePage(page);
    }
    ~WireCodePageScope() { platform::setWireCodePage(previous); }
    platform::WireCodePage previous;
};

TEST(ContactCsv, CleansEachValueAndWritesTheWireBytes) {
    WireCodePageScope cp1250(platform::WireCodePage::Cp1250);
    // Controls and the separator become blanks; Polish letters, é, ü,
    // typographic quotes and both ASCII quotes stay; a Cyrillic letter has
    // no place in 1250.
    EXPECT_EQ(admin::CleanCsvValue("a;b\tc\r\nd\x7f", ";"), "a b c  d ");
    EXPECT_EQ(admin::CleanCsvValue("Zażółć é ü „x” 'q\" ж", ";"), "Zażółć é ü „x” 'q\"  ");
    EXPECT_EQ(admin::CleanCsvValue("\xc2\x85x\xe2\x80\xa8", ","), " x ");
    EXPECT_EQ(admin::CleanCsvValue("a;b", ""), "a;b");

    const QByteArray bytes = admin::CsvFileBytes({"Firma", "Imię"}, {{"A;B", "Łukasz"}, {"", "x\ny"}}, ";");
    EXPECT_EQ(bytes, QByteArray("Firma;Imi\xea;\r\nA B;\xa3ukasz;\r\n;x y;\r\n"));
    EXPECT_EQ(admin::CsvFileBytes({"a", "b"}, {{"1", "2"}}, ""), QByteArray("ab\r\n12\r\n"));
}

TEST(ContactCsv, RussianWritesCyrillicIn1251) {
    WireCodePageScope cp1251(platform::WireCodePage::Cp1251);
    EXPECT_EQ(admin::CleanCsvValue("Жук ą", ";"), "Жук  ");
    EXPECT_EQ(admin::CsvFileBytes({"Имя"}, {{"Жук"}}, ";"), QByteArray("\xc8\xec\xff;\r\n\xc6\xf3\xea;\r\n"));
}

TEST(ContactCsv, AWriteFailingHalfwayKeepsTheOldFileAndLeavesNothingElse) {
    QTemporaryDir dir;
    const QString path = dir.filePath("out.csv");
    QString reason;
    ASSERT_TRUE(admin::WriteCsvFile(path, "old\r\n", &reason));
    // A file-size limit makes the write fail part of the way through.
    const auto previousSignal = std::signal(SIGXFSZ, SIG_IGN);
    rlimit previous{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &previous), 0);
    rlimit small = previous;
    small.rlim_cur = 4096;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool written = admin::WriteCsvFile(path, QByteArray(100000, 'x'), &reason);
    setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, previousSignal);
    EXPECT_FALSE(written);
    EXPECT_FALSE(reason.isEmpty());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), QByteArray("old\r\n"));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{"out.csv"});
}

} // namespace
