// The link as the main window runs it: connect on start, answers that free
// the command in flight, a dropped connection, automatic reconnection, the
// menu item, the command queues, and stopping while the thread is blocked.
#include "shell/MainForm.h"
#include "support/FileModesBind.h"
#include "support/LinkTestSupport.h"
#include "ui/Dialogs.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sys/stat.h>

using sim::ExchangeSimulator;
using sim::Family;
using sim::Transport;

namespace {

class LinkControlTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        qputenv("HALVEX_REGISTRY_DIR", dir_.path().toLocal8Bit());
        qputenv("XDG_RUNTIME_DIR", dir_.path().toLocal8Bit());
        dialogs_ = std::make_shared<ui::ScriptedDialogs>();
        ui::setDialogs(dialogs_);
        pbx::linkEnvironment().timings = pbx::LinkTimings::Scaled(50);
        pbx::linkEnvironment().clock = &clock_;
    }
    void TearDown() override {
        delete form_;
        form_ = nullptr;
        UsunWszystkichKlientow();
        pbx::linkEnvironment() = pbx::LinkEnvironment();
        qunsetenv("HALVEX_COM1");
    }

    // The window as the program starts it, but for the database: its
    // start-up attach would make the default one when it fell due.
    static TForm1* newForm() {
        StartupOptions noDatabase;
        noDatabase.attachDatabase = false;
        return new TForm1(nullptr, noDatabase);
    }

    void writeSettings(int port, int type, int tcpPort, bool automatic = true) {
        platform::RegistryKey key(platform::RegistryBranch::Machine);
        ASSERT_TRUE(key.OpenKey("\\software\\Vorlin\\Halvex", true));
        key.WriteInteger("Port", port);
        key.WriteInteger("Centrala", type);
        key.WriteString("TCPCentr", "127.0.0.1");
        key.WriteInteger("PortTCPCent", tcpPort);
        key.WriteInteger("AutomPrzyw", automatic ? 1 : 0);
    }

    void startForm(const ExchangeSimulator& exchange, int type) {
        writeSettings(5, type, exchange.Port());
        form_ = newForm();
    }

    // Waits while the idle handler runs, as the event loop would run it.
    bool idleUntil(const std::function<bool()>& condition, int ms = 30000) {
        return linktest::WaitFor(
            [&] {
                form_->Pbx().ObslugaCentrali();
                return condition();
            },
            ms);
    }

    // The window's link on COM1, in the first read of a silent exchange's
    // serial log-in, with the standard read time-outs.
    void startSilentSerialLogIn(ExchangeSimulator& exchange) {
        exchange.SetFault(sim::Fault::Silent);
        ASSERT_TRUE(exchange.Start());
        qputenv("HALVEX_COM1", QByteArray::fromStdString(exchange.SlavePath()));
        pbx::linkEnvironment().timings = pbx::LinkTimings(); // reads wait the full 10 s
        pbx::linkEnvironment().timings.startDelay = 1;
        pbx::linkEnvironment().timings.wakeUpPause = 1;
        writeSettings(1, 2, 5001);
        form_ = newForm();
        ASSERT_TRUE(exchange.WaitUntil([&] {
            const auto r = exchange.Received();
            return std::any_of(r.begin(), r.end(), [](const auto& c) { return c.text == "CRC OFF"; });
        }));
    }

    QString panel(int index) { return form_->StatusBar->Panels()[index]->Text(); }

    // Logged in and passing data: commands queued from now on are kept.
    bool linked() {
        return idleUntil([&] {
            return panel(6) == QStringLiteral("TCP") + QString::fromStdString(form_->Text("IDS_201"));
        });
    }

    QTemporaryDir dir_;
    std::shared_ptr<ui::ScriptedDialogs> dialogs_;
    platform::ManualClock clock_;
    TForm1* form_ = nullptr;
};

