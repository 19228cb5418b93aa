// The windows during a restore: the progress window modal over them, the
// buttons and timers that do nothing meanwhile, and the boxes of its end.
#include "MaintenanceFixture.h"

namespace {

using namespace maintenancetest;

// From the backup of the live database to the restore's end the progress
// window stands modal over the windows and nothing the user does reaches the
// database: OK (with database fields changed before), Cancel, the database
// fields and the main window's pages do nothing, so the rules in force still
// route a received message and the lists keep their rows. The event loop
// goes on meanwhile. The restore's end attaches the database the settings
// name, says what the connection test finds and reads the lists from it.
struct ButtonDuringStep {
    const char* step; // gbak's switch
    const char* button;
};

class RestoreWindows : public Maintenance {
  protected:
    void addRows(const std::string& name) {
        sql("INSERT INTO ContactPriv (name, CTIusers_nuserid) VALUES ('" + name + "', 0)");
        sql("INSERT INTO SmsRouting (nPriority, sSender, sLine, sRecipients) VALUES (1, '" + name +
            "', '_', '5')");
        sql("INSERT INTO CTIusers (sUserName, sUserLastName, sUserLogin, sUserPassword, nGroupID, sUserIP, "
            "sRCPcard, sStatus, nPrivileges) VALUES ('" +
            name + "', '', '" + name + "', '', 0, '', '', '', 0)");
    }
    void removeRows() {
        sql("DELETE FROM ContactPriv");
        sql("DELETE FROM SmsRouting");
        sql("DELETE FROM CTIusers");
    }
    // The contacts, routing rules and users the window holds.
    std::vector<std::string> lists() {
        std::vector<std::string> all;
        for (const ContactRow& row : form->Admin().ContactRows)
            all.push_back("contact " + row.Name);
        for (const ROUTING_RULE& rule : form->Sms().SmsEngine.RoutingRules)
            all.push_back("rule " + rule.sSender);
        for (int i = 0; i < form->UserLV->topLevelItemCount(); ++i)
            all.push_back("user " + form->UserLV->topLevelItem(i)->text(3).toStdString());
        return all;
    }
    // Whom the rules in force give a message received from `sender`.
    std::vector<std::int32_t> routed(const std::string& sender) {
        return form->Sms().SmsEngine.SelectRecipients(sender, "1");
    }
    // A click on a page's tab of the main window.
    void clickPage(QWidget* page) {
        QTabBar* bar = form->Zakladki->tabBar();
        QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(form->Zakladki->indexOf(page)).center());
    }
    // After clicks on `pages` the page `shown` is shown, a message from
    // `name` is routed by its rule, and the lists hold the rows of `name`.
    void expectPagesKeep(std::initializer_list<QWidget*> pages, QWidget* shown, const std::string& name) {
        for (QWidget* page : pages)
            clickPage(page);
        EXPECT_EQ(form->Zakladki->currentWidget(), shown);
        EXPECT_EQ(routed(name), std::vector<std::int32_t>{5});
        EXPECT_EQ(lists(), (std::vector<std::string>{"contact " + name, "rule " + name, "user " + name}));
        EXPECT_EQ(form->lvKontakty->ItemCount(), 1);
    }
    // The window with the lists of "pozniejszy" read, and a backup holding
    // those of "zbackupu".
    void openWithLists() {
        ASSERT_NO_FATAL_FAILURE(open(false));
        progress = std::make_unique<TOknoInfo>();
        OknoInfo = progress.get();
        addRows("zbackupu");
        dialog->btnBackupClick();
        ASSERT_NO_FATAL_FAILURE(waitForGbak());
        backup = maintenance().LastBackupFile();
        removeRows();
        addRows("pozniejszy");
        form->resize(1000, 700);
        form->show();
        for (QWidget* page : {form->TabSms, form->TabSheet8, form->TabSheet1, form->TabSms})
            clickPage(page);
        ASSERT_EQ(form->Zakladki->currentWidget(), form->TabSms);
        ASSERT_EQ(lists(), later);
        ASSERT_EQ(routed("pozniejszy"), std::vector<std::int32_t>{5});
        dialog->show();
        dialog->pcKonfiguracja->SetActivePage(dialog->tabBaza);
    }
    void TearDown() override {
        OknoInfo = nullptr;
        Maintenance::TearDown();
    }
    std::unique_ptr<TOknoInfo> progress;
    std::string backup;
    const std::vector<std::string> later = {"contact pozniejszy", "rule pozniejszy", "user pozniejszy"};
};

