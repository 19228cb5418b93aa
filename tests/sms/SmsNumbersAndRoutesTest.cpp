// Numbers in national and international form, reply routes judged by the
// clock, the pattern match and the choice of recipients.
#include "platform/Clock.h"
#include "sms/Sms.h"
#include "sms/SmsGateway.h"
#include "sms/SmsTestHost.h"

#include <gtest/gtest.h>

namespace {

using sms::SmsNumberProcessor;

std::string international(const SmsNumberProcessor& p, const std::string& number, int expectedFlag) {
    std::uint8_t flag = 7;
    const std::string result = p.ToInternational(number, flag);
    EXPECT_EQ(flag, expectedFlag) << number;
    return result;
}

class ClockedTest : public ::testing::Test {
  protected:
    void SetUp() override { platform::setProcessClock(&clock); }
    void TearDown() override { platform::setProcessClock(nullptr); }
    void advanceSeconds(int seconds) { clock.advance(std::int64_t(seconds) * 1000); }
    platform::ManualClock clock;
};

using ReplyRoutes = ClockedTest;

} // namespace

TEST(SmsNumbers, NationalAndInternationalFormsWithTheDefaults) {
    const SmsNumberProcessor p;
    const std::string n = "601234567";
    for (const std::string& written : {n, "+48" + n, "0048" + n, "48" + n, "0" + n, "+0+0" + n}) {
        EXPECT_EQ(p.ToNational(written), n) << written;
        EXPECT_EQ(international(p, written, 0), "48" + n) << written;
    }
    EXPECT_EQ(p.ToNational("+48 601 234 567"), "");
    EXPECT_EQ(international(p, "+48 601 234 567", 1), "48 601 234 567");
    EXPECT_EQ(p.ToNational("12345"), "12345");
    EXPECT_EQ(international(p, "12345", 1), "12345");
    for (const char* empty : {"", "000", "+0+"}) {
        EXPECT_EQ(p.ToNational(empty), "");
        EXPECT_EQ(international(p, empty, 1), "");
    }
    EXPECT_EQ(p.ToNational("0049601234567"), "49601234567");
    EXPECT_EQ(international(p, "0049601234567", 0), "49601234567");
}

TEST(SmsNumbers, SettingsOverlappingRangesAndNonsense) {
    SmsNumberProcessor p;
    ASSERT_TRUE(p.Set({"48", 9, 9, 0}));
    EXPECT_EQ(p.ToNational("48601234567"), "48601234567") << "the prefix stays when not removed";
    // With overlapping ranges a prefixed number is not prefixed again.
    ASSERT_TRUE(p.Set({"48", 9, 11, 1}));
    EXPECT_EQ(international(p, "48601234567", 0), "48601234567");
    EXPECT_EQ(international(p, "601234567", 0), "48601234567");
    EXPECT_EQ(p.ToNational("48601234567"), "601234567");

    for (const SmsNumberProcessor::SmsProcessingSettings& bad :
         {SmsNumberProcessor::SmsProcessingSettings{"", 9, 9, 1},
          {"48a", 9, 9, 1},
          {"12345", 9, 9, 1},
          {"48", 10, 9, 1},
          {"48", 0, 9, 1},
          {"48", -3, -1, 1}}) {
        p.Set({"7", 5, 5, 0});
        EXPECT_FALSE(p.Set(bad)) << bad.sCountryCode << " " << bad.iMinCountryLen << " "
                                 << bad.iMaxCountryLen;
        EXPECT_EQ(p.Settings().sCountryCode, "48");
        EXPECT_EQ(p.Settings().iMinCountryLen, 9);
        EXPECT_EQ(p.Settings().iMaxCountryLen, 9);
        EXPECT_EQ(p.Settings().bRemoveCountryCode, 1);
    }
}

TEST_F(ReplyRoutes, LiveWhileNoOlderThanTheValidity) {
    sms::SmsDynamicRouter router;
    router.Store("601234567", "500100200", 5);
    advanceSeconds(3600);
    EXPECT_EQ(router.Find("601234567", "500100200"), 5);
    EXPECT_EQ(router.Find("601234567", "500100201"), 0) << "another line";
    advanceSeconds(1);
    EXPECT_EQ(router.Find("601234567", "500100200"), 0);

    router.SetValidity(7200);
    EXPECT_EQ(router.Find("601234567", "500100200"), 5) << "a longer validity revives it";
    router.Store("601234567", "500100200", 6);
    EXPECT_EQ(router.Find("601234567", "500100200"), 6) << "the later acknowledgement wins";
    router.SetValidity(0);
    advanceSeconds(1);
    EXPECT_EQ(router.Find("601234567", "500100200"), 0);
    EXPECT_EQ(router.Find("", "500100200"), 0);
}

