#include "sms/SmsGateway.h"
#include "sms/SmsTestHost.h"
#include "support/MainFormFixture.h"

#include <QTreeWidgetItem>

namespace {

using testing_support::MainFormFixture;

class SmsGatewayOfWindow : public MainFormFixture {};

// A host that is no window: the gateway needs nothing else to be built.
using RecordingHost = SmsTestHost;

} // namespace

TEST(SmsGateway, HandsItsHostsCallbacksToTheEngine) {
    RecordingHost host;
    sms::SmsGateway gateway(host);
    ASSERT_NE(gateway.SmsEngine.LogCallback(), nullptr);
    ASSERT_NE(gateway.SmsEngine.UserNameCallback(), nullptr);
    (*gateway.SmsEngine.LogCallback())("GSM:1 gotowa");
    EXPECT_EQ(host.log.lines, std::vector<std::string>{"GSM:1 gotowa"});
    EXPECT_EQ((*gateway.SmsEngine.UserNameCallback())("12"), "user 12");
}

// The engine logs through the window's LogCallback, at level 1 and unchanged
// (a '%' is no format), and names users through its UserNameCallback.
TEST_F(SmsGatewayOfWindow, TheEngineLogsAndNamesUsersThroughTheWindow) {
    createForm("DEBUG");
    SMS& engine = form->Sms().SmsEngine;
    ASSERT_EQ(engine.LogCallback(), &form->LogCallback);
    ASSERT_EQ(engine.UserNameCallback(), &form->UserNameCallback);

    (*engine.LogCallback())("Wysłano 100% części %s%n");
    EXPECT_NE(mainLogText().find(": Wysłano 100% części %s%n\n"), std::string::npos) << logSoFar;

    new QTreeWidgetItem(form->UserLV, QStringList{QStringLiteral("7"), QStringLiteral("Kowalski")});
    EXPECT_EQ((*engine.UserNameCallback())("7"), "Kowalski ") << "the blank stays behind a lone surname";
    EXPECT_EQ((*engine.UserNameCallback())("8"), "") << "an unknown user has no name";
}
