// The main window's lists against a real embedded database, driven with the
// mouse: a double click below the last row opens the add dialog, a deleted
// routing rule leaves no row highlighted for the next "Usuń", and the
// contacts page's frame and hidden key column.
#include "admin/AdminForms.h"
#include "admin/Console.h"
#include "platform/RegistryStore.h"
#include "shell/ProgramForms.h"
#include "sms/SmsGateway.h"
#include "support/FirebirdFixtures.h"
#include "support/MainFormFixture.h"

#include <QApplication>
#include <QGroupBox>
#include <QHeaderView>
#include <QTest>
#include <QTimer>

namespace {

class MainWindowLists : public testing_support::MainFormFixture {
  protected:
    void SetUp() override {
        MainFormFixture::SetUp();
        ASSERT_NO_FATAL_FAILURE(testfb::EmbeddedInSettings(c, folder.file("lists.fdb")));
        platform::RegistryKey key(platform::RegistryBranch::Machine);
        ASSERT_TRUE(key.OpenKey("\\software\\Vorlin\\Halvex", true));
        key.WriteInteger("language", 0);
        createForm("DEBUG");
        ASSERT_NO_FATAL_FAILURE(testfb::AttachAndCreateSchema(c));
        CreateProgramForms(*form);
        form->resize(1000, 700);
        form->show();
    }
    void TearDown() override {
        DeleteProgramForms();
        MainFormFixture::TearDown();
        testfb::DetachMain();
    }
    void sql(const std::string& statement) { ASSERT_EQ(testfb::MainSql(c, statement), 0) << statement; }
    void showPage(QWidget* page) {
        form->Zakladki->setCurrentWidget(page);
        QApplication::processEvents();
    }
    // The middle of a row, on its first shown column.
    static QPoint rowCentre(QTreeView& list, int row) {
        int column = 0;
        while (list.isColumnHidden(column))
            ++column;
        return list.visualRect(list.model()->index(row, column)).center();
    }
    // Double-clicks the empty space below the list's last row and names the
    // dialog that opened (then cancels it); empty when none did.
    QString dialogOfDoubleClickBelowTheRows(QTreeView& list) {
        const int rows = list.model()->rowCount();
        EXPECT_GT(rows, 0) << list.objectName().toStdString();
        EXPECT_TRUE(list.selectionModel()->selectedRows().isEmpty()) << list.objectName().toStdString();
        const QPoint below =
            rowCentre(list, rows - 1) + QPoint(0, 3 * list.visualRect(list.model()->index(0, 1)).height());
        EXPECT_FALSE(list.indexAt(below).isValid());
        EXPECT_TRUE(list.viewport()->rect().contains(below));
        QString opened;
        QTimer::singleShot(0, [&opened] {
            if (auto* dialog = qobject_cast<ui::TForm*>(QApplication::activeModalWidget())) {
                opened = dialog->objectName();
                dialog->SetModalResult(ui::mrCancel);
            }
        });
        QTest::mouseDClick(list.viewport(), Qt::LeftButton, {}, below);
        return opened;
    }

