// Every query run hands its result to a row sink: the columns first, also
// for a result without rows, then each row with its typed values and texts.
#include "db/InterfaceDB.h"
#include "support/FirebirdFixtures.h"

#include <cstring>
#include <ibase.h>

namespace {

// Keeps what a query run hands over.
class RecordingSink : public db::RowSink {
  public:
    void columns(const std::vector<db::ResultColumn>& described) override {
        ++columnCalls;
        columnsSeen = described;
    }
    void row(const db::ResultRow& row) override {
        std::vector<ColumnData> typed;
        std::vector<std::string> texts;
        for (int i = 0; i < row.size(); ++i) {
            typed.push_back(row.column(i));
            texts.push_back(row.text(i));
        }
        // Past the last column there is nothing.
        EXPECT_EQ(row.column(row.size()).data, nullptr);
        EXPECT_EQ(row.text(row.size()), "");
        EXPECT_EQ(row.trimmed(-1), "");
        if (!typed.empty() && typed[0].type == SQL_LONG && typed[0].data) {
            int32_t value = 0;
            std::memcpy(&value, typed[0].data, sizeof value);
            firstIntegers.push_back(value);
        }
        types.push_back({});
        for (const ColumnData& column : typed)
            types.back().push_back(column.type);
        rows.push_back(texts);
    }

    int columnCalls = 0;
    std::vector<db::ResultColumn> columnsSeen;
    std::vector<std::vector<int>> types;
    std::vector<int32_t> firstIntegers;
    std::vector<std::vector<std::string>> rows;
};

class QueryRows : public testfb::EmbeddedSchemaTest {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(EmbeddedSchemaTest::SetUp());
        session = std::make_unique<SessionDB>(c.host, c.path, c.user, c.password, &MainDbHandle, true);
        ASSERT_EQ(session->ExecuteSQL("create table typed (n integer, c char(8), v varchar(12), d date)"), 0);
    }
    void TearDown() override {
        session.reset();
        EmbeddedSchemaTest::TearDown();
    }

    std::unique_ptr<SessionDB> session;
};

} // namespace

TEST_F(QueryRows, AnEmptyResultStillGivesItsColumnsAndRowsComeTyped) {
    RecordingSink sink;
    TStringList names;
    session->SetResultListView(&sink);
    session->SetResultColumnNames(&names);
    ASSERT_EQ(session->ExecuteSQL("select n, c, v as alias, d from typed"), 0);
    EXPECT_EQ(sink.columnCalls, 1);
    ASSERT_EQ(sink.columnsSeen.size(), 4u);
    EXPECT_EQ(sink.columnsSeen[0].name, "N");
    EXPECT_EQ(sink.columnsSeen[0].length, 4);
    EXPECT_EQ(sink.columnsSeen[1].length, 8);
    EXPECT_EQ(sink.columnsSeen[2].name, "V"); // the column's own name, not the alias
    EXPECT_EQ(sink.columnsSeen[2].length, 12);
    EXPECT_TRUE(sink.rows.empty());
    EXPECT_EQ(names, (TStringList{"N", "C", "V", "D"}));

    ASSERT_EQ(session->ExecuteSQL("insert into typed values (7, 'anna', 'ża', '2007-03-05')"), 0);
    ASSERT_EQ(session->ExecuteSQL("insert into typed values (-3, null, null, null)"), 0);
    TStringList strings;
    session->SetResultStrings(&strings);
    ASSERT_EQ(session->ExecuteSQL("select n, c, v, d from typed order by n desc"), 0);
    EXPECT_EQ(sink.columnCalls, 2);
    ASSERT_EQ(sink.rows.size(), 2u);
    // Text arrives blank-padded to the column, a VARCHAR as fixed text too.
    EXPECT_EQ(sink.rows[0],
              (std::vector<std::string>{"7", "anna    ", "ża" + std::string(10, ' '), "2007-03-05"}));
    EXPECT_EQ(sink.rows[1], (std::vector<std::string>{"-3", "", "", ""}));
    EXPECT_EQ(sink.types[0], (std::vector<int>{SQL_LONG, SQL_TEXT, SQL_TEXT, SQL_TYPE_DATE}));
    EXPECT_EQ(sink.firstIntegers, (std::vector<int32_t>{7, -3}));
    EXPECT_TRUE(strings.empty()); // the list view target takes every row

    // Without the list view target the strings get every value, trimmed.
    session->SetResultListView(nullptr);
    ASSERT_EQ(session->ExecuteSQL("select n, c, v from typed order by n desc"), 0);
    EXPECT_EQ(strings, (TStringList{"7", "anna", "ża", "-3", "", ""}));
    EXPECT_EQ(sink.columnCalls, 2);
}

TEST_F(QueryRows, TableAndViewListsAppendAndTypedLoadsEndTheirTransaction) {
    TStringList names{"kept"};
    ASSERT_EQ(session->GetTableNames(&names), 0);
    ASSERT_GT(names.size(), 1u);
    EXPECT_EQ(names.front(), "kept");
    EXPECT_EQ(names.back(), "USERPHONES");
    const std::size_t tables = names.size();
    ASSERT_EQ(session->GetViewNames(&names), 0);
    EXPECT_GT(names.size(), tables);
    EXPECT_EQ(names.front(), "kept");

    // A typed load keeps clearing its container first; one that fails
    // leaves no transaction behind, so the connection can still be detached.
    InterfaceDB front;
    front.SetConnection(c.host, c.path, c.user, c.password);
    std::map<int, std::string> groups{{9, "old"}};
    EXPECT_EQ(front.WyswietlBazeDB("ContactGroups", "idGroup, sGroupName", "0", "", &groups), 0);
    EXPECT_TRUE(groups.empty());
    std::vector<ROUTING_RULE> rules(1);
    EXPECT_NE(front.WyswietlBazeDB("NoSuchTable", "0", "0", "", &rules), 0);
    EXPECT_EQ(rules.size(), 1u); // not reached: the query failed before any row
    session.reset();
    EXPECT_EQ(SessionDB::DetachDatabase(&MainDbHandle), 0);
}
