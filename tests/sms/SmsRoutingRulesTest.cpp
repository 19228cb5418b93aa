// The routing-rule editor against a real database: priorities kept distinct
// by pushing a run of rules up, and a change that fails midway leaving the
// table and the rules in memory as they were.
#include "db/MessageTables.h"
#include "sms/SmsGateway.h"
#include "sms/SmsTestHost.h"
#include "support/FirebirdFixtures.h"

namespace {

class RoutingRuleEditor : public testfb::EmbeddedSchemaTest {
  protected:
    void SetUp() override {
        EmbeddedSchemaTest::SetUp();
        host.connection = {c.host, c.path, c.user, c.password};
    }
    void seed(const std::vector<std::pair<int, std::string>>& rules) {
        for (const auto& [priority, sender] : rules) {
            ServiceSmsRoutingDB table(c.host, c.path, c.user, c.password);
            table.nPriority = std::to_string(priority);
            table.sSender = sender;
            table.sLine = "_";
            table.sRecipients = "5 6";
            ASSERT_EQ(table.InsertDataWithId(), 0);
        }
        gateway.LoadSmsRouting();
        ASSERT_TRUE(gateway.SmsRoutingLoaded);
    }
    TStringList query(const std::string& sql) {
        SessionDB session(c.host, c.path, c.user, c.password, &MainDbHandle, true);
        TStringList rows;
        session.SetResultStrings(&rows);
        EXPECT_EQ(session.ExecuteSQL(sql), 0) << sql;
        return rows;
    }
    // "id:priority" of every row, and of the rules in memory, by id.
    std::string table() {
        std::string text;
        const TStringList rows = query("select nId, nPriority from SmsRouting order by nId");
        for (std::size_t i = 0; i + 1 < rows.size(); i += 2)
            text += rows[i] + ":" + rows[i + 1] + " ";
        return text;
    }
    std::string memory() {
        std::vector<ROUTING_RULE> rules = gateway.SmsEngine.RoutingRules;
        std::sort(rules.begin(), rules.end(), [](const auto& a, const auto& b) { return a.nId < b.nId; });
        std::string text;
        for (const ROUTING_RULE& rule : rules)
            text += std::to_string(rule.nId) + ":" + std::to_string(rule.nPriority) + " ";
        return text;
    }
    void answer(int result, const std::string& priority, const std::string& sender,
                std::vector<std::int32_t> recipients = {7}) {
        host.answers.push_back({result, {priority, sender, "_", std::move(recipients)}});
    }

    SmsTestHost host;
    sms::SmsGateway gateway{host};
};

} // namespace

TEST_F(RoutingRuleEditor, AddEditAndDeleteKeepPrioritiesDistinct) {
    ASSERT_NO_FATAL_FAILURE(seed({{1, "1"}, {2, "2"}, {3, "3"}, {5, "5"}}));
    answer(1, "2", "  601_  ", {7, 8});
    gateway.AddSmsRoutingRule();
    ASSERT_TRUE(host.errors.empty()) << host.errors.front();
    EXPECT_EQ(table(), "1:1 2:3 3:4 4:5 5:2 ");
    EXPECT_EQ(memory(), table());
    EXPECT_EQ(query("select sSender, sRecipients from SmsRouting where nId = 5"),
              (TStringList{"601_", "7 8"}));
    EXPECT_EQ(gateway.SmsEngine.SelectRecipients("601000000", "x"), (std::vector<std::int32_t>{7, 8}));
    EXPECT_EQ(gateway.SmsEngine.SortedRoutingRules.size(), 5u);

    // Rule 2 (priority 3) to priority 1: rules 1 and 5 move up, and the run
    // ends below the edited rule, whose row is written again under its key.
    answer(1, "1", "2");
    gateway.EditSmsRoutingRule(1);
    ASSERT_TRUE(host.errors.empty()) << host.errors.front();
    EXPECT_EQ(table(), "1:2 2:1 3:4 4:5 5:3 ");
    EXPECT_EQ(memory(), table());
    EXPECT_EQ(host.shown.back().priority, "3");

    answer(1, "4", "3"); // its own priority: nothing else moves
    gateway.EditSmsRoutingRule(2);
    EXPECT_EQ(table(), "1:2 2:1 3:4 4:5 5:3 ");

    answer(1, "0", "9"); // refused
    gateway.AddSmsRoutingRule();
    answer(2, "6", "9"); // cancelled
    gateway.AddSmsRoutingRule();
    EXPECT_EQ(host.notices, std::vector<std::string>{"[IDS_879]"});
    gateway.DeleteSmsRoutingRule(-1);
    EXPECT_EQ(host.notices.back(), "[IDS_890]");

    gateway.DeleteSmsRoutingRule(4); // rule 5, priority 3: the gap stays
    EXPECT_EQ(table(), "1:2 2:1 3:4 4:5 ");
    EXPECT_EQ(memory(), table());

    host.knownUsers = {5};
    EXPECT_EQ(gateway.RoutingRuleCells(0), (std::vector<std::string>{"2", "1", "_", "user 5"}));
    host.knownUsers = {5, 6};
    EXPECT_EQ(gateway.RoutingRuleCells(0).back(), "2[IDS_877]");
    host.knownUsers.clear();
    EXPECT_EQ(gateway.RoutingRuleCells(0).back(), "[IDS_878]");
}

TEST_F(RoutingRuleEditor, AChangeFailingMidwayLeavesTheTableAndTheRulesAsTheyWere) {
    ASSERT_NO_FATAL_FAILURE(seed({{1, "1"}, {2, "2"}, {3, "3"}}));
    SessionDB ddl(c.host, c.path, c.user, c.password, &MainDbHandle, true);
    ASSERT_EQ(ddl.ExecuteDDL("CREATE EXCEPTION refused_rule 'refused'"), 0);
    ASSERT_EQ(ddl.ExecuteDDL("CREATE TRIGGER refuse_rule FOR SmsRouting ACTIVE BEFORE INSERT OR UPDATE "
                             "POSITION 5 AS BEGIN IF (new.sSender = '666') THEN EXCEPTION refused_rule; END"),
              0);
    const std::string before = table();

    answer(1, "1", "666"); // three priorities shifted, then the insert fails
    gateway.AddSmsRoutingRule();
    ASSERT_EQ(host.errors.size(), 1u);
    EXPECT_EQ(host.errors[0].rfind("[IDS_882]", 0), 0u) << host.errors[0];
    EXPECT_EQ(table(), before);
    EXPECT_EQ(memory(), before);

    answer(1, "1", "666"); // row deleted, two shifted, then the row fails to come back
    gateway.EditSmsRoutingRule(2);
    EXPECT_EQ(host.errors.size(), 2u);
    EXPECT_EQ(table(), before);
    EXPECT_EQ(memory(), before);
    EXPECT_EQ(query("select sSender from SmsRouting where nId = 3"), TStringList{"3"});
    EXPECT_EQ(gateway.SmsEngine.SelectRecipients("3", "x"), (std::vector<std::int32_t>{5, 6}));
}
