// The client service from end to end: the main window in-process with a real
// embedded database holding users and phones, loaded by the console as at
// start, and simulated clients on the client port over real sockets.
#include "ClientServiceSupport.h"
#include "admin/AdminForms.h"
#include "admin/Console.h"
#include "base/PasswordCodec.h"
#include "db/SessionDB.h"
#include "pbx/LinkShared.h"
#include "platform/Clock.h"
#include "platform/WireCodePage.h"
#include "support/FirebirdFixtures.h"
#include "support/HalvexProcess.h"
#include "support/Ports.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTimer>
#include <algorithm>
#include <gtest/gtest.h>

namespace clienttest {
namespace {

bool holds(const std::vector<std::string>& all, const std::string& one) {
    return std::find(all.begin(), all.end(), one) != all.end();
}

class ClientServiceEndToEnd : public testing_support::MainFormFixture {
  protected:
    void SetUp() override {
        platform::setProcessClock(&clock);
        MainFormFixture::SetUp();
        ASSERT_NO_FATAL_FAILURE(testfb::EmbeddedInSettings(c, folder.file("service.fdb")));
        createForm("DEBUG");
        ASSERT_NO_FATAL_FAILURE(testfb::AttachAndCreateSchema(c));
        userEditor = std::make_unique<TUserForm>();
        phoneEditor = std::make_unique<TTelFm>();
        form->Admin().SetEditors(userEditor.get(), phoneEditor.get());

        const char* insert = "INSERT INTO CTIusers (sUserName, sUserLastName, sUserLogin, sUserPassword, "
                             "nGroupID, sUserIP, sRCPcard, sStatus, nPrivileges) VALUES ";
        sql(std::string(insert) + "('Anna', 'Nowak', 'anna', '" + Md5HexWire("alfa") +
            "', 0, ' ', '', ' ', 0)");
        sql(std::string(insert) + "('Jan', 'Kos', 'jan', '" + Md5HexWire("beta") + "', 0, ' ', '', ' ', 0)");
        form->Admin().LoadUsers();
        ASSERT_EQ(form->UserLV->topLevelItemCount(), 2);
        anna = form->UserLV->topLevelItem(0)->text(0).toStdString();
        jan = form->UserLV->topLevelItem(1)->text(0).toStdString();
        sql("INSERT INTO UserPhones VALUES (NULL, " + anna + ", '201', 'biurko')");
        sql("INSERT INTO UserPhones VALUES (NULL, " + jan + ", '202', 'recepcja')");
        form->lvAllUserPhones->SetTag(0);
        form->Admin().LoadUserPhones(anna);
        ASSERT_EQ(form->PhoneLV->topLevelItemCount(), 1);

        ASSERT_NE(udp.Port(), 0);
        udpPort = udp.Port();
        form->Settings.PortUDP = udpPort;
        form->Settings.BroadcastAddress = "127.255.255.255";
        form->Clients().CreateUdpSender(form.get(), udpPort, "127.255.255.255");
        form->Clients().UstawKomunikatLP();
        ASSERT_NO_FATAL_FAILURE(testing_support::OpenClientServiceOnChosenPort(*form));
        port = form->Settings.PortTCP;
    }
    void TearDown() override {
        if (form)
            form->Clients().WylaczSerwer();
        userEditor.reset();
        phoneEditor.reset();
        MainFormFixture::TearDown();
        testfb::DetachMain();
        platform::setProcessClock(nullptr);
    }