class ButtonDuringRestore : public RestoreWindows, public ::testing::WithParamInterface<ButtonDuringStep> {};

TEST_P(ButtonDuringRestore, DoesNothingAndTheRestoresEndReadsTheRestoredLists) {
    ASSERT_NO_FATAL_FAILURE(openWithLists());
    const std::string database = c.path;
    const std::string elsewhere = folder.file("elsewhere.fdb");
    dialog->NameEdit->selectAll();
    QTest::keyClicks(dialog->NameEdit, QString::fromStdString(elsewhere));
    ASSERT_EQ(dialog->NameEdit->text().toStdString(), elsewhere);

    maintenance().SetGbakPath(heldGbak(GetParam().step));
    dialogs->QueueAnswer(ui::IDOK);
    dialogs->QueueText(backup);
    QTest::mouseClick(dialog->btnRestore, Qt::LeftButton);
    const QString held = scratch.path() + "/held";
    serveWhileGbakRuns([&] { return QFile::exists(held); });
    ASSERT_TRUE(QFile::exists(held)) << mainLogText();
    EXPECT_TRUE(progress->isVisible());
    EXPECT_TRUE(progress->isModal());
    EXPECT_EQ(progress->Label1->text().toStdString().rfind(text("IDS_172"), 0), 0u)
        << progress->Label1->text().toStdString();

    const auto beforeEnd = dialogs->Calls().size();
    QTest::keyClicks(dialog->NameEdit, "x");
    QTest::mouseClick(dialog->findChild<QWidget*>(GetParam().button), Qt::LeftButton);
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(dialog->NameEdit->text().toStdString(), elsewhere);
    EXPECT_EQ(form->Settings.NameFBText, database);
    expectPagesKeep({form->TabSheet1, form->TabSheet8, form->TabSms}, form->TabSms, "pozniejszy");
    EXPECT_EQ(dialogs->Calls().size(), beforeEnd); // nothing said of a database away

    ASSERT_NO_FATAL_FAILURE(letHeldStepGo());
    ASSERT_NO_FATAL_FAILURE(waitForGbak());
    EXPECT_FALSE(progress->isVisible());
    EXPECT_TRUE(MainDbHandleExists());
    EXPECT_EQ(MainDbAttachedWith().path, database);
    EXPECT_EQ(form->Settings.NameFBText, database);
    EXPECT_EQ(lists(), (std::vector<std::string>{"contact zbackupu", "rule zbackupu", "user zbackupu"}))
        << mainLogText();
    EXPECT_EQ(routed("zbackupu"), std::vector<std::int32_t>{5});
    EXPECT_EQ(form->lvKontakty->ItemCount(), 1);
    const auto calls = dialogs->Calls();
    ASSERT_GT(calls.size(), beforeEnd);
    EXPECT_EQ(calls.back().text, text("IDS_99"));
    EXPECT_EQ(calls.back().caption, text("IDS_21"));
    // At the end the window is the user's again.
    EXPECT_TRUE(dialog->isVisible());
    clickPage(form->TabSheet1);
    EXPECT_EQ(form->Zakladki->currentWidget(), form->TabSheet1);
    QTest::mouseClick(dialog->btnCancel, Qt::LeftButton);
    EXPECT_FALSE(dialog->isVisible());
}

