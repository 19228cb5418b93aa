// The real program in the middle of a scheduled backup whose gbak hangs: the
// end of the session still ends it, and a program killed with its whole
// process group (as a service manager does when its stop time runs out)
// leaves no file under a backup's name; the next start removes what it left.
#include "base/PasswordCodec.h"
#include "platform/RegistryStore.h"
#include "support/FirebirdFixtures.h"
#include "support/HalvexProcess.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QThread>
#include <csignal>
#include <gtest/gtest.h>

using testing_support::HalvexProcess;
using testing_support::Sandbox;

namespace {

// A gbak that begins its file and then hangs, deaf to SIGTERM.
std::string hangingGbak(const Sandbox& sandbox) {
    const std::string path = sandbox.file("gbak-hangs");
    testing_support::writeFile(path, "#!/bin/sh\n"
                                     "for last; do :; done\n"
                                     "printf 'begun' > \"$last\"\n"
                                     "trap '' TERM\n"
                                     "exec sleep 300\n");
    QFile::setPermissions(QString::fromStdString(path), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    return path;
}

// A last backup long ago: the first tick of the maintenance timer makes one.
void backupDue(const testfb::Connection& c, const std::string& gbak, const std::string& folder) {
    platform::RegistryKey key(platform::RegistryBranch::Machine);
    ASSERT_TRUE(key.OpenKey("\\software\\Vorlin\\Halvex", true));
    key.WriteString("IPFBase", c.host);
    key.WriteString("NameFB", c.path);
    key.WriteString("PasswordFB", AesEncryptToHexWire(c.password, FixedKeyText));
    key.WriteString("GbakPath", gbak);
    key.WriteString("BackupPath", folder);
    key.WriteInteger("AutoBackup", 1);
    key.WriteString("timeBackup", "2020-01-01 03:00:00");
}

QStringList backups(const std::string& folder, const char* pattern) {
    return QDir(QString::fromStdString(folder)).entryList({QString::fromLatin1(pattern)}, QDir::Files);
}

// Waits while the program runs until a file matching `pattern` is there.
bool waitForFile(HalvexProcess& halvex, const std::string& folder, const char* pattern) {
    QDeadlineTimer deadline(90000);
    while (!deadline.hasExpired() && halvex.process().state() == QProcess::Running) {
        if (!backups(folder, pattern).isEmpty())
            return true;
        halvex.process().waitForFinished(100);
    }
    return false;
}

} // namespace

TEST(BackupAtStop, AHungGbakEndsWithTheProgramAndAKilledBackupNeverPassesForAWholeOne) {
    HALVEX_SKIP_UNDER_THREAD_SANITIZER();
    HALVEX_REQUIRE_FB_SERVER();
    Sandbox sandbox;
    testfb::DatabaseFolder folder;
    const testfb::Connection c{"127.0.0.1", folder.file("RovaZAD.fdb"), "SYSDBA", testfb::ServerPassword()};
    const std::string backupFolder = sandbox.file("backups");
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(backupFolder)));
    const std::string gbak = hangingGbak(sandbox);
    ASSERT_NO_FATAL_FAILURE(backupDue(c, gbak, backupFolder));

    {
        HalvexProcess killed(sandbox);
        killed.inOwnProcessGroup();
        killed.start({"DEBUG"});
        ASSERT_TRUE(waitForFile(killed, backupFolder, "backup_*")) << killed.logText();
        killed.signalGroup(SIGKILL);
        ASSERT_TRUE(killed.waitForExit());
    }
    EXPECT_EQ(backups(backupFolder, "backup_*.fbk"), QStringList())
        << "a backup cut short under its final name";
    ASSERT_EQ(backups(backupFolder, "backup_*").size(), 1);

    ASSERT_NO_FATAL_FAILURE(backupDue(c, gbak, backupFolder));
    HalvexProcess next(sandbox, "halvex-next");
    next.start({"DEBUG"});
    ASSERT_TRUE(next.waitForLog("Usunięto niedokończony plik backupu " + backupFolder + "/backup_"))
        << next.logText();
    // The schedule's backup of this run hangs too; the end of the session
    // ends it, and what it began goes.
    ASSERT_TRUE(waitForFile(next, backupFolder, "backup_*")) << next.logText();
    next.signal(SIGTERM);
    ASSERT_TRUE(next.waitForExit(std::chrono::seconds(60))) << next.logText();
    EXPECT_EQ(next.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(next.exitCode(), 0) << next.standardError();
    EXPECT_EQ(backups(backupFolder, "backup_*"), QStringList());
    EXPECT_NE(next.logText().find("backup bazy danych przerwany"), std::string::npos) << next.logText();
}
