#include "base/DiagnosticLog.h"
#include "base/LogFile.h"
#include "platform/ShutdownSignals.h"
#include "support/MainFormFixture.h"

#include <QDir>
#include <QFile>
#include <regex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using testing_support::MainFormFixture;

class DiagnosticLog : public MainFormFixture {};

TEST_F(DiagnosticLog, NothingIsWrittenWhileTheMasterSwitchIsOff) {
    createForm("ALL");
    auto& sw = base::Switches();
    EXPECT_FALSE(sw.LogInfo.load());
    EXPECT_TRUE(sw.chbLogBaza && sw.chbInfoPCTI && sw.chbLogRS && sw.chbLogDzwonienie);
    form->WriteLog(1, "one");
    form->WriteLog(3, "three");
    EXPECT_EQ(base::DiagnosticLog::instance().LogQueueMain.Size(), 0u);
    EXPECT_EQ(base::DiagnosticLog::instance().LogQueueSecond.Size(), 0u);
}

TEST_F(DiagnosticLog, CommandLineWordsMatchAnywhereInAnyCase) {
    createForm("xxdebugyy --All");
    auto& sw = base::Switches();
    EXPECT_TRUE(sw.LogInfo && sw.chbLogBaza && sw.chbInfoPCTI && sw.chbLogRS && sw.chbLogDzwonienie);
    EXPECT_TRUE(form->LogInfo->isChecked());
    EXPECT_TRUE(form->TabDebug->TabVisible());
    EXPECT_TRUE(form->CheckBoxInfoUART->isEnabled());
}

TEST_F(DiagnosticLog, LinesHaveTheirTimeStampAndLevelsGoToTheirPanes) {
    createForm("DEBUG");
    mainLogText();
    logSoFar.clear();
    form->WriteLog(2, "błąd %d", 7);
    form->WriteLog(4, "ignored");
    const std::string line = mainLogText();
    EXPECT_TRUE(
        std::regex_search(line, std::regex(R"(^[A-Z][a-z]{2} [ 123][0-9] \d\d:\d\d:\d\d\.\d{3}: błąd 7\n$)")))
        << line;
    for (int i = 0; i < 3; ++i)
        form->WriteLog(3, "kolejka %d", i);
    form->TimerUpdateKolejkaTimer();
    ASSERT_EQ(form->Kolejka->count(), 3);
    EXPECT_EQ(form->Kolejka->item(2)->text().toStdString(), "kolejka 2");
}

TEST_F(DiagnosticLog, AFullPaneStartsAgainAndTheFileKeepsEverything) {
    createForm("DEBUG");
    form->LogFilePath = sandbox.file("test.log");
    form->TimerUpdateInfoTimer();
    QFile::remove(QString::fromStdString(form->LogFilePath));
    form->Info->clear();
    for (int i = 0; i < 600; ++i)
        form->WriteLog(1, "line %d", i);
    form->TimerUpdateInfoTimer();
    EXPECT_EQ(form->Info->count(), 100);
    EXPECT_NE(form->Info->item(99)->text().toStdString().find("line 599"), std::string::npos);
    const std::string file = testing_support::readFile(form->LogFilePath);
    EXPECT_EQ(std::count(file.begin(), file.end(), '\n'), 600);
    EXPECT_NE(file.find("line 0\r\n"), std::string::npos);
}

namespace {

// What a pane holds when lines are added one at a time, the pane being
// cleared whenever it is full before a line is added.
QStringList oneByOne(QStringList pane, const QStringList& lines, int limit) {
    for (const QString& line : lines) {
        if (pane.size() >= limit)
            pane.clear();
        pane << line;
    }
    return pane;
}

QStringList numbered(const char* prefix, int count) {
    QStringList lines;
    for (int i = 0; i < count; ++i)
        lines << QStringLiteral("%1 %2").arg(QLatin1String(prefix)).arg(i);
    return lines;
}

} // namespace