INSTANTIATE_TEST_SUITE_P(BackupAndRestoreSteps, ButtonDuringRestore,
                         ::testing::Values(ButtonDuringStep{"-b", "btnCancel"},
                                           ButtonDuringStep{"-b", "btnAccept"},
                                           ButtonDuringStep{"-c", "btnCancel"},
                                           ButtonDuringStep{"-c", "btnAccept"}),
                         [](const auto& info) {
                             return std::string(info.param.button) + (std::string(info.param.step) == "-b"
                                                                          ? "WhileTheLiveDatabaseIsBackedUp"
                                                                          : "WhileGbakRestores");
                         });

// While gbak restores, the main connection is held away, not lost: the
// reconnect timer's ticks count no failed open, say nothing on stderr and
// show no box, even past the third failure of the run, and leave neither
// the count raised nor the timer armed. The restore's end attaches it.
TEST_F(Maintenance, ReconnectTicksDuringARestoreAreNoFailures) {
    ASSERT_NO_FATAL_FAILURE(open(false));
    dialog->btnBackupClick();
    ASSERT_NO_FATAL_FAILURE(waitForGbak());
    const std::string backup = maintenance().LastBackupFile();
    maintenance().SetGbakPath(heldGbak("-c"));
    struct Count {
        int before = std::exchange(OpenFailureCount, 3); // the next failure would show its box
        ~Count() { OpenFailureCount = before; }
    } count;

    clickRestore(backup);
    const QString held = scratch.path() + "/held";
    serveWhileGbakRuns([&] { return QFile::exists(held); });
    ASSERT_TRUE(QFile::exists(held)) << mainLogText();
    ASSERT_FALSE(MainDbHandleExists());
    const auto beforeTicks = dialogs->Calls().size();
    form->trmReconnect->setInterval(1);
    testing::internal::CaptureStderr();
    int ticks = 0;
    for (; ticks < 3; ++ticks) {
        QSignalSpy ticked(form->trmReconnect, &QTimer::timeout);
        form->trmReconnect->SetEnabled(true);
        if (!ticked.wait())
            break;
    }
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(ticks, 3);
    EXPECT_EQ(said.find("cannot attach"), std::string::npos) << said;
    EXPECT_EQ(OpenFailureCount, 3);
    EXPECT_EQ(dialogs->Calls().size(), beforeTicks);
    EXPECT_FALSE(form->trmReconnect->Enabled());

    QFile go(scratch.path() + "/go");
    ASSERT_TRUE(go.open(QIODevice::WriteOnly));
    go.close();
    ASSERT_NO_FATAL_FAILURE(waitForGbak());
    EXPECT_TRUE(MainDbHandleExists());
    EXPECT_EQ(OpenFailureCount, 3);
    EXPECT_FALSE(form->trmReconnect->Enabled());
    const auto calls = dialogs->Calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back().text, text("IDS_99"));
}

// The restore's end runs the whole connection test on the dialog's fields:
// after the restore's outcome, the warning of a loopback address, the
// verdict and the warning of the default password, as the button shows them.
TEST_F(Maintenance, RestoresEndWarnsOfALoopbackAddressAndTheDefaultPassword) {
    ASSERT_NO_FATAL_FAILURE(open(false));
    dialog->btnBackupClick();
    ASSERT_NO_FATAL_FAILURE(waitForGbak());
    const std::string backup = maintenance().LastBackupFile();
    dialog->show();
    dialog->pcKonfiguracja->SetActivePage(dialog->tabBaza);
    for (auto [edit, typed] :
         {std::pair{dialog->DIPBEdit, "127.0.0.1"}, std::pair{dialog->PassEdit, "plintaved"}}) {
        edit->clear();
        QTest::keyClicks(edit, QString::fromLatin1(typed));
    }

    clickRestore(backup);
    ASSERT_NO_FATAL_FAILURE(waitForGbak());
    EXPECT_TRUE(MainDbHandleExists());
    const auto calls = dialogs->Calls();
    ASSERT_GE(calls.size(), 4u);
    const std::size_t end = calls.size() - 4;
    EXPECT_EQ(calls[end].text, text("IDS_964"));
    EXPECT_NE(calls[end + 1].text.find("loopback"), std::string::npos) << calls[end + 1].text;
    EXPECT_EQ(calls[end + 1].caption, "Halvex");
    EXPECT_EQ(calls[end + 2].text, text("IDS_99"));
    EXPECT_EQ(calls[end + 3].text, text("IDS_106"));
    EXPECT_EQ(calls[end + 3].caption, text("IDS_78"));
    EXPECT_EQ(calls[end + 3].flags, ui::MB_OK | ui::MB_ICONWARNING);
}