TEST_F(LinkControlTest, AnswersFreeTheLinkForTheNextCommandInOrder) {
    ExchangeSimulator exchange(Family::Vantrel, Transport::Tcp);
    ASSERT_TRUE(exchange.Start());
    startForm(exchange, 2);
    EXPECT_TRUE(form_->PodlaczCentrale->isChecked());
    ASSERT_TRUE(linked());

    Klient older("10.0.0.2", "older", nullptr, 0);
    Klient newer("10.0.0.3", "newer", nullptr, 0);
    std::string a0 = "A0\r", a1 = "A1\r", a2 = "A2\r", b1 = "B1\r";
    // The first command stays unanswered, so that the rest all wait behind it
    // whatever the link thread's pace. The clock stands still: only the
    // answers can free the link.
    exchange.SetAnswerRule({sim::AnswerRule::Kind::Silent});
    CurrentKlient = &older;
    form_->Pbx().WyslijNumer(a0);
    ASSERT_TRUE(idleUntil([&] { return exchange.Commands().size() == 1; }));
    form_->Pbx().WyslijNumer(a1);
    form_->Pbx().WyslijNumer(a2);
    CurrentKlient = &newer;
    form_->Pbx().WyslijNumer(b1);
    form_->Pbx().WyslijLinie("VM LIST\r", 1000);
    exchange.SetAnswerRule({});
    exchange.SendRecord("OK");
    ASSERT_TRUE(idleUntil([&] { return exchange.Commands().size() == 5; }));
    EXPECT_EQ(exchange.Commands(), (std::vector<std::string>{"A0", "B1", "A1", "A2", "VM LIST"}));
}

TEST_F(LinkControlTest, VoiceMailErrorsCountAgainstTheCommandInFlight) {
    ExchangeSimulator exchange(Family::Vantrel, Transport::Tcp);
    exchange.SetAnswerRule({sim::AnswerRule::Kind::Error, 1});
    ASSERT_TRUE(exchange.Start());
    startForm(exchange, 2);
    ASSERT_TRUE(linked());
    form_->Settings.UseVoiceMailPcti = true;
    for (int i = 0; i < 11; ++i)
        form_->Pbx().WyslijLinie("VM GET " + std::to_string(i) + "\r", 1000);
    ASSERT_TRUE(idleUntil([&] { return form_->Pbx().ErrorCount1 == 11; }));
    EXPECT_FALSE(form_->Settings.UseVoiceMailPcti);
}

TEST_F(LinkControlTest, DroppedConnectionIsNoticedCountedAndReconnected) {
    ExchangeSimulator exchange(Family::Vantrel, Transport::Tcp);
    ASSERT_TRUE(exchange.Start());
    startForm(exchange, 2);
    linktest::LogCapture log; // after the window, which starts with the log off
    ASSERT_TRUE(linked());
    exchange.SendRecord("HELLO");
    ASSERT_TRUE(idleUntil([&] { return form_->Pbx().PbxLinkErrorCount == 0; }));
    exchange.DropConnection();
    int highest = 0;
    ASSERT_TRUE(idleUntil([&] {
        highest = std::max(highest, form_->Pbx().PbxLinkErrorCount.load());
        return exchange.LoginCount() >= 2;
    }));
    EXPECT_GT(highest, 0);
    EXPECT_EQ(exchange.ConnectionCount(), 2);
    EXPECT_TRUE(idleUntil([&] {
        return log.WaitForLine("TCP: Połączenie rozłączone", 0) ||
               !form_->Info->findItems(QStringLiteral("TCP: Połączenie rozłączone"), Qt::MatchContains)
                    .isEmpty();
    }));
}

TEST_F(LinkControlTest, EndedThreadIsReplacedWhenReconnectionIsOn) {
    auto exchange = std::make_unique<ExchangeSimulator>(Family::Morva, Transport::Tcp);
    ASSERT_TRUE(exchange->Start());
    const int port = exchange->Port();
    startForm(*exchange, 5);
    // Past its log-in: a hang-up during the log-in would be retried after a
    // pause of the (standing) clock instead.
    ASSERT_TRUE(linked());
    ASSERT_TRUE(form_->Pbx().Watek);
    const auto firstThread = form_->Pbx().Watek->generation;
    exchange.reset(); // the exchange goes away: the reconnect is refused, the thread ends
    ASSERT_TRUE(
        idleUntil([&] { return form_->Pbx().Watek && form_->Pbx().Watek->generation != firstThread; }));
    exchange = std::make_unique<ExchangeSimulator>(Family::Morva, Transport::Tcp);
    ASSERT_TRUE(exchange->Start(port));
    ASSERT_TRUE(idleUntil([&] { return exchange->LoginCount() == 1; }));
    EXPECT_TRUE(form_->PodlaczCentrale->isChecked());
}

