#include "platform/RegistryStore.h"
#include "platform/Clock.h"
#include "support/Sandbox.h"
#include "support/SmallDisk.h"

#include <QDate>
#include <QFileInfo>
#include <cerrno>
#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

using platform::RegistryBranch;
using platform::RegistryKey;
using testing_support::Sandbox;

TEST(RegistryStore, ValuesRoundTripThroughTheExportFormat) {
    Sandbox sandbox;
    {
        RegistryKey key(RegistryBranch::Machine);
        ASSERT_TRUE(key.OpenKey("\\software\\Vorlin\\Halvex\\SMS", true));
        key.WriteInteger("PortTCP", 1000);
        key.WriteString("Path", "C:\\dir \"quoted\"\nsecond line");
        key.WriteString("Polish", "Zażółć");
    }
    const std::string text = testing_support::readFile(sandbox.machineRegistryFile());
    EXPECT_NE(text.find("[software\\Vorlin\\Halvex\\SMS]"), std::string::npos);
    EXPECT_NE(text.find("\"PortTCP\"=dword:000003e8"), std::string::npos);

    RegistryKey again(RegistryBranch::Machine);
    ASSERT_TRUE(again.OpenKey("\\SOFTWARE\\vorlin\\halvex\\sms", false));
    EXPECT_EQ(again.ReadInteger("porttcp"), 1000);
    EXPECT_EQ(again.ReadString("PATH"), "C:\\dir \"quoted\"\nsecond line");
    EXPECT_EQ(again.ReadString("Polish"), "Zażółć");
}

TEST(RegistryStore, WrongTypesAndMissingValuesRaiseErrors) {
    Sandbox sandbox;
    RegistryKey key(RegistryBranch::User);
    ASSERT_TRUE(key.OpenKey("\\software\\Vorlin\\Halvex", true));
    key.WriteInteger("TCPCentr", 5);
    key.WriteString("Name", "x");
    EXPECT_THROW(key.ReadString("TCPCentr"), platform::RegistryError);
    EXPECT_THROW(key.ReadInteger("Name"), platform::RegistryError);
    EXPECT_THROW(key.ReadInteger("Missing"), platform::RegistryError);
    EXPECT_EQ(key.ReadString("Missing"), "");
    EXPECT_FALSE(key.ValueExists("Missing"));
}

TEST(RegistryStore, TwoKeyObjectsNeverOverwriteEachOther) {
    Sandbox sandbox;
    RegistryKey first(RegistryBranch::Machine), second(RegistryBranch::Machine);
    ASSERT_TRUE(first.OpenKey("\\software\\Vorlin\\Halvex", true));
    ASSERT_TRUE(second.OpenKey("\\software\\Vorlin\\Halvex\\SMS", true));
    first.WriteInteger("A", 1);
    second.WriteInteger("B", 2);
    first.WriteInteger("C", 3);
    RegistryKey check(RegistryBranch::Machine);
    ASSERT_TRUE(check.OpenKey("\\software\\Vorlin\\Halvex\\SMS", false));
    EXPECT_EQ(check.ReadInteger("B"), 2);
    ASSERT_TRUE(check.OpenKey("\\software\\Vorlin\\Halvex", false));
    EXPECT_EQ(check.ReadInteger("A"), 1);
    EXPECT_EQ(check.ReadInteger("C"), 3);
}

TEST(RegistryStore, AnUnwritableBranchRefusesKeysAndWrites) {
    if (::geteuid() == 0)
        GTEST_SKIP() << "root writes anywhere";
    Sandbox sandbox;
    ::chmod(sandbox.registryDir().c_str(), 0500);
    RegistryKey key(RegistryBranch::Machine);
    EXPECT_FALSE(key.OpenKey("\\software\\Vorlin\\Halvex", true));
    ::chmod(sandbox.registryDir().c_str(), 0700);
}

TEST(RegistryStore, MalformedLinesAreSkipped) {
    auto keys = platform::RegistryFile::parse("junk\n[a\\b]\n\"ok\"=dword:0000000a\n\"bad\"=dword:zz\n"
                                              "\"open=\"x\n\"s\"=\"v\"\n");
    ASSERT_EQ(keys.size(), 1u);
    const auto& values = keys.begin()->second.values;
    EXPECT_EQ(values.at("ok").dword, 10u);
    EXPECT_EQ(values.at("s").text, "v");
    EXPECT_EQ(values.count("bad"), 0u);
}

