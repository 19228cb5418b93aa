// A list view filled from the database: the table list and a browsed table,
// with the view's own columns or the result's.
#include "admin/ListViewRows.h"
#include "db/InterfaceDB.h"
#include "support/FirebirdFixtures.h"
#include "ui/Components.h"

namespace {

class ListViewRowsTest : public testfb::EmbeddedSchemaTest {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(EmbeddedSchemaTest::SetUp());
        front.SetConnection(c.host, c.path, c.user, c.password);
        front.SetResultList(&rows);
    }

    void execute(const std::string& sql) {
        SessionDB session(c.host, c.path, c.user, c.password, &MainDbHandle, true);
        ASSERT_EQ(session.ExecuteSQL(sql), 0) << sql;
    }
    QStringList captions() const {
        QStringList list;
        for (int i = 0; i < view->Columns().Count(); ++i)
            list << view->Columns()[i]->Caption();
        return list;
    }
    QStringList item(int row) const {
        QStringList cells;
        const QTreeWidgetItem* it = view->topLevelItem(row);
        for (int i = 0; it && i < it->columnCount(); ++i)
            cells << it->text(i);
        return cells;
    }

    ui::TForm form{QStringLiteral("Form")};
    ui::TListView* view = new ui::TListView(QStringLiteral("ListView1"), &form);
    admin::ListViewRows rows{view};
    InterfaceDB front;
};

} // namespace

TEST_F(ListViewRowsTest, TheTableListAndAnEmptyTableTakeTheResultsColumns) {
    view->AddColumn(QStringLiteral("designed"));
    view->AddRow({QStringLiteral("old")});
    EXPECT_EQ(front.RefreshTableList(), 0);
    EXPECT_EQ(captions(), QStringList{QStringLiteral("RDB$RELATION_NAME")});
    ASSERT_EQ(view->topLevelItemCount(), 11);
    EXPECT_EQ(item(0), QStringList{QStringLiteral("CONTACTGROUPS")}); // sorted, trimmed
    EXPECT_EQ(item(10), QStringList{QStringLiteral("USERPHONES")});

    execute("create table typed (n integer, c char(8))");
    ASSERT_EQ(front.WyswietlBazeDB("typed", "0", "0", ""), 0);
    EXPECT_EQ(captions(), (QStringList{QStringLiteral("N"), QStringLiteral("C")}));
    EXPECT_EQ(view->Columns()[0]->Width(), 4 * 3 + 20);
    EXPECT_EQ(view->Columns()[1]->Width(), 8 * 3 + 20);
    EXPECT_EQ(view->topLevelItemCount(), 0);
}

TEST_F(ListViewRowsTest, AViewWithItsOwnColumnsGetsTheRowsAppended) {
    execute("create table typed (n integer, c char(8))");
    execute("insert into typed values (1, 'anna')");
    execute("insert into typed values (2, 'Łucja')");
    view->SetTag(1);
    view->AddColumn(QStringLiteral("Numer"));
    view->AddColumn(QStringLiteral("Imię"));
    view->AddRow({QStringLiteral("0"), QStringLiteral("earlier")});
    TStringList strings;
    front.SetResultStrings(&strings);
    ASSERT_EQ(front.WyswietlBazeDB("typed", "n, c", "c", " Łucja "), 0);
    EXPECT_EQ(captions(), (QStringList{QStringLiteral("Numer"), QStringLiteral("Imię")}));
    ASSERT_EQ(view->topLevelItemCount(), 2);
    EXPECT_EQ(item(0), (QStringList{QStringLiteral("0"), QStringLiteral("earlier")}));
    EXPECT_EQ(item(1), (QStringList{QStringLiteral("2"), QStringLiteral("Łucja")}));
    EXPECT_TRUE(strings.empty()); // the list view takes the rows

    EXPECT_NE(front.WyswietlBazeDB("nowhere", "0", "0", ""), 0);
    EXPECT_EQ(view->topLevelItemCount(), 2);
}