// A database that goes away after a restore (an outage, found as a lost
// connection) empties neither the rules in force nor the lists: Cancel asks
// for them anew, and the pages shown meanwhile keep what was read.
TEST_F(RestoreWindows, ADatabaseAwayEmptiesNeitherTheRulesNorTheLists) {
    ASSERT_NO_FATAL_FAILURE(openWithLists());
    dialogs->QueueAnswer(ui::IDOK);
    dialogs->QueueText(backup);
    QTest::mouseClick(dialog->btnRestore, Qt::LeftButton);
    ASSERT_NO_FATAL_FAILURE(waitForGbak());
    const std::vector<std::string> fromBackup = {"contact zbackupu", "rule zbackupu", "user zbackupu"};
    ASSERT_EQ(lists(), fromBackup) << mainLogText();

    ASSERT_EQ(SessionDB::DetachDatabase(&MainDbHandle), 0);
    QTest::mouseClick(dialog->btnCancel, Qt::LeftButton);
    ASSERT_FALSE(dialog->isVisible());
    expectPagesKeep({form->TabSheet1, form->TabSms, form->TabSheet8}, form->TabSheet8, "zbackupu");
}

// Every box of a restore, whatever its end, belongs to the settings dialog,
// which is kept on top: the box stands above it.
TEST_F(Maintenance, EveryBoxOfARestoreBelongsToTheDialog) {
    ASSERT_NO_FATAL_FAILURE(open(false));
    dialog->show();
    dialog->btnBackupClick();
    ASSERT_NO_FATAL_FAILURE(waitForGbak());
    const std::string good = maintenance().LastBackupFile();
    QFile junk(scratch.path() + "/junk.fbk");
    ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
    junk.write("not a backup");
    junk.close();
    const auto from = dialogs->Calls().size();

    clickRestore(good); // made
    ASSERT_NO_FATAL_FAILURE(waitForGbak());
    clickRestore(junk.fileName().toStdString()); // fails, the database put back
    ASSERT_NO_FATAL_FAILURE(waitForGbak());
    DbHandle other = 0;
    {
        SessionDB session(c.host, c.path, c.user, c.password, &other, false);
        ASSERT_EQ(session.LastCode, 0);
    }
    clickRestore(good); // refused: someone else is attached
    ASSERT_NO_FATAL_FAILURE(waitForGbak());
    ASSERT_EQ(SessionDB::DetachDatabase(&other), 0);
    maintenance().SetGbakPath(wrapper(true));
    dialogs->QueueAnswer(ui::IDOK);
    dialogs->QueueText(good);
    dialogs->QueueAnswer(ui::IDNO);
    QTest::mouseClick(dialog->btnRestore, Qt::LeftButton); // its own backup fails: asked, and not made
    ASSERT_NO_FATAL_FAILURE(waitForGbak());

    std::vector<std::string> boxes;
    const auto calls = dialogs->Calls();
    for (auto call = calls.begin() + std::ptrdiff_t(from); call != calls.end(); ++call)
        if (call->kind == "MessageBox") {
            boxes.push_back(call->text);
            EXPECT_EQ(call->owner, dialog.get()) << call->text;
        }
    for (const std::string& expected : {text("IDS_964"), text("IDS_965"), text("IDS_961"),
                                        GetDbErrorText(dbcode::GbakDbInUse), text("IDS_99")})
        EXPECT_TRUE(std::any_of(boxes.begin(), boxes.end(), [&](const std::string& box) {
            return box.find(expected) != std::string::npos;
        })) << expected;
}

} // namespace
