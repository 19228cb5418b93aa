// The server without a display, the README's way: the database password
// stored with halvex-passwd against a Firebird server whose SYSDBA password
// is not the default, the first user added by the README's own recipe and a
// desk logged in, and the install with its service unit.
#include "base/PasswordCodec.h"
#include "platform/RegistryStore.h"
#include "support/ClientSimulator.h"
#include "support/HalvexProcess.h"
#include "support/Ports.h"
#include "support/PrivateFirebirdServer.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using testing_support::HalvexProcess;
using testing_support::Sandbox;

std::string binaryDir() {
    return qEnvironmentVariable("HALVEX_TEST_BINARY_DIR", QStringLiteral(".")).toStdString();
}

struct Ran {
    int exitCode = -1;
    std::string output; // stdout and stderr
};

Ran run(const QString& program, const QStringList& arguments, const std::string& input = {},
        const QProcessEnvironment& extra = {}) {
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(extra);
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    process.write(input.data(), qint64(input.size()));
    process.closeWriteChannel();
    Ran ran;
    if (!process.waitForFinished(300000)) {
        process.kill();
        process.waitForFinished();
    } else if (process.exitStatus() == QProcess::NormalExit) {
        ran.exitCode = process.exitCode();
    }
    ran.output = process.readAll().toStdString();
    return ran;
}

// The first indented block after the README's heading `heading` that holds
// `word`, without its indent.
std::string readmeBlock(const std::string& heading, const std::string& word) {
    const std::string readme = testing_support::readFile(HALVEX_SOURCE_DIR_FALLBACK "/README.md");
    const auto section = readme.find("\n## " + heading + "\n");
    if (section == std::string::npos)
        return {};
    std::string block;
    std::size_t at = readme.find('\n', section + 1) + 1;
    while (at < readme.size() && readme.compare(at, 3, "## ") != 0) {
        const std::size_t end = std::min(readme.find('\n', at), readme.size());
        const std::string line = readme.substr(at, end - at);
        at = end + 1;
        if (line.rfind("    ", 0) == 0) {
            block += line.substr(4) + "\n";
        } else if (!line.empty()) {
            if (block.find(word) != std::string::npos)
                return block;
            block.clear();
        }
    }
    return block.find(word) != std::string::npos ? block : std::string();
}

class HeadlessServer : public ::testing::Test {
  protected:
    void SetUp() override {
        HALVEX_SKIP_UNDER_THREAD_SANITIZER();
        ASSERT_TRUE(server.prepared()) << server.error();
        ASSERT_TRUE(server.start()) << server.error();
        ASSERT_NE(udp.Port(), 0);
        platform::RegistryKey key(platform::RegistryBranch::Machine);
        ASSERT_TRUE(key.OpenKey("\\software\\Vorlin\\Halvex", true));
        key.WriteString("IPFBase", server.host());
        key.WriteString("NameFB", server.file("RovaZAD.fdb"));
        // The system chooses the listening ports; stderr names them.
        key.WriteInteger("PortTCP", 0);
        key.WriteInteger("PortTCPCalBrowse", 0);
        key.WriteInteger("PortUDP", udp.Port());
        key.WriteString("Broadcast", "127.255.255.255");
    }

    // The client port of a started program: open once the database is
    // attached. 0 when it did not open.
    static int clientPort(HalvexProcess& halvex) {
        static const QRegularExpression chosen(
            QStringLiteral("the client port is 0: listening on port (\\d+)"));
        QDeadlineTimer deadline(120000);
        while (!deadline.hasExpired() && halvex.process().state() == QProcess::Running) {
            const QRegularExpressionMatch match =
                chosen.match(QString::fromStdString(halvex.standardError()));
            if (match.hasMatch())
                return match.captured(1).toInt();
            halvex.process().waitForReadyRead(100);
        }
        return 0;
    }

    static void stop(HalvexProcess& halvex) {
        halvex.signal(SIGTERM);
        ASSERT_TRUE(halvex.waitForExit(std::chrono::seconds(90)));
        EXPECT_EQ(halvex.exitCode(), 0) << halvex.standardError();
    }

    // Not the settings' default.
    const std::string password = "Hx-secret-" + std::to_string(::getpid());
    Sandbox sandbox;
    testfb::PrivateServer server{password};
    testing_support::HeldUdpPort udp;
};

} // namespace

TEST_F(HeadlessServer, ThePasswordStoredWithTheToolIsTheOneTheProgramAttachesWith) {
    const Ran stored = run(QString::fromStdString(binaryDir() + "/halvex-passwd"), {}, password + "\n");
    ASSERT_EQ(stored.exitCode, 0) << stored.output;
    struct stat file {};
    ASSERT_EQ(::stat(sandbox.machineRegistryFile().c_str(), &file), 0);
    EXPECT_EQ(file.st_mode & 0777, 0600u);

    HalvexProcess halvex(sandbox);
    halvex.start({"DEBUG"});
    EXPECT_NE(clientPort(halvex), 0) << halvex.logText() << halvex.standardError();
    EXPECT_EQ(halvex.logText().find("nie jest zaszyfrowanym hasłem"), std::string::npos) << halvex.logText();
    stop(halvex);
}

