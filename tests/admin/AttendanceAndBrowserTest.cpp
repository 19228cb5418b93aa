// The attendance poll against a stand-in of the attendance program's
// database, its connection test, and the database page's browser, all on
// embedded databases and the real main window.
#include "admin/Console.h"
#include "admin/SettingsDialog.h"
#include "i18n/LangComponent.h"
#include "platform/RegistryStore.h"
#include "support/FirebirdFixtures.h"
#include "support/MainFormFixture.h"

#include <QCoreApplication>
#include <QDeadlineTimer>

namespace {

constexpr int FillerCards = 2000;

class AttendanceAndBrowser : public testing_support::MainFormFixture {
  protected:
    void SetUp() override {
        MainFormFixture::SetUp();
        ASSERT_NO_FATAL_FAILURE(testfb::EmbeddedInSettings(c, folder.file("main.fdb")));
        createForm("DEBUG");
        ASSERT_NO_FATAL_FAILURE(testfb::AttachAndCreateSchema(c));
        ikr = c;
        ikr.path = folder.file("ikr.fdb");
    }
    void TearDown() override {
        MainFormFixture::TearDown();
        testfb::DetachMain();
    }

    // Kinds go in as UTF-8 literals and are stored in Windows-1250. Every
    // filler card K<n> was last seen coming in; the named cards have the
    // newest event of their name.
    void createAttendanceDatabase() {
        ASSERT_TRUE(testfb::CreateEmptyDatabase(ikr));
        bool ok = false;
        const std::string output = testfb::Isql(ikr, R"(
CREATE TABLE REJ (ID_REJ INTEGER NOT NULL, KARTA VARCHAR(16) CHARACTER SET WIN1250,
  TRYB VARCHAR(40) CHARACTER SET WIN1250, CZAS_KONTR TIMESTAMP);
CREATE VIEW V_REJ AS SELECT ID_REJ, KARTA, TRYB, CZAS_KONTR FROM REJ;
COMMIT;
SET TERM ^;
EXECUTE BLOCK AS DECLARE i INTEGER = 0; BEGIN
  WHILE (i < )" + std::to_string(FillerCards) + R"() DO BEGIN
    INSERT INTO REJ VALUES (:i * 2 + 1, 'K' || :i, _UTF8 'Wyjście', current_timestamp - 3);
    INSERT INTO REJ VALUES (:i * 2 + 2, 'K' || :i, _UTF8 'Wejście', current_timestamp - 2);
    i = i + 1;
  END
END^
SET TERM ;^
INSERT INTO REJ VALUES (100001, 'IN', _UTF8 'Wyjście', current_timestamp - 2);
INSERT INTO REJ VALUES (100002, 'IN', _UTF8 'Wejście', current_timestamp - 1);
INSERT INTO REJ VALUES (100003, 'OUT', _UTF8 'Wejście', current_timestamp - 2);
INSERT INTO REJ VALUES (100004, 'OUT', _UTF8 'Wyjście', current_timestamp - 1);
INSERT INTO REJ VALUES (100005, 'BIZ', _UTF8 'Wyjście służbowe', current_timestamp - 1);
INSERT INTO REJ VALUES (100006, 'GATE', _UTF8 'Wejście boczne', current_timestamp - 1);
INSERT INTO REJ VALUES (100007, 'OTHER', _UTF8 'Przerwa', current_timestamp - 1);
INSERT INTO REJ VALUES (100008, 'OLD', _UTF8 'Wejście', current_timestamp - 40);
COMMIT;
)",
                                                &ok);
        ASSERT_TRUE(ok) << output;
    }
    void useAttendance(const std::string& path) {
        form->Settings.UseRCP = true;
        form->Settings.RcpDb = {ikr.user, path, ikr.host, ikr.password};
    }
    // Starts one poll as the timer does.
    void startPoll() {
        form->tmrRCP->SetEnabled(true);
        form->tmrRCPTimer();
    }
    // The poll has written its states back once its timer runs again.
    void finishPoll() {
        QDeadlineTimer deadline(60000);
        while (!form->tmrRCP->Enabled() && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        ASSERT_TRUE(form->tmrRCP->Enabled());
    }
    std::uint32_t state(std::size_t slot) { return form->Clients().UserSlots[slot].AttendanceState.load(); }

    // 500 filler cards spread over the whole range, then the named ones.
    std::vector<clients::UserSlotUser> users() {
        std::vector<clients::UserSlotUser> list;
        for (int i = 0; i < 500; ++i)
            list.push_back({std::to_string(i + 1), "K" + std::to_string(i * FillerCards / 500)});
        for (const char* card : {"IN", "OUT", "BIZ", "GATE", "OTHER", "OLD", "", "IN", "NONE"})
            list.push_back({std::to_string(list.size() + 1), card});
        return list;
    }

    testfb::DatabaseFolder folder;
    testfb::Connection c;
    testfb::Connection ikr;
};

TEST_F(AttendanceAndBrowser, PollSetsTheStateOfEachCardsNewestEventAndResetsWhenTheDatabaseFails) {
    ASSERT_NO_FATAL_FAILURE(createAttendanceDatabase());
    form->Clients().FillUserSlots(users());

    // Switched off, the timer keeps ticking and no poll starts.
    form->Settings.UseRCP = false;
    startPoll();
    EXPECT_TRUE(form->tmrRCP->Enabled());

    useAttendance(ikr.path);
    startPoll();
    EXPECT_FALSE(form->tmrRCP->Enabled());
    ASSERT_NO_FATAL_FAILURE(finishPoll());
    for (std::size_t i = 0; i < 500; ++i)
        ASSERT_EQ(state(i), 2u) << "filler slot " << i;
    // IN, OUT, BIZ, GATE, OTHER, OLD, no card, IN again, unknown card.
    const std::uint32_t expected[] = {2, 1, 3, 2, 0, 0, 0, 0, 0};
    for (std::size_t i = 0; i < std::size(expected); ++i)
        EXPECT_EQ(state(500 + i), expected[i]) << "slot " << 500 + i;

    useAttendance(folder.file("missing.fdb"));
    startPoll();
    ASSERT_NO_FATAL_FAILURE(finishPoll());
    for (std::size_t i = 0; i < clients::UserSlotCount; ++i)
        ASSERT_EQ(state(i), 0u) << "slot " << i;
}

TEST_F(AttendanceAndBrowser, UsersReloadedDuringThePollGetNoOtherUsersState) {
    ASSERT_NO_FATAL_FAILURE(createAttendanceDatabase());
    std::vector<clients::UserSlotUser> list = users();
    list.resize(clients::UserSlotCount);
    list.back() = {"9998", "K1"};
    form->Clients().FillUserSlots(list);
    useAttendance(ikr.path);
    startPoll();
    // Before the poll's end reaches the GUI thread, a new user in front
    // moves every other one a slot down; the last slot keeps its user.
    std::vector<clients::UserSlotUser> reloaded = list;
    reloaded.insert(reloaded.begin(), {"9999", "BIZ"});
    reloaded.resize(clients::UserSlotCount);
    reloaded.back() = list.back();
    form->Clients().FillUserSlots(reloaded);
    ASSERT_NO_FATAL_FAILURE(finishPoll());
    for (std::size_t i = 0; i + 1 < clients::UserSlotCount; ++i)
        ASSERT_EQ(state(i), 0u) << "slot " << i;
    EXPECT_EQ(state(clients::UserSlotCount - 1), 2u);
}

TEST_F(AttendanceAndBrowser, ConnectionTestStoresTheValuesAndTellsWhatItFound) {
    ASSERT_NO_FATAL_FAILURE(createAttendanceDatabase());
    testfb::Connection empty = ikr;
    empty.path = folder.file("empty.fdb");
    ASSERT_TRUE(testfb::CreateEmptyDatabase(empty));
    TKonfiguracja dialog;
    dialog.console = &form->Admin();
    auto check = [&](const std::string& path) {
        dialog.chbEnableRCP->setChecked(true);
        dialog.edRCP_IP->setText(QString());
        dialog.edRCPpath->setText(QString::fromStdString(path));
        dialog.edRCPuser->setText(QString::fromStdString(ikr.user));
        dialog.edRCPpassword->setText(QString::fromStdString(ikr.password));
        dialog.btnCheckRcpDB->click();
    };
    auto text = [&](const char* key) { return dialog.lgLangLinked1->GetTextOrDefault(key); };

    check(ikr.path);
    check(empty.path);
    check(folder.file("missing.fdb"));
    std::vector<ui::ScriptedDialogs::Call> calls = dialogs->Calls();
    std::erase_if(calls, [&](const auto& call) { return call.caption != text("IDS_21"); });
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].text, text("IDS_134"));
    EXPECT_EQ(calls[1].text, text("IDS_136"));
    EXPECT_GT(calls[2].text.size(), text("IDS_131").size());
    EXPECT_EQ(calls[2].text.rfind(text("IDS_131"), 0), 0u);

    // The values were stored even though the last test failed.
    EXPECT_TRUE(form->Settings.UseRCP);
    EXPECT_EQ(form->Settings.RcpDb.NameFB, folder.file("missing.fdb"));
    platform::RegistryKey key(platform::RegistryBranch::Machine);
    ASSERT_TRUE(key.OpenKey("\\software\\Vorlin\\Halvex", false));
    EXPECT_EQ(key.ReadString("RCP_NameFB"), folder.file("missing.fdb"));
    EXPECT_EQ(key.ReadString("RCP_User"), ikr.user);
    EXPECT_NE(key.ReadString("RCP_PasswordFB"), ikr.password);
}

