// The settings dialog offscreen, driven by its components' names, against the
// main window's real services and the settings file in the sandbox: the
// exchange's link, the settings lock, refusals and the CRM fields.
#include "SettingsDialogFixture.h"

namespace {

using namespace settingsdialogtest;

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

} // namespace