TEST(RegistryStore, AFileThatCannotBeReadIsNeverOverwritten) {
    Sandbox sandbox;
    RegistryKey key(RegistryBranch::Machine);
    ASSERT_TRUE(key.OpenKey("\\software\\Vorlin\\Halvex", true));
    key.WriteInteger("PortTCP", 1000);
    const std::string kept = sandbox.file("kept.reg");
    ASSERT_EQ(::rename(sandbox.machineRegistryFile().c_str(), kept.c_str()), 0);
    ASSERT_EQ(::mkdir(sandbox.machineRegistryFile().c_str(), 0700), 0); // unreadable as a file
    try {
        key.ReadInteger("PortTCP");
        ADD_FAILURE() << "a store that cannot be read must not read as empty";
    } catch (const platform::RegistryError& error) {
        EXPECT_NE(std::string(error.what()).find("Failed to read"), std::string::npos) << error.what();
    }
    EXPECT_THROW(key.WriteInteger("Other", 1), platform::RegistryError);
    ::rmdir(sandbox.machineRegistryFile().c_str());
    ASSERT_EQ(::rename(kept.c_str(), sandbox.machineRegistryFile().c_str()), 0);
    EXPECT_EQ(key.ReadInteger("PortTCP"), 1000);
    EXPECT_FALSE(key.ValueExists("Other"));
}

namespace {

// Every copy set aside while it lives, taken from the store's notices.
struct SetAsideRecorder {
    SetAsideRecorder() {
        platform::SetRegistrySetAsideHandler(
            [this](const platform::RegistrySetAside& notice) { notices.push_back(notice); });
    }
    ~SetAsideRecorder() { platform::SetRegistrySetAsideHandler({}); }
    std::vector<platform::RegistrySetAside> notices;
};

const char* const Header = "Windows Registry Editor Version 5.00\r\n\r\n";
const char Garbage[] = "\x01\x02\xff\xfe\x00\x80garbage\r\n\"Lost\"=\"\xc3\x28\"\r\n";

} // namespace

TEST(RegistryStore, AFileWithUnreadableLinesKeepsWhatItCanAndIsCopiedAsideBeforeItsFirstWrite) {
    const struct {
        const char* name;
        std::string badLines;
        const char* reason;
    } cases[] = {
        {"broken key header", "[software\\Vorlin\\Halvex\\SMS\r\n\"Lost\"=dword:00000001\r\n",
         "nieprawidłowy nagłówek"},
        {"value out of range", "\"Lost\"=dword:1ffffffff\r\n", "poza zakresem"},
        {"binary garbage", std::string(Garbage, sizeof Garbage - 1), "UTF-8"},
        {"unsupported value type", "\"Lost\"=hex(2):25,00,00,00\r\n", "nieobsługiwany typ"},
    };
    // The copy is named after the day of the process's clock.
    platform::ManualClock clock(0, QDateTime(QDate(2031, 4, 2), QTime(23, 59, 59)));
    platform::setProcessClock(&clock);
    struct PutBack {
        ~PutBack() { platform::setProcessClock(nullptr); }
    } putBack;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox sandbox;
        SetAsideRecorder recorder;
        const std::string original = std::string(Header) + "[software\\Vorlin\\Halvex]\r\n" +
                                     "\"PortTCP\"=dword:000004d2\r\n\"TCPCentr\"=\"10.0.0.7\"\r\n" +
                                     c.badLines;
        testing_support::writeFile(sandbox.machineRegistryFile(), original);

        RegistryKey key(RegistryBranch::Machine);
        ASSERT_TRUE(key.OpenKey("\\software\\Vorlin\\Halvex", true));
        EXPECT_EQ(key.ReadInteger("PortTCP"), 1234);
        EXPECT_FALSE(key.ValueExists("Lost")) << "an unreadable value is missing, never a wrong one";
        EXPECT_TRUE(recorder.notices.empty()) << "reading alone copies nothing";

        key.WriteInteger("Lost", 7);
        ASSERT_EQ(recorder.notices.size(), 1u);
        const auto& notice = recorder.notices.front();
        EXPECT_EQ(notice.file, sandbox.machineRegistryFile());
        EXPECT_NE(notice.copy.find("machine.reg.bad-2031-04-02"), std::string::npos) << notice.copy;
        EXPECT_NE(notice.reason.find(c.reason), std::string::npos) << notice.reason;
        EXPECT_EQ(testing_support::readFile(notice.copy), original) << "the copy is the whole file";

        key.WriteInteger("Other", 8);
        EXPECT_EQ(recorder.notices.size(), 1u) << "the rewritten file is clean";
        EXPECT_EQ(key.ReadString("TCPCentr"), "10.0.0.7");
        EXPECT_EQ(key.ReadInteger("Lost"), 7);
    }
}