TEST_F(LinkControlTest, MenuItemSwitchesTheLinkOffAndOn) {
    ExchangeSimulator exchange(Family::Vantrel, Transport::Tcp);
    ASSERT_TRUE(exchange.Start());
    startForm(exchange, 2);
    ASSERT_TRUE(exchange.WaitForLogin());
    form_->Podlacz_centraleClick();
    EXPECT_FALSE(form_->PodlaczCentrale->isChecked());
    EXPECT_EQ(form_->Pbx().PbxLinkErrorCount.load(), 999);
    ASSERT_TRUE(idleUntil([&] { return !form_->Pbx().Watek; }));
    EXPECT_FALSE(form_->PodlaczCentrale->isChecked());
    form_->Podlacz_centraleClick();
    EXPECT_TRUE(form_->PodlaczCentrale->isChecked());
    ASSERT_TRUE(exchange.WaitForLogin(2));
}

TEST_F(LinkControlTest, UnusableTcpParametersAreReportedOnceAndNotRetried) {
    writeSettings(5, 2, 0, true);
    form_ = newForm();
    auto reports = [&] {
        int count = 0;
        for (const auto& call : dialogs_->Calls())
            count += call.text == form_->Text("IDS_36") ? 1 : 0;
        return count;
    };
    ASSERT_TRUE(idleUntil([&] { return reports() > 0; }));
    // The thread ends, and even with automatic reconnection no new one starts
    // until the settings change.
    ASSERT_TRUE(form_->Pbx().WaitForLinkEnd(10000));
    clock_.advance(120000);
    for (int i = 0; i < 50; ++i) {
        form_->Pbx().ObslugaCentrali();
        QCoreApplication::processEvents();
    }
    EXPECT_EQ(reports(), 1);
    EXPECT_FALSE(form_->PodlaczCentrale->isChecked());
}

// A serial port that cannot be opened is tried again every second, but why
// it failed is said once (for a refusal, with what to do about it) and again
// only when the reason changes; the port that opens at last is said too.
TEST_F(LinkControlTest, ASerialPortThatCannotBeOpenedIsReportedOncePerReason) {
    ExchangeSimulator exchange(Family::Vantrel, Transport::Pty);
    ASSERT_TRUE(exchange.Start());
    const std::string slave = exchange.SlavePath();
    ASSERT_EQ(::chmod(slave.c_str(), 0), 0);
    testing_support::FileModesBind modes; // the link threads start from this thread
    ASSERT_TRUE(modes.bound());
    qputenv("HALVEX_COM1", QByteArray::fromStdString(slave));
    writeSettings(1, 2, 5001);
    StoredCommandLine = "DEBUG"; // the log is on from the first attempt
    linktest::LogCapture log;
    form_ = newForm();
    form_->TimerUpdateInfo->SetEnabled(false); // the capture takes the lines
    base::Switches().chbLogRS = false;         // the link details would show every attempt
    const auto count = [&](const std::string& text) {
        int lines = 0;
        for (const auto& line : log.Lines())
            lines += line.find(text) != std::string::npos;
        return lines;
    };
    const auto generation = [&] { return form_->Pbx().Watek ? form_->Pbx().Watek->generation : 0; };
    const auto attempts = [&](std::uint64_t more) {
        const std::uint64_t until = generation() + more;
        return idleUntil([&] { return generation() >= until; });
    };

    ASSERT_TRUE(attempts(1));
    // What an earlier test's window may still log in this process is not
    // this link's: only the retries after the first failure count.
    const int connecting = count("Podłączanie centrali");
    EXPECT_GE(connecting, 1);
    ASSERT_TRUE(attempts(5));
    EXPECT_EQ(count("Błąd otwarcia portu COM1"), 1);
    EXPECT_EQ(count("grupy dialout albo HALVEX_COM1"), 1);
    EXPECT_EQ(count("Podłączanie centrali"), connecting) << ::testing::PrintToString(log.Lines());

    qputenv("HALVEX_COM1", QByteArray::fromStdString(dir_.filePath("ttyGone").toStdString()));
    ASSERT_TRUE(attempts(5));
    EXPECT_EQ(count("Błąd otwarcia portu COM1"), 2);
    EXPECT_EQ(count("No such file or directory"), 1);

    qputenv("HALVEX_COM1", QByteArray::fromStdString(slave));
    ASSERT_EQ(::chmod(slave.c_str(), 0600), 0);
    ASSERT_TRUE(idleUntil([&] { return exchange.LoginCount() == 1; }));
    EXPECT_EQ(count("Port COM1 (" + slave + ") otwarty"), 1);
    EXPECT_EQ(count("Błąd otwarcia portu COM1"), 2);
}