TEST(SmsPatterns, RunsSingleCharactersAndTheEndOfTheText) {
    EXPECT_TRUE(SMS::MatchPattern("", "_"));
    EXPECT_TRUE(SMS::MatchPattern("601", "_"));
    EXPECT_TRUE(SMS::MatchPattern("", ""));
    EXPECT_FALSE(SMS::MatchPattern("", "?"));
    EXPECT_FALSE(SMS::MatchPattern("", "__"));
    EXPECT_TRUE(SMS::MatchPattern("48", "48_"));
    EXPECT_TRUE(SMS::MatchPattern("48601", "48_"));
    EXPECT_FALSE(SMS::MatchPattern("48", "48__"));
    EXPECT_TRUE(SMS::MatchPattern("481", "48__"));
    EXPECT_FALSE(SMS::MatchPattern("4860", "48?"));
    EXPECT_TRUE(SMS::MatchPattern("486", "48?"));
    EXPECT_TRUE(SMS::MatchPattern("601234567", "6_4_7"));
    EXPECT_FALSE(SMS::MatchPattern("601234568", "6_4_7"));
    EXPECT_TRUE(SMS::MatchPattern("abcabd", "_ab?"));
    EXPECT_FALSE(SMS::MatchPattern("Abc", "abc")) << "case counts";
    EXPECT_FALSE(SMS::MatchPattern("601", "6010"));
    // Many runs against a long text end quickly and give the plain answer.
    EXPECT_FALSE(SMS::MatchPattern(std::string(200, 'a'), std::string(30, '_') + "b"));
    EXPECT_TRUE(SMS::MatchPattern(std::string(200, 'a') + "b", std::string(30, '_') + "b"));
}

TEST_F(ReplyRoutes, RecipientsByRouteThenByTheFirstRuleOfLowestPriority) {
    SMS engine;
    engine.RoutingRules = {{3, 2, "_", "_", {7}}, {1, 1, "601_", "_", {5, 6}}, {2, 2, "_", "500_", {8}}};
    engine.SetRoutingRules();
    ASSERT_EQ(engine.SortedRoutingRules.size(), 3u);
    EXPECT_EQ(engine.SortedRoutingRules[1].nId, 3) << "equal priorities keep their order";
    EXPECT_EQ(engine.RoutingRules[0].nId, 3) << "the displayed order stays";

    EXPECT_EQ(engine.SelectRecipients("601234567", "500100200"), (std::vector<std::int32_t>{5, 6}));
    EXPECT_EQ(engine.SelectRecipients("602234567", "500100200"), (std::vector<std::int32_t>{7}));
    engine.RoutingRules = {{1, 1, "601_", "_", {5, 6}}};
    engine.SetRoutingRules();
    EXPECT_TRUE(engine.SelectRecipients("602234567", "500100200").empty());

    engine.DynamicRouter.Store("602234567", "500100200", 9);
    EXPECT_TRUE(engine.SelectRecipients("602234567", "500100200").empty()) << "routing off";
    engine.bDynamicRouting = 1;
    EXPECT_EQ(engine.SelectRecipients("602234567", "500100200"), std::vector<std::int32_t>{9});
    engine.DynamicRouter.Store("601234567", "500100200", 9);
    EXPECT_EQ(engine.SelectRecipients("601234567", "500100200"), std::vector<std::int32_t>{9})
        << "a live route goes before the rules";
    advanceSeconds(3601);
    EXPECT_EQ(engine.SelectRecipients("601234567", "500100200"), (std::vector<std::int32_t>{5, 6}));
}

TEST(SmsSettingsApplied, NumbersAndRoutingReachTheEngineAndNonsenseGivesTheDefaults) {
    SmsTestHost host;
    sms::SmsGateway gateway(host);
    gateway.SmsSettings.CountryCode = "420";
    gateway.SmsSettings.MinCountryNumberLength = 9;
    gateway.SmsSettings.MaxCountryNumberLength = 9;
    gateway.SmsSettings.RemoveCountryCode = true;
    gateway.SmsSettings.DynamicRoutingEnabled = true;
    gateway.SmsSettings.DynamicRoutingValidityPeriod = 900;
    gateway.ApplySmsSettings();
    SMS& engine = gateway.SmsEngine;
    EXPECT_EQ(engine.NumberProcessor.ToNational("+420601234567"), "601234567");
    EXPECT_EQ(engine.bDynamicRouting, 1);
    EXPECT_EQ(engine.DynamicRouter.Validity(), 900);
    engine.DynamicRouter.Store("601234567", "1", 4);

    gateway.SmsSettings.MinCountryNumberLength = 12;
    gateway.SmsSettings.DynamicRoutingEnabled = false;
    gateway.ApplySmsSettings();
    EXPECT_EQ(engine.NumberProcessor.Settings().sCountryCode, "48");
    EXPECT_EQ(engine.NumberProcessor.ToNational("+48601234567"), "601234567");
    EXPECT_EQ(engine.bDynamicRouting, 0);
    EXPECT_TRUE(engine.DynamicRouter.Routes().empty()) << "switching off forgets the routes";
}