// A full disk takes no byte of the new file: the write is refused as the
// disk's, and the file, and a set-aside copy it needs first, are whole or
// not there; once the disk has room, writes go through again.
TEST(RegistryStore, AWriteTheDiskRefusesLeavesTheFileWholeAndSaysWhy) {
    testing_support::SmallDisk disk("1m");
    if (!disk.mounted())
        GTEST_SKIP() << "no small filesystem of the test's own could be mounted: " << disk.error();
    Sandbox sandbox;
    sandbox.setEnv("HALVEX_REGISTRY_DIR", disk.path());
    const std::string file = disk.file("machine.reg");
    const std::string clean = std::string(Header) + "[software\\Vorlin\\Halvex]\r\n" +
                              "\"IPFBase\"=\"127.0.0.1/3050\"\r\n\"PortTCP\"=dword:000004d2\r\n";
    for (const std::string& original : {clean, clean + "\"Lost\"=dword:1ffffffff\r\n"}) {
        SCOPED_TRACE(original.size());
        testing_support::writeFile(file, original);
        SetAsideRecorder recorder;
        disk.fill();
        RegistryKey key(RegistryBranch::Machine);
        ASSERT_TRUE(key.OpenKey("\\software\\Vorlin\\Halvex", true));
        try {
            key.WriteString("testHKLM", "testHKLM");
            ADD_FAILURE() << "a write on a full disk was taken";
        } catch (const platform::RegistryError& error) {
            EXPECT_NE(std::string(error.what()).find("No space left on device"), std::string::npos)
                << error.what();
        }
        EXPECT_EQ(testing_support::readFile(file), original);
        EXPECT_THROW(RegistryKey(RegistryBranch::Machine).OpenKey("\\software\\Vorlin\\Halvex\\SMS", true),
                     platform::RegistryError);
        EXPECT_EQ(key.ReadString("IPFBase"), "127.0.0.1/3050");
        EXPECT_TRUE(recorder.notices.empty()) << "no copy is said that is not whole";
        disk.free();
        key.WriteString("testHKLM", "testHKLM");
        EXPECT_EQ(key.ReadString("IPFBase"), "127.0.0.1/3050");
        EXPECT_EQ(RegistryKey(RegistryBranch::Machine).OpenKey("\\software\\Vorlin\\Halvex", false), true);
        for (const auto& notice : recorder.notices)
            EXPECT_EQ(testing_support::readFile(notice.copy), original);
        ::unlink(file.c_str());
    }
}

TEST(RegistryStore, AUtf16ExportWithAByteOrderMarkIsReadAsSuch) {
    const std::string text = "Windows Registry Editor Version 5.00\r\n\r\n"
                             "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vorlin\\Halvex]\r\n"
                             "\"PortTCP\"=dword:000004d2\r\n\"NameFB\"=\"C:\\\\Baza\\\\Żółw.fdb\"\r\n";
    const QString unicode = QString::fromStdString(text);
    for (const bool little : {true, false}) {
        SCOPED_TRACE(little ? "UTF-16LE" : "UTF-16BE");
        Sandbox sandbox;
        SetAsideRecorder recorder;
        QByteArray bytes = little ? QByteArray("\xFF\xFE", 2) : QByteArray("\xFE\xFF", 2);
        for (const QChar ch : unicode) {
            const char lo = char(ch.unicode() & 0xFF), hi = char(ch.unicode() >> 8);
            bytes.append(little ? lo : hi).append(little ? hi : lo);
        }
        testing_support::writeFile(sandbox.machineRegistryFile(), bytes.toStdString());

        RegistryKey key(RegistryBranch::Machine);
        ASSERT_TRUE(key.OpenKey("\\software\\Vorlin\\Halvex", false));
        EXPECT_EQ(key.ReadInteger("PortTCP"), 1234);
        EXPECT_EQ(key.ReadString("NameFB"), "C:\\Baza\\Żółw.fdb");

        key.WriteInteger("PortUDP", 1000);
        ASSERT_EQ(recorder.notices.size(), 1u) << "the file changes its encoding: the original is kept";
        EXPECT_EQ(testing_support::readFile(recorder.notices.front().copy), bytes.toStdString());
        const std::string rewritten = testing_support::readFile(sandbox.machineRegistryFile());
        EXPECT_NE(rewritten.find("\"NameFB\"=\"C:\\\\Baza\\\\Żółw.fdb\""), std::string::npos) << rewritten;
    }
}