TEST_F(LinkControlTest, StopWhileBlockedInASerialReadEndsCleanly) {
    ExchangeSimulator exchange(Family::Vantrel, Transport::Pty);
    ASSERT_NO_FATAL_FAILURE(startSilentSerialLogIn(exchange));
    form_->Settings.AutomPrzyw = false;
    form_->Pbx().RozlaczCentrale();
    EXPECT_TRUE(form_->Pbx().WaitForLinkEnd(5000));
    EXPECT_FALSE(form_->Pbx().Watek);
}

TEST_F(LinkControlTest, CommandQueues) {
    ExchangeSimulator exchange(Family::Morva, Transport::Tcp);
    exchange.SetFault(sim::Fault::Silent); // keeps the link from taking the commands
    ASSERT_TRUE(exchange.Start());
    startForm(exchange, 5);
    Klient client("10.0.0.9", "c", nullptr, 0);
    CurrentKlient = &client;

    std::string dial = "C03 12,34\r";
    form_->Pbx().WyslijNumer(dial);
    EXPECT_EQ(dial, "C03 12f34\r"); // type 5: the caller's text changes too

    std::string injected = "C03 1\rC04 2\r";
    form_->Pbx().WyslijNumer(injected);

    form_->Pbx().LastPbxLine = "before";
    form_->Pbx().WyslijLinie("VM FIRST\r", 1000);
    EXPECT_EQ(form_->Pbx().LastPbxLine, "before");
    form_->Pbx().WyslijLinie("VM SECOND\r", 1000);
    EXPECT_EQ(form_->Pbx().LastPbxLine, "VM SECOND\r");

    auto lock = LockChains();
    ASSERT_EQ(client.Komendy.size(), 1u);
    EXPECT_EQ(client.Komendy.front().data, "C03 12f34\r");
    EXPECT_EQ(client.Komendy.front().length(), 10u);
    ASSERT_NE(ServerKlient, nullptr);
    EXPECT_EQ(ServerKlient->Komendy.size(), 2u);
}

TEST_F(LinkControlTest, LogInWatchWaitsOutTheSerialDialoguesReadTimeOuts) {
    ExchangeSimulator exchange(Family::Vantrel, Transport::Pty);
    ASSERT_NO_FATAL_FAILURE(startSilentSerialLogIn(exchange)); // three reads of 10 s each
    form_->Pbx().ObslugaCentrali();                            // the watch begins
    ASSERT_TRUE(form_->Pbx().Watek);
    const auto generation = form_->Pbx().Watek->generation;
    // Past the usual 20 s, but the dialogue is still within its read time-outs.
    clock_.advance(25000);
    form_->Pbx().ObslugaCentrali();
    ASSERT_TRUE(form_->Pbx().Watek);
    EXPECT_EQ(form_->Pbx().Watek->generation, generation);
    EXPECT_FALSE(form_->Pbx().Watek->thread->Terminated());
    // Beyond them the hung log-in is ended.
    clock_.advance(10000);
    form_->Pbx().ObslugaCentrali();
    EXPECT_TRUE(!form_->Pbx().Watek || form_->Pbx().Watek->generation != generation ||
                form_->Pbx().Watek->thread->Terminated());
    EXPECT_EQ(form_->Pbx().PbxReconnectCount, 1);
    form_->Settings.AutomPrzyw = false;
}

TEST(Bufor, LengthCountsTheNulOnlyWhenGiven) {
    EXPECT_EQ(Bufor("AB\r", 4, 0).length(), 3u);
    EXPECT_EQ(Bufor("AB\r", 3, 0).length(), 3u);
}

} // namespace

TEST(LinkEnvironment, KeepsNoClockThatATestTookAway) {
    {
        platform::ManualClock passing(0, QDateTime::currentDateTimeUtc());
        platform::setProcessClock(&passing);
        pbx::linkEnvironment() = pbx::LinkEnvironment();
        platform::setProcessClock(nullptr);
    }
    EXPECT_EQ(&pbx::linkEnvironment().linkClock(), &platform::processClock());
}