    void sql(const std::string& statement) {
        SessionDB session(c.host, c.path, c.user, c.password, &MainDbHandle, false);
        ASSERT_EQ(session.ExecuteSQL(statement), 0) << statement;
    }
    // Connects, logs in and waits for the log-in reply and the request's "OK".
    void logIn(sim::ClientSimulator& client, const std::string& login, const std::string& password,
               bool kla) {
        ASSERT_TRUE(client.ListenUdp(udpPort));
        ASSERT_TRUE(client.Connect(port));
        ASSERT_TRUE(client.LogIn(login, Md5HexWire(password), kla));
        ASSERT_TRUE(PumpUntil([&] {
            const auto all = client.Messages();
            const auto reply =
                std::find_if(all.begin(), all.end(), [](auto& m) { return m.starts_with("!LP&"); });
            return reply != all.end() && std::find(reply, all.end(), "OK") != all.end();
        }));
    }
    // A client refused at log-in gets its code once and loses its connection.
    void expectRefused(const std::string& version, const std::string& login, const std::string& password,
                       bool kla, const std::string& reply) {
        sim::ClientSimulator client;
        ASSERT_TRUE(client.Connect(port));
        ASSERT_TRUE(client.LogIn(login, Md5HexWire(password), kla, version));
        EXPECT_TRUE(PumpUntil([&] { return !client.IsConnected(); })) << login;
        EXPECT_EQ(client.Messages(), std::vector<std::string>{reply}) << login;
    }
    // The user editor, shown by the console, takes the new status.
    void editStatus(const std::string& id, const QString& status) {
        for (int i = 0; i < form->UserLV->topLevelItemCount(); ++i)
            form->UserLV->topLevelItem(i)->setSelected(form->UserLV->topLevelItem(i)->text(0).toStdString() ==
                                                       id);
        QTimer::singleShot(0, [this, status] {
            userEditor->Edit3->setText(status);
            userEditor->Button1Click();
        });
        form->Admin().EditUserBTClick();
    }