TEST_F(DiagnosticLog, ADrainsBatchLeavesEachPaneAsLineByLineAddingWould) {
    createForm("DEBUG");
    form->LogFilePath = sandbox.file("batch.log");
    const std::pair<int, int> cases[] = {{0, 1},      {0, 500}, {0, 501},  {450, 49},  {450, 50}, {450, 51},
                                         {499, 1001}, {500, 1}, {0, 1234}, {120, 130}, {249, 1},  {250, 250}};
    for (const auto& [before, batch] : cases) {
        for (const bool second : {false, true}) {
            ui::TListBox* pane = second ? form->Kolejka : form->Info;
            const int limit = second ? 250 : form->MainPaneLineLimit;
            const QStringList start = numbered("old", std::min(before, limit));
            const QStringList lines = numbered("new", batch);
            pane->SetItems(start);
            for (const QString& line : lines) {
                if (second)
                    form->QueueLogLineSecond(line.toStdString());
                else
                    form->QueueLogLineMain(line.toStdString());
            }
            if (second)
                form->TimerUpdateKolejkaTimer();
            else
                form->TimerUpdateInfoTimer();
            EXPECT_EQ(pane->Items(), oneByOne(start, lines, limit))
                << (second ? "Kolejka" : "Info") << " holding " << before << ", batch of " << batch;
        }
    }
    // The file still takes every line of every batch.
    const std::string file = testing_support::readFile(form->LogFilePath);
    EXPECT_EQ(std::count(file.begin(), file.end(), '\n'),
              1 + 500 + 501 + 49 + 50 + 51 + 1001 + 1 + 1234 + 130 + 1 + 250);
}

TEST_F(DiagnosticLog, TheFileIsNotTouchedWhileLoggingToFileIsOff) {
    createForm("DEBUG");
    form->LogFilePath = sandbox.file("off.log");
    form->LogDoPliku->setChecked(false);
    form->UstawDiagnostyke();
    form->WriteLog(1, "x");
    form->TimerUpdateInfoTimer();
    EXPECT_FALSE(QFile::exists(QString::fromStdString(form->LogFilePath)));
    EXPECT_EQ(form->Info->count() > 0, true);
}

TEST_F(DiagnosticLog, LongMessagesAreCutAndOutsideTextIsNeverAFormat) {
    createForm("DEBUG");
    mainLogText();
    logSoFar.clear();
    const std::string huge(70000, 'x');
    form->WriteLog(1, "%s", huge.c_str());
    form->WriteLog(1, "%s", "%s%n%x");
    const std::string text = mainLogText();
    const auto firstEnd = text.find('\n');
    EXPECT_EQ(firstEnd, base::DiagnosticLog::MaxLineLength);
    EXPECT_NE(text.find("%s%n%x"), std::string::npos);
}

TEST_F(DiagnosticLog, TheUartSwitchNeedsTheCtiSwitch) {
    createForm("DEBUG");
    form->chbInfoPCTI->setChecked(true);
    form->UstawDiagnostyke();
    form->CheckBoxInfoUART->setChecked(true);
    form->UstawDiagnostyke();
    EXPECT_TRUE(base::Switches().CheckBoxInfoUART);
    form->chbInfoPCTI->setChecked(false);
    form->UstawDiagnostyke();
    EXPECT_FALSE(form->CheckBoxInfoUART->isEnabled());
    EXPECT_TRUE(form->CheckBoxInfoUART->isChecked());
}

TEST_F(DiagnosticLog, ManyThreadsLogWithoutLosingLines) {
    createForm("DEBUG");
    mainLogText();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 500; ++i)
                base::WriteLog(1, "t%d %d", t, i);
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(base::DiagnosticLog::instance().LogQueueMain.Size(), 2000u);
}

// While nobody drains the log (the GUI thread busy elsewhere) its queue stops
// at its limit; the count of lines lost is logged once the queue takes lines again.
TEST_F(DiagnosticLog, AQueueNobodyDrainsStopsAtItsLimitAndCountsTheLinesLost) {
    createForm("DEBUG");
    using Log = base::DiagnosticLog;
    const std::string longest(Log::MaxLineLength, 'x');
    const std::size_t fit = Log::QueuedBytesLimit / Log::MaxLineLength;
    for (std::size_t i = 0; i < fit + 10; ++i)
        form->WriteLog(1, "%s", longest.c_str());
    EXPECT_EQ(Log::instance().LogQueueMain.Size(), fit);
    mainLogText();
    logSoFar.clear();
    form->WriteLog(1, "dalej");
    const std::string text = mainLogText();
    EXPECT_NE(text.find(": dalej\n"), std::string::npos);
    EXPECT_NE(text.find(": Dziennik: kolejka pełna, pominięto wierszy: 10\n"), std::string::npos);
}

