// The real program, started as a user would start it on a machine without a
// display.
#include "base/PasswordCodec.h"
#include "platform/RegistryStore.h"
#include "shell/MainForm.h"
#include "support/ExchangeSimulator.h"
#include "support/FirebirdFixtures.h"
#include "support/GsmPdus.h"
#include "support/HalvexProcess.h"
#include "support/PrivateFirebirdServer.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QTcpServer>
#include <QTcpSocket>
#include <csignal>
#include <cstdlib>
#include <gtest/gtest.h>
#include <initializer_list>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

using testing_support::HalvexProcess;
using testing_support::Sandbox;

TEST(ServerProcess, StartsHeadlessAndStopsCleanlyOnSigterm) {
    HALVEX_SKIP_UNDER_THREAD_SANITIZER();
    Sandbox sandbox;
    HalvexProcess halvex(sandbox);
    halvex.start({"DEBUG"});
    ASSERT_TRUE(halvex.waitForLog("Odczyt wartości ValidityPeriod")) << halvex.standardError();
    halvex.signal(SIGTERM);
    ASSERT_TRUE(halvex.waitForExit());
    EXPECT_EQ(halvex.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(halvex.exitCode(), 0);
}

// Its warning in the language the settings set (English here), which it
// reads without writing.
TEST(ServerProcess, ASecondCopyWarnsAndEndsWithoutCreatingAnything) {
    HALVEX_SKIP_UNDER_THREAD_SANITIZER();
    Sandbox sandbox;
    {
        platform::RegistryKey key(platform::RegistryBranch::Machine);
        ASSERT_TRUE(key.OpenKey("\\software\\Vorlin\\Halvex", true));
        key.WriteInteger("language", 1);
    }
    HalvexProcess first(sandbox);
    first.start({"DEBUG"});
    ASSERT_TRUE(first.waitForLog("Odczyt wartości ValidityPeriod"));
    const std::string settings = testing_support::readFile(sandbox.machineRegistryFile());

    HalvexProcess second(sandbox, "halvex-second");
    second.start({"DEBUG"});
    ASSERT_TRUE(second.waitForExit());
    EXPECT_EQ(second.exitCode(), 0);
    const std::string warning = second.standardError();
    EXPECT_NE(warning.find("Server is already running on this computer"), std::string::npos) << warning;
    EXPECT_EQ(testing_support::readFile(sandbox.machineRegistryFile()), settings);

    first.signal(SIGTERM);
    ASSERT_TRUE(first.waitForExit());
    EXPECT_EQ(first.exitCode(), 0);
}

TEST(ServerProcess, ACopyLeftByACrashDoesNotBlockTheNextStart) {
    HALVEX_SKIP_UNDER_THREAD_SANITIZER();
    Sandbox sandbox;
    {
        HalvexProcess crashed(sandbox);
        crashed.start();
        ASSERT_TRUE(crashed.process().waitForStarted());
        crashed.signal(SIGKILL);
        crashed.waitForExit();
    }
    HalvexProcess next(sandbox, "halvex-next");
    next.start({"DEBUG"});
    EXPECT_TRUE(next.waitForLog("Odczyt wartości ValidityPeriod"));
    next.signal(SIGTERM);
    EXPECT_TRUE(next.waitForExit());
}

// The database host is a listener that takes the connection and never
// answers, so the attach at start-up never returns: the end of the session
// still ends the program, with exit code 0.
TEST(ServerProcess, SigtermWhileTheDatabaseAttachHangsEndsWithExitCodeZero) {
    HALVEX_SKIP_UNDER_THREAD_SANITIZER();
    Sandbox sandbox;
    QTcpServer silentServer;
    ASSERT_TRUE(silentServer.listen(QHostAddress::LocalHost));
    {
        platform::RegistryKey key(platform::RegistryBranch::Machine);
        ASSERT_TRUE(key.OpenKey("\\software\\Vorlin\\Halvex", true));
        key.WriteString("IPFBase", "127.0.0.1/" + std::to_string(silentServer.serverPort()));
        key.WriteString("NameFB", sandbox.file("never.fdb"));
    }
    HalvexProcess halvex(sandbox);
    halvex.start({"DEBUG"});
    // The attach is under way once its connection arrives.
    ASSERT_TRUE(silentServer.waitForNewConnection(30000)) << halvex.standardError();
    ASSERT_EQ(halvex.process().state(), QProcess::Running) << halvex.standardError();
    halvex.signal(SIGTERM);
    ASSERT_TRUE(halvex.waitForExit(std::chrono::seconds(30))) << halvex.logText();
    EXPECT_EQ(halvex.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(halvex.exitCode(), 0) << halvex.standardError();
}

// A settings file far beyond any real one is not read but set aside whole:
// the program comes up on the defaults within its own shutdown bound, and
// the end of the session still ends it with exit code 0.
TEST(ServerProcess, AHugeSettingsFileIsSetAsideAndTheStartStaysWithinTheShutdownBound) {
    HALVEX_SKIP_UNDER_THREAD_SANITIZER();
    Sandbox sandbox;
    std::string huge = "Windows Registry Editor Version 5.00\r\n\r\n[software\\Vorlin\\Halvex]\r\n";
    const std::string padding(200, 'x');
    for (int i = 0; huge.size() < (50u << 20); ++i)
        huge += "\"Pad" + std::to_string(i) + "\"=\"" + padding + "\"\r\n";
    testing_support::writeFile(sandbox.machineRegistryFile(), huge);

    HalvexProcess halvex(sandbox);
    halvex.start({"DEBUG"});
    const auto bound = std::chrono::duration_cast<std::chrono::seconds>(TForm1::ThreadStopBound);
    ASSERT_TRUE(halvex.waitForLog("Odczyt wartości ValidityPeriod", bound)) << halvex.standardError();
    halvex.signal(SIGTERM);
    ASSERT_TRUE(halvex.waitForExit());
    EXPECT_EQ(halvex.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(halvex.exitCode(), 0) << halvex.standardError();

    EXPECT_LT(QFileInfo(QString::fromStdString(sandbox.machineRegistryFile())).size(),
              platform::RegistryFile::SizeLimit);
    const QStringList copies = QDir(QString::fromStdString(sandbox.registryDir()))
                                   .entryList({QStringLiteral("machine.reg.bad-*")}, QDir::Files);
    ASSERT_EQ(copies.size(), 1) << halvex.logText();
    EXPECT_EQ(QFileInfo(QString::fromStdString(sandbox.registryDir()) + "/" + copies.front()).size(),
              qint64(huge.size()));
}

namespace {

// SIGTERM, and the program ends with code 0.
void stopCleanly(HalvexProcess& halvex) {
    halvex.signal(SIGTERM);
    ASSERT_TRUE(halvex.waitForExit());
    EXPECT_EQ(halvex.exitCode(), 0) << halvex.standardError();
}

// The settings of a start on the test server's database in `folder`, with
// these numbers besides.
void settingsOnServer(const testfb::DatabaseFolder& folder,
                      std::initializer_list<std::pair<const char*, int>> numbers) {
    platform::RegistryKey key(platform::RegistryBranch::Machine);
    ASSERT_TRUE(key.OpenKey("\\software\\Vorlin\\Halvex", true));
    key.WriteString("IPFBase", "127.0.0.1");
    key.WriteString("NameFB", folder.file("RovaZAD.fdb"));
    key.WriteString("PasswordFB", AesEncryptToHexWire(testfb::ServerPassword(), FixedKeyText));
    for (const auto& [name, value] : numbers)
        key.WriteInteger(name, value);
}

// As root the program runs as nobody, to meet what an ordinary user meets;
// false when there is no such user.
bool runAsOrdinaryUser(HalvexProcess& halvex) {
    if (::geteuid() != 0)
        return true;
    const passwd* nobody = ::getpwnam("nobody");
    if (!nobody)
        return false;
    halvex.runAs(nobody->pw_uid, nobody->pw_gid);
    return true;
}

} // namespace

// Started by a user without the right to ports below 1024, on a database file
// that is not there yet: each port that cannot be opened is named, with what
// it needs, on stderr and in the log; the server's own "no such file", which
// only starts the offer to create the file, is not shown as an error.
TEST(ServerProcess, StartUpErrorsSayWhatToDo) {
    HALVEX_SKIP_UNDER_THREAD_SANITIZER();
    HALVEX_REQUIRE_FB_SERVER();
    const std::string lowest = testing_support::readFile("/proc/sys/net/ipv4/ip_unprivileged_port_start");
    if (!lowest.empty() && std::stoi(lowest) <= 1000)
        GTEST_SKIP() << "every user may open the low ports here";
    Sandbox sandbox;
    HalvexProcess halvex(sandbox);
    if (!runAsOrdinaryUser(halvex))
        GTEST_SKIP() << "no unprivileged user to run the program as";
    testfb::DatabaseFolder folder;
    // The messages read below are the Polish ones.
    ASSERT_NO_FATAL_FAILURE(settingsOnServer(folder, {{"CRMsocketActive", 1}, {"language", 0}}));
    halvex.start({"DEBUG"});
    // The calendar port is the last one opened, with the client service.
    ASSERT_TRUE(halvex.waitForLog("Nie można otworzyć portu kalendarzy", std::chrono::seconds(90)))
        << halvex.logText() << halvex.standardError();
    const std::string log = halvex.logText();
    const std::string errors = halvex.standardError();
    for (const char* port : {"client port 1000", "calendar port 1005", "CRM console port 1010"})
        EXPECT_NE(errors.find(std::string("cannot open the ") + port +
                              ": a port below 1024 needs root or the capability CAP_NET_BIND_SERVICE"),
                  std::string::npos)
            << errors;
    for (const char* port : {"klientów 1000", "kalendarzy 1005", "konsoli CRM 1010"})
        EXPECT_NE(log.find(std::string("Nie można otworzyć portu ") + port +
                           ": port poniżej 1024 wymaga uprawnień roota lub CAP_NET_BIND_SERVICE"),
                  std::string::npos)
            << log;
    EXPECT_NE(log.find("Baza danych utworzona"), std::string::npos) << log;
    EXPECT_EQ(errors.find("No such file"), std::string::npos) << errors;

    ASSERT_NO_FATAL_FAILURE(stopCleanly(halvex));
}

// A FIFO in the settings file's place used to hold the start for ever (deaf
// to SIGTERM), and a link to /dev/zero was read until memory ran out:
// neither is read, each is named on stderr and in the log, the program
// comes up on the defaults, and the end of the session ends it.
TEST(ServerProcess, ASettingsFileThatIsAFifoOrADeviceIsRefusedAndTheDefaultsUsed) {
    HALVEX_SKIP_UNDER_THREAD_SANITIZER();
    Sandbox sandbox;
    const std::string fifo = sandbox.machineRegistryFile();
    const std::string zero = sandbox.registryDir() + "/user.reg";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(::symlink("/dev/zero", zero.c_str()), 0);

    HalvexProcess halvex(sandbox);
    halvex.start({"DEBUG"});
    ASSERT_TRUE(halvex.waitForLog("Plik ustawień " + zero + " odrzucony")) << halvex.standardError();
    halvex.signal(SIGTERM);
    ASSERT_TRUE(halvex.waitForExit());
    EXPECT_EQ(halvex.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(halvex.exitCode(), 0);
    const std::string log = halvex.logText();
    EXPECT_NE(log.find("Plik ustawień " + fifo + " odrzucony (nie jest zwykłym plikiem)"), std::string::npos)
        << log;
    const std::string said = halvex.standardError();
    EXPECT_NE(said.find("the settings file " + fifo + " is not a regular file"), std::string::npos) << said;
    EXPECT_NE(said.find("the settings file " + zero + " is not a regular file"), std::string::npos) << said;
    EXPECT_EQ(QFileInfo(QString::fromStdString(zero)).symLinkTarget(), QStringLiteral("/dev/zero"));
}

namespace {

// The port the log says the program chose for a port set to 0, or 0.
int chosenPort(const std::string& log, const std::string& polishName) {
    const std::string mark = "Port " + polishName + " ustawiony na 0: nasłuch na porcie ";
    const auto at = log.find(mark);
    return at == std::string::npos ? 0 : std::atoi(log.c_str() + at + mark.size());
}

// Starts the program on settings with ports set to 0 and, once its client
// service is open, connects to the port it chose for `polishName`.
void startAndConnect(HalvexProcess& halvex, const std::string& polishName) {
    halvex.start({"DEBUG"});
    ASSERT_TRUE(halvex.waitForLog("Port klientów ustawiony na 0", std::chrono::seconds(90)))
        << halvex.logText() << halvex.standardError();
    const int port = chosenPort(halvex.logText(), polishName);
    ASSERT_NE(port, 0) << halvex.logText();
    QTcpSocket peer;
    peer.connectToHost(QStringLiteral("127.0.0.1"), quint16(port));
    EXPECT_TRUE(peer.waitForConnected(10000)) << peer.errorString().toStdString();
}

} // namespace

// A first start, with most settings still missing: the settings created
// with their defaults stay as they are (nobody can see a settings dialog on
// a server without a display), so the calendar port opens as on every later
// start; and Qt's notes about windows it cannot show stay off stderr.
TEST(ServerProcess, AFirstStartOpensTheCalendarPortAndKeepsQtNotesOffStderr) {
    HALVEX_SKIP_UNDER_THREAD_SANITIZER();
    HALVEX_REQUIRE_FB_SERVER();
    Sandbox sandbox;
    testfb::DatabaseFolder folder;
    ASSERT_NO_FATAL_FAILURE(
        settingsOnServer(folder, {{"PortTCP", 0}, {"PortTCPCalBrowse", 0}, {"language", 1}}));
    HalvexProcess halvex(sandbox);
    ASSERT_NO_FATAL_FAILURE(startAndConnect(halvex, "kalendarzy"));
    halvex.signal(SIGTERM);
    ASSERT_TRUE(halvex.waitForExit());
    const std::string errors = halvex.standardError();
    EXPECT_NE(errors.find("the calendar port is 0: listening on port"), std::string::npos) << errors;
    EXPECT_EQ(errors.find("This plugin does not support"), std::string::npos) << errors;
    EXPECT_EQ(errors.find("XDG_RUNTIME_DIR"), std::string::npos) << errors;
}

// A settings file that its user cannot read (mode 000) is named with the
// reason on stderr and in the log; no line claims it was read, and it is
// left as it was.
TEST(ServerProcess, ASettingsFileThatCannotBeReadIsSaidAndLeftAlone) {
    HALVEX_SKIP_UNDER_THREAD_SANITIZER();
    Sandbox sandbox;
    HalvexProcess halvex(sandbox);
    if (!runAsOrdinaryUser(halvex))
        GTEST_SKIP() << "no unprivileged user to run the program as";
    const std::string text = "Windows Registry Editor Version 5.00\r\n\r\n[software\\Vorlin\\Halvex]\r\n"
                             "\"PortTCP\"=dword:00005208\r\n";
    const std::string machine = sandbox.machineRegistryFile();
    const std::string user = sandbox.registryDir() + "/user.reg";
    for (const std::string& file : {machine, user}) {
        testing_support::writeFile(file, text);
        ASSERT_EQ(::chmod(file.c_str(), 0), 0);
    }
    halvex.start({"DEBUG"});
    ASSERT_TRUE(halvex.waitForLog("nazwa pliku=<")) << halvex.standardError();
    halvex.signal(SIGTERM);
    ASSERT_TRUE(halvex.waitForExit());
    const std::string errors = halvex.standardError();
    const std::string log = halvex.logText();
    for (const std::string& file : {machine, user}) {
        EXPECT_NE(errors.find("Halvex: the settings file " + file + " cannot be read: Permission denied"),
                  std::string::npos)
            << errors;
        EXPECT_NE(log.find("Plik ustawień " + file + " nie może zostać odczytany: Permission denied"),
                  std::string::npos)
            << log;
        struct stat info {};
        ASSERT_EQ(::stat(file.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0u);
        EXPECT_EQ(info.st_size, off_t(text.size()));
    }
    EXPECT_EQ(log.find("ustawienia odczytane z"), std::string::npos) << log;
}

// Another writer keeps the settings file's lock for the whole run. The
// program still runs on the settings it read there (its client port, on the
// database they name, opens), says on stderr and in the log that it cannot
// write them, and neither moves to the user's file nor writes without the
// lock.
TEST(ServerProcess, ASettingsFileLockedForTheWholeRunIsStillTheOneItRunsOn) {
    HALVEX_SKIP_UNDER_THREAD_SANITIZER();
    HALVEX_REQUIRE_FB_SERVER();
    Sandbox sandbox;
    testfb::DatabaseFolder folder;
    ASSERT_NO_FATAL_FAILURE(settingsOnServer(folder, {{"PortTCP", 0}, {"PortTCPCalBrowse", 0}}));
    const std::string machine = sandbox.machineRegistryFile();
    const std::string settings = testing_support::readFile(machine);
    const testing_support::HeldSettingsLock held(machine);
    ASSERT_TRUE(held.held());

    HalvexProcess halvex(sandbox);
    ASSERT_NO_FATAL_FAILURE(startAndConnect(halvex, "klientów"));
    ASSERT_NO_FATAL_FAILURE(stopCleanly(halvex));

    const std::string reason = machine + ".lock is held by another writer";
    const std::string errors = halvex.standardError();
    EXPECT_NE(errors.find("Halvex: the settings file " + machine + " cannot be written: the lock " + reason),
              std::string::npos)
        << errors;
    const std::string log = halvex.logText();
    EXPECT_NE(log.find("Nie można zapisać pliku ustawień " + machine + ": the lock " + reason),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("Ustawienia przechowywane będą w gałęzi HKCU"), std::string::npos) << log;
    EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(sandbox.registryDir() + "/user.reg")));
    EXPECT_EQ(testing_support::readFile(machine), settings);
}

// Another writer holds the settings file's lock from before a first start,
// so the defaults that start writes wait for it, and SIGTERM comes while
// they wait. The stop gives them up within its bound and names every one
// with its value (a password as "***") on stderr and in the log, which is
// written before the process ends.
TEST(ServerProcess, SettingsWaitingForTheLockAtTheStopAreNamedWithTheirValuesOnStderrAndInTheLog) {
    HALVEX_SKIP_UNDER_THREAD_SANITIZER();
    Sandbox sandbox;
    {
        platform::RegistryKey key(platform::RegistryBranch::Machine);
        ASSERT_TRUE(key.OpenKey("\\software\\Vorlin\\Halvex", true));
        key.WriteString("IPFBase", "127.0.0.1");
        key.WriteString("NameFB", sandbox.file("none/RovaZAD.fdb"));
    }
    const std::string machine = sandbox.machineRegistryFile();
    const std::string settings = testing_support::readFile(machine);
    const testing_support::HeldSettingsLock held(machine);
    ASSERT_TRUE(held.held());

    HalvexProcess halvex(sandbox);
    halvex.start({"DEBUG"});
    ASSERT_TRUE(halvex.waitForLog("Odczyt wartości ValidityPeriod")) << halvex.standardError();
    ASSERT_NO_FATAL_FAILURE(stopCleanly(halvex));
    EXPECT_EQ(testing_support::readFile(machine), settings);

    const std::string log = halvex.logText();
    const std::string errors = halvex.standardError();
    const std::string port = "software\\Vorlin\\Halvex\\PortTCP = 1000";
    const std::string password = "software\\Vorlin\\Halvex\\PasswordFB = ***";
    const std::string logLine = "Nie zapisano w pliku ustawień " + machine + ": ";
    const std::string errorLine = "Halvex: not written to the settings file " + machine + ": ";
    for (const auto& [said, line] : {std::pair{log, logLine}, std::pair{errors, errorLine}}) {
        const auto at = said.find(line);
        ASSERT_NE(at, std::string::npos) << said;
        const std::string named = said.substr(at, said.find('\n', at) - at);
        EXPECT_NE(named.find(port), std::string::npos) << named;
        EXPECT_NE(named.find(password), std::string::npos) << named;
        EXPECT_EQ(named.find(AesEncryptToHexWire("plintaved", FixedKeyText)), std::string::npos) << named;
    }
    // Said in the start's words: these are the start's writes.
    EXPECT_NE(errors.find("Halvex: the settings file " + machine + " cannot be written: the lock "),
              std::string::npos)
        << errors;
}

namespace {

// The number of times `part` is in `text`.
int timesIn(const std::string& text, const std::string& part) {
    int seen = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++seen;
    return seen;
}

// An empty database `c` on `server`, started.
void databaseOnOwnServer(testfb::PrivateServer& server, testfb::Connection& c) {
    ASSERT_TRUE(server.prepared()) << server.error();
    ASSERT_TRUE(server.start()) << server.error();
    c = server.connection("RovaZAD.fdb");
    ASSERT_TRUE(testfb::CreateEmptyDatabase(c));
}

// How stderr names the database `c` and its server.
std::string whereSaid(const testfb::Connection& c) {
    return c.path + " on the Firebird server 127.0.0.1 port " + c.host.substr(c.host.rfind('/') + 1);
}

} // namespace

// A wrong database password on a server without a display is said on stderr
// at the first failure, with the server, its port and the database, not
// only from the fourth failure on (minutes after the start).
TEST(ServerProcess, AWrongDatabasePasswordIsSaidOnStderrAtTheFirstFailure) {
    HALVEX_SKIP_UNDER_THREAD_SANITIZER();
    HALVEX_REQUIRE_FB_SERVER();
    Sandbox sandbox;
    testfb::DatabaseFolder folder;
    ASSERT_NO_FATAL_FAILURE(settingsOnServer(folder, {}));
    {
        platform::RegistryKey key(platform::RegistryBranch::Machine);
        ASSERT_TRUE(key.OpenKey("\\software\\Vorlin\\Halvex", true));
        key.WriteString("PasswordFB", AesEncryptToHexWire("not-the-password", FixedKeyText));
    }
    HalvexProcess halvex(sandbox);
    halvex.start({"DEBUG"});
    const std::string line = "Halvex: cannot attach the database " + folder.file("RovaZAD.fdb") +
                             " on the Firebird server 127.0.0.1 port 3050: ";
    ASSERT_TRUE(halvex.waitForStderr(line, std::chrono::seconds(90)))
        << halvex.standardError() << halvex.logText();
    // Said at the first failure: the next one comes a minute later.
    EXPECT_LT(timesIn(halvex.logText(), "Brak połączenia z bazą danych"), 2) << halvex.logText();
    const std::string errors = halvex.standardError();
    const std::string said = errors.substr(errors.find(line));
    EXPECT_NE(said.find("password"), std::string::npos) << said;
    ASSERT_NO_FATAL_FAILURE(stopCleanly(halvex));
}

// The database server is down when the program starts: stderr names it,
// its port and the database at the first failure, and says so once; when
// the server is back, the reconnect's attach is said too.
TEST(ServerProcess, AStoppedDatabaseServerIsSaidAtOnceAndItsReturnToo) {
    HALVEX_SKIP_UNDER_THREAD_SANITIZER();
    testfb::PrivateServer server;
    testfb::Connection c;
    ASSERT_NO_FATAL_FAILURE(databaseOnOwnServer(server, c));
    server.kill();

    Sandbox sandbox;
    ASSERT_TRUE(testing_support::WriteProgramSettings(c));
    HalvexProcess halvex(sandbox);
    halvex.start({"DEBUG"});
    const std::string where = whereSaid(c);
    const std::string failure = "Halvex: cannot attach the database " + where + ": ";
    ASSERT_TRUE(halvex.waitForStderr(failure, std::chrono::seconds(90)))
        << halvex.standardError() << halvex.logText();
    EXPECT_LT(timesIn(halvex.logText(), "Brak połączenia z bazą danych"), 2) << halvex.logText();

    ASSERT_TRUE(server.start()) << server.error();
    const std::string attached = "Halvex: the database " + where + " is attached again";
    // The reconnect timer tries once a minute.
    ASSERT_TRUE(halvex.waitForStderr(attached, std::chrono::seconds(150)))
        << halvex.standardError() << halvex.logText();
    const std::string errors = halvex.standardError();
    EXPECT_EQ(timesIn(errors, failure), 1) << errors;
    EXPECT_LT(errors.find(failure), errors.find(attached)) << errors;
    ASSERT_NO_FATAL_FAILURE(stopCleanly(halvex));
}

// The database server is down from the start while calls end and messages
// come in: stderr says the attach failures, and never a lost connection,
// since none was attached in this run.
TEST(ServerProcess, ADatabaseNeverAttachedIsNeverSaidLostWhileCallsAndMessagesCome) {
    HALVEX_SKIP_UNDER_THREAD_SANITIZER();
    testfb::PrivateServer server;
    testfb::Connection c;
    ASSERT_NO_FATAL_FAILURE(databaseOnOwnServer(server, c));
    server.kill();

    Sandbox sandbox;
    sim::ExchangeSimulator exchange(sim::Family::Vantrel, sim::Transport::Tcp);
    exchange.SetGsmLine(1, "600100200");
    ASSERT_TRUE(exchange.Start());
    ASSERT_TRUE(testing_support::WriteProgramSettings(c, exchange.Port()));
    {
        platform::RegistryKey sms(platform::RegistryBranch::Machine);
        ASSERT_TRUE(sms.OpenKey("\\software\\Vorlin\\Halvex\\SMS", true));
        sms.WriteBool("UseSms", true);
    }
    HalvexProcess halvex(sandbox);
    halvex.start({"DEBUG"});
    ASSERT_TRUE(exchange.WaitForLogin()) << halvex.logText();
    ASSERT_TRUE(halvex.waitForStderr("Halvex: cannot attach the database ", std::chrono::seconds(90)))
        << halvex.standardError();
    for (int message = 1; message <= 3; ++message) {
        for (const char* record : {"C11 20 1 600123456", "C10 20 201", "C02 20 201"})
            exchange.SendRecord(record);
        exchange.AnnounceSms(1, sim::pdu::DeliverHello);
        ASSERT_TRUE(halvex.waitForLogTimes("parsePDU", message)) << halvex.logText();
    }
    EXPECT_EQ(halvex.standardError().find("was lost"), std::string::npos) << halvex.standardError();
    ASSERT_NO_FATAL_FAILURE(stopCleanly(halvex));
}

// The database server stops while the program runs and calls come: stderr
// says the loss when it is found, with the server, its port and the
// database, before any reconnect's failure; when the server is back, its
// return is said too.
TEST(ServerProcess, AConnectionLostWhileRunningIsSaidWhenFoundAndItsReturnToo) {
    HALVEX_SKIP_UNDER_THREAD_SANITIZER();
    testfb::PrivateServer server;
    testfb::Connection c;
    ASSERT_NO_FATAL_FAILURE(databaseOnOwnServer(server, c));

    Sandbox sandbox;
    sim::ExchangeSimulator exchange(sim::Family::Vantrel, sim::Transport::Tcp);
    ASSERT_TRUE(exchange.Start());
    ASSERT_TRUE(testing_support::WriteProgramSettings(c, exchange.Port()));
    HalvexProcess halvex(sandbox);
    halvex.start({"DEBUG"});
    ASSERT_TRUE(exchange.WaitForLogin()) << halvex.logText();
    ASSERT_TRUE(halvex.waitForLog("Włączanie serwera TCP", std::chrono::seconds(90))) << halvex.logText();

    server.kill();
    const std::string where = whereSaid(c);
    const std::string lost = "Halvex: the connection to the database " + where + " was lost";
    const std::string failure = "Halvex: cannot attach the database " + where;
    // Each call's end writes a row: the first one after the stop finds the loss.
    const auto said = [&] {
        const std::string errors = halvex.standardError();
        return errors.find(lost) != std::string::npos || errors.find(failure) != std::string::npos;
    };
    for (int call = 0; call < 600 && !said() && halvex.process().state() == QProcess::Running; ++call) {
        const std::string id = std::to_string(10 + call % 90);
        for (const std::string& record :
             {"C11 " + id + " 1 600123456", "C10 " + id + " 201", "C02 " + id + " 201"})
            exchange.SendRecord(record);
        halvex.process().waitForFinished(200);
    }
    std::string errors = halvex.standardError();
    ASSERT_NE(errors.find(lost), std::string::npos) << errors << halvex.logText();
    // Said when found, not at the reconnect timer's first failure.
    EXPECT_EQ(errors.find(failure), std::string::npos) << errors;

    ASSERT_TRUE(server.start()) << server.error();
    const std::string back = "Halvex: the database " + where + " is attached again";
    ASSERT_TRUE(halvex.waitForStderr(back, std::chrono::seconds(150))) << halvex.standardError();
    errors = halvex.standardError();
    EXPECT_LT(errors.find(lost), errors.find(back)) << errors;
    EXPECT_EQ(timesIn(errors, lost), 1) << errors;
    ASSERT_NO_FATAL_FAILURE(stopCleanly(halvex));
}

// Two programs started in one folder, each with a runtime folder of its own
// (a service without XDG_RUNTIME_DIR beside a desktop run), would share the
// journal of the rows on their way: the second says which program holds it
// and ends with an error, before it writes any row.
TEST(ServerProcess, ASecondProgramBesideAHeldJournalSaysWhichHoldsItAndEnds) {
    HALVEX_SKIP_UNDER_THREAD_SANITIZER();
    Sandbox sandbox;
    HalvexProcess first(sandbox);
    first.start({"DEBUG"});
    ASSERT_TRUE(first.waitForLog("Odczyt wartości ValidityPeriod"));
    const QString journal = QString::fromStdString(sandbox.file("halvex-rows.sqlite"));
    QDeadlineTimer opened(30000);
    while (!QFileInfo::exists(journal) && !opened.hasExpired())
        first.process().waitForFinished(50);
    ASSERT_TRUE(QFileInfo::exists(journal)) << first.logText();

    HalvexProcess second(sandbox, "halvex-second");
    const std::string runtime = sandbox.file("runtime-of-the-second");
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(runtime)));
    second.setEnv(QStringLiteral("XDG_RUNTIME_DIR"), QString::fromStdString(runtime));
    second.start({"DEBUG"});
    ASSERT_TRUE(second.waitForExit());
    EXPECT_NE(second.exitCode(), 0);
    const std::string said = second.standardError();
    EXPECT_NE(
        said.find("is held by another program (pid " + std::to_string(first.process().processId()) + ")"),
        std::string::npos)
        << said;

    first.signal(SIGTERM);
    ASSERT_TRUE(first.waitForExit());
    EXPECT_EQ(first.exitCode(), 0);
}