    platform::ManualClock clock;
    testfb::DatabaseFolder folder;
    testfb::Connection c;
    std::unique_ptr<TUserForm> userEditor;
    std::unique_ptr<TTelFm> phoneEditor;
    std::string anna, jan;
    testing_support::HeldUdpPort udp;
    int port = 0, udpPort = 0;
};

TEST_F(ClientServiceEndToEnd, TwoClientsLogInSeeEachOtherAndExchangeAMessage) {
    sim::ClientSimulator kl, kla;
    ASSERT_NO_FATAL_FAILURE(logIn(kl, "anna", "alfa", false));
    ASSERT_NO_FATAL_FAILURE(logIn(kla, "jan", "beta", true));
    // The KLA reply carries the connection data in 64-character blocks.
    const auto replies = kla.Notices();
    const auto reply =
        std::find_if(replies.begin(), replies.end(), [](auto& m) { return m.starts_with("!LP&"); });
    ASSERT_NE(reply, replies.end());
    EXPECT_EQ(reply->find('&', 4), 4u + 64u) << *reply;
    EXPECT_NE(reply->find("&" + jan + "&127.255.255.255&" + std::to_string(udpPort) + "&"),
              std::string::npos);
    EXPECT_EQ(form->StatusBar->Panels()[7]->Text().toStdString(), form->Text("IDS_170"));

    // The next client check tells everybody who is here.
    clock.advance(31'000);
    EXPECT_TRUE(PumpUntil([&] { return holds(kl.Datagrams(), "!UP&" + jan + "&127.0.0.1&1\r\n"); }));
    EXPECT_TRUE(PumpUntil([&] { return holds(kla.Datagrams(), "!UP&" + anna + "&127.0.0.1&1\r\n"); }));

    const std::string message =
        platform::toWire("!WI&" + anna + "&" + jan + "&2026-01-05 09:00&Dzień dobry, Janie") + "\xff";
    kl.ClearReceived();
    ASSERT_TRUE(kl.Send(message));
    EXPECT_TRUE(PumpUntil([&] { return holds(kla.Notices(), message); }));
    EXPECT_TRUE(PumpUntil([&] { return holds(kl.Replies(), "OK"); }));
    const std::string answer =
        platform::toWire("!WI&" + jan + "&" + anna + "&2026-01-05 09:01&Cześć") + "\xff";
    ASSERT_TRUE(kla.Send(answer));
    EXPECT_TRUE(PumpUntil([&] { return holds(kl.Notices(), answer); }));
}

// Runs the current test again in a child process with the locale given by
// LANG alone (none when empty), where the system locale is read at start.
void runUnderLocale(const QString& lang) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // The child runs this one test whole, and writes no report of its own.
    for (const char* name : {"LANG", "LANGUAGE", "LC_ALL", "LC_TIME", "LC_MESSAGES", "LC_CTYPE",
                             "GTEST_TOTAL_SHARDS", "GTEST_SHARD_INDEX", "GTEST_OUTPUT"})
        environment.remove(QString::fromLatin1(name));
    if (!lang.isEmpty())
        environment.insert(QStringLiteral("LANG"), lang);
    environment.insert(QStringLiteral("HALVEX_LOCALE_CHILD"), QStringLiteral("1"));
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    QProcess child;
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--gtest_filter=%1.%2").arg(test->test_suite_name(), test->name())});
    ASSERT_TRUE(child.waitForFinished(600000)) << lang.toStdString();
    const QByteArray output = child.readAll();
    EXPECT_EQ(child.exitCode(), 0) << "LANG=" << lang.toStdString() << "\n" << output.toStdString();
    EXPECT_TRUE(output.contains("[  PASSED  ] 1 test")) << output.toStdString();
}

TEST_F(ClientServiceEndToEnd, TheAdministratorsMessageOf900PolishLettersReachesEveryClientWhateverTheLocale) {
    HALVEX_SKIP_UNDER_THREAD_SANITIZER();
    if (qEnvironmentVariableIsEmpty("HALVEX_LOCALE_CHILD")) {
        runUnderLocale(QStringLiteral("pl_PL.UTF-8"));
        runUnderLocale(QString());
        return;
    }
    sim::ClientSimulator kl, kla;
    ASSERT_NO_FATAL_FAILURE(logIn(kl, "anna", "alfa", false));
    ASSERT_NO_FATAL_FAILURE(logIn(kla, "jan", "beta", true));
    kl.ClearReceived();
    kla.ClearReceived();
    QString text;
    while (text.size() < TfrmMessage::MessageLimit)
        text += QString::fromUtf8("ąćęłńóśźżĄĆĘŁŃÓŚŹŻ");
    ASSERT_EQ(text.size(), TfrmMessage::MessageLimit);
    TfrmMessage editor;
    frmMessage = &editor;
    const std::size_t boxes = dialogs->Calls().size();
    QTimer::singleShot(0, &editor, [&] {
        editor.Memo1->setPlainText(text);
        editor.btnSendMessage->click();
    });
    form->btnWiadDoPodlaczonychClick();
    frmMessage = nullptr;
    const std::string stamp = clock.dateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")).toStdString();
    const std::string message =
        platform::toWire("!WI&0&987654321&" + stamp + "&" + text.toStdString()) + "\xff";
    EXPECT_TRUE(PumpUntil([&] { return holds(kl.Notices(), message); }));
    EXPECT_TRUE(PumpUntil([&] { return holds(kla.Notices(), message); }));
    EXPECT_EQ(dialogs->Calls().size(), boxes) << "no refusal shown";
}

TEST_F(ClientServiceEndToEnd, ABadPasswordAnOldVersionAndAnUnknownLoginGetTheirCodes) {
    expectRefused("2.04.00.00", "anna", "zle", false, "ERROR 5\r");
    expectRefused("2.00.01", "anna", "alfa", false, "ERROR 2\r");
    expectRefused("2.04.00.00", "nikt", "alfa", false, "ERROR 4\r");
    expectRefused("2.04.00.00", "jan", "alfa", true, "ERROR 5\r");
    // The service goes on: a right log-in still gets its reply.
    sim::ClientSimulator client;
    ASSERT_NO_FATAL_FAILURE(logIn(client, "anna", "alfa", false));
}

TEST_F(ClientServiceEndToEnd, AUserEditedInTheConsoleReachesTheClients) {
    sim::ClientSimulator annasClient, jansClient;
    ASSERT_NO_FATAL_FAILURE(logIn(annasClient, "anna", "alfa", false));
    ASSERT_NO_FATAL_FAILURE(logIn(jansClient, "jan", "beta", true));
    editStatus(anna, "urlop");
    EXPECT_TRUE(PumpUntil([&] { return holds(annasClient.Notices(), "!RL&\r\n"); }));
    EXPECT_TRUE(PumpUntil([&] { return holds(jansClient.Datagrams(), "!OI&" + anna + "&urlop&\r\n"); }));
    EXPECT_FALSE(holds(jansClient.Notices(), "!RL&\r\n"));
}

} // namespace
} // namespace clienttest