TEST_F(DiagnosticLog, TheSecondPaneIsSavedBesideTheLogFile) {
    createForm("DEBUG");
    form->LogFilePath = sandbox.file("halvex.log");
    form->Kolejka->SetItems({"a", "b"});
    form->Nagraj1Click();
    EXPECT_EQ(testing_support::readFile(sandbox.file("kolejka.log")), "a\r\nb\r\n");
}

TEST_F(DiagnosticLog, AMultiLineMessageStaysOneStampedLine) {
    createForm("DEBUG");
    form->LogFilePath = sandbox.file("lines.log");
    form->TimerUpdateInfoTimer();
    QFile::remove(QString::fromStdString(form->LogFilePath));
    form->WriteLog(2, "%s", "Dynamic SQL Error\nSQL error code = -104\r\nToken unknown\n");
    form->WriteLog(3, "%s", "a\nb");
    form->TimerUpdateInfoTimer();
    form->TimerUpdateKolejkaTimer();
    EXPECT_TRUE(
        std::regex_match(testing_support::readFile(form->LogFilePath),
                         std::regex(R"([A-Z][a-z]{2} [ 123][0-9] \d\d:\d\d:\d\d\.\d{3}: )"
                                    R"(Dynamic SQL Error\\nSQL error code = -104\\r\\nToken unknown\r\n)")))
        << testing_support::readFile(form->LogFilePath);
    ASSERT_EQ(form->Kolejka->count(), 1);
    EXPECT_EQ(form->Kolejka->item(0)->text().toStdString(), "a\\nb");
}

TEST_F(DiagnosticLog, ALogFileThatCannotBeWrittenIsReportedOnce) {
    createForm("DEBUG");
    const QString folder = QString::fromStdString(sandbox.file("logs"));
    form->LogFilePath = sandbox.file("logs/halvex.log");
    form->TimerUpdateInfoTimer();
    form->Info->clear();
    auto reports = [this, &folder] {
        int count = 0;
        for (const QString& line : form->Info->Items())
            count += line.contains(QStringLiteral("Nie można zapisać pliku ") + folder) ? 1 : 0;
        return count;
    };

    testing::internal::CaptureStderr();
    for (int i = 0; i < 3; ++i) {
        form->WriteLog(1, "line %d", i);
        form->TimerUpdateInfoTimer();
    }
    std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(reports(), 1);
    EXPECT_EQ(form->Info->count(), 4) << "the lines still reach the pane";
    ASSERT_NE(said.find(folder.toStdString() + "/halvex.log"), std::string::npos) << said;
    EXPECT_EQ(said.find(folder.toStdString() + "/halvex.log", said.find("halvex.log") + 1), std::string::npos)
        << said;

    // Writable again, and then lost again: said again.
    ASSERT_TRUE(QDir().mkpath(folder));
    form->WriteLog(1, "written");
    form->TimerUpdateInfoTimer();
    EXPECT_NE(testing_support::readFile(form->LogFilePath).find("written"), std::string::npos);
    ASSERT_TRUE(QDir(folder).removeRecursively());
    testing::internal::CaptureStderr();
    form->WriteLog(1, "lost");
    form->TimerUpdateInfoTimer();
    form->TimerUpdateInfoTimer();
    said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("halvex.log"), std::string::npos);
    EXPECT_EQ(reports(), 2);
}

namespace {

int modeOf(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? int(info.st_mode & 0777) : -1;
}

} // namespace