TEST_F(HeadlessServer, TheReadmeFirstUserLogsInOnceTheServerIsRestarted) {
    {
        platform::RegistryKey key(platform::RegistryBranch::Machine);
        ASSERT_TRUE(key.OpenKey("\\software\\Vorlin\\Halvex", true));
        key.WriteString("PasswordFB", AesEncryptToHexWire(password, FixedKeyText));
    }
    const std::string recipe = readmeBlock("The first user", "isql-fb");
    ASSERT_FALSE(recipe.empty()) << "the README's recipe for the first user";
    // The user the recipe adds.
    ASSERT_NE(recipe.find("LOGIN=anna PASSWORD='Hasło-1'"), std::string::npos) << recipe;

    HalvexProcess first(sandbox);
    first.start({"DEBUG"});
    ASSERT_NE(clientPort(first), 0) << first.logText() << first.standardError();
    QProcessEnvironment admin;
    admin.insert(QStringLiteral("ISC_USER"), QStringLiteral("SYSDBA"));
    admin.insert(QStringLiteral("ISC_PASSWORD"), QString::fromStdString(password));
    admin.insert(QStringLiteral("DB"),
                 QString::fromStdString(server.host() + ":" + server.file("RovaZAD.fdb")));
    const Ran added =
        run(QStringLiteral("bash"), {QStringLiteral("-euo"), QStringLiteral("pipefail")}, recipe, admin);
    ASSERT_EQ(added.exitCode, 0) << added.output;
    ASSERT_NO_FATAL_FAILURE(stop(first));

    HalvexProcess again(sandbox, "halvex-again");
    again.start({"DEBUG"});
    const int port = clientPort(again);
    ASSERT_NE(port, 0) << again.logText() << again.standardError();
    sim::ClientSimulator desk;
    ASSERT_TRUE(desk.Connect(port));
    ASSERT_TRUE(desk.LogIn("anna", Md5HexWire("Hasło-1")));
    bool loggedIn = false;
    for (QDeadlineTimer deadline(30000); !loggedIn && !deadline.hasExpired(); QThread::msleep(20))
        for (const std::string& notice : desk.Notices())
            loggedIn = loggedIn || notice.rfind("!LP&", 0) == 0;
    EXPECT_TRUE(loggedIn) << again.logText();
    desk.Disconnect();
    stop(again);
}

// The settings file's lock kept by another writer past the tool's wait, or
// a lock that cannot be taken at all (a link): the tool says so and ends
// with an error, and stores the password nowhere, not even in the user's
// file, which the program does not read.
TEST(PasswordTool, ALockItCannotTakeIsSaidAndNothingIsStored) {
    Sandbox sandbox;
    const std::string machine = sandbox.machineRegistryFile();
    const std::string user = platform::registryFilePath(platform::RegistryBranch::User);
    const std::string lock = machine + ".lock";
    const std::string text = "Windows Registry Editor Version 5.00\r\n\r\n[software\\Vorlin\\Halvex]\r\n"
                             "\"testHKLM\"=\"testHKLM\"\r\n";
    testing_support::writeFile(machine, text);
    const QString tool = QString::fromStdString(binaryDir() + "/halvex-passwd");
    {
        const testing_support::HeldSettingsLock held(machine);
        ASSERT_TRUE(held.held());
        const Ran stored = run(tool, {}, "Hx-secret\n");
        EXPECT_GT(stored.exitCode, 0) << stored.output;
        EXPECT_NE(stored.output.find(lock + " is held by another writer"), std::string::npos)
            << stored.output;
    }
    const std::string target = sandbox.file("elsewhere");
    ASSERT_EQ(::remove(lock.c_str()), 0);
    ASSERT_EQ(::symlink(target.c_str(), lock.c_str()), 0);
    const Ran linked = run(tool, {}, "Hx-secret\n");
    EXPECT_GT(linked.exitCode, 0) << linked.output;
    EXPECT_NE(linked.output.find(lock + " is a symbolic link"), std::string::npos) << linked.output;
    EXPECT_EQ(testing_support::readFile(machine), text);
    EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(user)));
    EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(target)));
}

// The unit runs the installed program, not the build; what it names is where
// the install put it, and systemd finds nothing to say about it.
TEST(ServiceUnit, TheInstallPutsWhatTheUnitNamesAndTheUnitVerifies) {
    QTemporaryDir prefix;
    ASSERT_TRUE(prefix.isValid());
    const Ran installed =
        run(QStringLiteral("cmake"), {QStringLiteral("--install"), QString::fromStdString(binaryDir()),
                                      QStringLiteral("--prefix"), prefix.path()});
    ASSERT_EQ(installed.exitCode, 0) << installed.output;
    const QString unit = prefix.filePath(QStringLiteral("lib/systemd/system/halvex.service"));
    const std::string text = testing_support::readFile(unit.toStdString());
    ASSERT_FALSE(text.empty()) << installed.output;

    const QRegularExpressionMatch start =
        QRegularExpression(QStringLiteral("^ExecStart=(\\S+)$"), QRegularExpression::MultilineOption)
            .match(QString::fromStdString(text));
    ASSERT_TRUE(start.hasMatch()) << text;
    const QFileInfo program(start.captured(1));
    EXPECT_EQ(program.absoluteFilePath(), prefix.filePath(QStringLiteral("bin/halvex")));
    EXPECT_TRUE(program.isExecutable());
    for (const char* beside : {"halvex-passwd", "Halvex.chm", "Halvex_ru.chm"})
        EXPECT_TRUE(QFileInfo::exists(program.dir().filePath(QString::fromLatin1(beside)))) << beside;

    const Ran verified = run(QStringLiteral("systemd-analyze"), {QStringLiteral("verify"), unit});
    EXPECT_EQ(verified.exitCode, 0) << verified.output;
    EXPECT_EQ(verified.output, "") << "systemd warns of nothing";
}
