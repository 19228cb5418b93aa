// scripts/setup and scripts/firebird on a stand-in machine, as root and as a
// user with or without sudo: the commands they would run, and what they leave
// of a Firebird server.
#include "ScriptWorld.h"
#include "shell/SettingsTable.h"
#include "support/FirebirdFixtures.h"
#include "support/Sandbox.h"

#include <QDir>
#include <QTemporaryDir>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

using scripts_test::AllPackages;
using scripts_test::ScriptResult;
using scripts_test::ScriptWorld;
using testing::HasSubstr;
using testing::Not;

namespace {

constexpr int Root = 0;
constexpr int User = 1000;

std::string joined(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& word : words)
        text += (text.empty() ? "" : " ") + word;
    return text;
}

std::string installAll() {
    return "apt-get install -y -qq --no-install-recommends " + joined(AllPackages);
}

QProcessEnvironment withPassword(const std::string& password) {
    QProcessEnvironment env;
    env.insert(QStringLiteral("HALVEX_FB_PASSWORD"), QString::fromStdString(password));
    return env;
}

// The state of a server that scripts/firebird has configured.
void expectConfigured(const ScriptWorld& world) {
    EXPECT_EQ(world.sysdbaPassword(), shell::DefaultDbPassword);
    EXPECT_TRUE(world.serverRunning());
    EXPECT_THAT(world.read("/etc/firebird/3.0/firebird.conf"), HasSubstr("#RemoteBindAddress = localhost"));
    EXPECT_THAT(world.read("/etc/firebird/3.0/SYSDBA.password"),
                HasSubstr(std::string("ISC_PASSWORD=\"") + shell::DefaultDbPassword + "\""));
    EXPECT_THAT(world.log(),
                HasSubstr("install -d -o firebird -g firebird -m 2775 " + world.path("/var/lib/halvex")));
    EXPECT_FALSE(world.exists("/var/lib/halvex/.firebird-installed-by-halvex"));
}

} // namespace

TEST(SetupScript, AsRootRunsAptGetItself) {
    ScriptWorld world;
    const ScriptResult result = world.run("setup", Root);
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_THAT(world.log(), HasSubstr("uid=0 apt-get update -qq (DEBIAN_FRONTEND=noninteractive)"));
    EXPECT_THAT(world.log(), HasSubstr("uid=0 " + installAll() + " (DEBIAN_FRONTEND=noninteractive)"));
    EXPECT_THAT(world.log(), Not(HasSubstr("sudo")));
    EXPECT_THAT(result.output, Not(HasSubstr("command not found")));
}

TEST(SetupScript, AsAUserRunsAptGetThroughSudo) {
    ScriptWorld world;
    const ScriptResult result = world.run("setup", User);
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_THAT(world.log(), HasSubstr("uid=1000 sudo DEBIAN_FRONTEND=noninteractive " + installAll()));
    EXPECT_THAT(world.log(), HasSubstr("uid=0 " + installAll()));
    EXPECT_THAT(world.log(), Not(HasSubstr("uid=1000 apt-get")));
}

TEST(SetupScript, AsAUserWithoutSudoSaysWhatToInstall) {
    ScriptWorld world(false);
    world.markInstalled({"g++", "cmake", "ninja-build", "pkg-config"});
    const ScriptResult result = world.run("setup", User);
    EXPECT_NE(result.exitCode, 0);
    EXPECT_THAT(result.output,
                HasSubstr("apt-get install -y --no-install-recommends qt6-base-dev libgl-dev"));
    EXPECT_THAT(result.output, HasSubstr("firebird3.0-server"));
    EXPECT_THAT(result.output, Not(HasSubstr(" g++")));
    EXPECT_THAT(world.log(), Not(HasSubstr("apt-get")));
    EXPECT_FALSE(world.exists("/var/lib/halvex/.firebird-installed-by-halvex"));
}

TEST(SetupScript, WithEverythingInstalledRunsNothing) {
    ScriptWorld world(false);
    world.markInstalled(AllPackages);
    const ScriptResult result = world.run("setup", User);
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_EQ(world.log(), "");
}

// scripts/run names the help viewer's packages on a desktop: they come with
// the rest, and only when missing.
TEST(SetupScript, InstallsThePackagesItIsGivenWithItsOwn) {
    ScriptWorld world;
    world.markInstalled(AllPackages);
    world.markInstalled({"xdg-utils"});
    const ScriptResult result = world.run("setup", Root, {}, {"xchm", "xdg-utils", "desktop-file-utils"});
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_THAT(world.log(),
                HasSubstr("apt-get install -y -qq --no-install-recommends xchm desktop-file-utils"));
}

// The README's path on a fresh machine: scripts/setup installs the server,
// scripts/firebird then configures it, as root without systemd (a container)
// or as a user with sudo under systemd.
TEST(FirebirdScript, ConfiguresTheServerThatSetupInstalledAsRoot) {
    ScriptWorld world;
    ASSERT_EQ(world.run("setup", Root).exitCode, 0);
    EXPECT_TRUE(world.exists("/var/lib/halvex/.firebird-installed-by-halvex"));
    const ScriptResult result = world.run("firebird", Root);
    EXPECT_EQ(result.exitCode, 0) << result.output << world.log();
    expectConfigured(world);
    EXPECT_THAT(world.log(), HasSubstr("uid=0 su -s /bin/sh firebird -c " + world.path("/usr/sbin/fbguard")));
    EXPECT_THAT(world.log(), Not(HasSubstr("sudo")));
    EXPECT_THAT(result.output, Not(HasSubstr("command not found")));

    // From now on the server is one that is there: a second run changes nothing.
    const std::string log = world.log();
    const int stops = world.serverStops();
    EXPECT_EQ(world.run("firebird", Root).exitCode, 0);
    EXPECT_EQ(world.serverStops(), stops);
    EXPECT_THAT(world.log().substr(log.size()), Not(HasSubstr("isql-fb")));
}

