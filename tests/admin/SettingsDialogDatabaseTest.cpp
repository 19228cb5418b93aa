// The settings dialog's database page: a changed database opened, the
// connection test beside the main connection, and the file choosers.
#include "SettingsDialogFixture.h"

namespace {

using namespace settingsdialogtest;

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

} // namespace
