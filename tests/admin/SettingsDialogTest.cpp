// The settings dialog offscreen, driven by its components' names, against the
// main window's real services and the settings file in the sandbox.
#include "admin/SettingsDialog.h"
#include "admin/Console.h"
#include "base/PasswordCodec.h"
#include "db/DbErrorText.h"
#include "db/InterfaceDB.h"
#include "db/SessionDB.h"
#include "i18n/LangComponent.h"
#include "pbx/CrmConsole.h"
#include "platform/Clock.h"
#include "platform/RegistryStore.h"
#include "sms/SmsGateway.h"
#include "support/FileModesBind.h"
#include "support/FirebirdFixtures.h"
#include "support/LinkTestSupport.h"
#include "support/MainFormFixture.h"
#include "support/Ports.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTabWidget>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimeEdit>
#include <cstdio>
#include <map>
#include <sys/stat.h>

using sim::ExchangeSimulator;
using sim::Family;
using sim::Transport;

namespace {

class SettingsDialogTest : public testing_support::MainFormFixture {
  protected:
    void SetUp() override {
        MainFormFixture::SetUp();
        pbx::linkEnvironment().timings = pbx::LinkTimings::Scaled(50);
        pbx::linkEnvironment().clock = &clock_;
    }
    void TearDown() override {
        dialog.reset();
        MainFormFixture::TearDown();
        pbx::linkEnvironment() = pbx::LinkEnvironment();
        testfb::DetachMain();
    }

    void writeMain(const std::string& name, int value) {
        writeKey("\\software\\Vorlin\\Halvex", name, value);
    }
    void writeKey(const std::string& path, const std::string& name, const base::SettingValue& value) {
        platform::RegistryKey key(platform::RegistryBranch::Machine);
        ASSERT_TRUE(key.OpenKey(path, true));
        if (const auto* text = std::get_if<std::string>(&value))
            key.WriteString(name, *text);
        else if (const auto* flag = std::get_if<bool>(&value))
            key.WriteBool(name, *flag);
        else
            key.WriteInteger(name, std::get<int>(value));
    }