TEST(FirebirdScript, ConfiguresTheServerThatSetupInstalledAsAUserUnderSystemd) {
    ScriptWorld world;
    world.useSystemd();
    ASSERT_EQ(world.run("setup", User).exitCode, 0);
    const ScriptResult result = world.run("firebird", User);
    EXPECT_EQ(result.exitCode, 0) << result.output << world.log();
    expectConfigured(world);
    EXPECT_THAT(world.log(),
                HasSubstr("uid=1000 sudo DEBIAN_FRONTEND=noninteractive systemctl stop firebird3.0"));
    EXPECT_THAT(world.log(), HasSubstr("uid=firebird isql-fb -q -user SYSDBA"));
    EXPECT_THAT(world.log(), Not(HasSubstr("uid=1000 su -s")));
}

TEST(FirebirdScript, InstallsAMissingServerAndConfiguresIt) {
    ScriptWorld world;
    world.markInstalled({"firebird3.0-server-core"});
    const ScriptResult result = world.run("firebird", Root, withPassword("an'other/pass&word"));
    EXPECT_EQ(result.exitCode, 0) << result.output << world.log();
    EXPECT_THAT(
        world.log(),
        HasSubstr(
            "uid=0 apt-get install -y -qq --no-install-recommends firebird3.0-server firebird3.0-utils"));
    EXPECT_EQ(world.sysdbaPassword(), "an'other/pass&word");
    EXPECT_THAT(world.read("/etc/firebird/3.0/SYSDBA.password"),
                HasSubstr("ISC_PASSWORD=\"an'other/pass&word\""));
}

TEST(FirebirdScript, AsAUserWithoutSudoSaysWhatToInstall) {
    ScriptWorld world(false);
    const ScriptResult result = world.run("firebird", User);
    EXPECT_NE(result.exitCode, 0);
    EXPECT_THAT(result.output,
                HasSubstr("apt-get install -y --no-install-recommends firebird3.0-server firebird3.0-utils"));
    EXPECT_THAT(world.log(), Not(HasSubstr("apt-get")));
}

// A server installed by someone else is never stopped, and its users and
// configuration are never changed.
TEST(FirebirdScript, LeavesAServerItDidNotInstallAlone) {
    for (const int uid : {Root, User}) {
        SCOPED_TRACE(uid);
        ScriptWorld world;
        world.existingServer("their-secret", true);
        const std::string conf = world.read("/etc/firebird/3.0/firebird.conf");
        const std::string passwordFile = world.read("/etc/firebird/3.0/SYSDBA.password");

        const ScriptResult refused = world.run("firebird", uid);
        EXPECT_EQ(refused.exitCode, 3) << refused.output;
        EXPECT_THAT(refused.output, HasSubstr("HALVEX_FB_PASSWORD"));
        EXPECT_THAT(refused.output, HasSubstr("settings dialog"));

        const ScriptResult accepted = world.run("firebird", uid, withPassword("their-secret"));
        EXPECT_EQ(accepted.exitCode, 0) << accepted.output;

        EXPECT_EQ(world.serverStops(), 0);
        EXPECT_TRUE(world.serverRunning());
        EXPECT_EQ(world.sysdbaPassword(), "their-secret");
        EXPECT_EQ(world.read("/etc/firebird/3.0/firebird.conf"), conf);
        EXPECT_EQ(world.read("/etc/firebird/3.0/SYSDBA.password"), passwordFile);
        EXPECT_THAT(world.log(), Not(HasSubstr("isql-fb")));
        EXPECT_THAT(world.log(), Not(HasSubstr("apt-get")));
    }
}

TEST(FirebirdScript, StartsAStoppedServerItDidNotInstallWithoutChangingIt) {
    ScriptWorld world;
    world.useSystemd();
    world.existingServer(shell::DefaultDbPassword, false);
    const ScriptResult result = world.run("firebird", Root);
    EXPECT_EQ(result.exitCode, 0) << result.output << world.log();
    EXPECT_TRUE(world.serverRunning());
    EXPECT_THAT(world.log(), HasSubstr("uid=0 systemctl restart firebird3.0"));
    EXPECT_THAT(world.log(), Not(HasSubstr("isql-fb")));
    EXPECT_EQ(world.read("/etc/firebird/3.0/firebird.conf"), "RemoteBindAddress = localhost\n");
}

TEST(FirebirdScript, AsAUserWithoutSudoChecksARunningServer) {
    ScriptWorld world(false);
    world.existingServer(shell::DefaultDbPassword, true);
    QDir().mkpath(QString::fromStdString(world.path("/var/lib/halvex")));
    const ScriptResult result = world.run("firebird", User);
    EXPECT_EQ(result.exitCode, 0) << result.output << world.log();
    EXPECT_THAT(world.log(), Not(HasSubstr("install")));
}

// The tests find the password of a server the scripts left alone where Debian
// keeps it.
TEST(TestServerPassword, ReadsDebiansPasswordFile) {
    QTemporaryDir dir;
    const std::string file = dir.filePath(QStringLiteral("SYSDBA.password")).toStdString();
    EXPECT_EQ(testfb::DebianSysdbaPassword(file), "");
    testing_support::writeFile(
        file, "# Password for firebird SYSDBA user\nISC_USER=sysdba\nISC_PASSWORD=\"x=y z\"\n");
    EXPECT_EQ(testfb::DebianSysdbaPassword(file), "x=y z");
    testing_support::writeFile(file, "ISC_USER=sysdba\nISC_PASSWORD=plain\n");
    EXPECT_EQ(testfb::DebianSysdbaPassword(file), "plain");
}
