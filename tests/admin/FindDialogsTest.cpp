// The find dialogs and the message editor: the phrase search over the
// window's lists, the phone search against a real embedded database, and
// Esc in the message editor.
#include "admin/AdminForms.h"
#include "admin/Console.h"
#include "db/SessionDB.h"
#include "support/FirebirdFixtures.h"
#include "support/MainFormFixture.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <QTimer>

namespace {

QString selectedCaption(const ui::TListView& list) {
    const QList<QTreeWidgetItem*> selected = list.selectedItems();
    return selected.size() == 1 ? selected.front()->text(0) : QString("none");
}

void press(QWidget* target, Qt::Key key) {
    QKeyEvent event(QEvent::KeyPress, key, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &event);
}

TEST(FindForm, FindsThePhraseInAnyCaseBeyondTheFirstColumnGoesOnAfterEachFindAndWrapsAround) {
    ui::TListView list(QStringLiteral("UserLV"), nullptr);
    list.setColumnCount(3);
    list.AddRow({"kowal-id", "Nowak", "Jan"});
    list.AddRow({"2", "Kowalski", "Piotr"});
    list.AddRow({"3", "Zieliński", "Ewa"});
    list.AddRow({"4", QString::fromUtf8("Łukasz"), "bukowski"});
    list.AddRow({"5"});
    TFindForm find(nullptr, &list);

    find.Edit1->setText("kow");
    find.FindButtonClick();
    EXPECT_EQ(selectedCaption(list), "2") << "the first column is not searched";
    press(find.Edit1, Qt::Key_Return);
    EXPECT_EQ(selectedCaption(list), "4");
    find.FindButtonClick();
    EXPECT_EQ(selectedCaption(list), "2") << "after the last find the search starts at the top";

    find.Edit1->setText(QString::fromUtf8("łUK"));
    EXPECT_EQ(find.SearchPosition(), 0) << "a change of the phrase starts at the top";
    find.FindButtonClick();
    EXPECT_EQ(selectedCaption(list), "4");

    find.Edit1->setText("brak");
    find.FindButtonClick();
    EXPECT_EQ(selectedCaption(list), "4") << "no match changes nothing";

    // An empty phrase selects the next row with a sub-item: never the bare
    // row 5.
    find.Edit1->clear();
    for (const char* expected : {"kowal-id", "2", "3", "4", "kowal-id"}) {
        find.FindButtonClick();
        EXPECT_EQ(selectedCaption(list), expected);
    }

    ui::TListView empty(QStringLiteral("lvKlienci"), nullptr);
    TFindForm none(nullptr, &empty);
    none.FindButtonClick();
    EXPECT_EQ(none.SearchPosition(), 0);
}

TEST(FindForm, SearchesTheRowDataItIsGivenAndEscCloses) {
    ui::TListView list(QStringLiteral("lvKontakty"), nullptr);
    list.setColumnCount(2);
    for (int i = 0; i < 3; ++i)
        list.AddRow({QString::number(i), "shown"});
    const std::vector<QStringList> data = {{"Alfa"}, {"Beta"}, {"Gamma"}};
    TFindForm find(nullptr, &list, [&](int row) { return data[std::size_t(row)]; });
    find.Edit1->setText("AMM");
    find.FindButtonClick();
    EXPECT_EQ(selectedCaption(list), "2");
    find.Edit1->setText("shown");
    list.clearSelection();
    find.FindButtonClick();
    EXPECT_EQ(selectedCaption(list), "none");

    QTimer::singleShot(0, &find, [&] { press(find.Edit1, Qt::Key_Escape); });
    EXPECT_EQ(find.ShowModal(), ui::mrCancel);
}

TEST(MessageEditor, EscClosesWithoutSendingAndTheLabelsTellWhoGetsIt) {
    TfrmMessage editor;
    EXPECT_EQ(editor.Caption(), QString::fromUtf8("Wiadomość do podłączonych użytkowników"));
    EXPECT_EQ(editor.btnSendMessage->ModalResult(), ui::mrOk);
    editor.Memo1->setPlainText("Hej");
    QTimer::singleShot(0, &editor, [&] { press(editor.Memo1, Qt::Key_Escape); });
    EXPECT_EQ(editor.ShowModal(), ui::mrCancel);
    QTimer::singleShot(0, &editor, [&] { editor.btnSendMessage->click(); });
    EXPECT_EQ(editor.ShowModal(), ui::mrOk);
}

class FindPhone : public testing_support::MainFormFixture {
  protected:
    void SetUp() override {
        MainFormFixture::SetUp();
        ASSERT_NO_FATAL_FAILURE(testfb::EmbeddedInSettings(c, folder.file("phones.fdb")));
        createForm("DEBUG");
        ASSERT_NO_FATAL_FAILURE(testfb::AttachAndCreateSchema(c));
        const char* insert = "INSERT INTO CTIusers (sUserName, sUserLastName, sUserLogin, sUserPassword, "
                             "nGroupID, sUserIP, sRCPcard, sStatus, nPrivileges) VALUES ";
        sql(std::string(insert) + "('Anna', 'Nowak', 'anna', 'x', 0, ' ', '', ' ', 0)");
        sql(std::string(insert) + "('Jan', 'Kos', 'jan', 'x', 0, ' ', '', ' ', 0)");
        form->Admin().LoadUsers();
        ASSERT_EQ(form->UserLV->topLevelItemCount(), 2);
        for (int i = 0; i < 2; ++i)
            if (form->UserLV->topLevelItem(i)->text(3) == "jan")
                jan = form->UserLV->topLevelItem(i)->text(0);
        const std::string anna =
            form->UserLV->topLevelItem(form->UserLV->topLevelItem(0)->text(0) == jan ? 1 : 0)
                ->text(0)
                .toStdString();
        sql("INSERT INTO UserPhones VALUES (NULL, " + anna + ", '201', 'biurko')");
        sql("INSERT INTO UserPhones VALUES (NULL, " + jan.toStdString() + ", '202', 'recepcja')");
        sql("INSERT INTO UserPhones VALUES (NULL, " + jan.toStdString() + ", '203456', 'hala')");
        form->lvAllUserPhones->SetTag(0);
        form->UserLV->clearSelection();
        finder.OnSearch = [this](const std::string& number) { form->Admin().FindPhone(number); };
    }
    void TearDown() override {
        MainFormFixture::TearDown();
        testfb::DetachMain();
    }
    void sql(const std::string& statement) {
        SessionDB session(c.host, c.path, c.user, c.password, &MainDbHandle, false);
        ASSERT_EQ(session.ExecuteSQL(statement), 0) << statement;
    }