    // The window on a database of its own, attached, so that OK finds the
    // database unchanged.
    void createAttachedForm() {
        ASSERT_NO_FATAL_FAILURE(testfb::EmbeddedInSettings(c, folder.file("main.fdb")));
        createForm("DEBUG");
        ASSERT_NO_FATAL_FAILURE(testfb::AttachAndCreateSchema(c));
    }
    // The dialog shown anew on the window's console.
    void open() {
        if (!form) {
            ASSERT_NO_FATAL_FAILURE(createAttachedForm());
        }
        if (!dialog) {
            dialog = std::make_unique<TKonfiguracja>();
            dialog->console = &form->Admin();
        }
        dialog->hide();
        dialog->show();
    }
    template <class T = QLineEdit> T* control(const char* name) {
        T* found = dialog->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    void type(const char* name, const std::string& text) {
        control(name)->setText(QString::fromStdString(text));
    }
    void choose(const char* name, int index) {
        auto* combo = control<QComboBox>(name);
        combo->setCurrentIndex(index);
        emit combo->activated(index);
    }
    void click(const char* name) { control<QPushButton>(name)->click(); }
    // As the user does it: the mouse pressed and released over the control.
    void press(const char* name) { QTest::mouseClick(control<QWidget>(name), Qt::LeftButton); }
    std::string text(const char* key) { return dialog->lgLangLinked1->GetTextOrDefault(key); }
    // The last message box since call `from` whose text is one of `keys`.
    ui::ScriptedDialogs::Call answer(std::size_t from, std::initializer_list<const char*> keys) {
        const auto calls = dialogs->Calls();
        for (std::size_t i = calls.size(); i > from; --i)
            for (const char* key : keys)
                if (calls[i - 1].text == text(key))
                    return calls[i - 1];
        return {};
    }
    // Two databases beside the main one: one without a table, and one where
    // a view stands in the place of the messages table, so that table
    // cannot be made.
    void makeEmptyAndBrokenDatabases(testfb::Connection& empty, testfb::Connection& broken) {
        empty = broken = c;
        empty.path = folder.file("empty.fdb");
        broken.path = folder.file("broken.fdb");
        ASSERT_TRUE(testfb::CreateEmptyDatabase(empty));
        ASSERT_TRUE(testfb::CreateEmptyDatabase(broken));
        bool ok = false;
        const std::string output =
            testfb::Isql(broken, "CREATE VIEW MSG (X) AS SELECT 1 FROM RDB$DATABASE;\nCOMMIT;\n", &ok);
        ASSERT_TRUE(ok) << output;
    }

    std::string registry() { return testing_support::readFile(sandbox.machineRegistryFile()); }
    bool shown(const char* key) {
        const std::string text = dialog->lgLangLinked1->GetTextOrDefault(key);
        for (const auto& call : dialogs->Calls())
            if (call.text.find(text) != std::string::npos)
                return true;
        return false;
    }
    static std::string dword(const char* name, int value) {
        char text[80];
        std::snprintf(text, sizeof text, "\"%s\"=dword:%08x", name, unsigned(value));
        return text;
    }
    bool pumpUntil(const std::function<bool()>& condition) {
        return linktest::WaitFor([&] {
            form->Pbx().ObslugaCentrali();
            return condition();
        });
    }
    // The window linked by TCP to `first` and switched on by its menu;
    // `second` waits for the link to be moved there.
    void linkTo(ExchangeSimulator& first, ExchangeSimulator& second, bool reconnects) {
        ASSERT_TRUE(first.Start());
        ASSERT_TRUE(second.Start());
        writeMain("Centrala", 2);
        writeMain("Port", 5);
        writeKey("\\software\\Vorlin\\Halvex", "TCPCentr", std::string("127.0.0.1"));
        writeMain("PortTCPCent", first.Port());
        ASSERT_NO_FATAL_FAILURE(createAttachedForm());
        form->Settings.AutomPrzyw = reconnects;
        form->PodlaczCentrale->trigger();
        ASSERT_TRUE(pumpUntil([&] { return first.LoginCount() >= 1; }));
    }
    // OK with `exchange`'s port: it is stored, and the link logs in there
    // and is switched on.
    void moveLinkTo(ExchangeSimulator& exchange) {
        open();
        EXPECT_TRUE(control("PortTCPEdit")->isVisible());
        type("PortTCPEdit", std::to_string(exchange.Port()));
        press("btnAccept");
        EXPECT_FALSE(dialog->isVisible());
        EXPECT_NE(registry().find(dword("PortTCPCent", exchange.Port())), std::string::npos);
        EXPECT_TRUE(pumpUntil([&] { return exchange.LoginCount() >= 1; }));
        EXPECT_TRUE(form->PodlaczCentrale->isChecked());
    }

    platform::ManualClock clock_;
    testfb::DatabaseFolder folder;
    testfb::Connection c;
    std::unique_ptr<TKonfiguracja> dialog;
};

// With automatic reconnection on, OK only stops the link: its own
// reconnection takes it to the new port.
TEST_F(SettingsDialogTest, NewExchangeTcpPortIsStoredAndTheLinkLogsInThere) {
    ExchangeSimulator first(Family::Vantrel, Transport::Tcp);
    ExchangeSimulator second(Family::Vantrel, Transport::Tcp);
    ASSERT_NO_FATAL_FAILURE(linkTo(first, second, true));
    moveLinkTo(second);
}

// Another writer holds the settings file's lock when OK is pressed. OK does
// not wait for it: it has returned, the new value in force, while its writes
// still wait (neither made nor refused); they are made once the lock is let
// go.
TEST_F(SettingsDialogTest, OkWithTheSettingsLockHeldReturnsWhileItsWritesWait) {
    const std::string stored = "\"Broadcast\"=\"10.1.2.255\"";
    open();
    {
        const testing_support::HeldSettingsLock held(sandbox.machineRegistryFile());
        ASSERT_TRUE(held.held());
        type("AdrBroad", "10.1.2.255");
        press("btnAccept");
        EXPECT_FALSE(dialog->isVisible());
        EXPECT_EQ(form->Settings.BroadcastAddress, "10.1.2.255");
        EXPECT_EQ(registry().find(stored), std::string::npos) << "written without the lock";
        const std::string log = mainLogText();
        EXPECT_EQ(log.find("Błąd tworzenia klucza"), std::string::npos) << log;
        EXPECT_EQ(log.find("Nie można zapisać pliku ustawień"), std::string::npos) << log;
    }
    ASSERT_TRUE(platform::FinishBackgroundRegistryWrites(std::chrono::steady_clock::now() +
                                                         2 * platform::RegistryLockWait));
    EXPECT_NE(registry().find(stored), std::string::npos) << registry();
}

// The host fields show what is stored whole: the database server as
// "host/port" and a long host name of the attendance database, and the
// dialling prefix up to its 9 characters. OK with nothing touched stores
// each as it was and leaves the main connection attached.
TEST_F(SettingsDialogTest, StoredHostsAndPrefixAreShownWholeAndOkLeavesThemAndTheConnectionAlone) {
    ASSERT_NO_FATAL_FAILURE(createAttachedForm());
    const std::string databaseHost = "192.168.1.10/3051";
    const std::string attendanceHost = "attendance-data.branch-office.example.pl";
    ASSERT_EQ(attendanceHost.size(), 40u);
    const std::string prefix = "0,,,p9";
    admin::ConsoleHost& host = form->Admin().Host();
    ASSERT_TRUE(host.StoreSetting(base::SettingsSection::Main, "IPFBase", databaseHost));
    ASSERT_TRUE(host.StoreSetting(base::SettingsSection::Main, "RCP_IPFB", attendanceHost));
    ASSERT_TRUE(host.StoreSetting(base::SettingsSection::Main, "Miedzy", prefix));
    const DbHandle attached = MainDbHandle;
    ASSERT_TRUE(MainDbHandleExists());

    open();
    EXPECT_EQ(control("DIPBEdit")->text().toStdString(), databaseHost);
    EXPECT_EQ(control("edRCP_IP")->text().toStdString(), attendanceHost);
    EXPECT_EQ(control("PrefixMiedzy")->text().toStdString(), prefix);
    press("btnAccept");
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(MainDbHandle, attached);
    EXPECT_TRUE(MainDbHandleExists());
    EXPECT_EQ(form->Settings.IPFBaseText, databaseHost);
    EXPECT_EQ(form->Settings.RcpDb.IPFB, attendanceHost);
    const std::string stored = registry();
    for (const std::string& value :
         {"\"IPFBase\"=\"" + databaseHost + "\"", "\"RCP_IPFB\"=\"" + attendanceHost + "\"",
          "\"Miedzy\"=\"" + prefix + "\""})
        EXPECT_NE(stored.find(value), std::string::npos) << value << "\n" << stored;
}

// A language chosen and stored while the settings file's lock is held waits
// for the lock; the dialog shown again compares with it, not with the file:
// picking the file's language back is a change, said and stored after it.
TEST_F(SettingsDialogTest, TheLanguageComparedIsTheOneLastSetWhileItsWriteWaits) {
    writeMain("language", 1);
    ASSERT_NO_FATAL_FAILURE(createAttachedForm());
    const std::string notice = form->Text("IDS_LANG_RESTART");
    const auto notices = [&] {
        const auto calls = dialogs->Calls();
        return std::count_if(calls.begin(), calls.end(),
                             [&](const auto& call) { return call.text == notice; });
    };
    // The list shows the language in force, English, whatever was stored.
    QComboBox* languages = nullptr;
    const auto show = [&] {
        open();
        dialog->pcKonfiguracja->SetActivePage(dialog->tabInne);
        languages = control<QComboBox>("ComboBoxLang");
        languages->setFocus();
        EXPECT_EQ(languages->currentIndex(), 1);
    };
    {
        const testing_support::HeldSettingsLock held(sandbox.machineRegistryFile());
        ASSERT_TRUE(held.held());
        show();
        QTest::keyClick(languages, Qt::Key_Home); // Polski
        EXPECT_EQ(notices(), 1);
        press("btnAccept");
        show();
        QTest::keyClick(languages, Qt::Key_Home); // Polski, as stored last
        EXPECT_EQ(notices(), 1);
        QTest::keyClick(languages, Qt::Key_Down); // Angielski, as the file still has it
        EXPECT_EQ(notices(), 2);
        press("btnAccept");
    }
    ASSERT_TRUE(platform::FinishBackgroundRegistryWrites(std::chrono::steady_clock::now() +
                                                         2 * platform::RegistryLockWait));
    EXPECT_NE(registry().find(dword("language", 1)), std::string::npos) << registry();
}

// The lock is held past its wait: what OK stored is refused. The dialog says
// so in a box of its own, and stderr and the log name every value (a
// password only as "***"), in the administrator's words, not the start's.
TEST_F(SettingsDialogTest, AWriteOfOkRefusedAfterTheLockWaitIsSaidByTheDialogWithItsValues) {
    open();
    const std::string secret = "tajne-haslo";
    testing::internal::CaptureStderr();
    {
        const testing_support::HeldSettingsLock held(sandbox.machineRegistryFile());
        ASSERT_TRUE(held.held());
        type("AdrBroad", "10.1.2.255");
        type("edRCPpassword", secret);
        press("btnAccept");
        EXPECT_TRUE(platform::FinishBackgroundRegistryWrites(std::chrono::steady_clock::now() +
                                                             2 * platform::RegistryLockWait));
    }
    const std::string errors = testing::internal::GetCapturedStderr();
    const std::string broadcast = "software\\Vorlin\\Halvex\\Broadcast = \"10.1.2.255\"";
    const std::string password = "software\\Vorlin\\Halvex\\RCP_PasswordFB = ***";
    const auto box = [&] {
        for (const auto& call : dialogs->Calls())
            if (call.text.rfind(text("IDS_906"), 0) == 0)
                return call;
        return ui::ScriptedDialogs::Call{};
    };
    ASSERT_TRUE(linktest::WaitFor([&] { return !box().text.empty(); }));
    EXPECT_EQ(box().owner, dialog.get());
    EXPECT_EQ(box().flags, ui::MB_OK | ui::MB_ICONWARNING);
    const std::string log = mainLogText();
    for (const std::string& said : {box().text, errors, log}) {
        EXPECT_NE(said.find(broadcast), std::string::npos) << said;
        EXPECT_NE(said.find(password), std::string::npos) << said;
        EXPECT_EQ(said.find(secret), std::string::npos) << said;
        EXPECT_EQ(said.find(AesEncryptToHexWire(secret, FixedKeyText)), std::string::npos) << said;
    }
    EXPECT_NE(log.find("Nie zapisano w pliku ustawień " + sandbox.machineRegistryFile()), std::string::npos)
        << log;
    EXPECT_EQ(log.find("Nie można zapisać pliku ustawień"), std::string::npos) << log;
    EXPECT_EQ(errors.find("defaults of missing ones are not written"), std::string::npos) << errors;
}

// With automatic reconnection on, a link the administrator switched off
// stays off whatever the new address.
TEST_F(SettingsDialogTest, OkLeavesALinkThatIsSwitchedOffOff) {
    writeMain("Centrala", 2);
    writeMain("Port", 5);
    ASSERT_NO_FATAL_FAILURE(createAttachedForm());
    ASSERT_FALSE(form->PodlaczCentrale->isChecked());
    form->Settings.AutomPrzyw = true;
    open();
    type("AdresTCPEdit", "127.0.0.1");
    type("PortTCPEdit", "5102");
    press("btnAccept");
    EXPECT_EQ(form->Settings.PortTCPCent, 5102);
    EXPECT_FALSE(form->Pbx().Watek);
    EXPECT_FALSE(form->PodlaczCentrale->isChecked());
}

// Without automatic reconnection nothing brings the link back by itself: a
// link that ended by itself, and so lost its mark, comes up at once on the
// corrected address.
TEST_F(SettingsDialogTest, WithoutReconnectionOkConnectsALinkThatEndedByItself) {
    ExchangeSimulator wrong(Family::Vantrel, Transport::Tcp);
    ExchangeSimulator right(Family::Vantrel, Transport::Tcp);
    ASSERT_NO_FATAL_FAILURE(linkTo(wrong, right, false));
    // A record after the log-in: the link is at work.
    wrong.SendRecord("X");
    ASSERT_TRUE(pumpUntil([&] { return form->Pbx().PbxLinkErrorCount.load() == 0; }));
    wrong.Stop(); // the link drops and cannot be opened again
    ASSERT_TRUE(pumpUntil([&] { return !form->Pbx().Watek && !form->PodlaczCentrale->isChecked(); }));
    moveLinkTo(right);
}

TEST_F(SettingsDialogTest, TypeChangeAloneKeepsTheLinkAndAnotherComPortRestartsIt) {
    ExchangeSimulator com1(Family::Vantrel, Transport::Pty);
    ExchangeSimulator com2(Family::Vantrel, Transport::Pty);
    ASSERT_TRUE(com1.Start());
    ASSERT_TRUE(com2.Start());
    sandbox.setEnv("HALVEX_COM1", com1.SlavePath());
    sandbox.setEnv("HALVEX_COM2", com2.SlavePath());
    writeMain("Centrala", 2);
    writeMain("Port", 1);
    ASSERT_NO_FATAL_FAILURE(createAttachedForm());
    form->PodlaczCentrale->trigger(); // without automatic reconnection: OK restarts it itself
    ASSERT_TRUE(pumpUntil([&] { return com1.LoginCount() == 1; }));
    auto generation = [&] { return form->Pbx().Watek ? form->Pbx().Watek->generation : 0; };
    const auto first = generation();
    ASSERT_NE(first, 0u);

    open();
    choose("TypCentrali", 3);
    EXPECT_EQ(control<QComboBox>("NumPort")->currentIndex(), 0); // still COM 1
    click("btnAccept");
    EXPECT_EQ(form->Settings.PbxType, 3);
    EXPECT_EQ(generation(), first);

    open();
    choose("NumPort", 1);
    click("btnAccept");
    EXPECT_EQ(form->Settings.PbxPort, 2);
    EXPECT_NE(registry().find(dword("Port", 2)), std::string::npos);
    EXPECT_TRUE(pumpUntil([&] { return com2.LoginCount() == 1; }));
    EXPECT_EQ(com1.LoginCount(), 1);
}

TEST_F(SettingsDialogTest, RefusalsAndCancelLeaveTheSettingsFileAsItWas) {
    open();
    const std::string before = registry();
    ASSERT_FALSE(before.empty());
    struct Refusal {
        const char* field;
        const char* text;
        const char* key;
    };
    const Refusal refusals[] = {{"NameEdit", " ", "IDS_20"},
                                {"edSmsCountryCode", "", "IDS_22"},
                                {"edMinSmsNumberLength", "6", "IDS_24"},
                                {"edMaxSmsNumberLength", "7", "IDS_24"}, // the minimum is 9
                                {"PortUDP", "70000", "IDS_905"},
                                {"PortTCPCalSend", "x", "IDS_905"},
                                {"PortTCPEdit", "0", "IDS_905"}};
    for (const Refusal& refusal : refusals) {
        open(); // every show loads the settings again
        type(refusal.field, refusal.text);
        type("PortTCP", "4321");
        click("btnAccept");
        EXPECT_TRUE(shown(refusal.key)) << refusal.field;
        EXPECT_TRUE(dialog->isVisible()) << refusal.field;
        EXPECT_EQ(registry(), before) << refusal.field;
    }
    EXPECT_TRUE(shown("IDS_904")); // the bad port is named

    open();
    choose("TypCentrali", 5);
    type("PortTCP", "4321");
    type("edCodeRedial", "*1");
    click("btnCancel");
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(registry(), before);
    EXPECT_EQ(form->Settings.PbxType, 2);
    EXPECT_EQ(form->Settings.PortTCP, 1000);
}

TEST_F(SettingsDialogTest, CrmFieldsAreClampedAndRouteValidityKeepsToTheList) {
    writeKey("\\software\\Vorlin\\Halvex\\SMS\\DynamicRouting", "ValidityPeriod", 1000);
    open();
    EXPECT_EQ(control<QComboBox>("cbRouteValidity")->currentIndex(), 1); // "30 minut"
    EXPECT_EQ(TKonfiguracja::ValidityIndex(604801), 9);                  // "7 dni"
    type("edCRMport", "0");
    EXPECT_EQ(control("edCRMport")->text(), "1");
    type("edCRMport", "70000");
    EXPECT_EQ(control("edCRMport")->text(), "65535");
    type("edMaxCRMconnections", "20");
    EXPECT_EQ(control("edMaxCRMconnections")->text(), "16");
    // What is pasted obeys the same rules as what is typed.
    control("edSmsCountryCode")->clear();
    control("edSmsCountryCode")->insert(QStringLiteral("4x"));
    EXPECT_FALSE(control("edSmsCountryCode")->text().contains('x'));
    control("PrefixMiedzy")->clear();
    control("PrefixMiedzy")->insert(QStringLiteral("0,p#*12345678")); // 9 characters kept
    EXPECT_EQ(control("PrefixMiedzy")->text(), "0,p#*1234");
    type("edSmsCountryCode", "48");
    type("PrefixMiedzy", "0");
    click("btnAccept");
    EXPECT_NE(registry().find(dword("ValidityPeriod", 1800)), std::string::npos);
    EXPECT_NE(registry().find(dword("PortTCP_CRM", 65535)), std::string::npos);
    EXPECT_NE(registry().find(dword("MaxPolaczenCRM", 16)), std::string::npos);
    EXPECT_EQ(form->Settings.MaxPolaczenCRM, 16);
}

// A CRM port changed while the old one, held by another program, is still
// being tried: the old one is given up, so it is never opened later, and the
// socket listens on the new one.
TEST_F(SettingsDialogTest, CrmPortChangedWhileTheOldIsTriedAgainOpensTheNewOneOnly) {
    auto holder = std::make_unique<QTcpServer>();
    ASSERT_TRUE(holder->listen(QHostAddress::AnyIPv4));
    const int old = holder->serverPort();
    writeMain("PortTCP_CRM", old);
    writeKey("\\software\\Vorlin\\Halvex", "CRMsocketActive", true);
    ASSERT_NO_FATAL_FAILURE(createAttachedForm());
    QTimer& retry = form->Pbx().Crm().PortRetry();
    ASSERT_TRUE(retry.isActive());
    ASSERT_FALSE(form->CRMsocket->isListening());
    // Shortened, so that a retry left running would come at once.
    retry.setInterval(10);

    const int port = testing_support::OpenOnFreePort([this](int free) {
        open();
        EXPECT_TRUE(control<QCheckBox>("chbSocketCRM")->isChecked());
        type("edCRMport", std::to_string(free));
        press("btnAccept");
        return form->CRMsocket->isListening() && form->CRMsocket->serverPort() == free;
    });
    ASSERT_NE(port, 0);
    EXPECT_FALSE(retry.isActive());
    EXPECT_NE(registry().find(dword("PortTCP_CRM", port)), std::string::npos);
    holder.reset();
    QTcpSocket program;
    program.connectToHost(QHostAddress::LocalHost, quint16(old));
    EXPECT_TRUE(pumpUntil([&] { return program.state() == QAbstractSocket::UnconnectedState; }));
    EXPECT_EQ(program.error(), QAbstractSocket::ConnectionRefusedError);
    EXPECT_EQ(form->CRMsocket->serverPort(), port);
}

TEST_F(SettingsDialogTest, ChangedDatabaseIsOpenedAndUsersAndContactsAreReadFromIt) {
    testfb::Connection old, fresh;
    ASSERT_NO_FATAL_FAILURE(testfb::EmbeddedInSettings(old, folder.file("old.fdb")));
    createForm("DEBUG");
    const char* insert = "INSERT INTO CTIusers (sUserName, sUserLastName, sUserLogin, sUserPassword, "
                         "nGroupID, sUserIP, sRCPcard, sStatus, nPrivileges) VALUES ";
    // Each database has a user and a shared contact of that name.
    auto addUser = [&](const testfb::Connection& c, const std::string& login) {
        SessionDB session(c.host, c.path, c.user, c.password, &MainDbHandle, false);
        ASSERT_EQ(
            session.ExecuteSQL(insert + ("('" + login + "', '', '" + login + "', '', 0, '', '', '', 0)")), 0);
        ASSERT_EQ(session.ExecuteSQL("INSERT INTO ContactPriv (name, CTIusers_nuserid) VALUES ('" + login +
                                     "', 0)"),
                  0);
    };
    fresh = old;
    fresh.path = folder.file("new.fdb");
    ASSERT_NO_FATAL_FAILURE(testfb::AttachAndCreateSchema(fresh));
    addUser(fresh, "nowy");
    testfb::DetachMain();
    ASSERT_NO_FATAL_FAILURE(testfb::AttachAndCreateSchema(old));
    addUser(old, "stary");
    form->Admin().LoadUsers();
    auto logins = [&] {
        QStringList all;
        for (int i = 0; i < form->UserLV->topLevelItemCount(); ++i)
            all << form->UserLV->topLevelItem(i)->text(3);
        return all;
    };
    ASSERT_EQ(logins(), QStringList{"stary"});
    form->Admin().LoadContacts();
    auto contacts = [&] {
        std::vector<std::string> all;
        for (const ContactRow& row : form->Admin().ContactRows)
            all.push_back(row.Name);
        return all;
    };
    ASSERT_EQ(contacts(), std::vector<std::string>{"stary"});

    open();
    EXPECT_EQ(control("NameEdit")->text().toStdString(), old.path);
    type("NameEdit", fresh.path);
    type("DIPBEdit", fresh.host); // the embedded engine
    press("btnAccept");
    EXPECT_EQ(logins(), QStringList{"nowy"});
    EXPECT_EQ(contacts(), std::vector<std::string>{"nowy"});
    EXPECT_EQ(form->Settings.NameFBText, fresh.path);
    EXPECT_NE(registry().find(fresh.path), std::string::npos);
    EXPECT_TRUE(MainDbHandleExists());

    // Back to the old database while its file is away: nothing is read from
    // a database that did not open, and once the reconnect attaches it its
    // lists replace the other database's.
    const QString oldFile = QString::fromStdString(old.path);
    ASSERT_TRUE(QFile::rename(oldFile, oldFile + ".away"));
    open();
    type("NameEdit", old.path);
    dialogs->QueueAnswer(ui::IDCANCEL); // no new file in its place
    press("btnAccept");
    EXPECT_FALSE(MainDbHandleExists());
    EXPECT_EQ(logins(), QStringList{"nowy"});
    EXPECT_EQ(contacts(), std::vector<std::string>{"nowy"});
    ASSERT_TRUE(QFile::rename(oldFile + ".away", oldFile));
    ASSERT_TRUE(form->trmReconnect->Enabled());
    form->trmReconnect->setInterval(20);
    EXPECT_TRUE(linktest::WaitFor([&] { return logins() == QStringList{"stary"}; })) << mainLogText();
    EXPECT_EQ(contacts(), std::vector<std::string>{"stary"});
    EXPECT_EQ(form->lvKontakty->ItemCount(), 1);
}

TEST_F(SettingsDialogTest, ConnectionTestTriesTheTypedDatabaseBesideTheMainConnection) {
    open();
    testfb::Connection other = c;
    other.path = folder.file("other.fdb");
    testfb::DetachMain();
    ASSERT_NO_FATAL_FAILURE(testfb::AttachAndCreateSchema(other));
    testfb::DetachMain();
    ASSERT_NO_FATAL_FAILURE(testfb::AttachAndCreateSchema(c));
    const DbHandle main = MainDbHandle;

    type("DIPBEdit", "");
    type("NameEdit", other.path);
    click("CheckConnect");
    EXPECT_TRUE(shown("IDS_99"));
    EXPECT_EQ(MainDbHandle, main); // the main connection was neither used nor dropped

    // A refused log-in on the server: the reason, then the test's verdict.
    HALVEX_REQUIRE_FB_SERVER();
    type("DIPBEdit", "127.0.0.1");
    type("NameEdit", folder.file("missing.fdb"));
    type("UserEdit", "SYSDBA");
    type("PassEdit", "plintaved");
    if (testfb::ServerPassword() == "plintaved")
        type("UserEdit", "NOBODY");
    auto before = dialogs->Calls().size();
    click("CheckConnect");
    auto calls = dialogs->Calls();
    ASSERT_EQ(calls.size(), before + 4);
    EXPECT_NE(calls[before].text.find("loopback"), std::string::npos);
    EXPECT_EQ(calls[before + 1].text.rfind(GetDbErrorText(335544472), 0), 0u) << calls[before + 1].text;
    EXPECT_EQ(calls[before + 2].text, text("IDS_103"));
    EXPECT_EQ(calls[before + 2].caption, text("IDS_104"));
    EXPECT_EQ(calls[before + 2].flags, ui::MB_OK | ui::MB_ICONERROR);
    EXPECT_EQ(calls[before + 3].text, dialog->lgLangLinked1->GetTextOrDefault("IDS_106"));

    // A missing file is offered to be made: refused, nothing is made; agreed
    // to, it is made whole beside the main connection.
    type("DIPBEdit", "");
    type("PassEdit", c.password);
    type("UserEdit", c.user);
    const std::string missing = folder.file("missing.fdb");
    for (const int answerToCreate : {ui::IDCANCEL, ui::IDOK}) {
        before = dialogs->Calls().size();
        dialogs->QueueAnswer(answerToCreate);
        click("CheckConnect");
        calls = dialogs->Calls();
        ASSERT_GT(calls.size(), before);
        EXPECT_EQ(calls[before].text, form->lgLang->GetTextOrDefault("IDS_DB_FILE_MISSING"));
        EXPECT_EQ(QFile::exists(QString::fromStdString(missing)), answerToCreate == ui::IDOK);
        EXPECT_EQ(calls.back().text, text(answerToCreate == ui::IDOK ? "IDS_75" : "IDS_103"));
    }
    EXPECT_EQ(MainDbHandle, main);
    EXPECT_EQ(form->Settings.NameFBText, c.path); // nothing typed is in force before OK
}

TEST_F(SettingsDialogTest, ConnectionTestBuildsWhatTheTypedDatabaseLacks) {
    open();
    testfb::Connection empty, broken;
    ASSERT_NO_FATAL_FAILURE(makeEmptyAndBrokenDatabases(empty, broken));
    const DbHandle main = MainDbHandle;
    const std::string caption = dialog->windowTitle().toStdString();
    dialog->pcKonfiguracja->SetActivePage(dialog->tabBaza);
    type("DIPBEdit", "");
    const auto test = [&](const std::string& path) {
        const auto before = dialogs->Calls().size();
        type("NameEdit", path);
        press("CheckConnect");
        return answer(before, {"IDS_75", "IDS_99", "IDS_102", "IDS_103"});
    };

    auto shown = test(empty.path);
    EXPECT_EQ(shown.text, text("IDS_75"));
    EXPECT_EQ(shown.caption, caption);
    EXPECT_EQ(shown.flags, ui::MB_OK | ui::MB_ICONINFORMATION);
    shown = test(empty.path); // now whole
    EXPECT_EQ(shown.text, text("IDS_99"));
    EXPECT_EQ(shown.caption, text("IDS_21"));
    EXPECT_EQ(shown.flags, ui::MB_OK | ui::MB_ICONINFORMATION);
    shown = test(broken.path);
    EXPECT_EQ(shown.text, text("IDS_102"));
    EXPECT_EQ(shown.caption, caption);
    EXPECT_EQ(shown.flags, ui::MB_OK | ui::MB_ICONERROR);
    EXPECT_EQ(MainDbHandle, main); // the tests ran beside the main connection
    EXPECT_EQ(form->Settings.NameFBText, c.path);
}

// The connection test runs beside the main connection and leaves its state
// alone: a failed test neither counts a failed open nor arms the reconnect
// countdown, and a creation agreed to in the test that then failed does not
// stand for the main database: when the main file goes missing later, the
// reconnect still asks before it creates one.
TEST_F(SettingsDialogTest, AFailedConnectionTestLeavesTheMainConnectionsStateAlone) {
    open();
    nameDatabase(c);
    ASSERT_TRUE(MainDbHandleExists());
    ASSERT_FALSE(form->trmReconnect->Enabled());
    const int failures = OpenFailureCount;

    const std::string noDatabase = folder.file("no-database.fdb");
    QFile garbage(QString::fromStdString(noDatabase));
    ASSERT_TRUE(garbage.open(QIODevice::WriteOnly) && garbage.write(QByteArray(8192, 'x')) > 0);
    garbage.close();
    type("DIPBEdit", "");
    // A file that is no database; then a missing one, agreed to be made in
    // a folder that is not there.
    for (const std::string& path : {noDatabase, folder.file("nowhere/new.fdb")}) {
        type("NameEdit", path);
        const auto before = dialogs->Calls().size();
        if (path != noDatabase)
            dialogs->QueueAnswer(ui::IDOK);
        press("CheckConnect");
        EXPECT_EQ(answer(before, {"IDS_75", "IDS_99", "IDS_102", "IDS_103"}).text, text("IDS_103")) << path;
        EXPECT_FALSE(form->trmReconnect->Enabled()) << path;
        EXPECT_EQ(OpenFailureCount, failures) << path;
    }
    EXPECT_TRUE(MainDbHandleExists());

    // The main database's file is gone when the connection is lost.
    press("btnCancel");
    testfb::DetachMain();
    const QString mainFile = QString::fromStdString(c.path);
    ASSERT_TRUE(QFile::rename(mainFile, mainFile + ".away"));
    const auto before = dialogs->Calls().size();
    dialogs->QueueAnswer(ui::IDCANCEL);
    QSignalSpy ticked(form->trmReconnect, &QTimer::timeout);
    form->trmReconnect->setInterval(1);
    form->trmReconnect->SetEnabled(true);
    EXPECT_TRUE(ticked.wait());
    const auto calls = dialogs->Calls();
    EXPECT_TRUE(calls.size() > before &&
                calls[before].text == form->lgLang->GetTextOrDefault("IDS_DB_FILE_MISSING"))
        << mainLogText();
    EXPECT_FALSE(QFile::exists(mainFile));
    EXPECT_FALSE(MainDbHandleExists());
    QFile::remove(mainFile);
    ASSERT_TRUE(QFile::rename(mainFile + ".away", mainFile));
}

TEST_F(SettingsDialogTest, ShowAndTypeChangesTakeEffectBeforeOk) {
    writeMain("language", 1); // English: no calendar service
    writeMain("Centrala", 2);
    writeMain("Port", 1);
    ASSERT_NO_FATAL_FAILURE(createAttachedForm());
    const std::string before = registry();
    form->Settings.CalendarServiceEnabled = true;
    form->Sms().SmsSettings.UseSms = true;
    open();
    EXPECT_FALSE(form->Settings.CalendarServiceEnabled);
    EXPECT_TRUE(form->Sms().SmsSettings.UseSms); // type 2 leaves it as it is

    auto* types = control<QComboBox>("TypCentrali");
    types->setFocus();
    QTest::keyClick(types, Qt::Key_End); // Morva
    EXPECT_EQ(form->Settings.PabxMacros.Redial, "*880");
    EXPECT_EQ(form->Settings.PabxMacros.Hold, "*6");
    EXPECT_FALSE(form->TabSms->TabVisible());
    QTest::keyClick(types, Qt::Key_Home); // Kelta: Ethernet only
    EXPECT_EQ(form->Settings.PbxPort, 5);
    EXPECT_EQ(form->Settings.PabxMacros.Redial, "*90");
    EXPECT_EQ(form->Settings.PabxMacros.Hold, "");
    EXPECT_EQ(control("edCodeHold")->text(), "");
    EXPECT_TRUE(form->TabSms->TabVisible());
    form->Settings.PabxMacros.Redial = "*1";
    press("btnCodeDefault");
    EXPECT_EQ(form->Settings.PabxMacros.Redial, "*90");
    press("btnCancel");
    EXPECT_EQ(form->Settings.PbxType, 2);
    EXPECT_EQ(registry(), before); // nothing of it is stored before OK

    form->Settings.PbxType = 0;
    form->Sms().SmsSettings.UseSms = false;
    open();
    EXPECT_TRUE(form->Sms().SmsSettings.UseSms);
    EXPECT_TRUE(control<QCheckBox>("chbUseSms")->isChecked());
    press("btnCancel");
    form->Settings.PbxType = 5;
    open();
    EXPECT_FALSE(form->Sms().SmsSettings.UseSms);
    EXPECT_FALSE(form->TabSms->TabVisible());
}

TEST_F(SettingsDialogTest, DatabaseFileButtonStartsInTheFolderOfTheNamedFile) {
    open();
    dialog->pcKonfiguracja->SetActivePage(dialog->tabBaza);
    type("NameEdit", "/srv/halvex/dane/baza.fdb");
    dialogs->QueueText("/srv/halvex/inne/nowa.fdb");
    press("btnSetDatabasePath");
    const auto call = dialogs->Calls().back();
    EXPECT_EQ(call.kind, "OpenFile");
    EXPECT_EQ(call.file.fileName, "/srv/halvex/dane/baza.fdb");
    EXPECT_EQ(call.file.filter, text("IDS_191"));
    EXPECT_EQ(call.file.defaultExt, "fdb");
    EXPECT_EQ(call.file.initialDir, "/srv/halvex/dane/");
    EXPECT_EQ(call.file.caption.find("/srv"), std::string::npos); // no path in the title
    EXPECT_EQ(control("NameEdit")->text(), "/srv/halvex/inne/nowa.fdb");
    EXPECT_EQ(form->Settings.NameFBText, c.path); // OK applies it
}

// The restore's file dialog starts in the folder typed in the backup field;
// the gbak chooser at the program named now.
TEST_F(SettingsDialogTest, RestoreAndGbakChoosersStartWhereTheFieldsPoint) {
    open();
    dialog->pcKonfiguracja->SetActivePage(dialog->tabBaza);
    type("edBackupPath", "/srv/halvex/kopie");
    dialogs->QueueAnswer(ui::IDOK);
    dialogs->QueueText(""); // the file dialog cancelled
    press("btnRestore");
    auto call = dialogs->Calls().back();
    EXPECT_EQ(call.kind, "OpenFile");
    EXPECT_EQ(call.file.initialDir, "/srv/halvex/kopie");
    EXPECT_EQ(call.file.defaultExt, "fbk");
    EXPECT_EQ(call.file.filter, text("IDS_160"));
    EXPECT_EQ(dialog->bazaOdtworzona, 0);

    type("edGbakPath", "/opt/firebird/bin/gbak");
    dialogs->QueueText("");
    press("btnUstawGbakPath");
    call = dialogs->Calls().back();
    EXPECT_EQ(call.kind, "OpenFile");
    EXPECT_EQ(call.file.fileName, "/opt/firebird/bin/gbak");
    EXPECT_EQ(call.file.initialDir, "/opt/firebird/bin/");
    EXPECT_EQ(control("edGbakPath")->text(), "/opt/firebird/bin/gbak");
}

TEST_F(SettingsDialogTest, ChangedDatabaseSaysWhatItsStructureCheckDidUnderTheDialogsCaption) {
    open();
    testfb::Connection empty, broken;
    ASSERT_NO_FATAL_FAILURE(makeEmptyAndBrokenDatabases(empty, broken));
    const std::string caption = dialog->windowTitle().toStdString();
    const struct {
        const std::string& path;
        const char* key;
        unsigned flags;
    } cases[] = {{empty.path, "IDS_75", ui::MB_OK | ui::MB_ICONINFORMATION},
                 {broken.path, "IDS_76", ui::MB_OK | ui::MB_ICONERROR}};
    for (const auto& change : cases) {
        open();
        const auto before = dialogs->Calls().size();
        type("DIPBEdit", "");
        type("NameEdit", change.path);
        press("btnAccept");
        const auto shown = answer(before, {change.key});
        EXPECT_EQ(shown.caption, caption) << change.key;
        EXPECT_EQ(shown.flags, change.flags) << change.key;
        const auto calls = dialogs->Calls();
        EXPECT_EQ(std::count_if(calls.begin() + long(before), calls.end(),
                                [&](const auto& call) { return call.text == text(change.key); }),
                  1)
            << change.key; // said once, by the dialog
        EXPECT_EQ(form->Settings.NameFBText, change.path);
    }
}

// What OK cannot store stays in force, but for the function codes: those keep
// the values in use.
TEST_F(SettingsDialogTest, AKeyThatCannotBeWrittenIsLoggedAndOnlyTheFunctionCodesKeepTheirValues) {
    writeMain("Centrala", 5); // Morva: both codes are shown
    open();
    const shell::PabxMacrosSettings before = form->Settings.PabxMacros;
    type("edSmsCountryCode", "420");
    type("edCodeRedial", "*77");
    type("edCodeHold", "*78");
    {
        testing_support::FileModesBind bind;
        ASSERT_TRUE(bind.bound());
        const std::string folder = sandbox.registryDir();
        ASSERT_EQ(chmod(folder.c_str(), 0555), 0);
        press("btnAccept");
        chmod(folder.c_str(), 0755);
    }
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(form->Sms().SmsSettings.CountryCode, "420");
    EXPECT_EQ(form->Settings.PabxMacros.Redial, before.Redial);
    EXPECT_EQ(form->Settings.PabxMacros.Hold, before.Hold);
    const std::string log = mainLogText();
    for (const std::string key :
         {"\\software\\Vorlin\\Halvex\\SMS\n", "\\software\\Vorlin\\Halvex\\SMS\\DynamicRouting\n"}) {
        const auto at = log.find("Błąd tworzenia klucza " + key);
        ASSERT_NE(at, std::string::npos) << key;
        const auto next = log.find('\n', at) + 1;
        const std::string reason = log.substr(next, log.find('\n', next) - next);
        EXPECT_NE(reason.find(": Failed to set data for '"), std::string::npos) << reason;
    }
}

TEST_F(SettingsDialogTest, DynamicRoutingAndDatabaseButtonTextsInEveryLanguage) {
    const struct {
        int language;
        const char* box;
        const char* hint;
        const char* label;
        const char* backup;
        const char* cleaning;
    } cases[] = {
        {0, "Włącz dynamiczny routing dla przychodzących wiadomości",
         "Włączenie dynamicznego routingu powoduje, że serwer zapamiętuje czasowo informacje o wychodzących "
         "wiadomościach. Jeżeli na numer GSM przyjdzie wiadomość z numeru na który została uprzednio wysłana "
         "wiadomość, odpowiedź ta zostanie skierowana bezpośrednio.",
         "Czas oczekiwania na odpowiedź (ważności trasy zwrotnej)", "Wykonaj backup teraz", "Czyszczenie"},
        {1, "Enable dynamic routing for incoming messages",
         "Enabling dynamic routing makes the server remember the outgoing messages for a while. When a "
         "message "
         "comes to a GSM number from a number that a message was sent to before, this reply is directed "
         "straight back.",
         "Time to wait for a reply (validity of the return route)", "Back up now", "Cleaning"},
        {2, "Включить динамическую маршрутизацию для входящих сообщений",
         "Включение динамической маршрутизации заставляет сервер временно запоминать сведения об исходящих "
         "сообщениях. Если на номер GSM придёт сообщение с номера, на который ранее было отправлено "
         "сообщение, этот ответ будет направлен напрямую.",
         "Время ожидания ответа (срок действия обратного маршрута)", "Создать резервную копию сейчас",
         "Очистка"},
    };
    for (const auto& expected : cases) {
        writeMain("language", expected.language);
        dialog.reset();
        form.reset();
        createForm("DEBUG");
        open();
        auto* box = control<QCheckBox>("chbDynamicRouting");
        EXPECT_EQ(box->text().toStdString(), expected.box);
        EXPECT_EQ(box->property("Hint").toString().toStdString(), expected.hint);
        EXPECT_EQ(control<QLabel>("lblSms4")->text().toStdString(), expected.label);
        EXPECT_EQ(control<QPushButton>("btnBackup")->text().toStdString(), expected.backup);
        EXPECT_EQ(control<QPushButton>("btnCleanDatabase")->text().toStdString(), expected.cleaning);
    }
}

TEST_F(SettingsDialogTest, NewCalendarPortAnswersWithoutTheRestartNotice) {
    writeMain("language", 0);
    open();
    ASSERT_TRUE(control<QTabWidget>("pcKonfiguracja")->isTabVisible(5));
    // A port free a moment ago may be taken before the dialog opens it: then another.
    const int port = testing_support::OpenOnFreePort([this](int free) {
        open();
        control<QCheckBox>("CheckBoxCalEnabled")->setChecked(true);
        type("PortTCPCalBrowse", std::to_string(free));
        click("btnAccept");
        return form->CalSocket->isListening() && form->CalSocket->serverPort() == free;
    });
    ASSERT_NE(port, 0);
    EXPECT_FALSE(shown("IDS_26"));
    EXPECT_EQ(form->Settings.PortTCPCalBrowse, port);
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, quint16(port));
    EXPECT_TRUE(linktest::WaitFor([&] { return client.state() == QAbstractSocket::ConnectedState; }));
}

// Every field of every page, shown from the settings file and confirmed with
// OK, goes back into the file as it was and shows the same again. Only the
// SMS switch follows the exchange type: always on for type 0, never for 5.
class SettingsDialogRoundTrip : public SettingsDialogTest, public testing::WithParamInterface<int> {
  protected:
    using Values = std::map<std::string, std::string>; // "key\name" -> value as stored