namespace {

unsigned modeOf(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? unsigned(info.st_mode & 07777) : 0u;
}

} // namespace

// The file holds enciphered passwords with a key every copy of the program
// has: no one but its owner may read it, whatever the umask or the mode an
// older file was left with.
TEST(RegistryStore, TheFileAndItsSetAsideCopiesAreReadableByTheOwnerOnly) {
    struct Umask {
        mode_t saved = ::umask(022);
        ~Umask() { ::umask(saved); }
    } umask;
    Sandbox sandbox;
    SetAsideRecorder recorder;
    for (const RegistryBranch branch : {RegistryBranch::Machine, RegistryBranch::User}) {
        RegistryKey key(branch);
        ASSERT_TRUE(key.OpenKey("\\software\\Vorlin\\Halvex", true));
        key.WriteString("PasswordFB", "enciphered");
        EXPECT_EQ(modeOf(platform::registryFilePath(branch)), 0600u);
    }

    const std::string file = sandbox.machineRegistryFile();
    ASSERT_EQ(::chmod(file.c_str(), 0644), 0);
    RegistryKey key(RegistryBranch::Machine);
    ASSERT_TRUE(key.OpenKey("\\software\\Vorlin\\Halvex", false));
    key.WriteInteger("PortTCP", 1000);
    EXPECT_EQ(modeOf(file), 0600u) << "an older file is tightened when rewritten";

    testing_support::writeFile(file,
                               std::string(Header) + "[software\\Vorlin\\Halvex]\r\n\"Lost\"=hex:00\r\n");
    ASSERT_EQ(::chmod(file.c_str(), 0644), 0);
    key.WriteInteger("PortTCP", 1001);
    ASSERT_EQ(recorder.notices.size(), 1u);
    EXPECT_EQ(modeOf(recorder.notices.front().copy), 0600u);
    EXPECT_EQ(modeOf(file), 0600u);
}

// With neither branch writable, a key that could not be created in the
// machine branch must not be found there afterwards: the settings are read
// from the user's file that exists.
TEST(RegistryStore, AKeyThatCouldNotBeCreatedIsNotFoundAfterwards) {
    if (::geteuid() == 0)
        GTEST_SKIP() << "root writes anywhere";
    Sandbox sandbox;
    {
        RegistryKey user(RegistryBranch::User);
        ASSERT_TRUE(user.OpenKey("\\software\\Vorlin\\Halvex", true));
        user.WriteInteger("PortTCP", 1234);
    }
    ::chmod(platform::registryFilePath(RegistryBranch::User).c_str(), 0400);
    ::chmod(sandbox.registryDir().c_str(), 0500);
    RegistryKey machine(RegistryBranch::Machine);
    EXPECT_FALSE(machine.OpenKey("\\software\\Vorlin\\Halvex", true));
    EXPECT_FALSE(machine.OpenKey("\\software\\Vorlin\\Halvex", false));
    RegistryKey user(RegistryBranch::User);
    EXPECT_FALSE(user.CanWrite());
    ASSERT_TRUE(user.OpenKey("\\software\\Vorlin\\Halvex", false));
    EXPECT_EQ(user.ReadInteger("PortTCP"), 1234);
    ::chmod(sandbox.registryDir().c_str(), 0700);
}

namespace {

// Every refused file, taken from the store's notices.
struct RefusedRecorder {
    RefusedRecorder() {
        platform::SetRegistryRefusedHandler(
            [this](const platform::RegistryRefused& notice) { notices.push_back(notice); });
    }
    ~RefusedRecorder() { platform::SetRegistryRefusedHandler({}); }
    std::vector<platform::RegistryRefused> notices;
};

} // namespace