    testfb::DatabaseFolder folder;
    testfb::Connection c;
    TfrmFindPhone finder;
    QString jan;
};

TEST_F(FindPhone, TakesAtMostSixDigitsTypedOrPastedAndSelectsTheOwnerAndTheNumber) {
    finder.edPhone->insert("20-34a56");
    EXPECT_EQ(finder.edPhone->text(), "203456") << "non-digits dropped, pasted too";
    finder.edPhone->insert("7");
    EXPECT_EQ(finder.edPhone->text(), "203456") << "at most six digits";
    finder.btnSzukajClick();
    EXPECT_EQ(selectedCaption(*form->UserLV), jan);
    ASSERT_EQ(form->PhoneLV->topLevelItemCount(), 2) << "the owner's phones are shown";
    ASSERT_EQ(form->PhoneLV->selectedItems().size(), 1);
    EXPECT_EQ(form->PhoneLV->selectedItems().front()->text(1), "203456");
}

TEST_F(FindPhone, AnUnknownNumberAQuoteOrAnEmptyFieldChangeNothing) {
    finder.btnSzukajClick();
    finder.edPhone->setText("999");
    finder.btnSzukajClick();
    EXPECT_EQ(selectedCaption(*form->UserLV), "none");
    // Only digits reach the field; the console quotes whatever it is given.
    form->Admin().FindPhone("2' OR '1'='1");
    EXPECT_EQ(selectedCaption(*form->UserLV), "none");
    EXPECT_EQ(form->PhoneLV->selectedItems().size(), 0);
}

} // namespace