// Event numbers come from outside: only whole numbers reach the statement.
TEST(AttendanceIdLists, KeepOnlyWholeNumbersInListsOfBoundedLength) {
    EXPECT_EQ(admin::AttendanceIdLists({"1", "2) OR (1=1", "-3", "", "4.5", " 6", "7", "8"}, 2),
              (std::vector<std::string>{"1,-3", "7,8"}));
}

QStringList captions(const ui::TListView* view) {
    QStringList texts;
    for (int i = 0; i < view->topLevelItemCount(); ++i)
        texts << view->topLevelItem(i)->text(0);
    return texts;
}

TEST_F(AttendanceAndBrowser, BrowserListsTablesAndShowsTheRowsOfTheOneDoubleClicked) {
    const std::string quoted = "\"Ta\"\"b 'le\"";
    for (const std::string& statement :
         {"CREATE TABLE " + quoted + " (A INTEGER, B VARCHAR(10))",
          "INSERT INTO " + quoted + " VALUES (7, 'siedem')",
          std::string("INSERT INTO CTIusers (sUserLogin, sUserPassword, sUserLastName) VALUES ('jan', 'x', "
                      "'Kowalski')")}) {
        SessionDB session(c.host, c.path, c.user, c.password, &MainDbHandle, false);
        ASSERT_EQ(session.ExecuteSQL(statement), 0) << statement;
    }
    ui::TListView* list = form->ListView1;
    EXPECT_FALSE(form->TabSheet7->TabVisible());

    form->Wyswietlzawartosctabeli1->trigger();
    bool userShown = false;
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        userShown = userShown || list->topLevelItem(i)->text(3) == QStringLiteral("jan");
    EXPECT_TRUE(userShown);

    form->DBInfo->trigger();
    const QStringList tables = captions(list);
    EXPECT_TRUE(tables.contains(QStringLiteral("CTIUSERS")));
    ASSERT_TRUE(tables.contains(QStringLiteral("Ta\"b 'le")));

    // No selection: nothing happens.
    list->setCurrentItem(nullptr);
    list->clearSelection();
    Q_EMIT list->itemDoubleClicked(nullptr, 0);
    EXPECT_EQ(captions(list), tables);

    QTreeWidgetItem* table = list->topLevelItem(int(tables.indexOf(QStringLiteral("Ta\"b 'le"))));
    list->setCurrentItem(table);
    Q_EMIT list->itemDoubleClicked(table, 0);
    ASSERT_EQ(list->topLevelItemCount(), 1);
    EXPECT_EQ(list->topLevelItem(0)->text(0), QStringLiteral("7"));
    EXPECT_EQ(list->topLevelItem(0)->text(1), QStringLiteral("siedem"));

    // A data row is not a table name, even one that reads like one.
    list->topLevelItem(0)->setText(0, QStringLiteral("CTIUSERS"));
    list->setCurrentItem(list->topLevelItem(0));
    Q_EMIT list->itemDoubleClicked(list->topLevelItem(0), 0);
    ASSERT_EQ(list->topLevelItemCount(), 1);
    EXPECT_EQ(list->topLevelItem(0)->text(1), QStringLiteral("siedem"));
}

} // namespace
