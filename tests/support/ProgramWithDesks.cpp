#include "support/ProgramWithDesks.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <algorithm>
#include <csignal>

namespace testing_support {

void AddDeskUsers(const testfb::Connection& c, const std::vector<std::string>& extensions) {
    for (const std::string& extension : extensions) {
        const std::string login = "u" + extension;
        testfb::MainSql(c, "INSERT INTO CTIusers (sUserName, sUserLastName, sUserLogin, sUserPassword, "
                           "nGroupID, sUserIP, sRCPcard, sStatus, nPrivileges) VALUES ('Jan', 'Nowak', '" +
                               login + "', '" + DeskPassword + "', 0, ' ', '', ' ', 0)");
        testfb::MainSql(c, "INSERT INTO UserPhones VALUES (NULL, (SELECT nUserID FROM CTIusers WHERE "
                           "sUserLogin = '" +
                               login + "'), '" + extension + "', 'biurko')");
    }
}

void StartDatabaseWithDesks(testfb::PrivateServer& server, testfb::Connection& c,
                            const std::vector<std::string>& extensions) {
    ASSERT_TRUE(server.prepared()) << server.error();
    ASSERT_TRUE(server.start()) << server.error();
    c = server.connection("RovaZAD.fdb");
    ASSERT_TRUE(testfb::CreateEmptyDatabase(c));
    testfb::AttachAndCreateSchema(c);
    AddDeskUsers(c, extensions);
    testfb::DetachMain();
}

bool AwaitWhileRunning(HalvexProcess& halvex, const std::function<bool()>& done) {
    for (int step = 0; step < 1200 && !done(); ++step)
        if (halvex.process().waitForFinished(50))
            break;
    return done();
}

void LogInDesks(HalvexProcess& halvex, int clientPort, const std::vector<std::string>& logins,
                std::vector<std::unique_ptr<sim::ClientSimulator>>& desks) {
    for (const std::string& login : logins) {
        auto& desk = desks.emplace_back(std::make_unique<sim::ClientSimulator>());
        ASSERT_TRUE(desk->Connect(clientPort));
        ASSERT_TRUE(desk->LogIn(login, DeskPassword));
        ASSERT_TRUE(AwaitWhileRunning(halvex, [&] {
            const auto replies = desk->Replies();
            return std::find(replies.begin(), replies.end(), "OK") != replies.end();
        })) << halvex.logText();
    }
}

void StartWithDesks(HalvexProcess& halvex, sim::ExchangeSimulator& exchange,
                    const std::vector<std::string>& logins,
                    std::vector<std::unique_ptr<sim::ClientSimulator>>& desks, int& clientPort) {
    halvex.start({"DEBUG", "CTI"});
    ASSERT_TRUE(exchange.WaitForLogin(exchange.LoginCount() + 1)) << halvex.logText();
    ASSERT_TRUE(halvex.waitForLog("Włączanie serwera TCP", std::chrono::seconds(90))) << halvex.logText();
    clientPort = ChosenClientPort(halvex);
    ASSERT_NE(clientPort, 0) << halvex.logText();
    ASSERT_NO_FATAL_FAILURE(LogInDesks(halvex, clientPort, logins, desks));
}

void StopAndExpectCleanEnd(HalvexProcess& halvex, const std::string& moment) {
    halvex.signal(SIGTERM);
    ASSERT_TRUE(halvex.waitForExit(std::chrono::seconds(60))) << moment << "\n" << halvex.logText();
    const std::string errors = halvex.standardError();
    EXPECT_EQ(halvex.exitStatus(), QProcess::NormalExit) << moment << "\n" << errors;
    EXPECT_EQ(halvex.exitCode(), 0) << moment << "\n" << errors;
    EXPECT_EQ(errors.find("Sanitizer"), std::string::npos) << moment << "\n" << errors;
    EXPECT_EQ(errors.find("runtime error"), std::string::npos) << moment << "\n" << errors;
}

int JournalRowsWith(const std::string& path, const std::string& text) {
    int count = -1;
    {
        QSqlDatabase journal = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("peek"));
        journal.setDatabaseName(QString::fromStdString(path));
        journal.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        QSqlQuery query(journal);
        if (journal.open() &&
            query.exec(
                QString::fromStdString("SELECT COUNT(*) FROM rows WHERE statement LIKE '%" + text + "%'")) &&
            query.next())
            count = query.value(0).toInt();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("peek"));
    return count;
}

std::vector<std::string> CallTo201(const std::string& id, const std::string& caller) {
    return {"C11 " + id + " 3 " + caller, "C10 " + id + " 201", "C01 " + id + " 201",
            "C15 " + id + " 201",         "C02 " + id + " 201", "C13 " + id + " 3"};
}

} // namespace testing_support