    static int freePort() {
        QTcpServer probe;
        EXPECT_TRUE(probe.listen(QHostAddress::AnyIPv4));
        return probe.serverPort();
    }
    Values stored() {
        Values values;
        for (const auto& [path, key] : platform::RegistryFile::parse(registry()))
            for (const auto& [name, value] : key.values)
                values[path + "\\" + name] = value.type == platform::RegistryValue::Type::Dword
                                                 ? std::to_string(value.dword)
                                                 : value.text;
        return values;
    }
    // What every named control shows.
    std::map<std::string, std::string> fields() {
        std::map<std::string, std::string> shown;
        for (QWidget* widget : dialog->findChildren<QWidget*>()) {
            const std::string name = widget->objectName().toStdString();
            QString value;
            if (auto* edit = qobject_cast<QLineEdit*>(widget))
                value = edit->text();
            else if (auto* box = qobject_cast<QCheckBox*>(widget))
                value = box->isChecked() ? "ticked" : "clear";
            else if (auto* combo = qobject_cast<QComboBox*>(widget))
                value = combo->currentText();
            else if (auto* spin = qobject_cast<QSpinBox*>(widget))
                value = QString::number(spin->value());
            else if (auto* time = qobject_cast<QTimeEdit*>(widget))
                value = time->time().toString(QStringLiteral("HH:mm:ss.zzz"));
            else
                continue;
            if (!name.empty() && name.rfind("qt_", 0) != 0)
                shown[name] = value.toStdString();
        }
        return shown;
    }
};

TEST_P(SettingsDialogRoundTrip, EveryFieldGoesBackIntoTheFileAsItCame) {
    const int type = GetParam();
    const std::string main = "\\software\\Vorlin\\Halvex";
    const std::string sms = main + "\\SMS";
    const bool smsForced = type == 0 || type == 5;
    const bool useSms = type == 5; // the opposite of what the type forces
    const struct {
        std::string path, name;
        base::SettingValue value;
    } settings[] = {
        {main, "Centrala", type},
        {main, "Port", type == 0 ? 5 : type - 1}, // Ethernet, COM 1, COM 4
        {main, "PortTCP", 4321},
        {main, "PortUDP", 4322},
        {main, "PortTCPCalBrowse", freePort()},
        {main, "PortTCPCalSend", 4323},
        {main, "CalendarServiceEnabled", true},
        {main, "PortTCP_CRM", freePort()},
        {main, "MaxPolaczenCRM", 5},
        {main, "CRMsocketActive", true},
        {main, "language", 0},
        {main, "pytanieOwych", false},
        {main, "AutomPrzyw", true},
        {main, "InsertIncomingFroRingGroup", true},
        {main, "PowiadORozlacz", false},
        {main, "StartMinimized", true},
        {main, "Miedzy", std::string("9")},
        {main, "PrefiksMiedzynarodowy", std::string("00")},
        {main, "TCPCentr", std::string("10.1.2.3")},
        {main, "PortTCPCent", 5099},
        {main, "Broadcast", std::string("10.1.2.255")},
        {main, "GbakPath", std::string("/opt/firebird/bin/gbak")},
        {main, "BackupPath", std::string("/srv/kopie")},
        {main, "AutoBackupPeriod", 3},
        {main, "AutoBackup", true},
        {main, "CleanBeforeBackup", true},
        {main, "UseVoiceMailPcti", true},
        {main, "UsePctiClip", true},
        {main, "timeBackupHour", std::string("17:08:13")},
        {main, "UseRCP", true},
        {main, "RCP_User", std::string("rcp")},
        {main, "RCP_PasswordFB", AesEncryptToHexWire("tajne", FixedKeyText)},
        {main, "RCP_IPFB", std::string("10.1.2.4")},
        {main, "RCP_NameFB", std::string("/srv/rcp.fdb")},
        {main + "\\PABX_MACROS\\" + std::to_string(type), "Redial", std::string("*91")},
        {main + "\\PABX_MACROS\\" + std::to_string(type), "Hold", std::string("*7")},
        {sms, "UseSms", useSms},
        {sms, "CountryCode", std::string("420")},
        {sms, "MinCountryNumberLength", 8},
        {sms, "MaxCountryNumberLength", 10},
        {sms, "RemoveCountryCode", false},
        {sms, "ForceSynchronization", false},
        {sms, "OutTrialsLimit", true},
        {sms, "OutTrials", 7},
        {sms, "CountryNumberLength", 8},
        {sms + "\\DynamicRouting", "Enabled", true},
        {sms + "\\DynamicRouting", "ValidityPeriod", 7200},
    };
    for (const auto& setting : settings)
        ASSERT_NO_FATAL_FAILURE(writeKey(setting.path, setting.name, setting.value));
    ASSERT_NO_FATAL_FAILURE(createAttachedForm());
    // What the fixture keeps off in memory is on in the file.
    form->Settings.AutomPrzyw = true;
    form->Settings.CalendarServiceEnabled = true;
    Values expected = stored();
    if (smsForced)
        expected["software\\vorlin\\halvex\\sms\\usesms"] = std::to_string(int(!useSms));

    open();
    const auto first = fields();
    EXPECT_EQ(first.at("BackupDateTime"), "17:08:13.000");
    click("btnAccept");
    ASSERT_FALSE(dialog->isVisible());
    const Values after = stored();
    for (const auto& [name, value] : expected) {
        const auto found = after.find(name);
        EXPECT_EQ(found == after.end() ? "(none)" : found->second, value) << name;
    }
    EXPECT_EQ(after.size(), expected.size());

    open();
    EXPECT_EQ(fields(), first);
}

INSTANTIATE_TEST_SUITE_P(ExchangeTypes, SettingsDialogRoundTrip, testing::Values(0, 2, 5));

} // namespace