    testfb::DatabaseFolder folder;
    testfb::Connection c;
};

TEST_F(MainWindowLists, ADoubleClickBelowTheLastRowOpensTheAddDialog) {
    sql("INSERT INTO CTIusers (sUserLogin, sUserPassword, sUserLastName, sUserName) VALUES ('jan', 'x', "
        "'Kowalski', 'Jan')");
    sql("INSERT INTO UserPhones (nUserID, sUserPhone, sUserPhoneName) SELECT nUserID, '201', 'biurko' FROM "
        "CTIusers");
    sql("INSERT INTO ContactPriv (name, CTIusers_nuserid) VALUES ('Nowak', 0)");
    sql("INSERT INTO SmsRouting (nPriority, sSender, sLine, sRecipients) VALUES (1, '_', '_', '')");
    showPage(form->TabSheet8);
    ASSERT_EQ(form->UserLV->topLevelItemCount(), 1);
    EXPECT_EQ(dialogOfDoubleClickBelowTheRows(*form->UserLV), "UserForm");

    // The phones of the user clicked on.
    QTest::mouseClick(form->UserLV->viewport(), Qt::LeftButton, {}, rowCentre(*form->UserLV, 0));
    ASSERT_EQ(form->UserLV->selectedItems().size(), 1);
    ASSERT_EQ(form->PhoneLV->topLevelItemCount(), 1);
    EXPECT_EQ(dialogOfDoubleClickBelowTheRows(*form->PhoneLV), "TelFm");

    showPage(form->TabSheet1);
    ASSERT_EQ(form->lvKontakty->ItemCount(), 1);
    EXPECT_EQ(dialogOfDoubleClickBelowTheRows(*form->lvKontakty), "AddAForm");

    showPage(form->TabSms);
    ASSERT_EQ(form->lvRoutingRules->ItemCount(), 1);
    EXPECT_EQ(dialogOfDoubleClickBelowTheRows(*form->lvRoutingRules), "frmSmsRoutingRule");
}

TEST_F(MainWindowLists, DeletingARoutingRuleLeavesNoneSelectedForTheNextDelete) {
    for (int priority : {1, 2, 3})
        sql("INSERT INTO SmsRouting (nPriority, sSender, sLine, sRecipients) VALUES (" +
            std::to_string(priority) + ", '_', '_', '')");
    showPage(form->TabSms);
    ui::TVirtualListView& rules = *form->lvRoutingRules;
    ASSERT_EQ(rules.ItemCount(), 3);
    QTest::mouseClick(rules.viewport(), Qt::LeftButton, {}, rowCentre(rules, 0));
    ASSERT_EQ(rules.SelectedRows(), std::vector<int>{0});
    const std::size_t asked = dialogs->Calls().size();

    QTest::mouseClick(form->btnDeleteRule, Qt::LeftButton);
    EXPECT_EQ(rules.ItemCount(), 2);
    EXPECT_TRUE(rules.SelectedRows().empty());
    EXPECT_EQ(dialogs->Calls().size(), asked);

    QTest::mouseClick(form->btnDeleteRule, Qt::LeftButton);
    EXPECT_EQ(rules.ItemCount(), 2);
    ASSERT_EQ(dialogs->Calls().size(), asked + 1);
    EXPECT_EQ(dialogs->Calls().back().text, form->Text("IDS_890"));
    EXPECT_EQ(testfb::MainQuery(c, "SELECT COUNT(*) FROM SmsRouting"), "2\n");
}

TEST_F(MainWindowLists, TheContactsSitInTheirFrameWithTheKeyColumnHidden) {
    sql("INSERT INTO ContactPriv (name, CTIusers_nuserid) VALUES ('Nowak', 0)");
    showPage(form->TabSheet1);
    auto* frame = form->findChild<QGroupBox*>("gbKontakty");
    ASSERT_NE(frame, nullptr);
    EXPECT_TRUE(frame->isVisible());
    EXPECT_TRUE(frame->isAncestorOf(form->lvKontakty));
    EXPECT_TRUE(frame->isAncestorOf(form->Button2));
    EXPECT_EQ(frame->title().toStdString(), "Baza danych teleadresowych");
    ASSERT_EQ(form->lvKontakty->ItemCount(), 1);
    EXPECT_FALSE(form->lvKontakty->CellText(0, 0).isEmpty());
    EXPECT_TRUE(form->lvKontakty->isColumnHidden(0));
    EXPECT_FALSE(form->lvKontakty->isColumnHidden(4));
}

// In every language the rule editor's lists keep their ID column hidden.
TEST_F(MainWindowLists, TheRuleEditorHidesTheIdColumnInEveryLanguage) {
    for (int language : {1, 2, 0}) {
        DeleteProgramForms();
        form.reset();
        platform::RegistryKey key(platform::RegistryBranch::Machine);
        ASSERT_TRUE(key.OpenKey("\\software\\Vorlin\\Halvex", true));
        key.WriteInteger("language", language);
        createForm("DEBUG");
        CreateProgramForms(*form);
        frmSmsRoutingRule->show();
        for (ui::TListView* list :
             {frmSmsRoutingRule->lvAvailableRecipients, frmSmsRoutingRule->lvRecipients}) {
            EXPECT_TRUE(list->isColumnHidden(0)) << language;
            EXPECT_FALSE(list->isColumnHidden(2)) << language;
        }
        frmSmsRoutingRule->hide();
    }
}

} // namespace