// The log holds what clients send: its owner's only, also a file an older
// version left readable by all. A flood moves it aside at its size, a few
// files are kept, and each new file starts by saying so.
TEST_F(DiagnosticLog, TheFileIsItsOwnersOnlyAndIsMovedAsideAtItsSize) {
    createForm("DEBUG");
    form->LogFilePath = sandbox.file("halvex.log");
    form->WriteLog(1, "new");
    form->TimerUpdateInfoTimer();
    EXPECT_EQ(modeOf(form->LogFilePath), 0600);
    ASSERT_EQ(::chmod(form->LogFilePath.c_str(), 0644), 0);
    form->WriteLog(1, "again");
    form->TimerUpdateInfoTimer();
    EXPECT_EQ(modeOf(form->LogFilePath), 0600);

    const std::string path = sandbox.file("flood.log");
    const base::LogFileLimits limits{1000, 2};
    const std::string line(48, 'x'); // 50 bytes with its line end
    std::size_t rotations = 0;
    for (int batch = 0; batch < 10; ++batch) {
        std::deque<std::string> lines;
        for (int i = 0; i < 10; ++i)
            lines.push_back(line.substr(0, 40) + "-" + std::to_string(batch * 10 + i));
        const base::LogFileAppend appended = base::AppendToLogFile(path, lines, limits);
        ASSERT_TRUE(appended.written) << appended.error;
        rotations += appended.rotations.size();
    }
    EXPECT_GE(rotations, 3u);
    for (const std::string& file : {path, path + ".1", path + ".2"}) {
        const std::string text = testing_support::readFile(file);
        EXPECT_LE(text.size(), 1000u) << file;
        EXPECT_EQ(modeOf(file), 0600) << file;
        EXPECT_NE(text.substr(0, text.find("\r\n")).find(": Dziennik: plik osiągnął "), std::string::npos)
            << "the first line of " << file << " tells of the move";
    }
    EXPECT_FALSE(QFile::exists(QString::fromStdString(path + ".3")));
    EXPECT_NE(testing_support::readFile(path).find("-99\r\n"), std::string::npos);
    EXPECT_NE(testing_support::readFile(path).find("przeniesiono go do " + path + ".1"), std::string::npos);
}

TEST(DiagnosticLogTime, MonthNamesAreEnglishWhateverTheLocale) {
    std::tm when{};
    when.tm_year = 2026 - 1900;
    when.tm_mon = 5;
    when.tm_mday = 3;
    when.tm_hour = 21;
    when.tm_min = 49;
    when.tm_sec = 8;
    when.tm_isdst = -1;
    EXPECT_EQ(base::DiagnosticLog::TimeText(std::mktime(&when)), "Jun  3 21:49:08");
}

// A link in the log file's place is not followed: as root it could lead the
// log (and its owner-only mode) onto any file of the machine. The file it
// points to is left as it was, and the refusal is said on stderr.
TEST_F(DiagnosticLog, ALogFileThatIsALinkIsNotFollowed) {
    createForm("DEBUG");
    const std::string target = sandbox.file("elsewhere.txt");
    testing_support::writeFile(target, "someone else's\n");
    ASSERT_EQ(::chmod(target.c_str(), 0644), 0);
    form->LogFilePath = sandbox.file("halvex.log");
    ASSERT_EQ(::symlink(target.c_str(), form->LogFilePath.c_str()), 0);

    testing::internal::CaptureStderr();
    form->WriteLog(1, "not for the target");
    form->TimerUpdateInfoTimer();
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(testing_support::readFile(target), "someone else's\n");
    EXPECT_EQ(modeOf(target), 0644);
    EXPECT_NE(said.find("cannot write the log file " + form->LogFilePath + ": it is a symbolic link"),
              std::string::npos)
        << said;
}

// A stop that outlasts its bound is ended by its watch: what the log queue
// holds by then reaches the log file first.
TEST_F(DiagnosticLog, TheStopWatchWritesTheQueuedLinesBeforeItEndsTheProcess) {
    const std::string file = sandbox.file("halvex.log");
    GTEST_FLAG_SET(death_test_style, "fast");
    EXPECT_EXIT(
        {
            base::Switches().LogInfo = true;
            base::SetMainLogFile(file);
            platform::ShutdownSignals::WatchStop(std::chrono::milliseconds(500), {},
                                                 std::chrono::milliseconds(100), &base::FlushMainLog);
            platform::ShutdownSignals::BeginStop();
            base::DiagnosticLog::instance().WriteWhileClosing(2, "ostatnie słowa zatrzymania");
            for (;;)
                ::pause(); // a stop that never ends
        },
        testing::ExitedWithCode(0), "the stop did not end within its bound");
    EXPECT_NE(testing_support::readFile(file).find("ostatnie słowa zatrzymania"), std::string::npos);
}