// A FIFO would hold the reader for ever and a link to /dev/zero never ends:
// neither is read, copied or replaced; each is told of once, and its keys
// count as missing.
TEST(RegistryStore, OnlyARegularFileIsReadAndAnythingElseIsLeftAsItIs) {
    Sandbox sandbox;
    RefusedRecorder recorder;
    SetAsideRecorder setAside;
    const std::string fifo = sandbox.machineRegistryFile();
    const std::string link = platform::registryFilePath(RegistryBranch::User);
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(::symlink("/dev/zero", link.c_str()), 0);
    for (const RegistryBranch branch : {RegistryBranch::Machine, RegistryBranch::User}) {
        RegistryKey key(branch);
        EXPECT_FALSE(key.OpenKey("\\software\\Vorlin\\Halvex", false));
        EXPECT_FALSE(key.OpenKey("\\software\\Vorlin\\Halvex", true));
        EXPECT_FALSE(key.CanWrite());
    }
    ASSERT_EQ(recorder.notices.size(), 2u);
    EXPECT_EQ(recorder.notices[0].file, fifo);
    EXPECT_EQ(recorder.notices[1].file, link);
    EXPECT_NE(recorder.notices[0].reason.find("nie jest zwykłym plikiem"), std::string::npos);
    EXPECT_TRUE(setAside.notices.empty());
    struct stat info {};
    ASSERT_EQ(::lstat(fifo.c_str(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
    ASSERT_EQ(::lstat(link.c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));
}

// An editor or a copy puts a new file in the old one's place, with the
// umask's mode: the program's next write still leaves it its owner's only.
TEST(RegistryStore, AFileReplacedWhileOpenIsRewrittenOwnerOnly) {
    struct Umask {
        mode_t saved = ::umask(022);
        ~Umask() { ::umask(saved); }
    } umask;
    Sandbox sandbox;
    RegistryKey key(RegistryBranch::Machine);
    ASSERT_TRUE(key.OpenKey("\\software\\Vorlin\\Halvex", true));
    key.WriteInteger("PortTCP", 1000);
    const std::string file = sandbox.machineRegistryFile();
    const std::string edited = sandbox.file("edited.reg");
    testing_support::writeFile(edited, std::string(Header) +
                                           "[software\\Vorlin\\Halvex]\r\n\"PortTCP\"=dword:000003e9\r\n");
    ASSERT_EQ(::chmod(edited.c_str(), 0644), 0);
    ASSERT_EQ(::rename(edited.c_str(), file.c_str()), 0);
    EXPECT_EQ(key.ReadInteger("PortTCP"), 1001);
    key.WriteString("timeBackup", "2026-01-01 03:00:00");
    EXPECT_EQ(modeOf(file), 0600u);
    EXPECT_EQ(key.ReadInteger("PortTCP"), 1001);
}

// Each write loads the file, changes it and saves it: writers at the same
// time (the program and the password tool, each with its own key object)
// must not put back what the other has just replaced.
TEST(RegistryStore, WritersAtTheSameTimeNeverWriteOverEachOther) {
    Sandbox sandbox;
    constexpr int Writers = 4;
    constexpr int Values = 40;
    std::vector<std::thread> threads;
    for (int w = 0; w < Writers; ++w)
        threads.emplace_back([w] {
            RegistryKey key(RegistryBranch::Machine);
            if (!key.OpenKey("\\software\\Vorlin\\Halvex", true))
                return;
            for (int i = 0; i < Values; ++i)
                key.WriteInteger("W" + std::to_string(w) + "-" + std::to_string(i), i);
        });
    for (std::thread& thread : threads)
        thread.join();
    RegistryKey check(RegistryBranch::Machine);
    ASSERT_TRUE(check.OpenKey("\\software\\Vorlin\\Halvex", false));
    int missing = 0;
    for (int w = 0; w < Writers; ++w)
        for (int i = 0; i < Values; ++i)
            missing += check.ValueExists("W" + std::to_string(w) + "-" + std::to_string(i)) ? 0 : 1;
    EXPECT_EQ(missing, 0);
}

// A settings file its user may not read is named with the reason, once,
// and neither read as empty nor written over.
TEST(RegistryStore, AFileItsUserMayNotReadIsNamedWithTheReason) {
    if (::geteuid() == 0)
        GTEST_SKIP() << "root reads a file of mode 000";
    Sandbox sandbox;
    RefusedRecorder recorder;
    const std::string file = sandbox.machineRegistryFile();
    const std::string text =
        std::string(Header) + "[software\\Vorlin\\Halvex]\r\n\"PortTCP\"=dword:000003e8\r\n";
    testing_support::writeFile(file, text);
    ASSERT_EQ(::chmod(file.c_str(), 0), 0);
    for (int i = 0; i < 2; ++i) {
        RegistryKey key(RegistryBranch::Machine);
        EXPECT_FALSE(key.OpenKey("\\software\\Vorlin\\Halvex", false));
        EXPECT_FALSE(key.OpenKey("\\software\\Vorlin\\Halvex", true));
    }
    ASSERT_EQ(recorder.notices.size(), 1u);
    EXPECT_EQ(recorder.notices[0].file, file);
    EXPECT_EQ(recorder.notices[0].error, EACCES);
    ASSERT_EQ(::chmod(file.c_str(), 0600), 0);
    EXPECT_EQ(testing_support::readFile(file), text);
}

// A start finds a value missing and writes its default; the password tool
// stores the value in between: the default does not replace it. An empty
// text or a value of another type is still replaced by the default.
TEST(RegistryStore, ADefaultNeverReplacesAValueStoredSinceItWasFoundMissing) {
    Sandbox sandbox;
    RegistryKey program(RegistryBranch::Machine);
    ASSERT_TRUE(program.OpenKey("\\software\\Vorlin\\Halvex", true));
    EXPECT_FALSE(program.ValueExists("PasswordFB"));
    {
        RegistryKey tool(RegistryBranch::Machine);
        ASSERT_TRUE(tool.OpenKey("\\software\\Vorlin\\Halvex", true));
        tool.WriteString("PasswordFB", "stored");
        tool.WriteString("NameFB", "");
        tool.WriteString("PortTCP", "text");
    }
    EXPECT_FALSE(program.WriteDefaultString("PasswordFB", "default"));
    EXPECT_TRUE(program.WriteDefaultString("NameFB", "default.fdb"));
    EXPECT_TRUE(program.WriteDefaultInteger("PortTCP", 1000));
    RegistryKey check(RegistryBranch::Machine);
    ASSERT_TRUE(check.OpenKey("\\software\\Vorlin\\Halvex", false));
    EXPECT_EQ(check.ReadString("PasswordFB"), "stored");
    EXPECT_EQ(check.ReadString("NameFB"), "default.fdb");
    EXPECT_EQ(check.ReadInteger("PortTCP"), 1000);
}

// The lock beside the file is what keeps writers from writing over each
// other: one that is a link or a folder cannot be taken, so no writer goes
// on without it. Each write, and each key to be created, is refused with
// the lock named and why; the file, and whatever a link points at, stay as
// they were. Reading needs no lock.
TEST(RegistryStore, ALockThatCannotBeTakenIsNamedAndNothingIsWritten) {
    Sandbox sandbox;
    const std::string file = sandbox.machineRegistryFile();
    const std::string lock = file + ".lock";
    const std::string target = sandbox.file("elsewhere");
    const std::string text =
        std::string(Header) + "[software\\Vorlin\\Halvex]\r\n\"PortTCP\"=dword:000003e8\r\n";
    testing_support::writeFile(file, text);
    const std::pair<const char*, std::function<int()>> locks[] = {
        {"is a symbolic link", [&] { return ::symlink(target.c_str(), lock.c_str()); }},
        {"is a directory", [&] { return ::mkdir(lock.c_str(), 0700); }},
    };
    for (const auto& [said, make] : locks) {
        SCOPED_TRACE(said);
        ASSERT_EQ(make(), 0);
        RegistryKey key(RegistryBranch::Machine);
        ASSERT_TRUE(key.OpenKey("\\software\\Vorlin\\Halvex", false));
        EXPECT_EQ(key.ReadInteger("PortTCP"), 1000);
        try {
            key.WriteInteger("PortTCP", 1001);
            ADD_FAILURE() << "written without the lock";
        } catch (const platform::RegistryError& error) {
            EXPECT_NE(std::string(error.what()).find(lock + " " + said), std::string::npos) << error.what();
        }
        EXPECT_THROW(RegistryKey(RegistryBranch::Machine).OpenKey("\\software\\Vorlin\\Halvex\\SMS", true),
                     platform::RegistryError);
        EXPECT_EQ(testing_support::readFile(file), text);
        EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(target)));
        ASSERT_EQ(::remove(lock.c_str()), 0);
    }
}

namespace {

// Writes handed on for the test's lifetime; their refusals recorded.
struct HandedOnWrites {
    HandedOnWrites() {
        platform::WriteLockedRegistryInBackground(true);
        platform::SetRegistryLateFailureHandler([this](const platform::RegistryLateFailure& failure) {
            std::lock_guard lock(mutex);
            failures.push_back(failure);
        });
    }
    ~HandedOnWrites() {
        finish();
        platform::WriteLockedRegistryInBackground(false);
        platform::SetRegistryLateFailureHandler({});
    }
    static bool finish() {
        return platform::FinishBackgroundRegistryWrites(std::chrono::steady_clock::now() +
                                                        2 * platform::RegistryLockWait);
    }
    std::mutex mutex;
    std::vector<platform::RegistryLateFailure> failures;
};

} // namespace

// Another writer holds the lock: each write returns at once and waits for
// the lock on the writer thread; once the lock is free they are made in the
// order asked (a key created among them included), and meanwhile read back
// as written. When the holder keeps the lock past the wait, the write is
// refused there, with the writes asked behind it, and each is named with
// its value.
TEST(RegistryStore, WritesThatFindTheLockHeldWaitElsewhereInOrderAndAreNamedWhenRefused) {
    Sandbox sandbox;
    HandedOnWrites handedOn;
    const std::string file = sandbox.machineRegistryFile();
    const std::string main = "\\software\\Vorlin\\Halvex";
    RegistryKey key(RegistryBranch::Machine);
    ASSERT_TRUE(key.OpenKey(main, true));
    key.WriteInteger("PortTCP", 1000);
    {
        const testing_support::HeldSettingsLock held(file);
        ASSERT_TRUE(held.held());
        key.WriteInteger("PortTCP", 1);
        key.WriteString("TCPCentr", "10.0.0.1");
        key.WriteInteger("PortTCP", 2);
        RegistryKey sms(RegistryBranch::Machine);
        ASSERT_TRUE(sms.OpenKey(main + "\\SMS", true));
        sms.WriteString("CountryCode", "420");
        EXPECT_EQ(testing_support::readFile(file).find("TCPCentr"), std::string::npos)
            << "written without the lock";
        // Read back, a waiting write is the value last set.
        EXPECT_EQ(key.ReadInteger("PortTCP"), 2);
        EXPECT_EQ(key.ReadString("TCPCentr"), "10.0.0.1");
        EXPECT_TRUE(sms.ValueExists("CountryCode"));
    }
    ASSERT_TRUE(handedOn.finish());
    RegistryKey check(RegistryBranch::Machine);
    ASSERT_TRUE(check.OpenKey(main, false));
    EXPECT_EQ(check.ReadInteger("PortTCP"), 2);
    EXPECT_EQ(check.ReadString("TCPCentr"), "10.0.0.1");
    ASSERT_TRUE(check.OpenKey(main + "\\SMS", false));
    EXPECT_EQ(check.ReadString("CountryCode"), "420");
    EXPECT_TRUE(handedOn.failures.empty());

    const std::string written = testing_support::readFile(file);
    {
        const testing_support::HeldSettingsLock held(file);
        key.WriteInteger("PortTCP", 3);
        key.WriteString("UserFB", "kasia");
        ASSERT_TRUE(handedOn.finish());
    }
    EXPECT_EQ(testing_support::readFile(file), written);
    std::lock_guard lock(handedOn.mutex);
    ASSERT_EQ(handedOn.failures.size(), 1u);
    const platform::RegistryLateFailure& refused = handedOn.failures.front();
    EXPECT_EQ(refused.file, file);
    EXPECT_NE(refused.reason.find(file + ".lock is held by another writer"), std::string::npos)
        << refused.reason;
    ASSERT_EQ(refused.writes.size(), 2u);
    EXPECT_EQ(refused.writes[0].named(), "software\\Vorlin\\Halvex\\PortTCP");
    EXPECT_EQ(refused.writes[0].value->dword, 3u);
    EXPECT_EQ(refused.writes[1].named(), "software\\Vorlin\\Halvex\\UserFB");
    EXPECT_EQ(refused.writes[1].value->text, "kasia");
}
